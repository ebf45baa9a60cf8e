// Meshgrid, flip, cumulative sum, einsum and transpose: the nodes, names and constants they write, the
// forms chosen by opset and recorded metadata, and the order of their refusals.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "converter/converter.h"
#include "test_support.h"

using kestro::Converter;
using kestro::test::error_of;
using kestro::test::i64s;
using kestro::test::Ints;
using kestro::test::Names;
using kestro::test::op_types;

namespace {

std::string attr_entry(const std::string& name, const std::string& data) {
    return fmt::format(R"({{"N":"{}","AT":{{"#":"t","D":{}}}}})", name, data);
}

// An operator with inputs `ins`, first output `out` and the attribute entries `attrs`,
// named `name` where it is converted as the conversion runs it (convert_op).
struct Ops : kestro::test::Ops {
    const kestro::Json& operator()(const Ints& ins, int64_t out, const std::string& attrs = "",
                                   const std::string& name = "1.op") {
        using kestro::test::value_entries;
        return kestro::test::Ops::operator()(
            kestro::test::op_text(name, value_entries(ins), attrs, value_entries({out})));
    }
};

Converter at(int64_t opset) {
    Converter c;
    c.opset = opset;
    return c;
}

// The refusal of `op` converted as the conversion converts it, at `opset`.
std::string refusal_at(int64_t opset, const kestro::Json& op) {
    Converter c = at(opset);
    return error_of([&] { kestro::test::convert_op(c, op); });
}

Names node_inputs(const Converter& c, size_t k) { return c.graph.node.at(k).input; }
Names node_outputs(const Converter& c, size_t k) { return c.graph.node.at(k).output; }
int64_t int_attr(const Converter& c, size_t node, size_t k) {
    return c.graph.node.at(node).attribute.at(k).i;
}

}  // namespace

TEST(Meshgrid, ShapesThenOneUnsqueezeAndExpandPerInput) {
    Converter c;
    Ops ops;
    c.state.combine_inputs.insert(4, {1, 2});
    c.state.split_outputs.insert(5, {6, 7});
    c.op_meshgrid(ops({4}, 5));
    EXPECT_EQ(op_types(c), (Names{"Shape", "Shape", "Concat", "Unsqueeze", "Expand", "Unsqueeze", "Expand"}));
    EXPECT_EQ(node_inputs(c, 2), (Names{"meshgrid_shape_part_5_0", "meshgrid_shape_part_5_1"}));
    EXPECT_EQ(node_outputs(c, 2), Names{"meshgrid_shape_5"});
    EXPECT_EQ(node_inputs(c, 4), (Names{"meshgrid_unsqueezed_5_0", "meshgrid_shape_5"}));
    EXPECT_EQ((Names{node_outputs(c, 4)[0], node_outputs(c, 6)[0]}), (Names{"tensor_6", "tensor_7"}));
    ASSERT_EQ(c.graph.initializer.size(), 2u);  // each input keeps its own axis
    EXPECT_EQ(c.graph.initializer[0].name, "meshgrid_axes_5_0");
    EXPECT_EQ((Ints{i64s(c.graph.initializer[0])[0], i64s(c.graph.initializer[1])[0]}), (Ints{1, 0}));

    // A recorded rank-0 input contributes a dim of 1 and is unsqueezed on every axis.
    Converter z;
    z.state.combine_inputs.insert(4, {1, 2});
    z.state.split_outputs.insert(5, {6, 7});
    z.state.tensor_shapes.insert(2, {});
    z.op_meshgrid(ops({4}, 5));
    EXPECT_EQ(op_types(z), (Names{"Shape", "Concat", "Unsqueeze", "Expand", "Unsqueeze", "Expand"}));
    EXPECT_EQ(z.graph.initializer.at(0).name, "meshgrid_shape_part_5_1");
    EXPECT_EQ(i64s(z.graph.initializer.at(2)), (Ints{0, 1}));
}

TEST(Meshgrid, Refusals) {
    Ops ops;
    Converter c;
    EXPECT_EQ(refusal_at(17, ops({}, 5, "", "1.meshgrid")), "meshgrid missing inputs");
    EXPECT_EQ(error_of([&] { c.op_meshgrid(ops({4}, 5)); }), "meshgrid missing 0.combine metadata for 4");
    c.state.combine_inputs.insert(4, {1, 2});
    EXPECT_EQ(error_of([&] { c.op_meshgrid(ops({4}, 5)); }), "meshgrid missing 0.split metadata for 5");
    c.state.split_outputs.insert(5, {6, 7, 8});
    EXPECT_EQ(error_of([&] { c.op_meshgrid(ops({4}, 5)); }),
              "meshgrid expects matching input/output counts, got 2 inputs and 3 outputs");
    c.state.combine_inputs.insert(4, {});
    c.state.split_outputs.insert(5, {});
    EXPECT_EQ(error_of([&] { c.op_meshgrid(ops({4}, 5)); }), "meshgrid requires at least one input");
    EXPECT_TRUE(c.graph.node.empty());
}

TEST(Flip, OneGatherPerAxisWithReversedIndices) {
    Ops ops;
    Converter c;
    c.state.tensor_shapes.insert(1, {2, 3});
    c.op_flip(ops({1}, 8, attr_entry("axis", "[-1]")));
    EXPECT_EQ(op_types(c), Names{"Gather"});
    EXPECT_EQ(i64s(c.graph.initializer.at(0)), (Ints{2, 1, 0}));
    EXPECT_EQ(node_inputs(c, 0), (Names{"tensor_1", "flip_indices_8_0"}));
    EXPECT_EQ(node_outputs(c, 0), Names{"tensor_8"});
    EXPECT_EQ(int_attr(c, 0, 0), 1);

    // Two axes chain through an intermediate; wrapped {"D": n} items count as integers.
    Converter d;
    d.state.tensor_shapes.insert(1, {2, 1});
    d.op_flip(ops({1}, 9, attr_entry("axis", R"([{"D":0}, 1])")));
    EXPECT_EQ(node_outputs(d, 0), Names{"flip_axis_9_0"});
    EXPECT_EQ(node_inputs(d, 1), (Names{"flip_axis_9_0", "flip_indices_9_1"}));
    EXPECT_EQ(node_outputs(d, 1), Names{"tensor_9"});
    EXPECT_EQ(i64s(d.graph.initializer.at(1)), Ints{0});  // a size-1 axis
}

TEST(Flip, LongAxesReverseWithASliceInsteadOfAnIndexList) {
    Ops ops;
    Converter c;
    c.state.tensor_shapes.insert(1, {std::numeric_limits<int64_t>::max(), 2});
    c.op_flip(ops({1}, 8, attr_entry("axis", "[0, 1]")));
    EXPECT_EQ(op_types(c), (Names{"Slice", "Gather"}));
    EXPECT_EQ(node_inputs(c, 0), (Names{"tensor_1", "flip_slice_8_0_starts", "flip_slice_8_0_ends",
                                        "flip_slice_8_0_axes", "flip_slice_8_0_steps"}));
    EXPECT_EQ(node_outputs(c, 0), Names{"flip_axis_8_0"});
    EXPECT_EQ(i64s(c.graph.initializer.at(1)), Ints{std::numeric_limits<int64_t>::min()});
    EXPECT_EQ(i64s(c.graph.initializer.at(3)), Ints{-1});
}

TEST(Flip, RefusesUnknownEmptyOrOutOfRangeAxes) {
    Ops ops;
    const std::string refused = "flip requires a static positive axis length";
    Converter c;
    EXPECT_EQ(refusal_at(17, ops({}, 8, "", "1.flip")), "flip missing input");
    c.state.tensor_shapes.insert(1, {2, -1, 0});
    for (const char* axis : {"[1]", "[2]", "[3]", "[-4]"})
        EXPECT_EQ(error_of([&] { c.op_flip(ops({1}, 8, attr_entry("axis", axis))); }), refused) << axis;
    EXPECT_EQ(error_of([&] { c.op_flip(ops({5}, 8)); }), refused);  // no dims at all
    EXPECT_TRUE(c.graph.node.empty());
}

TEST(Cumsum, OneNodeWithBothFlagsAlwaysPresent) {
    Ops ops;
    Converter c = at(11);
    c.state.tensor_dtypes.insert(1, "0.t_f32");
    c.op_cumsum(ops({1, 2, 3}, 4, attr_entry("flatten", "false") + "," + attr_entry("exclusive", "true")));
    c.op_cumsum(ops({1, 2}, 5, attr_entry("reverse", "true") + "," + attr_entry("exclusive", "1")));
    EXPECT_EQ(node_inputs(c, 0), (Names{"tensor_1", "tensor_2"}));  // further inputs ignored
    const auto& a = c.graph.node.at(0).attribute;
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ((Names{a[0].name, a[1].name}), (Names{"exclusive", "reverse"}));
    EXPECT_EQ((Ints{int_attr(c, 0, 0), int_attr(c, 0, 1), int_attr(c, 1, 0), int_attr(c, 1, 1)}),
              (Ints{1, 0, 0, 1}));  // only a JSON boolean true counts
    EXPECT_TRUE(c.graph.initializer.empty());
}

TEST(Cumsum, RefusalsInOrder) {
    Ops ops;
    const std::string flatten = attr_entry("flatten", "true");
    // The gate answers before anything of the operator is read, its operands included.
    EXPECT_EQ(refusal_at(10, ops({}, 4, flatten, "1.cumsum")), "cumsum requires opset >= 11, but target opset is 10");
    EXPECT_EQ(error_of([&] { at(17).op_cumsum(ops({}, 4, flatten)); }),
              "cumsum with flatten=true is not supported");
    EXPECT_EQ(refusal_at(17, ops({1}, 4, "", "1.cumsum")), "cumsum missing inputs");
    EXPECT_EQ(error_of([&] { at(17).op_cumsum(ops({-3, 2}, 4)); }), "Undefined value id -3");

    // Element types CumSum cannot take at the target opset.
    const std::pair<const char*, int64_t> refused[] = {{"i16", 17}, {"bool", 17}, {"ui8", 17}, {"f16", 13}};
    const char* messages[] = {"cumsum does not support int16 input", "cumsum does not support bool input",
                              "cumsum does not support uint8 input",
                              "cumsum on float16 requires opset >= 14, but target opset is 13"};
    for (size_t k = 0; k < std::size(refused); ++k) {
        Converter c = at(refused[k].second);
        c.state.tensor_dtypes.insert(1, std::string("0.t_") + refused[k].first);
        EXPECT_EQ(error_of([&] { c.op_cumsum(ops({1, 2}, 4)); }), messages[k]);
        EXPECT_TRUE(c.graph.node.empty());
    }
}

TEST(Einsum, RefusalsInOrder) {
    Ops ops;
    const std::string eq = attr_entry("equation", R"("i->i")");
    for (const int64_t opset : {10, 11})
        EXPECT_EQ(refusal_at(opset, ops({}, 4, eq, "1.einsum")),
                  fmt::format("einsum requires opset >= 12, but target opset is {}", opset));
    EXPECT_EQ(refusal_at(12, ops({}, 4, eq, "1.einsum")), "einsum missing inputs");
    // A naming failure of an operand comes before the missing equation.
    EXPECT_EQ(error_of([&] { at(12).op_einsum(ops({-2}, 4)); }), "Undefined value id -2");
    EXPECT_EQ(error_of([&] { at(12).op_einsum(ops({1}, 4, attr_entry("equation", "3"))); }),
              "einsum missing equation");
    // An empty operand list would make an Einsum without inputs.
    Converter c = at(12);
    c.state.combine_inputs.insert(10, {});
    EXPECT_EQ(error_of([&] { c.op_einsum(ops({10}, 4)); }), "einsum missing equation");
    EXPECT_EQ(error_of([&] { c.op_einsum(ops({10}, 4, eq)); }), "einsum missing inputs");
    EXPECT_TRUE(c.graph.node.empty());
}

// Perms the program cannot back: negative entries without a recorded rank, and lists that
// are not a permutation of the recorded dims (value 1 has dims [2, 3, 4], value 5 none).
TEST(Transpose, RefusesPermsThatAreNoPermutation) {
    Ops ops;
    Converter c;
    c.state.tensor_shapes.insert(1, {2, 3, 4});
    const std::pair<const char*, const char*> rows[] = {
        {"[-1, 0, 1]", nullptr},
        {"[0, 0, 1]", "transpose perm [0, 0, 1] is not a permutation of the 3 dims of its input"},
        {"[0, 1]", "transpose perm [0, 1] is not a permutation of the 3 dims of its input"},
        {"[0, 1, -4]", "transpose perm [0, 1, -4] is not a permutation of the 3 dims of its input"},
        {"[0, 1, 2, 3]", "transpose perm [0, 1, 2, 3] is not a permutation of the 3 dims of its input"},
    };
    for (const auto& [perm, message] : rows) {
        if (message) {
            EXPECT_EQ(error_of([&] { c.op_transpose(ops({1}, 8, attr_entry("perm", perm))); }), message);
            continue;
        }
        c.op_transpose(ops({1}, 8, attr_entry("perm", perm)));
        ASSERT_EQ(c.graph.node.size(), 1u);
        EXPECT_EQ(c.graph.node[0].attribute.at(0).ints, (Ints{2, 0, 1}));
    }
    EXPECT_EQ(error_of([&] { c.op_transpose(ops({5}, 8, attr_entry("perm", "[1, -1]"))); }),
              "transpose perm [1, -1] has negative entries and the input rank is not recorded");
    EXPECT_EQ(c.graph.node.size(), 1u);
}
