#pragma once
// The command line: five positional arguments, help and version, and the opset parser.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace kestro {

struct Cli {
    std::string model_json;
    std::string model_pdiparams;
    std::string output_onnx;
    int64_t opset = 17;
    bool strict = false;
};

// The opsets a conversion can target: from the oldest the lowerings write for to the newest
// whose operator changes they account for (GridSample's, at 20).
constexpr int64_t kMinOpset = 10;
constexpr int64_t kMaxOpset = 21;

// The opset, or the reason it is refused: "Invalid opset value: {}" for anything that is
// not an optional sign followed by decimal digits fitting 64 bits, or the bound's message
// for values below kMinOpset or above kMaxOpset.
std::variant<int64_t, std::string> parse_opset_arg(std::string_view text);

// What reading the command line decided: a Cli to run, or the end of the process with
// `exit_code` after `out` goes to standard output and `err` to standard error (help and
// version exit 0, every usage error exits 2).
struct CliOutcome {
    std::optional<Cli> cli;
    int exit_code = 0;
    std::string out;
    std::string err;
};

CliOutcome parse_cli(int argc, const char* const* argv);

}  // namespace kestro
