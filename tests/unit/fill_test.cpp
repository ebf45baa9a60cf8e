// Filled and ranged tensors and expand: the refusals, and the forms chosen from recorded
// metadata that the end-to-end runs do not pin down (values are checked there).
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "converter/converter.h"
#include "test_support.h"

using kestro::Converter;
using kestro::test::error_of;
using kestro::test::i64s;
using kestro::test::Names;
using kestro::test::op_types;
using kestro::test::op_with_digit_inputs;
using kestro::test::Ops;

namespace {


Names outputs(const Converter& c) {
    Names out;
    for (const auto& n : c.graph.node) out.push_back(n.output.at(0));
    return out;
}

}  // namespace

TEST(Fill, MissingInputsAndTheArangeGate) {
    const std::pair<const char*, const char*> cases[] = {
        {"full_like", "1"},
        {"arange", "12"},
        {"full_with_tensor", "1"},
        {"expand", ""},
    };
    for (const auto& [name, inputs] : cases) {
        Ops ops;
        Converter c;
        EXPECT_EQ(error_of([&] { kestro::test::convert_op(c, ops(op_with_digit_inputs(std::string("1.") + name, inputs))); }),
                  std::string(name) + " missing inputs");
        EXPECT_TRUE(c.graph.node.empty());
    }
    // Range is an opset-11 operator.
    Ops ops;
    Converter c;
    c.opset = 10;
    EXPECT_EQ(error_of([&] { c.op_arange(ops(op_with_digit_inputs("1.arange", "123"))); }),
              "arange requires opset >= 11, but target opset is 10");
    EXPECT_TRUE(c.graph.node.empty());
}

TEST(Expand, BuildsTheShapeForNegativeConstantEntries) {
    Ops ops;
    Converter c;
    c.state.tensor_shapes.insert(1, {3, 1});
    c.state.const_values.insert(2, {-1, 4});
    c.op_expand(ops(op_with_digit_inputs("1.expand", "12")));
    EXPECT_EQ(op_types(c), (Names{"Shape", "Slice", "Concat", "Expand"}));
    EXPECT_EQ(outputs(c), (Names{"expand_input_shape_9", "expand_shape_part_9_0", "expand_shape_9", "tensor_9"}));
    EXPECT_EQ(c.graph.node[3].input, (Names{"tensor_1", "expand_shape_9"}));
    ASSERT_EQ(c.graph.initializer.size(), 4u);  // slice starts, ends, axes, then the constant part
    EXPECT_EQ(c.graph.initializer[3].name, "expand_shape_part_9_1");
    EXPECT_EQ(i64s(c.graph.initializer[3]), std::vector<int64_t>{4});

    // Truncation decides: -0.5 is 0 and builds nothing, -1.5 is -1 and keeps x's size.
    for (double v : {-0.5, -1.5}) {
        Converter t;
        t.state.tensor_shapes.insert(1, {1});
        t.state.const_values.insert(2, {v});
        t.op_expand(ops(op_with_digit_inputs("1.expand", "12")));
        EXPECT_EQ(op_types(t), v == -0.5 ? Names{"Expand"} : (Names{"Shape", "Slice", "Expand"}));
    }
}

TEST(Expand, StackedShapes) {
    auto stacked = [](Converter& c, std::vector<double> first) {
        c.state.stack_inputs.insert(2, {4, 5});
        c.state.const_values.insert(5, first);
        c.state.tensor_shapes.insert(1, {1, 3});
    };
    Ops ops;
    // A NaN is not negative: the stacked shape is not built part by part, only checked for
    // -1 when the model runs.
    Converter nan;
    stacked(nan, {NAN});
    nan.op_expand(ops(op_with_digit_inputs("1.expand", "12")));
    EXPECT_EQ(op_types(nan), (Names{"Shape", "Less", "Where", "Expand"}));

    // A [1]-shaped int64 part is used as it is; another type is cast.
    for (const char* token : {"0.t_i64", "0.t_i32"}) {
        Converter c;
        stacked(c, {-1});
        c.state.tensor_shapes.insert(4, {1});
        c.state.tensor_dtypes.insert(4, token);
        c.op_expand(ops(op_with_digit_inputs("1.expand", "12")));
        const bool i64 = std::string(token) == "0.t_i64";
        EXPECT_EQ(op_types(c), i64 ? (Names{"Shape", "Slice", "Concat", "Expand"})
                                   : (Names{"Cast", "Shape", "Slice", "Concat", "Expand"}));
        EXPECT_EQ(c.graph.node[i64 ? 2 : 3].input.at(0), i64 ? "tensor_4" : "expand_shape_part_i64_9_0");
    }

    Converter wide;
    stacked(wide, {-1});
    wide.state.tensor_shapes.insert(4, {2});
    EXPECT_EQ(error_of([&] { wide.op_expand(ops(op_with_digit_inputs("1.expand", "12"))); }),
              "expand: unsupported dynamic shape part 4 with rank 1");
}

TEST(Expand, NegativeEntriesNeedTheInputRank) {
    Ops ops;
    Converter c;
    c.state.const_values.insert(2, {-1, 4});
    EXPECT_EQ(error_of([&] { c.op_expand(ops(op_with_digit_inputs("1.expand", "12"))); }),
              "expand: missing rank metadata for tensor 1");
    EXPECT_EQ(op_types(c), Names{"Shape"});  // appended before the lookup; the error aborts anyway

    // Parts line up with x from the right; a kept size left of x's first dim has no source.
    Converter lead;
    lead.state.tensor_shapes.insert(1, {3, 1});
    EXPECT_EQ(lead.aligned_expand_input_axis(1, 3, 2), 1);
    EXPECT_EQ(error_of([&] { lead.aligned_expand_input_axis(1, 3, 0); }),
              "expand: -1 at axis 0 cannot map to leading broadcast axis for tensor 1");
    EXPECT_EQ(error_of([&] { lead.aligned_expand_input_axis(1, 1, 0); }),
              "expand: output rank 1 smaller than input rank 2 for tensor 1");
}
