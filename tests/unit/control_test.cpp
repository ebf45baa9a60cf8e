// Regions converted into subgraphs, if and while, any/all and one-hot: the refusals, the
// names the subgraphs get, and the forms chosen from recorded metadata and the opset.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "converter/converter.h"
#include "test_support.h"

using kestro::Converter;
namespace proto = kestro::proto;
using kestro::test::convert_op;
using kestro::test::error_of;
using kestro::test::i64s;
using kestro::test::Names;
using kestro::test::names_of;
using kestro::test::op_types;
using kestro::test::Ops;

namespace {

std::string typed(int64_t id, const char* key, const char* dtype, const char* dims) {
    return "{\"" + std::string(key) + "\":" + std::to_string(id) + R"(,"TT":{"D":[{"#":"0.t_)" +
           dtype + "\"}," + dims + "]}}";
}
std::string arg(int64_t id, const char* dtype = "f32", const char* dims = "[2]") {
    return typed(id, "#", dtype, dims);
}
std::string add(int64_t a, int64_t b, int64_t out) {
    return R"({"#":"1.add","I":[{"%":)" + std::to_string(a) + R"(},{"%":)" + std::to_string(b) +
           "}],\"O\":[" + typed(out, "%", "f32", "[2]") + "]}";
}
std::string yield(const std::string& ids) {
    std::string inputs;
    for (char c : ids) inputs += std::string(inputs.empty() ? "" : ",") + R"({"%":)" + c + "}";
    return R"({"#":"2.yield","I":[)" + inputs + "]}";
}
std::string block(const std::string& args, const std::string& ops) {
    return R"({"args":[)" + args + R"(],"ops":[)" + ops + "]}";
}
std::string region(const std::string& blocks) { return R"({"blocks":[)" + blocks + "]}"; }

const proto::GraphProto& graph_attr(const proto::NodeProto& node, size_t k) {
    return *node.attribute.at(k).g;
}

}  // namespace

TEST(RegionToGraph, Refusals) {
    struct Case {
        std::string region;
        size_t args;
        const char* error;
    };
    const Case cases[] = {
        {R"({"blocks":[]})", 0, "Region is missing blocks"},
        {R"({"blocks":{}})", 0, "Region is missing blocks"},
        {region(block(arg(1), yield("1"))), 0, "Block arg count mismatch for g: expected 0, got 1"},
        {region(block(R"({"%":1})", yield("1"))), 1, "Block arg missing id"},
        {region(block(arg(1, "bf16"), yield("1"))), 1, "Unsupported Paddle element type: 0.t_bf16"},
        {region(R"({"args":[]})"), 0, "Block is missing ops"},
        {region(block("", "")), 0, "Region g is missing 2.yield"},
        {region(block("", R"({"#":"2.yield","I":[{"%":-4}]})")), 0, "Undefined value id -4"},
    };
    for (const Case& k : cases) {
        Ops ops;
        Converter c;
        const std::vector<std::string> names(k.args, "a");
        EXPECT_EQ(error_of([&] { c.convert_region_to_graph(ops(k.region), "g", {}, names); }), k.error)
            << k.region;
    }
}

TEST(RegionToGraph, OutputsNamedInsideOrCopied) {
    Ops ops;
    Converter c;
    c.state.tensor_names.insert(7, "outer_x");
    // Arguments 1 (typed) and 2 (untyped); 3 is produced inside; 7 and 8 come from outside.
    // The first block's first yield is replaced by its last; the second block is ignored.
    const std::string ops_text = yield("1") + "," + add(1, 7, 3) + "," + yield("3172371");
    const auto& r = ops(region(block(arg(1) + R"(,{"#":2})", ops_text) + "," + block("", yield("8"))));
    proto::GraphProto g = c.convert_region_to_graph(r, "while_body", {}, {"a1", "a2"});

    EXPECT_EQ(g.name, "while_body");
    EXPECT_EQ(names_of(g.input), (Names{"a1"}));
    EXPECT_EQ(op_types(g), (Names{"Add", "Identity", "Identity", "Identity", "Identity", "Identity"}));
    EXPECT_EQ(g.node[0].input, (Names{"a1", "outer_x"}));
    // Outer values, the untyped argument and every repeat go through a copy named by position.
    EXPECT_EQ(names_of(g.output), (Names{"tensor_3", "a1", "while_body_yield_2", "while_body_yield_3",
                                         "while_body_yield_4", "while_body_yield_5", "while_body_yield_6"}));
    EXPECT_EQ(g.node[1].input, (Names{"outer_x"}));
    EXPECT_EQ(g.node[2].input, (Names{"a2"}));
    // The parent is only read: neither its graph nor its tables see the region.
    EXPECT_TRUE(c.graph.node.empty());
    EXPECT_FALSE(c.state.tensor_names.contains(1));
    EXPECT_FALSE(c.state.tensor_dtypes.contains(3));
}

TEST(RegionToGraph, UntypedArgumentTakesTheCarriedValuesType) {
    Ops ops;
    Converter c;
    c.state.tensor_dtypes.insert(20, "0.t_i64");
    c.state.tensor_shapes.insert(20, {3, -1});
    const auto& r = ops(region(block(R"({"#":2})", yield("2"))));
    proto::GraphProto g = c.convert_region_to_graph(r, "while_body", {}, {"a"}, {20});
    ASSERT_EQ(g.input.size(), 1u);
    const auto& tensor = std::get<proto::TypeProto::Tensor>(g.input[0].type->value);
    EXPECT_EQ(tensor.elem_type, proto::dtype::INT64);
    ASSERT_TRUE(tensor.shape);
    EXPECT_EQ(tensor.shape->dim.size(), 2u);
    // The yield is the input itself, typed alike.
    EXPECT_EQ(names_of(g.output), (Names{"a"}));
    EXPECT_EQ(std::get<proto::TypeProto::Tensor>(g.output[0].type->value).elem_type, proto::dtype::INT64);

    EXPECT_EQ(error_of([&] { c.convert_region_to_graph(r, "while_body", {}, {"a"}, {21}); }),
              "while_body block arg 2 has no type and the carried value 21 has no recorded element type");
}

TEST(IfLowering, RefusalsAndNode) {
    Ops ops;
    Converter c;
    const std::string branch = region(block("", yield("5")));
    auto if_op = [&](const std::string& inputs, const std::string& regions) {
        return error_of([&] {
            c.op_if(ops(R"({"#":"1.if","I":[)" + inputs + R"(],"O":[{"%":9},{"x":1},{"%":10}],"regions":)" +
                        regions + "}"));
        });
    };
    EXPECT_EQ(error_of([&] {
                  convert_op(c, ops(R"({"#":"1.if","I":[{"%":"1"}],"O":[{"%":9}],"regions":[)" + branch + "," + branch + "]}"));
              }),
              "if requires a condition input");
    EXPECT_EQ(if_op(R"({"%":1})", "{}"), "if is missing regions");
    EXPECT_EQ(if_op(R"({"%":1})", "[" + branch + "," + branch + "," + branch + "]"), "if expects 2 regions, got 3");
    EXPECT_EQ(if_op(R"({"%":1})", "[" + branch + "," + region(block("", yield("55"))) + "]"),
              "if branches yield different numbers of values: 1 and 2");
    // Two results named, one given: If's outputs are the branches' outputs.
    EXPECT_EQ(if_op(R"({"%":1})", "[" + branch + "," + branch + "]"), "if has 2 outputs, but its branches yield 1 values");
    EXPECT_TRUE(c.graph.node.empty());

    const std::string two = region(block("", yield("56")));
    EXPECT_EQ(if_op(R"({"%":1})", "[" + two + "," + two + "]"), "<no error>");
    ASSERT_EQ(c.graph.node.size(), 1u);
    const auto& node = c.graph.node[0];
    EXPECT_EQ(node.input, (Names{"tensor_1"}));
    EXPECT_EQ(node.output, (Names{"tensor_9", "tensor_10"}));  // the entry without an id is left out
    EXPECT_EQ(names_of(node.attribute), (Names{"then_branch", "else_branch"}));
    EXPECT_EQ(graph_attr(node, 0).name, "if_then_branch");
    EXPECT_EQ(names_of(graph_attr(node, 1).output), (Names{"if_else_branch_yield_0", "if_else_branch_yield_1"}));
}

TEST(WhileLowering, RefusalsAndNode) {
    Ops ops;
    Converter c;
    c.state.tensor_shapes.insert(1, {1});
    auto while_op = [&](const std::string& inputs, const std::string& regions,
                        const std::string& outs = R"({"%":30},{"%":31})") {
        return error_of([&] {
            c.op_while(ops(R"({"#":"1.while","I":[)" + inputs + R"(],"O":[)" + outs + R"(],"regions":)" +
                           regions + "}"));
        });
    };
    const std::string two_args = arg(13) + "," + arg(16);
    EXPECT_EQ(error_of([&] { convert_op(c, ops(R"({"#":"1.while","I":[],"O":[{"%":30}],"regions":[]})")); }),
              "while requires condition and loop-carried inputs");
    EXPECT_EQ(while_op(R"({"%":1})", "{}"), "while is missing regions");
    EXPECT_EQ(while_op(R"({"%":1})", "[]"), "while is missing body region");
    EXPECT_EQ(while_op(R"({"%":1})", "[" + region(R"({"ops":[]})") + "]"), "while body region is missing block args");
    EXPECT_EQ(while_op(R"({"%":1},{"%":12})", "[" + region(block(two_args, yield("1"))) + "]"),
              "while body arg count mismatch: expected 1, got 2");
    EXPECT_EQ(while_op(R"({"%":1},{"%":12},{"%":15})", "[" + region(block(two_args, yield("1"))) + "]"),
              "while body yields 1 values, expected 3");
    // Loop's outputs are the carried values' last values: there is nothing to give a third.
    EXPECT_EQ(while_op(R"({"%":1})", "[" + region(block("", yield("1"))) + "]"), "while has 2 outputs, but it carries 0 values");
    EXPECT_TRUE(c.graph.node.empty());

    // No carried values: an empty "args" array is accepted.
    EXPECT_EQ(while_op(R"({"%":1})", "[" + region(block("", yield("1"))) + "]", ""), "<no error>");
    ASSERT_EQ(c.graph.node.size(), 1u);
    EXPECT_EQ(c.graph.node[0].input, (Names{"", "tensor_1"}));

    // Block arguments are named by position and carried id, after the two fixed inputs; the
    // condition input keeps the condition's dims.
    EXPECT_EQ(while_op(R"({"%":1},{"%":12},{"%":15})",
                       "[" + region(block(two_args, R"({"#":"2.yield","I":[{"%":1},{"%":16},{"%":13}]})")) + "]"),
              "<no error>");
    const auto& loop = c.graph.node.back();
    EXPECT_EQ(loop.input, (Names{"", "tensor_1", "tensor_12", "tensor_15"}));
    EXPECT_EQ(loop.output, (Names{"tensor_30", "tensor_31"}));
    const auto& g = graph_attr(loop, 0);
    EXPECT_EQ(g.name, "while_body");
    EXPECT_EQ(names_of(g.input), (Names{"__kestro_loop_iter", "__kestro_loop_cond", "while_arg_0_12", "while_arg_1_15"}));
    EXPECT_EQ(std::get<proto::TypeProto::Tensor>(g.input[1].type->value).shape->dim.size(), 1u);
    EXPECT_EQ(names_of(g.output), (Names{"while_body_yield_0", "while_arg_1_15", "while_arg_0_12"}));
}

TEST(WhileLowering, NestedLoopKeepsItsArgumentsApartFromTheEnclosingOnes) {
    Ops ops;
    Converter c;
    // The outer loop carries 12 into argument 13; the inner loop carries 12 again at the
    // same position, while its body reads the outer argument 13.
    const std::string inner = R"({"#":"1.while","I":[{"%":1},{"%":12}],"O":[{"%":40}],"regions":[)" +
                              region(block(arg(20), add(20, 13, 21) + "," + yield("1") +
                                                        R"(,{"#":"2.yield","I":[{"%":1},{"%":21}]})")) +
                              "]}";
    c.op_while(ops(R"({"#":"1.while","I":[{"%":1},{"%":12}],"O":[{"%":30}],"regions":[)" +
                   region(block(arg(13), inner + R"(,{"#":"2.yield","I":[{"%":1},{"%":40}]})")) + "]}"));
    const auto& outer_body = graph_attr(c.graph.node.at(0), 0);
    EXPECT_EQ(outer_body.input.at(2).name, "while_arg_0_12");
    ASSERT_EQ(op_types(outer_body), (Names{"Loop", "Identity"}));  // the nested loop lands in the body
    const auto& inner_body = graph_attr(outer_body.node[0], 0);
    EXPECT_EQ(inner_body.input.at(2).name, "while_arg_0_12_20");
    EXPECT_EQ(inner_body.node.at(0).input, (Names{"while_arg_0_12_20", "while_arg_0_12"}));
}

TEST(AnyAll, ChainsAxesAndKeepdim) {
    struct Case {
        int64_t opset;
        const char* dtype;  // recorded element type of x, "" for none
        const char* attrs;
        Names ops;
        std::vector<int64_t> axes;  // the attribute, or the initializer from opset 18
        int64_t keepdims;
    };
    const Case cases[] = {
        {17, "0.t_bool", R"({"N":"axis","AT":{"D":[{"D":1}]}},{"N":"keepdim","AT":{"D":true}})",
         {"Cast", "ReduceMax", "Greater"}, {1}, 1},
        // A bare integer is not a list of axes, and 1 is not the boolean true.
        {17, "0.t_bool", R"({"N":"axis","AT":{"D":1}},{"N":"keepdim","AT":{"D":1}})", {"Cast", "ReduceMax", "Greater"}, {}, 0},
        {17, "0.t_f32", R"({"N":"axis","AT":{"D":[]}})", {"Cast", "Cast", "ReduceMax", "Greater"}, {}, 0},
        // A negative axis is counted from the front whenever the rank is known.
        {18, "", R"({"N":"axis","AT":{"D":[-1]}})", {"Cast", "Cast", "ReduceMax", "Greater"}, {1}, 0},
        {10, "0.t_bool", R"({"N":"axis","AT":{"D":[-1,0]}})", {"Cast", "ReduceMax", "Greater"}, {1, 0}, 0},
    };
    for (const Case& k : cases) {
        Ops ops;
        Converter c;
        c.opset = k.opset;
        c.state.tensor_shapes.insert(4, {2, 3});
        if (*k.dtype) c.state.tensor_dtypes.insert(4, k.dtype);
        c.op_any_all(ops(std::string(R"({"I":[{"%":4}],"O":[{"%":9}],"A":[)") + k.attrs + "]}"), true);
        ASSERT_EQ(op_types(c), k.ops) << k.attrs;
        const auto& reduce = c.graph.node[k.ops.size() - 2];
        EXPECT_EQ(reduce.output, (Names{"any_reduced_9"}));
        EXPECT_EQ(reduce.attribute.back().i, k.keepdims) << k.attrs;
        if (k.opset >= 18) {
            ASSERT_EQ(c.graph.initializer.size(), 2u);  // the axes, then the zero compared with
            EXPECT_EQ(c.graph.initializer[0].name, "any_reduce_9_axes");
            EXPECT_EQ(i64s(c.graph.initializer[0]), k.axes);
        } else {
            EXPECT_EQ(reduce.attribute.size(), k.axes.empty() ? 1u : 2u) << k.attrs;
            if (!k.axes.empty()) {
                EXPECT_EQ(reduce.attribute[0].ints, k.axes);
            }
        }
    }
    Ops ops;
    Converter c;
    EXPECT_EQ(error_of([&] { convert_op(c, ops(R"({"#":"1.all","O":[{"%":9}]})")); }), "any/all requires an input tensor");
    c.opset = 10;
    EXPECT_EQ(error_of([&] { c.op_any_all(ops(R"({"I":[{"%":4}],"O":[{"%":9}],"A":[{"N":"axis","AT":{"D":[-1]}}]})"), false); }),
              "all with negative axes requires opset >= 11, but target opset is 10");
}

TEST(OneHot, DepthFormsAndRefusals) {
    Ops ops;
    const auto& op = ops(R"({"I":[{"%":4},{"%":5}],"O":[{"%":9}]})");
    auto lower = [&](Converter& c) { return error_of([&] { c.op_one_hot(op); }); };

    Converter constant;  // folded depth, no recorded index shape, no recorded output type
    constant.state.const_values.insert(5, {4.0, 7.0});
    EXPECT_EQ(lower(constant), "<no error>");
    EXPECT_EQ(op_types(constant), (Names{"Cast", "Range", "Unsqueeze", "Equal", "Cast"}));
    EXPECT_EQ(names_of(constant.graph.initializer),
              (Names{"one_hot_depth_i64_9", "one_hot_start_9", "one_hot_step_9", "one_hot_unsqueeze_axes_9"}));
    EXPECT_EQ(i64s(constant.graph.initializer[0]), (std::vector<int64_t>{4}));
    EXPECT_TRUE(constant.graph.initializer[0].dims.empty());
    EXPECT_EQ(i64s(constant.graph.initializer[3]), (std::vector<int64_t>{1}));
    EXPECT_EQ(constant.graph.node.back().attribute[0].i, proto::dtype::FLOAT);

    Converter tensor;  // depth of dims [1] is made 0-D; indices of rank 2 unsqueeze at 2
    tensor.opset = 11;
    tensor.state.tensor_shapes.insert(5, {1});
    tensor.state.tensor_shapes.insert(4, {2, 1});
    tensor.state.tensor_dtypes.insert(9, "0.t_i32");
    EXPECT_EQ(lower(tensor), "<no error>");
    EXPECT_EQ(op_types(tensor), (Names{"Cast", "Cast", "Reshape", "Range", "Unsqueeze", "Equal", "Cast"}));
    EXPECT_EQ(tensor.graph.node[3].input, (Names{"one_hot_start_9", "one_hot_depth_scalar_9", "one_hot_step_9"}));
    EXPECT_EQ(tensor.graph.node[4].attribute[0].ints, (std::vector<int64_t>{2}));
    EXPECT_EQ(tensor.graph.node.back().attribute[0].i, proto::dtype::INT32);

    struct Case {
        std::vector<double> depth;
        const char* token;
        int64_t opset;
        const char* error;
    };
    const Case cases[] = {
        {{2.5}, "0.t_f32", 17, "one_hot depth must be an integer scalar, got 2.5"},
        {{kestro::test::kInf}, "0.t_f32", 17, "one_hot depth must be an integer scalar, got inf"},
        {{}, "0.t_f32", 17, "one_hot depth constant is empty"},
        {{3}, "0.t_bf16", 17, "Unsupported Paddle element type: 0.t_bf16"},
        {{3}, "0.t_f32", 10, "one_hot requires opset >= 11, but target opset is 10"},
    };
    for (const Case& k : cases) {
        Converter c;
        c.opset = k.opset;
        c.state.const_values.insert(5, k.depth);
        c.state.tensor_dtypes.insert(9, k.token);
        EXPECT_EQ(lower(c), k.error);
    }
    Converter c;
    EXPECT_EQ(error_of([&] { convert_op(c, ops(R"({"#":"1.one_hot","I":[{"%":4}],"O":[{"%":9}]})")); }),
              "one_hot requires indices and depth inputs");
}
