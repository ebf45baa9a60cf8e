// The command line parser: opset texts, the record the arguments fill, and the usage errors.
#include "cli.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kestro {
namespace {

struct OpsetCase {
    std::string text;
    std::variant<int64_t, std::string> expected;
};

TEST(ParseOpsetArg, AcceptsSignedDecimalsAndRefusesEverythingElse) {
    const auto below = [](const char* v) {
        return std::string("Target ONNX opset must be >= 10, got ") + v +
               ". Lower opsets are not supported.";
    };
    const auto above = [](const char* v) {
        return std::string("Target ONNX opset must be <= 21, got ") + v +
               ". Higher opsets are not supported.";
    };
    const std::vector<OpsetCase> cases = {
        {"17", int64_t{17}},
        {"10", int64_t{10}},
        {"21", int64_t{21}},
        {"+12", int64_t{12}},
        {"0017", int64_t{17}},
        {"22", above("22")},
        {"99", above("99")},
        {"9223372036854775807", above("9223372036854775807")},
        {"9", below("9")},
        {"+09", below("9")},
        {"0", below("0")},
        {"-5", below("-5")},
        {"-9223372036854775808", below("-9223372036854775808")},
        {"9223372036854775808", std::string("Invalid opset value: 9223372036854775808")},
        {"12.0", std::string("Invalid opset value: 12.0")},
        {" 12", std::string("Invalid opset value:  12")},
        {"12 ", std::string("Invalid opset value: 12 ")},
        {"", std::string("Invalid opset value: ")},
        {"+", std::string("Invalid opset value: +")},
        {"-", std::string("Invalid opset value: -")},
        {"++12", std::string("Invalid opset value: ++12")},
        {"1_0", std::string("Invalid opset value: 1_0")},
        {"0x11", std::string("Invalid opset value: 0x11")},
        {"abc", std::string("Invalid opset value: abc")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_opset_arg(c.text), c.expected) << "text: '" << c.text << "'";
    }
}

CliOutcome parse(std::vector<std::string> words) {
    words.insert(words.begin(), "kestro");
    std::vector<const char*> argv;
    for (const auto& w : words) argv.push_back(w.c_str());
    return parse_cli(static_cast<int>(argv.size()), argv.data());
}

TEST(ParseCli, PathsAndOpsetFillTheRecordWithStrictOff) {
    const auto three = parse({"m.json", "m.pdiparams", "out.onnx"});
    ASSERT_TRUE(three.cli);
    EXPECT_EQ(three.cli->model_json, "m.json");
    EXPECT_EQ(three.cli->model_pdiparams, "m.pdiparams");
    EXPECT_EQ(three.cli->output_onnx, "out.onnx");
    EXPECT_EQ(three.cli->opset, 17);
    EXPECT_FALSE(three.cli->strict);

    const auto four = parse({"a", "b", "c", "+13"});
    ASSERT_TRUE(four.cli);
    EXPECT_EQ(four.cli->opset, 13);
}

TEST(ParseCli, UsageErrorsExitTwoWithTheReasonOnStderr) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "MODEL_JSON"},
        {{"a", "b"}, "OUTPUT_ONNX"},
        {{"a", "b", "c", "9"}, "got 9. Lower opsets are not supported."},
        {{"a", "b", "c", "27"}, "got 27. Higher opsets are not supported."},
        {{"a", "b", "c", "12.0"}, "Invalid opset value: 12.0"},
        {{"a", "b", "c", "17", "true"}, "true"},
        {{"a", "b", "c", "17", "x", "y"}, ""},
        {{"a", "b", "c", "--strict"}, "--strict"},
        {{"a", "b", "c\xff"}, "UTF-8"},
        {{"a", "b", "\xC0\xAF"}, "UTF-8"},         // overlong "/"
        {{"a", "b", "\xED\xA0\x80"}, "UTF-8"},     // a surrogate
    };
    for (const auto& [words, reason] : cases) {
        const auto r = parse(words);
        EXPECT_FALSE(r.cli);
        EXPECT_EQ(r.exit_code, 2);
        EXPECT_TRUE(r.out.empty());
        EXPECT_NE(r.err.find(reason), std::string::npos) << r.err;
    }
    // Multi-byte UTF-8 is fine.
    EXPECT_TRUE(parse({"mod\xC3\xA8le.json", "b", "\xF0\x9F\x98\x80.onnx"}).cli);
}

}  // namespace
}  // namespace kestro
