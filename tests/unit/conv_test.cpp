// Transposed convolution, pooling, roll, tile and group normalization: what a run through
// the binary cannot reach (opsets below the command line's minimum, non-finite folded
// sizes, declared sizes that must not size an allocation).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>

#include <rapidjson/document.h>

#include "converter/converter.h"
#include "test_support.h"

using kestro::Converter;
namespace proto = kestro::proto;
using kestro::test::error_of;
using kestro::test::op_types;
using kestro::test::Ops;

namespace {

const proto::AttributeProto* attr(const proto::NodeProto& n, const std::string& name) {
    for (const auto& a : n.attribute)
        if (a.name == name) return &a;
    return nullptr;
}

// conv2d_transpose with strides [1, 3], paddings [0, 1] and an extracted output_shape and
// output_padding that the lowering replaces.
const char* kConvT =
    R"({"#":"1.conv2d_transpose","I":[{"%":1},{"%":2},{"%":3}],"O":[{"%":9}],"A":[
    {"N":"strides","AT":{"#":"0.a_array","D":[{"#":"0.a_i32","D":1},{"#":"0.a_i32","D":3}]}},
    {"N":"paddings","AT":{"#":"0.a_array","D":[{"#":"0.a_i32","D":0},{"#":"0.a_i32","D":1}]}},
    {"N":"output_shape","AT":{"#":"0.a_array","D":[{"#":"0.a_i32","D":8},{"#":"0.a_i32","D":8}]}},
    {"N":"output_padding","AT":{"#":"0.a_array","D":[{"#":"0.a_i32","D":1},{"#":"0.a_i32","D":1}]}}]})";

Converter conv_t_with_size(std::vector<double> size) {
    Converter c;
    c.state.tensor_shapes.insert(1, {1, 1, 1, 2});
    c.state.tensor_shapes.insert(2, {1, 1, 1, 3});
    c.state.const_values.insert(3, std::move(size));
    return c;
}

}  // namespace

TEST(ConvTranspose, NonFiniteFoldedSizesSaturateIntoARefusal) {
    Ops ops;
    const double inf = std::numeric_limits<double>::infinity();
    Converter c = conv_t_with_size({std::nan(""), inf});
    EXPECT_EQ(error_of([&] { c.op_conv2d_transpose(ops(kConvT)); }),
              "conv2d_transpose output_size [0, 9223372036854775807] is not reachable: dim 0 "
              "must lie in [1, 2)");
    EXPECT_TRUE(c.graph.node.empty());
}

// A folded size over filter spatial dims known only when the model runs is placed then, as a
// fed size is: from opset 11, its dims those of the output.
TEST(ConvTranspose, AFoldedSizeOverUnknownFilterDimsIsPlacedAtRunTime) {
    Ops ops;
    auto over_unknown_filter = [] {
        Converter c;
        c.record_dims(1, std::vector<int64_t>{1, 1, 1, 2});
        c.record_dims(2, std::vector<int64_t>{1, 1, -1, -1});
        c.state.const_values.insert(3, {1, 6});
        return c;
    };
    Converter old = over_unknown_filter();
    old.opset = 10;
    EXPECT_EQ(error_of([&] { old.op_conv2d_transpose(ops(kConvT)); }),
              "conv2d_transpose with output_size [1, 6] over filter spatial dims known only when the model runs "
              "requires opset >= 11, but target opset is 10");
    EXPECT_TRUE(old.graph.node.empty());

    Converter c = over_unknown_filter();
    c.op_conv2d_transpose(ops(kConvT));
    const auto types = op_types(c);
    ASSERT_FALSE(types.empty());
    EXPECT_EQ(types.front(), "ConvTranspose");
    EXPECT_EQ(types.back(), "Pad");
    // The node computes the uncropped result: its pads, output_padding and output_shape go.
    const auto& node = c.graph.node.front();
    EXPECT_EQ(attr(node, "pads"), nullptr);
    EXPECT_EQ(attr(node, "output_padding"), nullptr);
    EXPECT_EQ(attr(node, "output_shape"), nullptr);
    const std::vector<int64_t>* out_dims = c.state.tensor_shapes.find(9);
    ASSERT_NE(out_dims, nullptr);
    EXPECT_EQ(*out_dims, (std::vector<int64_t>{1, 1, 1, 6}));
}

TEST(Pool2d, RefusalsAndOldOpsets) {
    Ops ops;
    const std::string attrs =
        R"("A":[{"N":"pooling_type","AT":{"#":"0.a_str","D":"avg"}},
        {"N":"ceil_mode","AT":{"#":"0.a_bool","D":CEIL}},
        {"N":"exclusive","AT":{"#":"0.a_bool","D":false}},
        {"N":"global_pooling","AT":{"#":"0.a_bool","D":GLOBAL}}])";
    auto pool = [&](const char* ceil, const char* global, const std::string& inputs) {
        std::string a = attrs;
        a.replace(a.find("CEIL"), 4, ceil);
        a.replace(a.find("GLOBAL"), 6, global);
        return "{\"#\":\"1.pool2d\"," + a + ",\"I\":" + inputs + ",\"O\":[{\"%\":9}]}";
    };
    const std::string with_kernel = R"([{"%":1},{"%":2}])";

    Converter old;
    old.opset = 9;
    old.state.const_values.insert(2, {2, 2});
    EXPECT_EQ(error_of([&] { old.op_pool2d(ops(pool("true", "false", with_kernel))); }),
              "pool2d ceil_mode requires opset >= 10, but target opset is 9");
    old.op_pool2d(ops(pool("false", "false", with_kernel)));
    const auto& n = old.graph.node.at(0);
    EXPECT_EQ(n.op_type, "AveragePool");
    EXPECT_EQ(attr(n, "ceil_mode"), nullptr);
    EXPECT_EQ(attr(n, "count_include_pad")->i, 1);
    EXPECT_EQ(attr(n, "kernel_shape")->ints, (std::vector<int64_t>{2, 2}));

    // The global form carries no attribute, not even the padding count.
    Converter global;
    global.op_pool2d(ops(pool("false", "true", with_kernel)));
    EXPECT_EQ(global.graph.node.at(0).op_type, "GlobalAveragePool");
    EXPECT_TRUE(global.graph.node.at(0).attribute.empty());

    Converter none;
    EXPECT_EQ(error_of([&] { kestro::test::convert_op(none, ops(pool("false", "false", "[]"))); }),
              "pool2d has 0 operands, but it takes 2 (x, kernel_size)");
    EXPECT_EQ(error_of([&] { none.op_pool2d(ops(pool("false", "false", with_kernel))); }),
              "pool2d requires a constant kernel size");
    EXPECT_TRUE(none.graph.node.empty());
}

TEST(Roll, NonFiniteShiftsSaturate) {
    Ops ops;
    const auto& roll = ops(R"({"#":"1.roll","I":[{"%":1},{"%":2}],"O":[{"%":9}],
        "A":[{"N":"axis","AT":{"#":"0.a_array","D":[{"#":"0.a_i64","D":0},{"#":"0.a_i64","D":1}]}}]})");
    Converter c;
    c.state.tensor_shapes.insert(1, {3, 5});
    // NaN gives 0 (no roll); -inf saturates to INT64_MIN, which is 2 modulo 5.
    c.state.const_values.insert(2, {std::nan(""), -std::numeric_limits<double>::infinity()});
    c.op_roll(roll);
    ASSERT_FALSE(c.graph.node.empty());
    EXPECT_EQ(c.graph.node.back().op_type, "Concat");
    EXPECT_EQ(c.graph.node.back().output[0], "tensor_9");
    // The tail slice starts at d - k = 5 - 2.
    int seen = 0;
    for (const auto& t : c.graph.initializer) {
        if (t.name == "roll_tail_9_1_starts") {
            EXPECT_EQ(t.raw_data.data()[0], 3);
            ++seen;
        }
    }
    EXPECT_EQ(seen, 1);
}

TEST(Tile, DeclaredRepeatLengthIsBounded) {
    Ops ops;
    const auto& tile = ops(R"({"#":"1.tile","I":[{"%":1},{"%":2}],"O":[{"%":9}]})");
    Converter c;
    c.state.tensor_shapes.insert(1, {2, 2});
    c.state.tensor_shapes.insert(2, {4611686018427387904});
    EXPECT_EQ(error_of([&] { c.op_tile(tile); }),
              "tile: repeat_times length 4611686018427387904 is not supported");
    Converter unknown_rank;
    EXPECT_EQ(error_of([&] { unknown_rank.op_tile(tile); }), "tile: missing rank metadata");
}

TEST(GroupNorm, GroupsAndElementType) {
    Ops ops;
    auto gn = [&](int64_t groups) -> const kestro::Json& {
        return ops(R"({"#":"1.group_norm","I":[{"%":1},{"%":2},{"%":3}],"O":[{"%":9}],
            "A":[{"N":"groups","AT":{"#":"0.a_i32","D":)" + std::to_string(groups) + "}}]}");
    };
    Converter c;
    c.state.tensor_shapes.insert(1, {-1, 6, 4, 4});
    c.state.tensor_dtypes.insert(1, "0.t_f16");
    EXPECT_EQ(error_of([&] { c.op_group_norm(gn(4)); }),
              "group_norm groups 4 must divide the channel count 6");
    EXPECT_EQ(error_of([&] { c.op_group_norm(gn(-3)); }), "group_norm groups must be positive, got -3");
    EXPECT_TRUE(c.graph.node.empty());
    c.op_group_norm(gn(3));
    // Both affine inputs are lifted before the Mul and the Add that use them.
    EXPECT_EQ(op_types(c), (std::vector<std::string>{"Shape", "Slice", "Equal", "Where", "Concat", "Reshape",
                                                      "InstanceNormalization", "Reshape", "Unsqueeze",
                                                      "Unsqueeze", "Mul", "Add"}));
    int seen = 0;
    for (const auto& t : c.graph.initializer) {
        if (t.name == "group_norm_scale_9" || t.name == "group_norm_bias_9") {
            EXPECT_EQ(t.data_type, proto::dtype::FLOAT16);
            EXPECT_EQ(t.dims, (std::vector<int64_t>{3}));
            ++seen;
        }
    }
    EXPECT_EQ(seen, 2);
}
