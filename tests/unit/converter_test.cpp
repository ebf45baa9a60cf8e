// The converter's shared tables, model loading and the first pass.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>

#include "converter/converter.h"
#include "test_support.h"

using kestro::Converter;
using kestro::test::error_of;

namespace {

std::string program(const std::string& ops) {
    return R"({"program":{"regions":[{"blocks":[{"ops":)" + ops + "}]}]}}";
}

}  // namespace

TEST(ConverterState, ChildSeesParentSnapshotAndWritesStaySeparate) {
    Converter parent;
    parent.state.tensor_shapes.insert(5, {2, 3});
    parent.strict = true;
    parent.multinomial_warned = true;
    parent.opset = 13;

    Converter child = parent.sub_converter();
    EXPECT_EQ(child.graph.name, "Orvane_Subgraph");
    EXPECT_EQ(child.opset, 13);
    EXPECT_TRUE(child.strict);
    EXPECT_FALSE(child.multinomial_warned);
    EXPECT_TRUE(child.state.tensor_shapes.shares_with(parent.state.tensor_shapes));
    ASSERT_NE(child.state.tensor_shapes.find(5), nullptr);

    child.state.tensor_shapes.insert(6, {1});
    EXPECT_EQ(parent.state.tensor_shapes.find(6), nullptr);
    parent.state.tensor_dtypes.insert(7, "0.t_f32");
    EXPECT_EQ(child.state.tensor_dtypes.find(7), nullptr);

    // Tables neither side wrote stay shared.
    EXPECT_TRUE(child.state.combine_inputs.shares_with(parent.state.combine_inputs));

    // An erase in the child hides the parent's entry from the child only.
    child.state.tensor_shapes.erase(5);
    EXPECT_EQ(child.state.tensor_shapes.find(5), nullptr);
    EXPECT_EQ(child.state.tensor_shapes.size(), 1u);
    ASSERT_NE(parent.state.tensor_shapes.find(5), nullptr);
    child.state.tensor_shapes.insert(5, {4});
    EXPECT_EQ(*child.state.tensor_shapes.find(5), std::vector<int64_t>{4});
    EXPECT_EQ(*parent.state.tensor_shapes.find(5), (std::vector<int64_t>{2, 3}));
}

TEST(DeclaredResults, OtherDimsGiveWayOtherTypesAreRefused) {
    using Dims = std::optional<std::vector<int64_t>>;
    const int32_t f32 = kestro::proto::dtype::FLOAT, i64 = kestro::proto::dtype::INT64;
    struct Case {
        Dims declared;
        std::optional<int32_t> type;
        Dims computed;
        Dims recorded;      // what the value is recorded with afterwards
        std::string error;  // or the refusal
    } cases[] = {
        {std::vector<int64_t>{-1, 8}, f32, std::vector<int64_t>{}, std::vector<int64_t>{}, ""},
        {std::vector<int64_t>{2, 3}, f32, std::vector<int64_t>{2, 4}, std::vector<int64_t>{2, 4}, ""},
        // Agreeing or unknown computed dims keep the declaration.
        {std::vector<int64_t>{2, 3}, f32, std::vector<int64_t>{-1, 3}, std::vector<int64_t>{2, 3}, ""},
        {std::vector<int64_t>{-1, 3}, std::nullopt, std::nullopt, std::vector<int64_t>{-1, 3}, ""},
        {std::vector<int64_t>{2, 3}, i64, std::vector<int64_t>{6},
         std::vector<int64_t>{2, 3}, "op declares its output 1 as float32 [2, 3], but computes int64 [6]"},
    };
    for (const Case& k : cases) {
        Converter c;
        c.state.tensor_dtypes.insert(1, "0.t_f32");
        c.state.tensor_shapes.insert(1, *k.declared);
        EXPECT_EQ(error_of([&] { c.settle_output("op", 1, k.type, k.computed); }, ""), k.error);
        const std::vector<int64_t>* got = c.state.tensor_shapes.find(1);
        EXPECT_EQ(got ? Dims(*got) : std::nullopt, k.recorded);
    }
    EXPECT_EQ(kestro::joined_dims(std::vector<int64_t>{2, 8}, std::vector<int64_t>{3, 8}), (std::vector<int64_t>{-1, 8}));
    EXPECT_EQ(kestro::joined_dims(std::vector<int64_t>{}, std::vector<int64_t>{-1, 8}), std::nullopt);
    EXPECT_EQ(kestro::joined_dims(std::nullopt, std::vector<int64_t>{1}), std::nullopt);
}

TEST(ConverterState, InsertReturnsPreviousValue) {
    Converter c;
    EXPECT_FALSE(c.state.tensor_names.insert(1, "a").has_value());
    EXPECT_EQ(c.state.tensor_names.insert(1, "b").value(), "a");
    EXPECT_EQ(*c.state.tensor_names.find(1), "b");
}

TEST(ConverterState, FreshConvertersShareNothing) {
    Converter a, b;
    EXPECT_FALSE(a.state.tensor_names.shares_with(b.state.tensor_names));
    EXPECT_EQ(a.graph.name, "Orvane_Model");
    EXPECT_EQ(a.opset, 17);
}

TEST(ConverterNames, TensorNamesAndOpsetGate) {
    Converter c;
    EXPECT_EQ(c.optional_tensor_name(0), "");
    EXPECT_EQ(c.get_tensor_name(12), "tensor_12");
    EXPECT_EQ(c.optional_tensor_name(12), "tensor_12");
    EXPECT_EQ(error_of([&] { c.get_tensor_name(-3); }), "Undefined value id -3");
    c.state.tensor_names.insert(-3, "x");
    EXPECT_EQ(c.get_tensor_name(-3), "x");

    // Where a value is needed, an absent one (id 0) or one named "" would become an empty node
    // input, which ONNX reads as an omitted optional one: refused naming the operator and where
    // it reads or writes the value.
    kestro::test::Ops ops;
    c.state.tensor_names.insert(7, "");
    struct Case {
        const char* op;
        int64_t id;
        const char* message;
    };
    const Case cases[] = {
        {R"({"#":"1.pool2d","I":[{"%":5},{"%":0}],"O":[{"%":9}]})", 0,
         "pool2d: operand 1 is absent (%0), where pool2d needs a value"},
        {R"({"#":"1.clip_","I":[{"%":5},{"%":0},{"%":0}],"O":[{"%":9}]})", 0,
         "clip_: operands 1, 2 are absent (%0), where clip_ needs a value"},
        {R"({"#":"1.scale","I":[{"%":5}],"O":[{"%":0}]})", 0, "scale: output 0 is absent (%0), where scale needs a value"},
        {R"({"#":"1.concat","I":[{"%":4}],"O":[{"%":9}]})", 0,
         "concat: a value it reads is absent (%0), where concat needs a value"},
        {R"({"#":"1.matmul","I":[{"%":5},{"%":7}],"O":[{"%":9}]})", 7,
         "matmul: operand 1 (value 7) has an empty name, which ONNX reads as no value"},
        {R"({"#":"1.concat","I":[{"%":4}],"O":[{"%":9}]})", 7,
         "concat: value 7 has an empty name, which ONNX reads as no value"},
    };
    for (const Case& k : cases) {
        c.current_op = &ops(k.op);
        EXPECT_EQ(error_of([&] { c.get_tensor_name(k.id); }), k.message);
        EXPECT_EQ(error_of([&] { c.optional_tensor_name(k.id); }), k.id == 0 ? "<no error>" : k.message);
    }
    c.current_op = nullptr;

    c.opset = 12;
    EXPECT_NO_THROW(c.require_opset("einsum", 12));
    EXPECT_EQ(error_of([&] { c.require_opset("einsum", 13); }),
              "einsum requires opset >= 13, but target opset is 12");
}

TEST(ModelLoading, RefusesWhatIsNotAProgram) {
    const std::string ops_message =
        "Could not find ops array in JSON under /program/regions/0/blocks/0/ops";
    // (A surrogate pair, and an escaped backslash before "udc00", are texts the reader takes.)
    for (const std::string& text : {std::string(R"({"x":1})"), program(R"({"a":1})"),
                                   std::string("[]"), std::string(R"({"x":"\ud83d\ude00"})"),
                                   std::string(R"({"x":"\\udc00"})")}) {
        Converter c;
        EXPECT_EQ(error_of([&] { c.load_paddle_model_from_text(text); }), ops_message) << text;
    }
    // Three end inside a multi-byte sequence of a string; the last holds a lone low surrogate.
    for (const std::string& text : {std::string("{"), std::string("{} x"),
                                   std::string("{\"a\": \"\xff\"}"), std::string("{}\0{}", 5),
                                   std::string("\"\xf4"), std::string("{\"a\":\"\xf0"),
                                   std::string("[\"\xe2"), std::string(R"({"a":"\udc00"})")}) {
        Converter c;
        const std::string message = error_of([&] { c.load_paddle_model_from_text(text); });
        EXPECT_NE(message.find("line 1 column"), std::string::npos) << message;
    }
}

TEST(ModelLoading, NumberLiteralsTakeTheirCorrectlyRoundedValue) {
    // The value attribute of a folded full, as the first pass records it.
    auto full_value = [](const std::string& literal) {
        Converter c;
        c.load_paddle_model_from_text(program(
            R"([{"#":"1.full","A":[{"N":"value","AT":{"#":"0.a_f64","D":)" + literal +
            R"(}},{"N":"dtype","AT":{"#":"1.a_dtype","D":"float64"}}],"O":[{"%":1}]}])"));
        const auto* values = c.state.const_values.find(1);
        return values && values->size() == 1 ? (*values)[0] : -12345.0;
    };
    const std::string dbl_max_digits = "179769313486231570814527423731704356798070567525844996598917476803157260780028538760589558632766878171540458953514382464234321326889464182768467546703537516986049910576551282076245490090389328944075868508455133942304583236903222948165808559332123348274797826204144723168738177180919299881250404026184124858368";
    const std::pair<std::string, double> cases[] = {
        {"0e81", 0.0},
        {"0.000e300", 0.0},
        {"0e50", 0.0},
        {"0e-81", 0.0},
        {"0e309", 0.0},
        {"-0e0000999", -0.0},
        {"1e-400", 0.0},
        {"2.4703282292062328e-324", 4.9406564584124654e-324},
        {"1.7976931348623158e308", 1.7976931348623157e308},
        {"0.1e309", 1e308},
        {dbl_max_digits, 1.7976931348623157e308},
        {"9007199254740993", 9007199254740992.0},
        {"0.30000000000000004", 0.30000000000000004},
        {"18446744073709551616", 18446744073709551616.0},
    };
    for (const auto& [literal, want] : cases) {
        const double got = full_value(literal);
        EXPECT_EQ(got, want) << literal;
        EXPECT_EQ(std::signbit(got), std::signbit(want)) << literal;
    }
    // Beyond the double range: refused at the literal, in the parser's words.
    for (const std::string& literal : {std::string("1e309"), std::string("-1.7976931348623159e308"),
                                      "1" + std::string(72, '9') + "e237", "1" + dbl_max_digits}) {
        Converter c;
        EXPECT_EQ(error_of([&] { c.load_paddle_model_from_text("[\n  " + literal + "]"); }),
                  "Number too big to be stored in double. at line 2 column 3")
            << literal;
    }
}

TEST(ModelLoading, NestingLimitIs128) {
    auto nested = [](int depth) {
        // depth levels in total, the outermost being the document object
        std::string inner = "1";
        for (int i = 1; i < depth; ++i) inner = "[" + inner + "]";
        return R"({"program":)" + inner + "}";
    };
    Converter ok;
    EXPECT_EQ(error_of([&] { ok.load_paddle_model_from_text(nested(128)); }),
              "Could not find ops array in JSON under /program/regions/0/blocks/0/ops");
    Converter deep;
    EXPECT_NE(error_of([&] { deep.load_paddle_model_from_text(nested(129)); })
                  .find("recursion limit exceeded"),
              std::string::npos);
}

TEST(ModelLoading, SizeLimitIsCheckedBeforeReading) {
    const std::string path = ::testing::TempDir() + "/kestro_big.json";
    {
        std::ofstream f(path, std::ios::binary);
        f.seekp(268435456);  // one byte past the limit once the byte is written
        f.put(' ');
    }
    Converter c;
    EXPECT_EQ(error_of([&] { c.load_paddle_model(path); }),
              "model JSON is too large: 268435457 bytes exceeds soft limit 268435456 bytes");
    std::remove(path.c_str());

    Converter missing;
    EXPECT_EQ(error_of([&] { missing.load_paddle_model("/nonexistent/kestro.json"); }),
              "No such file or directory (os error 2)");
}

TEST(FirstPass, ParametersCombinesSplitsAndDims) {
    Converter c;
    c.load_paddle_model_from_text(program(R"([
      {"#":"p","A":[0,1,1,"c"],"O":[{"%":1,"TT":{"D":[{"#":"0.t_f32"},[2,-1,3.5,"x"]]}}]},
      {"#":"p","A":[0,1,1,"a.b"],"O":[{"%":2,"TT":{"D":[{"#":"0.t_i64"},[4]]}}]},
      {"#":"p","A":[0,1,1,"W"],"O":[{"%":3}]},
      {"#":"p","A":[0,1,1,"a"],"O":[{"%":4,"TT":{"D":[{"#":"0.t_bf16"},[]]}}]},
      {"#":"p","A":[0],"O":[{"%":5}]},
      {"#":"p","A":[1],"O":[{"%":6}]},
      {"#":"p","A":["nameless"],"O":[{"%":"7"}]},
      {"#":"0.combine","I":[{"%":1},{"%":2.0},{"%":2}],"O":[{"%":8}]},
      {"#":"0.split","I":[{"%":8}],"O":[]},
      {"#":"0.split","I":[],"O":[{"%":10}]},
      {"#":5,"O":[{"%":11,"TT":{"D":[{"#":"0.t_bool"},[1]]}}]}
    ])"));
    const auto& names = c.state.param_names.get();
    EXPECT_EQ(names, (std::vector<std::string>{"W", "a", "a.b", "c", "unknown_param",
                                               "unknown_param"}));
    EXPECT_EQ(c.state.param_meta.size(), 5u);
    EXPECT_EQ(c.state.param_meta.find("c")->shape, (std::vector<int64_t>{2, -1, -1, -1}));
    EXPECT_EQ(c.state.param_meta.find("c")->dtype, 1);
    EXPECT_EQ(c.state.param_meta.find("a.b")->dtype, 7);
    // bf16 values are refused where used, but a parameter's record must still match it.
    EXPECT_EQ(c.state.param_meta.find("a")->dtype, 16);
    EXPECT_TRUE(c.state.param_meta.find("W")->shape.empty());
    EXPECT_EQ(*c.state.tensor_names.find(2), "a.b");
    EXPECT_EQ(c.state.tensor_names.find(7), nullptr);

    EXPECT_EQ(*c.state.combine_inputs.find(8), (std::vector<int64_t>{1, 2}));
    EXPECT_TRUE(c.state.split_outputs.find(8)->empty());
    EXPECT_EQ(c.state.split_outputs.size(), 1u);
    // An operator with a numeric name still records its outputs' metadata.
    EXPECT_EQ(*c.state.tensor_dtypes.find(11), "0.t_bool");
}

TEST(FirstPass, NestedBlocksKeepMetadataButNotConstants) {
    Converter c;
    c.load_paddle_model_from_text(program(R"([
      {"#":"2.custom","O":[{"%":1}],"regions":[{"blocks":[{"args":[{"#":20,"TT":{"D":[{"#":"0.t_i32"},[]]}}],
        "ops":[{"#":"1.full","A":[{"N":"value","AT":{"#":"0.a_f64","D":3.0}}],
                "O":[{"%":21,"TT":{"D":[{"#":"0.t_f32"},[1]]}}]}]}]}]},
      {"#":"1.full","A":[{"N":"value","AT":{"#":"0.a_f64","D":2.0}}],"O":[{"%":22}]}
    ])"));
    EXPECT_EQ(*c.state.tensor_dtypes.find(20), "0.t_i32");
    EXPECT_EQ(*c.state.tensor_shapes.find(21), (std::vector<int64_t>{1}));
    EXPECT_EQ(c.state.const_values.find(21), nullptr);
    ASSERT_NE(c.state.const_values.find(22), nullptr);
    EXPECT_EQ(*c.state.const_values.find(22), (std::vector<double>{2.0}));
}

// Lowerings compute an output past an operator's first only when the first pass saw it read:
// by a later operator or an operator of a nested block. A first output, an unread one and an
// id read before it is made (not one of its outputs yet) are not. (The operators are of a
// dialect the second pass skips.)
TEST(FirstPass, NotesReadsOfOutputsPastTheFirst) {
    Converter c;
    c.load_paddle_model_from_text(program(R"([
      {"#":"2.reader","I":[{"%":4}],"O":[{"%":9}]},
      {"#":"2.statistics","I":[{"%":1}],"O":[{"%":2},{"%":3},{"%":4},{"%":5}]},
      {"#":"2.reader","I":[{"%":2}],"O":[{"%":6}]},
      {"#":"2.reader","I":[{"%":1},{"%":3}],"O":[{"%":7}]},
      {"#":"2.branch","I":[{"%":1}],"O":[{"%":8}],"regions":[{"blocks":[{"ops":[
        {"#":"2.reader","I":[{"%":5}],"O":[{"%":10}]}]}]}]}
    ])"));
    EXPECT_TRUE(c.secondary_output_is_read(3));
    EXPECT_TRUE(c.secondary_output_is_read(5));
    EXPECT_FALSE(c.secondary_output_is_read(2));
    EXPECT_FALSE(c.secondary_output_is_read(4));
}

TEST(FirstPass, EmptyProgramConvertsNothing) {
    Converter c;
    c.load_paddle_model_from_text(program("[]"));
    EXPECT_TRUE(c.state.param_names.get().empty());
    EXPECT_TRUE(c.graph.node.empty());
}
