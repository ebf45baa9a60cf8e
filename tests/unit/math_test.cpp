// Arithmetic, bitwise, activation and matrix lowerings and the index helpers: the forms chosen
// from recorded types and the target opset, the refusals, and the constants they write.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include <rapidjson/document.h>

#include "converter/converter.h"
#include "test_support.h"

using kestro::Converter;
namespace proto = kestro::proto;
namespace dt = kestro::proto::dtype;
using kestro::test::error_of;
using kestro::test::i64s;
using kestro::test::Ints;
using kestro::test::Names;
using kestro::test::op_types;

namespace {

// One attribute entry of an operator object, its data given as JSON text.
std::string a(const char* name, const char* data) {
    return fmt::format(R"({{"N":"{}","AT":{{"#":"t","D":{}}}}})", name, data);
}

struct Ops : kestro::test::Ops {
    // An operator over inputs `ins` with first output `out`, the attribute entries `attrs`
    // (joined with commas) and optionally a declared output type token.
    const kestro::Json& operator()(const Ints& ins, int64_t out, const std::string& attrs = "",
                                   const std::string& out_token = "") {
        std::string output = fmt::format(R"({{"%":{})", out);
        if (!out_token.empty())
            output += fmt::format(R"(,"TT":{{"#":"0.t_dtensor","D":[{{"#":"{}"}},[]]}})", out_token);
        return kestro::test::Ops::operator()(kestro::test::op_text(
            "1.op", kestro::test::value_entries(ins), attrs, output + "}"));
    }
};

Converter with_types(int64_t opset, std::initializer_list<std::pair<int64_t, std::string>> types) {
    Converter c;
    c.opset = opset;
    for (const auto& [id, word] : types) c.state.tensor_dtypes.insert(id, "0.t_" + word);
    return c;
}

const proto::TensorProto& init(const Converter& c, const std::string& name) {
    for (const auto& t : c.graph.initializer)
        if (t.name == name) return t;
    throw std::runtime_error("no initializer " + name);
}

}  // namespace

TEST(IndexHelpers, NormalizeAxisUsesOnlyTheRecordedRank) {
    Converter c;
    c.state.tensor_shapes.insert(1, {2, -1, 4, 5});
    c.state.tensor_shapes.insert(2, {3, 3});
    c.state.tensor_shapes.insert(3, {1, 2, 3});
    EXPECT_EQ(c.normalize_axis(-1, 1), 3);
    EXPECT_EQ(c.normalize_axis(7, 2), 7);
    EXPECT_EQ(c.normalize_axis(-5, 3), -2);
    EXPECT_EQ(error_of([&] { c.normalize_axis(2, 9); }), "missing rank metadata for tensor 9");
    EXPECT_TRUE(c.graph.node.empty());
}

TEST(IndexHelpers, EnsureI64InputCastsAllButExactInt64) {
    Converter c = with_types(17, {{1, "i64"}, {2, "i32"}, {3, "int64"}});
    EXPECT_EQ(c.ensure_i64_input(1, 42, "p"), "tensor_1");
    EXPECT_TRUE(c.graph.node.empty());
    EXPECT_EQ(c.ensure_i64_input(2, 42, "strided_slice_starts"), "strided_slice_starts_i64_42");
    EXPECT_EQ(c.ensure_i64_input(3, 43, "p"), "p_i64_43");  // the long word is not "0.t_i64"
    EXPECT_EQ(c.ensure_i64_input(4, 44, "p"), "p_i64_44");  // no recorded type
    ASSERT_EQ(op_types(c), (Names{"Cast", "Cast", "Cast"}));
    EXPECT_EQ(c.graph.node[0].input, Names{"tensor_2"});
    EXPECT_EQ(c.graph.node[0].attribute[0].i, dt::INT64);
    EXPECT_EQ(error_of([&] { c.ensure_i64_input(-3, 1, "p"); }), "Undefined value id -3");
}

TEST(ScaleConstants, SaturateIntoTheTargetType) {
    struct Case {
        int32_t dtype;
        double value;
        int64_t expected;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const Case& k : {Case{dt::INT8, 300.0, 127}, Case{dt::INT8, -2.9, -2}, Case{dt::UINT8, -5.0, 0},
                          Case{dt::INT16, 1e9, 32767}, Case{dt::INT32, nan, 0},
                          Case{dt::INT64, 1e30, std::numeric_limits<int64_t>::max()},
                          Case{dt::INT64, -1e30, std::numeric_limits<int64_t>::min()}}) {
        Converter c;
        c.push_scale_attr_initializer("s", {1}, k.dtype, k.value);
        const auto& t = c.graph.initializer.at(0);
        int64_t got = 0;
        std::memcpy(&got, t.raw_data.data(), t.raw_data.size());
        const int shift = 64 - 8 * static_cast<int>(t.raw_data.size());
        if (shift) got = static_cast<int64_t>(static_cast<uint64_t>(got) << shift) >> shift;
        EXPECT_EQ(got, k.expected) << k.dtype << " " << k.value;
    }
    Converter c;
    c.push_scale_attr_initializer("f", {}, dt::FLOAT, 1e39);
    float f = 0;
    std::memcpy(&f, c.graph.initializer.at(0).raw_data.data(), 4);
    EXPECT_TRUE(std::isinf(f));
    EXPECT_EQ(error_of([&] { c.push_scale_attr_initializer("h", {1}, dt::FLOAT16, 1.0); }),
              "scale attr lowering does not support target dtype float16");

    // The lowering first casts to the element type as Paddle does (toward zero, keeping the
    // low bits), as the first pass folds it; what that cast leaves undefined is refused.
    Ops op;
    Converter s = with_types(17, {{1, "i8"}, {2, "i8"}});
    s.op_scale(op({1}, 2, a("scale", "300.9") + "," + a("bias", "-130")));
    EXPECT_EQ(static_cast<int8_t>(init(s, "scale_factor_2").raw_data.data()[0]), 44);
    EXPECT_EQ(static_cast<int8_t>(init(s, "scale_bias_2").raw_data.data()[0]), 126);
    Converter r = with_types(17, {{1, "i32"}, {2, "i32"}, {3, "i32"}});
    EXPECT_EQ(error_of([&] { r.op_scale(op({1}, 2, a("scale", "3e9"))); }),
              "scale attribute scale 3000000000 is out of range for int32");
    EXPECT_EQ(error_of([&] { r.op_scale(op({1}, 3, a("bias", R"("nan")"))); }),
              "cannot cast non-finite scale attribute bias NaN to int32");
}

TEST(FloorDivide, ChainTypesFollowTheOperands) {
    Ops op;
    // No declared output type: the constants and the adjustment stay int32.
    Converter c = with_types(17, {{1, "i32"}, {2, "i32"}});
    c.op_floor_divide(op({1, 2}, 5));
    EXPECT_EQ(init(c, "floor_divide_zero_5").data_type, dt::INT32);
    for (const auto& n : c.graph.node) {
        if (n.op_type == "Cast") {
            EXPECT_EQ(n.attribute[0].i, dt::INT32) << n.output[0];
        }
    }
    for (const auto& t : c.graph.initializer) EXPECT_EQ(t.data_type, dt::INT32) << t.name;
    EXPECT_EQ(c.graph.node.back().output, Names{"tensor_5"});

    // Mixed widths meet in int64 and the declared int32 result is cast back.
    Converter m = with_types(17, {{1, "i32"}, {2, "i64"}});
    m.op_floor_divide(op({1, 2}, 5, "", "0.t_i32"));
    EXPECT_EQ(init(m, "floor_divide_one_5").data_type, dt::INT64);
    EXPECT_EQ(m.graph.node.back().attribute[0].i, dt::INT32);

    // float64 is divided as float64.
    Converter f = with_types(17, {{1, "f64"}, {2, "f64"}});
    f.op_floor_divide(op({1, 2}, 5, "", "0.t_f64"));
    EXPECT_EQ(op_types(f), (Names{"Cast", "Cast", "Div", "Floor", "Cast"}));
    for (const auto& n : f.graph.node) {
        if (n.op_type == "Cast") {
            EXPECT_EQ(n.attribute[0].i, dt::DOUBLE);
        }
    }

    Converter u = with_types(17, {{1, "i32"}});
    EXPECT_EQ(error_of([&] { u.op_floor_divide(op({1, 2}, 5)); }), "missing dtype metadata for tensor 2");
    EXPECT_TRUE(u.graph.node.empty());
}

TEST(Pow, IntegerBasesFollowTheOpset) {
    Ops op;
    Converter c11 = with_types(11, {{1, "i32"}});
    c11.op_pow(op({1}, 4, a("y", "3")));
    EXPECT_EQ(op_types(c11), (Names{"Cast", "Pow", "Cast"}));
    EXPECT_EQ(init(c11, "pow_exponent_4").data_type, dt::DOUBLE);
    Converter c12 = with_types(12, {{1, "i32"}});
    c12.op_pow(op({1}, 4, a("y", "3")));
    EXPECT_EQ(op_types(c12), Names{"Pow"});
    EXPECT_EQ(init(c12, "pow_exponent_4").data_type, dt::INT32);
    for (int64_t opset : {11, 12}) {
        Converter c = with_types(opset, {{1, "i32"}});
        EXPECT_EQ(error_of([&] { c.op_pow(op({1}, 4, a("y", "0.5"))); }),
                  "cannot encode non-integer value 0.5 as int32 without losing precision");
    }
    Converter s = with_types(17, {{1, "f32"}});
    EXPECT_EQ(error_of([&] { s.op_pow(op({1}, 4, a("y", R"("2")"))); }), "pow: missing exponent");
    // The exponent is checked before the base's type is resolved.
    Converter odd = with_types(17, {{1, "bf16"}});
    EXPECT_EQ(error_of([&] { odd.op_pow(op({1}, 4)); }), "pow: missing exponent");
    EXPECT_EQ(error_of([&] { odd.op_pow(op({1}, 4, a("y", "2"))); }),
              "Unsupported Paddle element type: 0.t_bf16");
}

TEST(Bitwise, FormsAndRefusals) {
    Ops op;
    Converter i64 = with_types(13, {{1, "i64"}, {2, "i64"}});
    i64.op_bitwise_and(op({1, 2}, 3));
    EXPECT_EQ(i64s(init(i64, "bitwise_and_signed_3_weight_63")), Ints{std::numeric_limits<int64_t>::min()});

    Converter e = with_types(17, {{1, "i32"}, {2, "i64"}, {3, "ui8"}, {4, "f16"}});
    EXPECT_EQ(error_of([&] { e.op_bitwise_and(op({1, 2}, 9)); }),
              "bitwise_and requires matching input dtypes, got int32 and int64");
    EXPECT_EQ(error_of([&] { e.op_bitwise_and(op({3, 3}, 9)); }),
              "bitwise_and on integer tensors requires opset >= 18, but target opset is 17");
    EXPECT_EQ(error_of([&] { e.op_bitwise_not(op({3}, 9)); }),
              "bitwise_not on integer tensors requires opset >= 18, but target opset is 17");
    EXPECT_EQ(error_of([&] { e.op_bitwise_not(op({4}, 9)); }),
              "bitwise_not only supports bool/int8/uint8/int16/int32/int64 tensors in the current "
              "converter, got float16");
    EXPECT_EQ(error_of([&] { e.op_bitwise_and(op({-7, 1}, 9)); }), "Undefined value id -7");
    EXPECT_EQ(error_of([&] { e.lower_signed_bitwise_and_before_opset_18("a", "b", "c", dt::UINT8, 1); }),
              "signed bitwise_and lowering expects int8/int16/int32/int64, got uint8");
}

TEST(Activations, GeluConstantsTakeTheInputType) {
    Ops op;
    for (auto [word, code] : {std::pair{"f32", dt::FLOAT}, {"f16", dt::FLOAT16}, {"f64", dt::DOUBLE}}) {
        Converter c = with_types(17, {{1, word}});
        c.op_gelu(op({1}, 2, a("approximate", "true")));
        EXPECT_EQ(c.graph.initializer.size(), 4u);
        for (const auto& t : c.graph.initializer) EXPECT_EQ(t.data_type, code) << word;
        // Computed in the input's own type: nothing is cast on the way.
        for (const auto& n : c.graph.node) EXPECT_NE(n.op_type, "Cast") << word;
        EXPECT_EQ(c.graph.node.back().output, Names{"tensor_2"}) << word;
    }
    Converter d = with_types(17, {{1, "f64"}});
    d.op_gelu(op({1}, 2));
    double v = 0;
    std::memcpy(&v, init(d, "gelu_sqrt2_2").raw_data.data(), 8);
    EXPECT_EQ(v, std::sqrt(2.0));
}

// Without a recorded rank only the last axis needs no moving below 13.
TEST(Activations, SoftmaxWithoutARecordedRank) {
    Ops op;
    for (int64_t opset : {11, 13}) {
        Converter c = with_types(opset, {});
        c.op_softmax(op({1}, 2, a("axis", "-1")));
        ASSERT_EQ(op_types(c), Names{"Softmax"});
        if (opset >= 13) {
            c.op_softmax(op({1}, 3, a("axis", "0")));
            EXPECT_EQ(op_types(c), (Names{"Softmax", "Softmax"}));
        } else {
            EXPECT_EQ(error_of([&] { c.op_softmax(op({1}, 3, a("axis", "0"))); }),
                      "softmax over axis 0 below opset 13 needs the input rank, which is not recorded (target opset is 11)");
        }
    }
}

TEST(Activations, PreluSlopeLinesUpWithTheChannelAxis) {
    Ops op;
    struct Case {
        std::string attrs;
        Ints x_dims;
        Ints slope_dims;
        Ints shape;  // empty: slope passed unchanged
    };
    for (const Case& k : {
             Case{a("data_format", R"("NCHW")"), {2, 8, 4, 4}, {8}, {8, 1, 1}},
             Case{a("data_format", R"("NCDHW")"), {2, 8, 3, 4, 4}, {-1}, {-1, 1, 1, 1}},
             Case{a("data_format", R"("NHWC")"), {2, 4, 4, 8}, {8}, {1, 1, 1, 8}},
             Case{a("data_format", R"("NCHW")"), {2, 8}, {8}, {}},
             Case{a("mode", R"("all")"), {2, 8, 4, 4}, {1}, {}},
             Case{a("mode", R"("all")"), {3, 2}, {1, 1, 1}, {1}},
             Case{a("mode", R"("element")"), {2, 8, 4}, {1, 8, 4}, {}},
         }) {
        Converter c;
        c.state.tensor_shapes.insert(1, k.x_dims);
        c.state.tensor_shapes.insert(2, k.slope_dims);
        c.op_prelu(op({1, 2}, 3, k.attrs));
        if (k.shape.empty()) {
            EXPECT_EQ(op_types(c), Names{"PRelu"}) << k.attrs;
            continue;
        }
        EXPECT_EQ(op_types(c), (Names{"Reshape", "PRelu"})) << k.attrs;
        EXPECT_EQ(i64s(init(c, "prelu_slope_shape_3")), k.shape) << k.attrs;
        EXPECT_EQ(c.graph.node[1].input, (Names{"tensor_1", "prelu_slope_reshaped_3"}));
    }
    Converter u;
    u.state.tensor_shapes.insert(2, {8});
    EXPECT_EQ(error_of([&] { u.op_prelu(op({1, 2}, 3)); }),
              "prelu with a per-channel slope requires rank metadata for tensor 1");
    EXPECT_EQ(error_of([&] { u.op_prelu(op({1, 2}, 3, a("mode", R"("element")") + "," + a("data_format", R"("NHWC")"))); }),
              "prelu mode=element only supports NCHW-style layouts");
    kestro::test::Ops named;
    EXPECT_EQ(error_of([&] { kestro::test::convert_op(u, named(kestro::test::op_text("1.prelu", R"({"%":-4})"))); }),
              "prelu missing slope input");
    EXPECT_EQ(error_of([&] { u.op_prelu(op({1, 2}, 3, a("mode", R"("all")"))); }),
              "prelu: mode all takes one slope value, got slope dims [8]");
}

TEST(Matrix, MatmulTransposeNeedsTheRank) {
    Ops op;
    Converter c;
    c.state.tensor_shapes.insert(1, {2, 3, 4});
    c.state.tensor_shapes.insert(2, {3});  // lines up with x's dim 3, moved last by the swap
    c.op_matmul(op({1, 2}, 9, a("transpose_x", "true") + "," + a("transpose_y", "true")));
    EXPECT_EQ(op_types(c), (Names{"Transpose", "MatMul"}));  // a vector has nothing to swap
    EXPECT_EQ(c.graph.node[0].attribute[0].ints, (Ints{0, 2, 1}));
    EXPECT_EQ(c.graph.node[1].input, (Names{"matmul_transpose_x_9", "tensor_2"}));
    EXPECT_EQ(error_of([&] { c.op_matmul(op({1, 5}, 9, a("transpose_y", "true"))); }),
              "matmul with transpose_y requires rank metadata for tensor 5");
    // The gate answers before the operands are counted.
    Converter t = with_types(13, {});
    kestro::test::Ops texts;
    EXPECT_EQ(error_of([&] { kestro::test::convert_op(t, texts(kestro::test::op_text("1.tril", ""))); }),
              "tril requires opset >= 14, but target opset is 13");
}

TEST(Matrix, UnbindFormsAndRefusals) {
    Ops op;
    for (int64_t opset : {12, 13, 18}) {
        Converter c;
        c.opset = opset;
        c.state.tensor_shapes.insert(1, {2, 3});
        c.state.split_outputs.insert(7, {11, 12, 13});
        c.op_unbind(op({1}, 7, a("axis", "-1")));
        ASSERT_EQ(op_types(c), (Names{"Split", "Squeeze", "Squeeze", "Squeeze"}));
        const auto& split = c.graph.node[0];
        EXPECT_EQ(split.output, (Names{"unbind_split_7_0", "unbind_split_7_1", "unbind_split_7_2"}));
        EXPECT_EQ(split.attribute[0].i, 1);
        EXPECT_EQ(split.attribute.size(), opset >= 18 ? 2u : 1u);
        EXPECT_EQ(c.graph.initializer.size(), opset >= 13 ? 3u : 0u);
        EXPECT_EQ(c.graph.node[3].output, Names{"tensor_13"});
    }
    Converter c;
    c.state.tensor_shapes.insert(1, {2, 3});
    c.state.split_outputs.insert(7, {11, 12});
    c.state.split_outputs.insert(8, {});
    EXPECT_EQ(error_of([&] { c.op_unbind(op({1}, 6)); }), "unbind missing 0.split metadata for 6");
    EXPECT_EQ(error_of([&] { c.op_unbind(op({1}, 8)); }), "unbind has no outputs for 8");
    EXPECT_EQ(error_of([&] { c.op_unbind(op({1}, 7, a("axis", "2"))); }),
              "unbind: axis 2 is outside [-2, 2) for an input of rank 2");
    EXPECT_EQ(error_of([&] { c.op_unbind(op({1}, 7, a("axis", "-3"))); }),
              "unbind: axis -3 is outside [-2, 2) for an input of rank 2");
    EXPECT_EQ(error_of([&] { c.op_unbind(op({4}, 7)); }), "missing rank metadata for tensor 4");
    EXPECT_TRUE(c.graph.node.empty());
}
