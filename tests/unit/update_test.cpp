// Scatter-based writes: the refusals and their order, attribute readings, and sizes read
// from a program that must not drive an allocation or overflow.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "converter/converter.h"
#include "test_support.h"

using kestro::Converter;
using kestro::test::error_of;
using kestro::test::i64s;
using kestro::test::ids_up_to;
using kestro::test::op_text;
using kestro::test::op_types;
using kestro::test::value_entries;
using kestro::test::Ops;
using Names = kestro::test::Names;

namespace {

// An operator with inputs %1, %2, ... (as many as given) and output %9.
std::string a(const std::string& name, const std::string& data) { return kestro::test::attr_entry(name, data); }

}  // namespace

TEST(IndexPut, ChoosesAFormOrRefuses) {
    struct Case {
        std::vector<int64_t> x, values;
        std::vector<std::vector<int64_t>> index_dims;
        const char* error;  // nullptr: the last node is `last`
        const char* last;
    };
    const Case cases[] = {
        {{3, 4}, {3, 4}, {{3, 4}, {3, 4}}, nullptr, "ScatterND"},
        {{3, 4}, {4, 3}, {{3, 4}, {3, 4}}, "index_put values of shape [4, 3] do not broadcast to the index shape [3, 4]", nullptr},
        // Index tensors broadcast against each other, the values against their common shape.
        {{5, 6}, {2, 3}, {{2, 1}, {1, 3}}, nullptr, "ScatterND"},
        {{5, 6}, {3}, {{2, 1}, {1, 3}}, nullptr, "ScatterND"},
        {{5, 6}, {2}, {{2, 1}, {1, 3}}, "index_put values of shape [2] do not broadcast to the index shape [2, 3]", nullptr},
        {{5, 6}, {}, {{2}, {3}}, "index_put index tensors of shapes [2] and [3] do not broadcast", nullptr},
        {{3, 4}, {}, {{2}, {2}, {2}}, "unsupported index_put pattern for output 9", nullptr},
        {{3, 4}, {}, {{2}}, nullptr, "ScatterND"},
        {{2, 3, 4}, {}, {{2}}, "unsupported index_put pattern for output 9", nullptr},
    };
    for (const Case& k : cases) {
        Ops ops;
        Converter c;
        c.state.tensor_shapes.insert(1, k.x);
        c.state.tensor_shapes.insert(3, k.values);
        std::vector<int64_t> listed;
        for (size_t i = 0; i < k.index_dims.size(); ++i) {
            c.state.tensor_shapes.insert(20 + static_cast<int64_t>(i), k.index_dims[i]);
            listed.push_back(20 + static_cast<int64_t>(i));
        }
        c.state.combine_inputs.insert(2, listed);
        const auto& o = ops(op_text("1.index_put", value_entries({1, 2, 3})));
        if (k.error) {
            EXPECT_EQ(error_of([&] { c.op_index_put(o); }), k.error);
            continue;
        }
        c.op_index_put(o);
        EXPECT_EQ(op_types(c).back(), k.last);
        // Indices without a recorded int64 type are cast: ScatterND takes int64 only.
        EXPECT_EQ(op_types(c).front(), "Cast");
    }
    Ops ops;
    Converter c;
    EXPECT_EQ(error_of([&] { kestro::test::convert_op(c, ops(op_text("1.index_put", value_entries({1, 2})))); }),
              "index_put missing inputs");
    EXPECT_EQ(error_of([&] { c.op_index_put(ops(op_text("1.index_put", value_entries({1, 2, 3})))); }),
              "index_put expects combined mask input");
    // The gate answers before the operands are counted.
    c.opset = 10;
    EXPECT_EQ(error_of([&] { kestro::test::convert_op(c, ops(R"({"#":"1.index_put"})")); }),
              "index_put requires opset >= 11, but target opset is 10");
    EXPECT_EQ(error_of([&] { kestro::test::convert_op(c, ops(op_text("1.index_put", value_entries({})))); }),
              "index_put requires opset >= 11, but target opset is 10");
}

TEST(PutAlongAxis, ReadsItsAttributesLeniently) {
    Ops ops;
    auto run = [&](const std::string& attrs) {
        Converter c;
        c.state.tensor_shapes.insert(1, {2, 2, 2});
        c.state.tensor_dtypes.insert(2, "0.t_i64");
        const std::string err = error_of(
            [&] { c.op_put_along_axis(ops(op_text("1.put_along_axis", value_entries({1, 2, 3}), attrs))); });
        return err == "<no error>" ? std::to_string(c.graph.node.at(0).attribute.at(0).i) : err;
    };
    // A number for "reduce" or 0 for "include_self" is not their type and counts as absent.
    EXPECT_EQ(run(a("reduce", "3") + "," + a("include_self", "0") + "," + a("axis", "-3")), "0");
    // An axis outside the data's dims has no ScatterElements that loads.
    EXPECT_EQ(run(a("axis", "-4")), "put_along_axis: axis -4 is outside [-3, 3) for an input of rank 3");
    EXPECT_EQ(run(a("reduce", R"("assign ")")), "put_along_axis only supports reduce=assign");
    EXPECT_EQ(run(a("include_self", "false")), "put_along_axis only supports include_self=true");
}

TEST(RepeatInterleave, RefusesWhatItCannotTileWithoutOverflow) {
    Ops ops;
    auto run = [&](const std::string& attrs, int inputs, std::vector<int64_t> repeats_dims = {1}) {
        Converter c;
        c.state.tensor_shapes.insert(1, {2, 3});
        c.state.tensor_shapes.insert(2, repeats_dims);
        std::string err = error_of([&] {
            c.op_repeat_interleave(ops(op_text("1.repeat_interleave", value_entries(ids_up_to(inputs)), attrs)));
        });
        return std::pair{err, op_types(c)};
    };
    EXPECT_EQ(run(a("axis", "9223372036854775807") + "," + a("repeats", "2"), 1).first,
              "repeat_interleave: axis 9223372036854775807 is outside [-2, 2) for an input of rank 2");
    EXPECT_EQ(run(a("axis", "-3") + "," + a("repeats", "2"), 1).first,
              "repeat_interleave: axis -3 is outside [-2, 2) for an input of rank 2");
    // A count written as a whole float is that count; a fraction is refused, not replaced by
    // the tensor input.
    EXPECT_EQ(run(a("repeats", "2.0"), 1), run(a("repeats", "2"), 1));
    EXPECT_EQ(run(a("repeats", "2.5"), 1),
              std::pair(std::string("repeat_interleave: attribute repeats must be an integer, got 2.5"), Names{}));
    EXPECT_EQ(run("", 2, {3}).first, "repeat_interleave supports one repeat count only, got repeats of shape [3]");
    EXPECT_EQ(run("", 2, {-1}).first, "repeat_interleave supports one repeat count only, got repeats of shape [-1]");
}

TEST(SetValue, BoundsSizesBeforeMaterializing) {
    Ops ops;
    auto run = [&](std::vector<int64_t> dims, const std::string& axes, std::vector<std::vector<double>> bounds,
                   const std::string& fill, const char* dtype = "0.t_f32") {
        Converter c;
        c.state.tensor_shapes.insert(1, dims);
        c.state.tensor_dtypes.insert(1, dtype);
        for (int k = 0; k < 3; ++k) c.state.const_values.insert(2 + k, bounds[static_cast<size_t>(k)]);
        const std::string err =
            error_of([&] {
                c.op_set_value(ops(op_text("1.set_value_", value_entries({1, 2, 3, 4}),
                                           a("axes", axes) + "," + a("values", fill))));
            });
        return std::pair{err, std::move(c)};
    };
    // Every batch row and trailing index is written: 2^40 x 2 x 2^40 is refused, not allocated.
    EXPECT_EQ(run({1099511627776, 4, 4, 1099511627776}, "[1,2]", {{0, 0}, {2, 2}, {1, 1}}, "[1]").first,
              "set_value_ axes=[1,2] block [1099511627776, 2, 2, 1099511627776] needs more than 268435456 index elements");
    EXPECT_EQ(run({2, 8}, "[1]", {{0}, {9223372036854775807.0}, {1}}, "[1]").first, "<no error>");
    {
        auto [err, c] = run({2, 8, 3}, "[1]", {{1}, {100}, {3}}, R"([{"VD":"-inf"}])");
        ASSERT_EQ(err, "<no error>");
        // Positions stop at the axis; trailing axes are broadcast.
        for (const auto& t : c.graph.initializer) {
            if (t.name != "set_value_indices_9") continue;
            EXPECT_EQ(t.dims, (std::vector<int64_t>{1, 3, 1}));
            EXPECT_EQ(i64s(t), (std::vector<int64_t>{1, 4, 7}));
        }
        EXPECT_EQ(c.graph.node.back().op_type, "ScatterElements");
    }
    EXPECT_EQ(run({2, 8}, "[1]", {{0}, {2}, {1}}, "[2.5]", "0.t_i64").first,
              "cannot encode non-integer value 2.5 as int64 without losing precision");
    EXPECT_EQ(run({2, 8}, "[1]", {{0}, {2}, {1}}, R"([{"D":true}])", "0.t_bool").first, "<no error>");
    EXPECT_EQ(run({2}, "[1]", {{0}, {2}, {1}}, "[1]").first, "set_value_ axes=[1] requires rank >= 2 inputs");
    EXPECT_EQ(run({2, 8}, "[1]", {{-1}, {2}, {1}}, "[1]").first,
              "set_value_ axes=[1] currently requires non-negative start/end (negative indices not yet supported)");
}

TEST(SetValueWithTensor, ChecksInOrder) {
    struct Case {
        int inputs;
        std::string attrs;
        std::vector<int64_t> dims;  // empty: no record
        const char* error;
        bool dispatched = false;  // through the operator's signature, as the conversion runs it
    };
    const std::string axes1 = a("axes", R"([{"D":1}])");
    const Case cases[] = {
        {2, a("decrease_axes", "[0]"), {}, nullptr},  // no axes: values broadcast over x
        {5, a("axes", "[1]"), {2, 4}, "set_value_with_tensor_ currently only supports axes=[1]"},
        {5, axes1 + "," + a("decrease_axes", "[1,1]"), {2, 4},
         "set_value_with_tensor_ currently only supports decrease_axes=[] or [1]"},
        // The bounds may be left off a whole write; axes [1] asks for them in its own words,
        // after the axes it takes.
        {2, a("decrease_axes", "[0]"), {}, nullptr, true},
        {4, axes1, {2, 4}, "set_value_with_tensor_ axes=[1] expects data, values, starts, ends, steps", true},
        {3, axes1, {2, 4}, "set_value_with_tensor_ axes=[1] expects data, values, starts, ends, steps", true},
        {2, axes1, {2, 4}, "set_value_with_tensor_ axes=[1] expects data, values, starts, ends, steps", true},
        {3, a("axes", R"([{"D":2}])"), {2, 4}, "set_value_with_tensor_ currently only supports axes=[1]", true},
        {1, axes1, {2, 4}, "set_value_with_tensor_ missing inputs", true},
        // The general count names the operator as the program writes it.
        {6, axes1, {2, 4}, "set_value_with_tensor_ has 6 operands, but it takes 2 to 5 (x, values, starts, ends, steps)",
         true},
        {5, axes1, {}, "set_value_with_tensor_: missing rank metadata"},
        {5, axes1 + "," + a("decrease_axes", "[1]"), {2, 4}, "set_value_with_tensor_ step cannot be zero"},
        // Without a known size of axis 1 the number of positions is left to the run time.
        {5, axes1 + "," + a("decrease_axes", "[1]"), {2, -1}, nullptr},
    };
    for (const Case& k : cases) {
        Ops ops;
        Converter c;
        if (!k.dims.empty()) c.state.tensor_shapes.insert(1, k.dims);
        c.state.const_values.insert(3, {1});
        c.state.const_values.insert(4, {4});
        c.state.const_values.insert(5, {k.dims == std::vector<int64_t>{2, -1} ? 1.0 : 0.0});
        const auto& o = ops(op_text("1.set_value_with_tensor_", value_entries(ids_up_to(k.inputs)), k.attrs));
        EXPECT_EQ(error_of([&] { k.dispatched ? kestro::test::convert_op(c, o) : c.op_set_value_with_tensor(o); }),
                  k.error ? k.error : "<no error>")
            << k.attrs;
        if (!k.error) {
            EXPECT_EQ(c.graph.node.back().op_type, k.inputs == 2 ? "Expand" : "ScatterElements");
        }
    }
}
