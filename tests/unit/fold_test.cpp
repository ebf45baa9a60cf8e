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
JsonDocument parse(const std::string& text) {
    return test::parse<rapidjson::kParseFullPrecisionFlag>(text);
}

// Folds one operator with input 1 holding `input` (of element type `token`, when given);
// returns the error message, if any.
std::string fold(Converter& c, const std::string& op_text, const Values& input = {},
                 const std::string& token = "") {
    c.state.const_values.insert(1, input);
    if (!token.empty()) c.state.tensor_dtypes.insert(1, token);
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

    // A small fill has as many numbers as elements; a large or dynamic one keeps one.
    const auto fill = [&](int64_t id, const std::string& shape) {
        fold(c, R"({"#":"1.full","O":[{"%":)" + std::to_string(id) + R"(}],"A":[{"N":"shape","AT":{"#":"1.a_intarray","D":)" +
                    shape + R"(}},{"N":"value","AT":{"#":"0.a_f64","D":3.0}}]})");
        return c.state.const_values.find(id)->size();
    };
    EXPECT_EQ(fill(10, "[2, 3]"), 6u);
    EXPECT_EQ(fill(11, "[1024]"), 1024u);
    EXPECT_EQ(fill(12, "[1025]"), 1u);
    EXPECT_EQ(fill(13, "[-1, 2]"), 1u);
    EXPECT_EQ(fill(14, "[2, 0]"), 1u);
    EXPECT_EQ(fill(15, "[4611686018427387904, 4]"), 1u);
}

// A literal holds its numbers as its element type holds them, as Paddle's fill converts
// the value; the first pass must not see other numbers than the run-time tensor.
TEST(Fold, LiteralsTakeTheirElementType) {
    struct Case {
        std::string name, dtype, value;
        Values want;
        std::string error;
    };
    const Case cases[] = {
        {"1.full", "int32", "2.7", {2}, ""},
        {"1.full", "int32", "-2.7", {-2}, ""},
        {"1.full", "int8", "-1.9", {-1}, ""},
        {"1.full", "int8", "300", {44}, ""},
        {"1.full", "uint8", "-1", {255}, ""},
        {"1.full", "int16", "40000", {-25536}, ""},
        {"1.full", "float16", "65520", {kInf}, ""},
        {"1.full", "float16", "0.1", {0.0999755859375}, ""},
        {"1.full", "float32", "1e39", {kInf}, ""},
        {"1.full", "bool", R"({"#":"0.a_f64","D":"nan"})", {1}, ""},
        {"1.full", "bool", "-0.0", {0}, ""},
        {"1.full", "float64", "0.1", {0.1}, ""},
        {"1.full_", "int32", "2.7", {2}, ""},
        // Integer arrays are int64 numbers: they wrap into a narrower type.
        {"1.full_int_array", "int32", "[4294967299, -1]", {3, -1}, ""},
        {"1.assign_value_", "bool", "[2, 0]", {1, 0}, ""},
        {"1.full", "int32", R"({"#":"0.a_f64","D":"nan"})", {}, "cannot cast non-finite full value NaN to int32"},
        {"1.full", "int32", "3e9", {}, "full value 3000000000 is out of range for int32"},
        {"1.full", "uint8", "-3e9", {}, "full value -3000000000 is out of range for uint8"},
    };
    for (const auto& k : cases) {
        Converter c;
        const bool list = k.value[0] == '[';
        const std::string attr = k.name == "1.assign_value_" ? "values" : "value";
        const std::string value = list ? R"({"#":"0.a_array","D":)" + k.value + "}"
                                       : (k.value[0] == '{' ? k.value : R"({"#":"0.a_f64","D":)" + k.value + "}");
        const std::string err = fold(c, R"({"#":")" + k.name + R"(","O":[{"%":2}],"A":[{"N":")" + attr +
                                            R"(","AT":)" + value + R"(},{"N":"dtype","AT":{"#":"1.a_dtype","D":")" +
                                            k.dtype + R"("}}]})");
        const std::string what = k.name + " " + k.dtype + " " + k.value;
        EXPECT_EQ(err, k.error) << what;
        if (k.error.empty()) {
            expect_values(c.state.const_values.find(2), k.want, what);
        } else {
            EXPECT_FALSE(c.state.const_values.contains(2)) << what;
        }
    }
}

// Paddle's cast: floats truncate toward zero and narrower integers keep the low bits
// (through 32 bits from a float), NaN is true. What the conversion leaves undefined is
// refused, element by element in order.
TEST(Fold, CastChecksEachElementInOrder) {
    struct Case {
        std::string dtype;
        Values in, want;
        std::string error;
        std::string source = "";  // the input's element type, when known
    };
    const double two63 = 9223372036854775808.0;
    const Case cases[] = {
        {"bool", {0, -0.0, 3, kInf}, {0, 0, 1, 1}, ""},
        {"bool", {1, kNaN, -kNaN}, {1, 1, 1}, ""},
        {"int32", {2147483648.0}, {}, "constant 2147483648 is out of range for int32"},
        {"int32", {2.5, -2.7, -2147483648.9, 2147483647.9}, {2, -2, -2147483648.0, 2147483647}, ""},
        {"int8", {300.5, -129, -0.9}, {44, 127, 0}, ""},
        {"int8", {3e9}, {}, "constant 3000000000 is out of range for int8"},
        {"uint8", {0, 255, -1, 256}, {0, 255, 255, 0}, ""},
        {"int16", {kNaN}, {}, "cannot cast non-finite constant NaN to int16"},
        {"int16", {-40000.5, 32768}, {25536, -32768}, ""},
        {"int64", {two63, -two63, -0.5}, {two63, -two63, 0}, ""},
        {"int64", {1e19}, {}, "constant 10000000000000000000 is out of range for int64"},
        {"int64", {0.0000001}, {0}, ""},
        {"int32", {1, -kInf}, {}, "cannot cast non-finite constant -inf to int32"},
        // From integers the low bits stay at any magnitude; INT64_MAX (2^63 in a float)
        // keeps its low 32 bits, all ones.
        {"int8", {300, 1099511627781.0, -129}, {44, 5, 127}, "", "0.t_i64"},
        {"int32", {two63, 4294967297.0}, {-1, 1}, "", "0.t_i64"},
        {"uint8", {-1}, {255}, "", "0.t_i32"},
        {"int32", {1}, {1}, "", "0.t_bool"},
        // Floating targets round as the runtime's cast does: nearest, ties to even.
        {"float16", {2.5, -0.0, 0.1, 2049, 65519, 65520, 1e-8}, {2.5, -0.0, 0.0999755859375, 2048, 65504, kInf, 0}, ""},
        {"float32", {16777217, 0.1, 1e39}, {16777216, 0.100000001490116119384765625, kInf}, ""},
        {"float64", {0.1}, {0.1}, ""},
    };
    for (const auto& k : cases) {
        for (const char* name : {"1.cast", "1.cast_"}) {
            Converter c;
            const std::string err = fold(c, std::string(R"({"#":")") + name + R"(","I":[{"%":1}],"O":[{"%":2}],"A":[{"N":"dtype","AT":{"#":"1.a_dtype","D":")" + k.dtype + R"("}}]})", k.in, k.source);
            const std::string what = std::string(name) + " to " + k.dtype + " from " + k.source;
            EXPECT_EQ(err, k.error) << what;
            if (k.error.empty()) {
                expect_values(c.state.const_values.find(2), k.want, what);
            } else {
                EXPECT_FALSE(c.state.const_values.contains(2)) << k.error;
            }
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
        std::string token = "";
    };
    // (1 + 2^-30)^2 - 1 is 2^-29 + 2^-60: a fused multiply-add would keep the 2^-60.
    const double tiny = std::ldexp(1.0, -30);
    const auto in_place = [](std::string op) { return op.replace(op.find("1.scale"), 7, "1.scale_"); };
    const Case cases[] = {
        {"bias after scale", scale("2", ""), {3}, {5}},
        {"bias before scale", scale("2", before), {3}, {4}},
        {"product and sum rounded separately", scale("1.000000000931322574615478515625", ""), {1 + tiny}, {2 * tiny}},
        {"reshape carries the values", R"({"#":"1.reshape","I":[{"%":1},{"%":3}],"O":[{"%":2}]})", {4, 5}, {4, 5}},
        {"in-place reshape", R"({"#":"1.reshape_","I":[{"%":1},{"%":3}],"O":[{"%":2}]})", {4, 5}, {4, 5}},
        {"in-place scale", in_place(scale("2", "")), {3}, {5}},
        // In the element type: scale and bias cast to it first (2.5 -> 2, -1 stays), integer
        // overflow wraps, float32 rounds each operation.
        {"int64 factor truncates", scale("2.5", ""), {1, 2}, {1, 3}, "0.t_i64"},
        {"int32 bias first", scale("2.9", before), {3, -7}, {4, -16}, "0.t_i32"},
        {"int32 wraps", scale("4", ""), {1073741825}, {3}, "0.t_i32"},
        {"int8 wraps", scale("3", ""), {100, -100}, {43, -45}, "0.t_i8"},
        {"uint8 bias wraps", scale("1", ""), {0}, {255}, "0.t_ui8"},
        {"int64 in place", in_place(scale("-1.5", "")), {4}, {-5}, "0.t_i64"},
        {"float32 rounds each step", scale("1", ""), {33554432}, {33554432}, "0.t_f32"},
        {"float16 rounds each step", scale("1", before), {4096}, {4096}, "0.t_f16"},
        {"float64 in double", scale("1", ""), {33554432}, {33554431}, "0.t_f64"},
    };
    for (const auto& k : cases) {
        Converter c;
        EXPECT_EQ(fold(c, k.op, k.in, k.token), "") << k.what;
        expect_values(c.state.const_values.find(2), k.want, k.what);
    }
    Converter refused;
    EXPECT_EQ(fold(refused, scale(R"({"#":"0.a_f64","D":"nan"})", ""), {1}, "0.t_i32"),
              "cannot cast non-finite scale attribute scale NaN to int32");
    EXPECT_EQ(fold(refused, scale("3e9", ""), {1}, "0.t_i32"),
              "scale attribute scale 3000000000 is out of range for int32");
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
