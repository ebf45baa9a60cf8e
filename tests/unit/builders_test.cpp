// Node and initializer builders: the opset-dependent forms and the scalar encoder.
#include <cmath>
#include <string>

#include <gtest/gtest.h>

#include "converter/converter.h"
#include "test_support.h"

using namespace kestro;

using test::error_of;
using test::i64s;
using test::Ints;
using test::kInf;
using test::Names;
using test::names_of;

TEST(SliceBuilder, AttributesBelowOpset10) {
    Converter c;
    c.opset = 9;
    c.add_slice_node("x", "y", {0, 1}, {4, 5}, Ints{0, 2}, Ints{1, 1}, "p");
    ASSERT_EQ(c.graph.node.size(), 1u);
    const auto& n = c.graph.node[0];
    EXPECT_EQ(n.op_type, "Slice");
    EXPECT_EQ(n.input, Names{"x"});
    EXPECT_EQ(names_of(n.attribute), (Names{"starts", "ends", "axes"}));
    EXPECT_EQ(n.attribute[1].ints, (Ints{4, 5}));
    EXPECT_TRUE(c.graph.initializer.empty());

    EXPECT_EQ(error_of([&] { c.add_slice_node("x", "y", {0, 0}, {1, 1}, std::nullopt, Ints{1, 2}, "q"); }),
              "Slice with steps != 1 requires opset >= 10");
    EXPECT_EQ(c.graph.node.size(), 1u);
}

TEST(SliceBuilder, InputsFromOpset10) {
    Converter c;
    c.opset = 10;
    c.add_slice_node("x", "y", {1}, {-1}, std::nullopt, Ints{2}, "p");
    EXPECT_EQ(names_of(c.graph.initializer), (Names{"p_starts", "p_ends", "p_axes", "p_steps"}));
    EXPECT_EQ(i64s(c.graph.initializer[2]), Ints{0});
    EXPECT_EQ(i64s(c.graph.initializer[3]), Ints{2});
    EXPECT_EQ(c.graph.initializer[0].dims, Ints{1});
    ASSERT_EQ(c.graph.node.size(), 1u);
    EXPECT_EQ(c.graph.node[0].input, (Names{"x", "p_starts", "p_ends", "p_axes", "p_steps"}));
    EXPECT_TRUE(c.graph.node[0].attribute.empty());

    Converter d;
    d.add_slice_node("x", "y", {1}, {3}, std::nullopt, std::nullopt, "s");
    EXPECT_EQ(names_of(d.graph.initializer), (Names{"s_starts", "s_ends"}));
    EXPECT_EQ(d.graph.node[0].input, (Names{"x", "s_starts", "s_ends"}));
}

TEST(SliceBuilder, LengthChecksComeFirstAndAppendNothing) {
    Converter c;
    c.opset = 9;
    EXPECT_EQ(error_of([&] { c.add_slice_node("x", "y", {0, 0}, {5}, std::nullopt, Ints{3}, "p"); }),
              "Slice starts/ends length mismatch: 2 vs 1");
    EXPECT_EQ(error_of([&] { c.add_slice_node("x", "y", {0}, {5}, Ints{0, 1}, std::nullopt, "p"); }),
              "Slice axes length 2 does not match starts length 1");
    c.opset = 17;
    EXPECT_EQ(error_of([&] { c.add_slice_node("x", "y", {0}, {5}, Ints{0}, Ints{1, 1}, "p"); }),
              "Slice steps length 2 does not match starts length 1");
    EXPECT_TRUE(c.graph.node.empty());
    EXPECT_TRUE(c.graph.initializer.empty());
}

TEST(AxesBuilders, SqueezeUnsqueezeAndReduceSwitchOnOpset) {
    struct Case {
        int64_t opset;
        bool squeeze_input;  // axes as an input from 13
        bool reduce_input;   // axes as an input from 18
        bool sum_input;      // ReduceSum's axes as an input from 13
    };
    for (const Case& k : {Case{12, false, false, false}, Case{13, true, false, true},
                          Case{17, true, false, true}, Case{18, true, true, true}}) {
        SCOPED_TRACE(k.opset);
        Converter c;
        c.opset = k.opset;
        c.add_squeeze_node("a", "b", Ints{0}, std::nullopt);
        c.add_unsqueeze_node("b", "c", {1}, "unsq_axes");
        c.add_reduce_node("ReduceMax", "c", "d", Ints{1}, 0, "r");
        c.add_reduce_node("ReduceSum", "d", "e", Ints{0}, 1, "s");
        ASSERT_EQ(c.graph.node.size(), 4u);
        const auto& sum = c.graph.node[3];
        EXPECT_EQ(sum.input, k.sum_input ? (Names{"d", "s_axes"}) : Names{"d"});
        EXPECT_EQ(names_of(sum.attribute), k.sum_input ? Names{"keepdims"} : (Names{"axes", "keepdims"}));
        const auto& sq = c.graph.node[0];
        const auto& unsq = c.graph.node[1];
        const auto& red = c.graph.node[2];
        Names inits;
        if (k.squeeze_input) {
            EXPECT_EQ(sq.input, (Names{"a", "squeeze_axes"}));
            EXPECT_TRUE(sq.attribute.empty());
            EXPECT_EQ(unsq.input, (Names{"b", "unsq_axes"}));
            inits = {"squeeze_axes", "unsq_axes"};
        } else {
            EXPECT_EQ(sq.input, Names{"a"});
            EXPECT_EQ(names_of(sq.attribute), Names{"axes"});
            EXPECT_EQ(names_of(unsq.attribute), Names{"axes"});
            EXPECT_EQ(unsq.attribute[0].ints, Ints{1});
        }
        if (k.reduce_input) {
            EXPECT_EQ(red.input, (Names{"c", "r_axes"}));
            EXPECT_EQ(names_of(red.attribute), Names{"keepdims"});
            inits.push_back("r_axes");
        } else {
            EXPECT_EQ(red.input, Names{"c"});
            EXPECT_EQ(names_of(red.attribute), (Names{"axes", "keepdims"}));
        }
        EXPECT_EQ(red.attribute.back().i, 0);
        if (k.sum_input) inits.push_back("s_axes");
        EXPECT_EQ(names_of(c.graph.initializer), inits);
    }
}

TEST(AxesBuilders, WithoutAxesOnlyTheInput) {
    Converter c;
    c.opset = 18;
    c.add_squeeze_node("a", "b", std::nullopt, std::string("ignored"));
    c.add_reduce_node("ReduceMin", "b", "c", std::nullopt, 1, "r");
    EXPECT_EQ(c.graph.node[0].input, Names{"a"});
    EXPECT_TRUE(c.graph.node[0].attribute.empty());
    EXPECT_EQ(c.graph.node[1].input, Names{"b"});
    EXPECT_EQ(names_of(c.graph.node[1].attribute), Names{"keepdims"});
    EXPECT_TRUE(c.graph.initializer.empty());
}

TEST(Initializers, DimsDefaultingAndBytes) {
    Converter c;
    c.push_i64_initializer("s", {}, {5});
    c.push_i64_initializer("v", {}, {5, -6});
    c.push_i64_initializer("e", {}, {});
    c.push_i64_initializer("m", {2, 1}, {1, 2});
    c.push_f32_initializer("f", {}, {0.5f});
    c.push_numeric_initializer("n", {}, proto::dtype::INT32, {1, 2});
    const auto& g = c.graph.initializer;
    EXPECT_TRUE(g[0].dims.empty());
    EXPECT_EQ(g[1].dims, Ints{2});
    EXPECT_EQ(i64s(g[1]), (Ints{5, -6}));
    EXPECT_EQ(g[2].dims, Ints{0});
    EXPECT_EQ(g[3].dims, (Ints{2, 1}));
    EXPECT_EQ(g[4].data_type, proto::dtype::FLOAT);
    EXPECT_EQ(g[4].raw_data.view(), std::string("\x00\x00\x00\x3f", 4));
    // Numeric initializers keep their dims exactly, even when that makes a scalar.
    EXPECT_TRUE(g[5].dims.empty());
    EXPECT_EQ(g[5].raw_data.view(), std::string("\x01\x00\x00\x00\x02\x00\x00\x00", 8));

    auto t = Converter::vector_i64("one", {7});
    EXPECT_EQ(t.dims, Ints{1});
    EXPECT_EQ(t.data_type, proto::dtype::INT64);

    // A failing element appends nothing.
    EXPECT_EQ(error_of([&] { c.push_numeric_initializer("bad", {2}, proto::dtype::INT8, {1, 300}); }),
              "value 300 is out of range for int8");
    EXPECT_EQ(g.size(), 6u);
}

TEST(ScalarEncoding, IntegerRule) {
    namespace d = proto::dtype;
    auto enc = [](int32_t t, double v) { return Converter::encode_scalar_f64_as_raw_data(t, v); };
    EXPECT_EQ(enc(d::UINT8, 255), (std::vector<uint8_t>{0xFF}));
    EXPECT_EQ(enc(d::INT8, -128), (std::vector<uint8_t>{0x80}));
    EXPECT_EQ(enc(d::INT16, -2), (std::vector<uint8_t>{0xFE, 0xFF}));
    EXPECT_EQ(enc(d::INT32, -0.0), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(enc(d::INT64, 9223372036854775808.0),
              (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}));
    EXPECT_EQ(enc(d::INT64, -9223372036854775808.0),
              (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0, 0x80}));

    struct Case {
        int32_t type;
        double v;
        const char* message;
    };
    const Case bad[] = {
        {d::UINT8, 256, "value 256 is out of range for uint8"},
        {d::UINT8, -1, "value -1 is out of range for uint8"},
        {d::INT16, 32768, "value 32768 is out of range for int16"},
        {d::INT32, 2147483648.0, "value 2147483648 is out of range for int32"},
        {d::INT64, 18446744073709551616.0, "value 18446744073709552000 is out of range for int64"},
        {d::INT32, 1.5, "cannot encode non-integer value 1.5 as int32 without losing precision"},
        {d::INT64, -0.25, "cannot encode non-integer value -0.25 as int64 without losing precision"},
        {d::INT8, kInf, "cannot encode non-finite value inf as int8"},
        {d::INT64, std::nan(""), "cannot encode non-finite value NaN as int64"},
        // Finiteness is checked before integrality, integrality before range.
        {d::UINT8, -kInf, "cannot encode non-finite value -inf as uint8"},
        {d::UINT8, 300.5, "cannot encode non-integer value 300.5 as uint8 without losing precision"},
    };
    for (const auto& c : bad) EXPECT_EQ(error_of([&] { enc(c.type, c.v); }), c.message);
}

TEST(ScalarEncoding, FloatsBoolAndUnsupportedCodes) {
    namespace d = proto::dtype;
    auto enc = [](int32_t t, double v) { return Converter::encode_scalar_f64_as_raw_data(t, v); };
    auto half = [&](double v) {
        auto b = enc(d::FLOAT16, v);
        return static_cast<uint16_t>(b[0] | (b[1] << 8));
    };
    EXPECT_EQ(half(65504), 0x7BFF);
    EXPECT_EQ(half(1.0 / 3.0), 0x3555);
    EXPECT_EQ(half(65519), 0x7BFF);                    // below the halfway point
    EXPECT_EQ(half(std::ldexp(1.0, -24)), 0x0001);     // smallest subnormal
    EXPECT_EQ(half(std::ldexp(1.0, -25)), 0x0000);     // tie rounds to even (zero)
    EXPECT_EQ(half(std::ldexp(3.0, -25)), 0x0002);     // tie rounds to even (two)
    EXPECT_EQ(half(std::ldexp(1023.0, -24) + std::ldexp(1.0, -25)), 0x0400);  // carry to normal
    EXPECT_EQ(half(kInf), 0x7C00);
    EXPECT_EQ(half(std::nan("")) & 0x7C00, 0x7C00);
    EXPECT_NE(half(std::nan("")) & 0x03FF, 0);

    EXPECT_EQ(enc(d::FLOAT, 0.5), (std::vector<uint8_t>{0, 0, 0, 0x3F}));
    EXPECT_EQ(enc(d::FLOAT, kInf), (std::vector<uint8_t>{0, 0, 0x80, 0x7F}));
    EXPECT_EQ(enc(d::FLOAT, 3.4028235e38), (std::vector<uint8_t>{0xFF, 0xFF, 0x7F, 0x7F}));
    EXPECT_EQ(enc(d::BOOL, -0.0), (std::vector<uint8_t>{0}));
    EXPECT_EQ(enc(d::BOOL, 0.25), (std::vector<uint8_t>{1}));
    EXPECT_EQ(enc(d::BOOL, -kInf), (std::vector<uint8_t>{1}));

    struct Case {
        int32_t type;
        double v;
        std::string message;
    };
    const Case bad[] = {
        {d::FLOAT, 1e39,
         "cannot encode out-of-range finite value 1" + std::string(39, '0') + " as float32"},
        {d::FLOAT16, 1e39,
         "cannot encode out-of-range finite value 1" + std::string(39, '0') + " as float16"},
        {d::FLOAT16, 70000, "value 70000 is out of range for float16"},
        {d::FLOAT16, 65520, "value 65520 is out of range for float16"},
        {d::BOOL, std::nan(""), "cannot encode NaN as bool"},
        {d::BFLOAT16, 1, "unsupported initializer dtype bfloat16"},
        {d::UINT16, 1, "unsupported initializer dtype uint16"},
        {d::STRING, 1, "unsupported initializer dtype unknown"},
        {d::UINT64, 1, "unsupported initializer dtype unknown"},
    };
    for (const auto& c : bad) EXPECT_EQ(error_of([&] { enc(c.type, c.v); }), c.message);
}

TEST(DtypeLookups, RecordedTokens) {
    Converter c;
    c.state.tensor_dtypes.insert(1, "0.t_f32");
    c.state.tensor_dtypes.insert(2, "0.t_bf16");
    c.state.tensor_dtypes.insert(3, "f32");
    c.state.tensor_dtypes.insert(4, "0.t");
    EXPECT_EQ(c.maybe_onnx_dtype_for_tensor_id(1), proto::dtype::FLOAT);
    EXPECT_EQ(c.onnx_dtype_for_tensor_id(1), proto::dtype::FLOAT);
    EXPECT_EQ(c.maybe_onnx_dtype_for_tensor_id(99), std::nullopt);
    EXPECT_EQ(error_of([&] { c.onnx_dtype_for_tensor_id(99); }), "missing dtype metadata for tensor 99");
    EXPECT_EQ(error_of([&] { c.maybe_onnx_dtype_for_tensor_id(2); }),
              "Unsupported Paddle element type: 0.t_bf16");
    EXPECT_EQ(error_of([&] { c.maybe_onnx_dtype_for_tensor_id(3); }), "Unsupported Paddle element type: f32");
    EXPECT_EQ(error_of([&] { c.maybe_onnx_dtype_for_tensor_id(4); }), "Unsupported Paddle element type: 0.t");
}

TEST(NodeBuilders, NamesForIdsStopAtTheFirstError) {
    Converter c;
    c.state.tensor_names.insert(5, "x");
    EXPECT_EQ(c.optional_tensor_names_for_ids({5, 0, 6}), (Names{"x", "", "tensor_6"}));
    EXPECT_EQ(error_of([&] { c.tensor_names_for_ids({5, -3}); }), "Undefined value id -3");
    EXPECT_EQ(error_of([&] { c.optional_tensor_names_for_ids({0, -3}); }), "Undefined value id -3");
    // Where a value is needed, an absent one (id 0) would become an omitted input.
    EXPECT_EQ(error_of([&] { c.tensor_names_for_ids({5, 0, 6}); }),
              "the program: a value it reads is absent (%0), where the program needs a value");
}

TEST(AxesBuilders, EmptyReduceAxesBelow18WriteNoAttribute) {
    // An empty INTS attribute is invalid ONNX; without it the node reduces every axis,
    // which is what an empty list asks for.
    Converter c;
    c.opset = 17;
    c.add_reduce_node("ReduceSum", "a", "b", Ints{}, 1, "r");
    EXPECT_EQ(names_of(c.graph.node[0].attribute), Names{"keepdims"});
    EXPECT_TRUE(c.graph.initializer.empty());
}
