// The operator readers and the number rules: JSON number kinds, attribute search,
// special float texts, id collection, and plain-decimal rendering.
#include <cmath>
#include <string>

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include "error.h"
#include "helper/helper.h"
#include "test_support.h"

using namespace kestro;
using namespace kestro::helper;
using test::kInf;
using test::parse;

TEST(JsonKinds, IntegersOnlyInSigned64Range) {
    struct Case {
        const char* json;
        std::optional<int64_t> want;
    };
    const Case cases[] = {
        {"5", 5},
        {"-7", -7},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"9223372036854775808", std::nullopt},
        {"18446744073709551615", std::nullopt},
        {"2.0", std::nullopt},
        {"1e2", std::nullopt},
        {"true", std::nullopt},
        {"\"3\"", std::nullopt},
    };
    for (const auto& c : cases) {
        auto d = parse(c.json);
        EXPECT_EQ(as_i64(d), c.want) << c.json;
    }
}

TEST(JsonKinds, NumberLiteralsKeepTheirKind) {
    const std::pair<const char*, std::optional<JsonNumber>> cases[] = {
        {"0", JsonNumber(uint64_t{0})},
        {"-0", JsonNumber(int64_t{0})},
        {"-9223372036854775808", JsonNumber(INT64_MIN)},
        {"-9223372036854775809", JsonNumber(-9223372036854775808.0)},
        {"18446744073709551615", JsonNumber(UINT64_MAX)},
        {"18446744073709551616", JsonNumber(18446744073709551616.0)},
        {"1e2", JsonNumber(100.0)},
        {"2.0", JsonNumber(2.0)},
        {"-1e-400", JsonNumber(-0.0)},
        {"0.0000e99999999999", JsonNumber(0.0)},
        {"1e400", std::nullopt},
        {"-0.001e99999999999", std::nullopt},
    };
    for (const auto& [literal, want] : cases) {
        const auto got = json_number_value(literal);
        EXPECT_EQ(got, want) << literal;
        if (got && want && std::holds_alternative<double>(*want)) {
            EXPECT_EQ(std::signbit(std::get<double>(*got)), std::signbit(std::get<double>(*want))) << literal;
        }
    }
}

TEST(JsonKinds, ValueAsF64AcceptsEveryNumberButNoBooleans) {
    auto big = parse("18446744073709551615");
    EXPECT_EQ(value_as_f64(big), 18446744073709551616.0);
    EXPECT_EQ(value_as_f64(parse("-3")), -3.0);
    EXPECT_EQ(value_as_f64(parse("2.5")), 2.5);
    EXPECT_EQ(value_as_f64(parse("true")), std::nullopt);
    EXPECT_EQ(value_as_f64(parse("null")), std::nullopt);
    EXPECT_EQ(value_as_f64(parse("[1]")), std::nullopt);
    EXPECT_EQ(value_as_f64(parse("{}")), std::nullopt);
    // Objects: "D" first, then the "VD" text.
    EXPECT_EQ(value_as_f64(parse(R"({"D": 4, "VD": "9"})")), 4.0);
    EXPECT_EQ(value_as_f64(parse(R"({"D": true, "VD": "9"})")), 9.0);
    EXPECT_EQ(value_as_f64(parse(R"({"VD": 9})")), std::nullopt);
}

TEST(JsonKinds, MemberOfNonObjectIsAbsent) {
    EXPECT_EQ(member(parse("[1, 2]"), "0"), nullptr);
    EXPECT_EQ(member(parse("3"), "a"), nullptr);
    auto obj = parse(R"({"a": 1})");
    ASSERT_NE(member(obj, "a"), nullptr);
    EXPECT_EQ(member(obj, "b"), nullptr);
    EXPECT_EQ(json_debug(parse(R"({"a":[1,"x"]})")), R"({"a":[1,"x"]})");
}

TEST(ParseSpecialF64, WordsLiteralsAndRejections) {
    for (const char* t : {"nan", "NaN", "NAN", "+nan", "-NaN", " nan ", "\u00a0nan\u3000", "-nan"}) {
        auto v = parse_special_f64(t);
        ASSERT_TRUE(v.has_value()) << t;
        EXPECT_TRUE(std::isnan(*v)) << t;
        EXPECT_FALSE(std::signbit(*v)) << t;
    }
    struct Case {
        const char* text;
        double want;
    };
    const Case ok[] = {
        {"inf", kInf},        {"-INF", -kInf},     {"+inf", kInf},     {"Infinity", kInf},
        {"-infinity", -kInf}, {"1e400", kInf},     {"-1e400", -kInf},  {"1.", 1.0},
        {".5", 0.5},          {"+.5", 0.5},        {"-.5e-3", -0.0005}, {"1E+5", 1e5},
        {"00012", 12.0},      {"\t 2.25\n", 2.25}, {"1e-400", 0.0},
    };
    for (const auto& c : ok) {
        auto v = parse_special_f64(c.text);
        ASSERT_TRUE(v.has_value()) << c.text;
        EXPECT_EQ(*v, c.want) << c.text;
    }
    for (const char* t : {"", "  ", "e5", ".", "1e", "+-1", "1_000", "0x10", "nan(1)", "infinit",
                          "1 0", "1,5", "abc", "1.5f", "--1", "0x1p3"}) {
        EXPECT_EQ(parse_special_f64(t), std::nullopt) << '"' << t << '"';
    }
}

TEST(MessageText, ControlCharactersEscapedAndLongTextsCut) {
    const std::string a255(255, 'a');
    const std::pair<std::string, std::string> cases[] = {
        {"conv2d.w_0", "conv2d.w_0"},
        {std::string("\x1b[31mred\0\n\x7f", 11), "\\x1b[31mred\\x00\\x0a\\x7f"},
        {std::string(256, 'b'), std::string(256, 'b')},
        {std::string(257, 'b'), std::string(256, 'b') + "..."},
        {std::string(5000, '\t'), [] {
             std::string s;
             for (int i = 0; i < 64; ++i) s += "\\x09";
             return s + "...";
         }()},
        // A cut never splits a character: the two-byte one that does not fit goes whole.
        {a255 + "\xc3\xa9z", a255 + "..."},
        {a255 + "z\xc3\xa9", a255 + "z..."},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(fmt_text(text), want) << text.size();
    EXPECT_EQ(fmt_dims(std::vector<int64_t>(1'000'000, 7)), "[" + [] {
                  std::string s;
                  for (int i = 0; i < 85; ++i) s += "7, ";
                  return s;
              }() + "...");
}

TEST(AttributeSearch, FirstMatchingEntryDecides) {
    auto op = parse(R"({"A": [
        {"N": 5, "AT": {"#": "0.a_i32", "D": 100}},
        {"N": "axis", "AT": {"#": "0.a_i32"}},
        {"N": "axis", "AT": {"#": "0.a_i32", "D": 2}},
        {"N": "alpha", "AT": {"#": "0.a_f32", "VD": " -INF "}},
        {"N": "flag", "AT": {"#": "0.a_bool", "D": true}},
        {"N": "mode", "AT": {"#": "0.a_str", "D": "SAME"}},
        {"N": "count", "AT": {"#": "0.a_i64", "D": 3.0}},
        {"N": "count2", "AT": {"#": "0.a_i64", "D": 3}}
    ]})");
    // The first "axis" has no data: the later one is never consulted.
    EXPECT_EQ(attr(op, "axis"), nullptr);
    EXPECT_EQ(attr_f64(op, "axis"), std::nullopt);
    EXPECT_EQ(op_attr_i64(op, "axis"), std::nullopt);
    // "VD" is read only through attr_f64.
    EXPECT_EQ(attr(op, "alpha"), nullptr);
    EXPECT_EQ(attr_f64(op, "alpha"), -kInf);
    // Booleans are not numbers; an integer read refuses one, and takes a whole float.
    EXPECT_EQ(attr_f64(op, "flag"), std::nullopt);
    EXPECT_EQ(op_attr_bool(op, "flag"), true);
    EXPECT_THROW(op_attr_i64(op, "flag"), Error);
    EXPECT_EQ(op_attr_str(op, "mode"), "SAME");
    EXPECT_EQ(op_attr_i64(op, "count"), 3);
    EXPECT_EQ(op_attr_i64(op, "count2"), 3);
    EXPECT_EQ(attr(op, "missing"), nullptr);
    EXPECT_EQ(attr(parse(R"({"A": {}})"), "axis"), nullptr);
}

// How an integer attribute may be written: the integer, or a float holding it; everything
// else is refused naming the operator and the attribute, never read as the default.
TEST(AttributeSearch, IntegerDataTakesWholeFloatsAndRefusesTheRest) {
    struct Row {
        const char* data;
        std::optional<int64_t> value;  // empty: refused
    };
    const Row rows[] = {
        {"2", 2},
        {"2.0", 2},
        {"-0.0", 0},
        {"-1e2", -100},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"-1e18", -1000000000000000000},
        {"0.5", std::nullopt},
        {"-2.25", std::nullopt},
        {"9223372036854775808", std::nullopt},    // an integer past the signed range
        {"9.223372036854775807e18", std::nullopt},  // rounds to 2^63
        {"1e300", std::nullopt},
        {R"("3")", std::nullopt},
        {"[3]", std::nullopt},
        {"true", std::nullopt},
        {"null", std::nullopt},
        {R"({"D": 3})", std::nullopt},
    };
    for (const Row& row : rows) {
        const auto op = parse(std::string(R"({"#": "1.softmax_", "A": [{"N": "axis", "AT": {"#": "0.a_i32", "D": )") +
                              row.data + "}}]}");
        EXPECT_EQ(whole_i64(*attr(op, "axis")), row.value) << row.data;
        if (row.value) {
            EXPECT_EQ(op_attr_i64(op, "axis"), row.value) << row.data;
            continue;
        }
        try {
            op_attr_i64(op, "axis");
            ADD_FAILURE() << row.data;
        } catch (const Error& e) {
            EXPECT_EQ(e.message().rfind("softmax_: attribute axis must be an integer, got ", 0), 0u)
                << e.message();
        }
    }
    // Lists name the operator and the attribute too.
    const auto op = parse(R"({"#": "1.transpose", "A": [{"N": "perm", "AT": {"#": "0.a_array", "D":
        [{"#": "0.a_i32", "D": 1.0}, {"#": "0.a_i32", "D": 0.5}]}}]})");
    try {
        op_attr_i64_items(op, "perm");
        ADD_FAILURE();
    } catch (const Error& e) {
        EXPECT_EQ(e.message(), "transpose: attribute perm holds a non-integer element 0.5");
    }
}

TEST(OperatorIds, InputsSkipInvalidEntries) {
    auto op = parse(R"({"I": [{"%": 3}, {"%": 2.0}, {}, 7, {"%": "4"},
                              {"%": 9223372036854775808}, {"%": -5}]})");
    EXPECT_EQ(op_input_ids(op), (std::vector<int64_t>{3, -5}));
    EXPECT_TRUE(op_input_ids(parse(R"({"I": {"%": 3}})")).empty());
    EXPECT_TRUE(op_input_ids(parse("{}")).empty());
}

TEST(OperatorIds, OutputIdForms) {
    EXPECT_EQ(op_out_id(parse(R"({"O": [{"%": 8}, {"%": 9}]})")), 8);
    EXPECT_EQ(op_out_id(parse(R"({"O": {"%": 9}})")), 9);
    EXPECT_EQ(op_out_id(parse(R"({"O": [{"%": -4}]})")), -4);
    for (const char* text : {R"({"O":[]})", R"({"#":"1.relu"})", R"({"O":[{"%":"7"}]})",
                             R"({"O":[{"%":7.0}]})", R"({"O":[{"%":9223372036854775808}]})",
                             R"({"O":5})"}) {
        EXPECT_EQ(try_op_out_id(parse(text)), std::nullopt) << text;
        try {
            op_out_id(parse(text));
            ADD_FAILURE() << text;
        } catch (const Error& e) {
            EXPECT_EQ(e.message(), std::string("Missing output ID in op: ") + text);
        }
    }
}

TEST(IntegerLists, FiltersByKind) {
    EXPECT_EQ(collect_int_values(parse(R"([1, -2, 3.0, "4", true, null, [5], {"D": 6},
                                             9223372036854775807, 9223372036854775808])")),
              (std::vector<int64_t>{1, -2, INT64_MAX}));
    EXPECT_EQ(collect_i64_items(parse(R"([{"D": 1}, 2, -6])")), (std::vector<int64_t>{1, 2, -6}));
    // A whole float is the integer it holds.
    EXPECT_EQ(collect_i64_items(parse(R"([{"D": 1}, 2, 3.0, {"D": -5.0}, -0.0])")),
              (std::vector<int64_t>{1, 2, 3, -5, 0}));
    // An element that is no integer is refused rather than skipped ([1, 1.5] is not [1]).
    for (const char* text : {R"([{"D": 1}, 2, 3.5])", R"([1, "4"])", R"([{"D": 5.25}])",
                             "[9223372036854775808]", "[9.3e18]", "[null]", "[true]", "[[1]]"}) {
        try {
            collect_i64_items(parse(text), "strides");
            ADD_FAILURE() << text;
        } catch (const Error& e) {
            EXPECT_EQ(e.message().rfind("strides holds a non-integer element ", 0), 0u) << e.message();
        }
    }
    EXPECT_EQ(collect_i64_items(parse("[9223372036854775807]")), (std::vector<int64_t>{INT64_MAX}));
    EXPECT_EQ(collect_dims(parse(R"([2, -1, 2.5, "x"])")), (std::vector<int64_t>{2, -1, -1, -1}));
    EXPECT_TRUE(collect_int_values(parse("{}")).empty());
    // A declared type keeps or drops the dims that are not integers as its caller asks, and
    // a "D" holding only the type counts unless refused.
    const auto entry = parse(R"({"TT": {"D": [{"#": "0.t_f32"}, [2, "x", 3]]}})");
    EXPECT_EQ(declared_type(entry, NonIntegerDims::Unknown)->dims, (std::vector<int64_t>{2, -1, 3}));
    EXPECT_EQ(declared_type(entry, NonIntegerDims::Dropped)->dims, (std::vector<int64_t>{2, 3}));
    const auto type_only = parse(R"({"TT": {"D": [{"#": "0.t_i64"}]}})");
    EXPECT_EQ(declared_type(type_only, NonIntegerDims::Unknown)->token, "0.t_i64");
    EXPECT_EQ(declared_type(type_only, NonIntegerDims::Unknown, TypeOnly::Refused), std::nullopt);
}

// A long list left out of a document reads, through its placeholder, as the same list in a
// document reads: every reader, every element kind, the same refusals.
TEST(LongLists, PlaceholdersReadAsTheirLists) {
    const auto results = [](const Json& list) {
        std::string out = fmt::format("size {} ints {} dims {} f64", list_size(list),
                                      fmt_dims(collect_int_values(list)), fmt_dims(collect_dims(list)));
        for (const double d : numbers_as_f64(list)) out += " " + fmt_f64(d);
        try {
            out += " items " + fmt_dims(collect_i64_items(list, "strides"));
        } catch (const Error& e) {
            out += " " + e.message();
        }
        return out;
    };
    for (const std::string text : {
             "[]", "[1, -2, 3.0, 9223372036854775807, 9223372036854775808, -0.0, 1e2, 0.5]",
             R"([{"#": "0.a_i64", "D": 1}, {"#":"0.a_f64","D":-5.0}, {"#": "", "D": 2.5}])",
             "[ 7 ,\n\t8\r]", "[-9223372036854775808, 4]"}) {
        const auto scan = scan_number_list(text);
        ASSERT_TRUE(scan) << text;
        EXPECT_EQ(scan->length, text.size()) << text;
        NumberLists lists;
        const NumberList& list = lists.add(text, scan->count, scan->wrapped);
        Json placeholder(rapidjson::kArrayType);
        JsonDocument doc;
        placeholder.PushBack(Json(rapidjson::StringRef(list.label.data(), list.label.size())), doc.GetAllocator());
        EXPECT_EQ(number_list(placeholder), &list);
        EXPECT_EQ(results(placeholder), results(parse(text))) << text;
        // A string of the same text that is not the label's own storage is no placeholder.
        const auto copy = parse(fmt::format(R"(["{}"])", list.label));
        EXPECT_EQ(number_list(copy), nullptr);
    }
    // Only numbers, or only {"#": tag, "D": number} objects in that order, stay out of the
    // document; anything else is read from it.
    for (const char* text : {R"([1, {"#": "t", "D": 2}])", R"([{"#": "t", "D": 2}, 1])", R"([{"D": 1, "#": "t"}])",
                             R"([{"#": "t\"", "D": 1}])", R"([{"#": "t", "D": 1, "N": 0}])", R"([{"#": 1, "D": 1}])",
                             R"([{"#": "t", "D": "nan"}])", R"(["1"])", "[[1]]", "[true]", "[null]", "[1,]", "[1 2]",
                             "[01]", "[-]", "[1", "{}", " [1]"}) {
        EXPECT_FALSE(scan_number_list(text).has_value()) << text;
    }
}

TEST(ElementTypes, WordsAreExactAndCaseSensitive) {
    EXPECT_EQ(paddle_dtype_token_to_onnx("ui8"), 2);
    EXPECT_EQ(paddle_dtype_token_to_onnx("float16"), 10);
    for (const char* w : {"F32", "Float32", "bf16", "ui16", "complex64", ""})
        EXPECT_EQ(paddle_dtype_token_to_onnx(w), std::nullopt) << w;
    // A value's token is its word behind "0.t_"; each type's short token reads back to it.
    EXPECT_EQ(paddle_token_to_onnx("0.t_int64"), 7);
    EXPECT_EQ(paddle_token_to_onnx("t_i64"), std::nullopt);
    for (int32_t code : {1, 2, 3, 5, 6, 7, 9, 10, 11})
        EXPECT_EQ(paddle_token_to_onnx(paddle_short_token(code)), code) << code;
    EXPECT_EQ(paddle_short_token(16), "");
    EXPECT_STREQ(onnx_dtype_name(8), "unknown");
    EXPECT_STREQ(onnx_dtype_name(16), "bfloat16");
}

TEST(Numbers, PlainDecimalRendering) {
    struct Case {
        double v;
        const char* want;
    };
    const Case cases[] = {
        {300.0, "300"},
        {1.5, "1.5"},
        {0.1, "0.1"},
        {-2.25, "-2.25"},
        {1e-7, "0.0000001"},
        {2147483648.0, "2147483648"},
        {9223372036854775808.0, "9223372036854776000"},
        {1e39, "1000000000000000000000000000000000000000"},
        {-0.0, "-0"},
        {0.0, "0"},
        {70000.0, "70000"},
        {1.0 / 3.0, "0.3333333333333333"},
        {kInf, "inf"},
        {-kInf, "-inf"},
        {std::nan(""), "NaN"},
    };
    for (const auto& c : cases) EXPECT_EQ(fmt_f64(c.v), c.want);
    // The smallest subnormal: 323 zeros after the point, then 5.
    EXPECT_EQ(fmt_f64(5e-324), "0." + std::string(323, '0') + "5");
    EXPECT_EQ(fmt_dims({2, 3}), "[2, 3]");
    EXPECT_EQ(fmt_dims({}), "[]");
}

TEST(Numbers, NarrowingToFloatRoundsToNearest) {
    const float max = std::numeric_limits<float>::max();
    const float inf = std::numeric_limits<float>::infinity();
    // FLT_MAX as usually written lies just above it and still rounds to it.
    EXPECT_EQ(to_f32_or_inf(3.4028235e38), max);
    EXPECT_EQ(to_f32_or_inf(-3.4028235e38), -max);
    // The halfway point to 2^128 ties to the even neighbour, infinity.
    EXPECT_EQ(to_f32_or_inf(340282356779733661637539395458142568448.0), inf);
    EXPECT_EQ(to_f32_or_inf(-1e39), -inf);
    EXPECT_EQ(to_f32_or_inf(0.1), 0.1f);
    EXPECT_EQ(to_f32_or_inf(kInf), inf);
}

TEST(Numbers, SaturatingConversionAndCheckedArithmetic) {
    EXPECT_EQ(saturate_i64(std::nan("")), 0);
    EXPECT_EQ(saturate_i64(kInf), INT64_MAX);
    EXPECT_EQ(saturate_i64(-kInf), INT64_MIN);
    EXPECT_EQ(saturate_i64(9223372036854775808.0), INT64_MAX);
    EXPECT_EQ(saturate_i64(-9223372036854775808.0), INT64_MIN);
    EXPECT_EQ(saturate_i64(-1e300), INT64_MIN);
    EXPECT_EQ(saturate_i64(2.9), 2);
    EXPECT_EQ(saturate_i64(-2.9), -2);
    EXPECT_EQ(saturate_i64(std::vector<double>{1.5, -0.5}), (std::vector<int64_t>{1, 0}));

    EXPECT_EQ(checked_mul(INT64_MAX, 2), std::nullopt);
    EXPECT_EQ(checked_mul(-1, INT64_MIN), std::nullopt);
    EXPECT_EQ(checked_mul(3, -4), -12);
    EXPECT_EQ(checked_add(INT64_MAX, 1), std::nullopt);
    EXPECT_EQ(checked_add(INT64_MIN, -1), std::nullopt);
    EXPECT_EQ(checked_add(INT64_MAX, -1), INT64_MAX - 1);
}
