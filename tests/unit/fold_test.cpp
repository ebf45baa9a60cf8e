// First-pass constant folding.
#include <cmath>
#include <limits>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "converter/converter.h"
#include "test_support.h"

using namespace kestro;
using test::kInf;

namespace {

using Values = std::vector<double>;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Numbers parse at full precision, as the program loader reads them.
rapidjson::Document parse(const std::string& text) {
    return test::parse<rapidjson::kParseFullPrecisionFlag>(text);
}

// Folds one operator with input 1 holding `input`; returns the error message, if any.
std::string fold(Converter& c, const std::string& op_text, const Values& input = {}) {
    c.state.const_values.insert(1, input);
    auto op = parse(op_text);
    try {
        (c.*Converter::pass1_constant_folder(op["#"].GetString()))(op, 0, {});
    } catch (const Error& e) {
        return e.message();
    }
    return "";
}

// NaN matches NaN and the sign of zero counts.
void expect_values(const Values* got, const Values& want, const std::string& what) {
    ASSERT_NE(got, nullptr) << what;
    ASSERT_EQ(got->size(), want.size()) << what;
    for (size_t i = 0; i < want.size(); ++i) {
        const double g = (*got)[i], w = want[i];
        EXPECT_TRUE(std::isnan(w) ? std::isnan(g) : g == w && std::signbit(g) == std::signbit(w))
            << what << " [" << i << "] got " << g;
    }
}

}  // namespace

TEST(Fold, LiteralsInTheirAttributeForms) {
    Converter c;
    fold(c, R"({"#":"1.full","O":[{"%":7}],"A":[{"N":"value","AT":{"#":"0.a_f64","VD":" -NaN"}}]})");
    expect_values(c.state.const_values.find(7), {kNaN}, "VD text");
    fold(c, R"({"#":"1.assign_value_","O":[{"%":8}],"A":[{"N":"values","AT":{"#":"0.a_array","D":[{"#":"0.a_f64","D":1.5},true,{"#":"0.a_str","D":"-inf"}]}}]})");
    expect_values(c.state.const_values.find(8), {1.5, -kInf}, "non-numbers skipped");
    fold(c, R"({"#":"1.full_int_array","O":[{"%":"9"}],"A":[]})");
    EXPECT_FALSE(c.state.const_values.contains(9));
}

TEST(Fold, CastChecksEachElementInOrder) {
    struct Case {
        std::string dtype;
        Values in, want;
        std::string error;
    };
    const double two63 = 9223372036854775808.0;
    const Case cases[] = {
        {"bool", {0, -0.0, 3, kInf}, {0, 0, 1, 1}, ""},
        {"bool", {1, kNaN}, {}, "cannot cast NaN constant to bool"},
        {"int32", {2147483648.0}, {}, "constant 2147483648 is out of range for int32"},
        {"int32", {2.5}, {}, "cannot cast non-integer constant 2.5 to int32 without losing precision"},
        {"int8", {300.5}, {}, "constant 300.5 is out of range for int8"},
        {"uint8", {0, 255, -1}, {}, "constant -1 is out of range for uint8"},
        {"int16", {kNaN}, {}, "cannot cast non-finite constant NaN to int16"},
        {"int64", {two63, -two63}, {two63, -two63}, ""},
        {"int64", {1e19}, {}, "constant 10000000000000000000 is out of range for int64"},
        {"int64", {0.0000001}, {}, "cannot cast non-integer constant 0.0000001 to int64 without losing precision"},
        // Floating targets round as the runtime's cast does: nearest, ties to even.
        {"float16", {2.5, -0.0, 0.1, 2049, 65519, 65520, 1e-8}, {2.5, -0.0, 0.0999755859375, 2048, 65504, kInf, 0}, ""},
        {"float32", {16777217, 0.1, 1e39}, {16777216, 0.100000001490116119384765625, kInf}, ""},
        {"float64", {0.1}, {0.1}, ""},
    };
    for (const auto& k : cases) {
        Converter c;
        const std::string err = fold(c, R"({"#":"1.cast","I":[{"%":1}],"O":[{"%":2}],"A":[{"N":"dtype","AT":{"#":"1.a_dtype","D":")" + k.dtype + R"("}}]})", k.in);
        EXPECT_EQ(err, k.error) << k.dtype;
        if (k.error.empty()) {
            expect_values(c.state.const_values.find(2), k.want, k.dtype);
        } else {
            EXPECT_FALSE(c.state.const_values.contains(2)) << k.error;
        }
    }
}

TEST(Fold, ScaleAndShapeOperators) {
    auto scale = [](const std::string& scale_value, const std::string& extra, const std::string& inputs = R"([{"%":1}])") {
        return R"({"#":"1.scale","I":)" + inputs + R"(,"O":[{"%":2}],"A":[{"N":"scale","AT":{"#":"0.a_f64","D":)" +
               scale_value + R"(}},{"N":"bias","AT":{"#":"0.a_f32","D":-1.0}})" + extra + "]}";
    };
    const std::string before = R"(,{"N":"bias_after_scale","AT":{"#":"0.a_bool","D":false}})";
    struct Case {
        const char* what;
        std::string op;
        Values in, want;
    };
    // (1 + 2^-30)^2 - 1 is 2^-29 + 2^-60: a fused multiply-add would keep the 2^-60.
    const double tiny = std::ldexp(1.0, -30);
    const Case cases[] = {
        {"bias after scale", scale("2", ""), {3}, {5}},
        {"bias before scale", scale("2", before), {3}, {4}},
        {"product and sum rounded separately", scale("1.000000000931322574615478515625", ""), {1 + tiny}, {2 * tiny}},
        {"reshape carries the values", R"({"#":"1.reshape","I":[{"%":1},{"%":3}],"O":[{"%":2}]})", {4, 5}, {4, 5}},
    };
    for (const auto& k : cases) {
        Converter c;
        fold(c, k.op, k.in);
        expect_values(c.state.const_values.find(2), k.want, k.what);
    }
    Converter c;
    fold(c, scale("2", "", R"([{"%":1},{"%":9}])"), {3});
    EXPECT_FALSE(c.state.const_values.contains(2)) << "scale from a tensor input";
}

TEST(Fold, BlockOrderRules) {
    auto run = [](Converter& c, const std::string& ops) -> std::string {
        auto doc = parse(ops);
        try {
            c.collect_pass1_from_ops(doc);
        } catch (const Error& e) {
            return e.message();
        }
        return "";
    };
    const std::string full5 = R"({"#":"1.full","O":[{"%":5}],"A":[{"N":"value","AT":{"#":"0.a_f64","D":1.0}}]})";
    Converter c;
    EXPECT_EQ(run(c, R"([{"#":"1.cast","I":[{"%":5}],"O":[{"%":6}]},{"#":"1.relu","I":[{"%":1}],"O":[{"%":8}]},)" + full5 + "]"),
              "constant folding for 1.cast saw input 5 before its constant producer at op index 2");
    // A later producer without a folder gives no constant and no error.
    EXPECT_EQ(run(c, R"([{"#":"1.scale","I":[{"%":8}],"O":[{"%":6}]},{"#":"1.relu","I":[{"%":1}],"O":[{"%":8}]}])"), "");
    EXPECT_FALSE(c.state.const_values.contains(6));

    // Constants folded inside a nested block are gone after it.
    Converter n;
    EXPECT_EQ(run(n, R"([{"#":"1.full","O":[{"%":1}],"A":[{"N":"value","AT":{"#":"0.a_f64","D":2.0}}]},
        {"#":"1.while","I":[{"%":1}],"O":[{"%":9}],"regions":[{"blocks":[{"args":[{"#":3}],"ops":[)" + full5 + R"(,
            {"#":"1.scale","I":[{"%":1}],"O":[{"%":4}]}]}]}]},
        {"#":"1.cast","I":[{"%":5}],"O":[{"%":6}]}])"), "");
    expect_values(n.state.const_values.find(1), {2}, "main-block constant");
    for (int64_t id : {4, 5, 6}) EXPECT_FALSE(n.state.const_values.contains(id)) << id;
}
