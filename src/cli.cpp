// The command line: parsing the five positional arguments, --help, --version and the opset.
#include "cli.h"

#include <limits>
#include <sstream>
#include <vector>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

namespace kestro {
namespace {

constexpr const char* kAbout = "PaddlePaddle to ONNX Converter";
constexpr const char* kVersion = KESTRO_VERSION;
constexpr int kUsageExit = 2;

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t len;
        uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (s.size() - i < len) return false;
        for (size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr uint32_t kMinForLen[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMinForLen[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

std::string usage_hint() { return "Run with --help for more information.\n"; }

}  // namespace

std::variant<int64_t, std::string> parse_opset_arg(std::string_view text) {
    const auto invalid = [&] { return fmt::format("Invalid opset value: {}", text); };
    std::string_view digits = text;
    bool negative = false;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        negative = digits.front() == '-';
        digits.remove_prefix(1);
    }
    if (digits.empty()) return invalid();
    // Accumulate toward the sign so that INT64_MIN parses like every other value.
    int64_t value = 0;
    for (const char ch : digits) {
        if (ch < '0' || ch > '9') return invalid();
        const int d = ch - '0';
        if (negative) {
            if (value < (std::numeric_limits<int64_t>::min() + d) / 10) return invalid();
            value = value * 10 - d;
        } else {
            if (value > (std::numeric_limits<int64_t>::max() - d) / 10) return invalid();
            value = value * 10 + d;
        }
    }
    if (value < kMinOpset)
        return fmt::format(
            "Target ONNX opset must be >= {}, got {}. Lower opsets are not supported.", kMinOpset,
            value);
    // Past the newest opset whose changes the lowerings account for, an operator redefined
    // there would be written in its older form under the newer version: a model that
    // runtimes refuse or, worse, read differently.
    if (value > kMaxOpset)
        return fmt::format(
            "Target ONNX opset must be <= {}, got {}. Higher opsets are not supported.", kMaxOpset,
            value);
    return value;
}

CliOutcome parse_cli(int argc, const char* const* argv) {
    CliOutcome outcome;
    for (int i = 1; i < argc; ++i) {
        if (!is_valid_utf8(argv[i])) {
            outcome.exit_code = kUsageExit;
            outcome.err = fmt::format("argument {} is not valid UTF-8 text\n{}", i, usage_hint());
            return outcome;
        }
    }

    Cli cli;
    std::string opset_text;
    CLI::App app{kAbout, "kestro"};
    app.set_version_flag("-V,--version", fmt::format("kestro {}", kVersion),
                         "Print version information and exit");
    app.set_help_flag("-h,--help", "Print help information and exit");
    app.add_option("MODEL_JSON", cli.model_json, "Path to the PaddlePaddle .json model file")
        ->required()
        ->type_name("");
    app.add_option("MODEL_PDIPARAMS", cli.model_pdiparams,
                   "Path to the PaddlePaddle .pdiparams weight file")
        ->required()
        ->type_name("");
    app.add_option("OUTPUT_ONNX", cli.output_onnx, "Path to the output .onnx model file")
        ->required()
        ->type_name("");
    app.add_option("OPSET", opset_text,
                   fmt::format("Target ONNX opset version ({} to {}, e.g. 17)", kMinOpset, kMaxOpset))
        ->type_name("")
        ->default_val("17")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                auto parsed = parse_opset_arg(text);
                if (auto* reason = std::get_if<std::string>(&parsed)) return *reason;
                return {};
            },
            ""));
    // A switch that takes no value: it is listed for the help text, but a positional word
    // can never reach it, so a fifth word is refused.
    std::string strict_word;
    app.add_option("STRICT", strict_word, "Reject lossy conversions such as multinomial -> ArgMax")
        ->type_name("")
        ->check(CLI::Validator(
            [](std::string& word) -> std::string {
                return fmt::format("a switch takes no value, got '{}'", word);
            },
            ""));

    try {
        try {
            app.parse(argc, argv);
        } catch (const CLI::RequiredError&) {
            // An unknown option ("-v") leaves the paths unfilled; the option is the mistake
            // worth naming, not the missing path it displaced.
            if (const auto extra = app.remaining(); !extra.empty()) throw CLI::ExtrasError(extra);
            throw;
        }
    } catch (const CLI::ParseError& e) {
        std::ostringstream out, err;
        const int code = app.exit(e, out, err);
        outcome.exit_code = code == 0 ? 0 : kUsageExit;
        outcome.out = out.str();
        outcome.err = err.str();
        return outcome;
    }

    cli.opset = std::get<int64_t>(parse_opset_arg(opset_text));
    cli.strict = false;
    outcome.cli = std::move(cli);
    return outcome;
}

}  // namespace kestro
