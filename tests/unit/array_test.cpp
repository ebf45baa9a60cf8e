// Constant tensors, cast/clip, squeeze/unsqueeze, flatten, split/stack/concat and slicing:
// the refusals and the forms chosen from recorded metadata and the target opset.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "converter/converter.h"
#include "test_support.h"

using kestro::Converter;
namespace proto = kestro::proto;
using kestro::test::error_of;
using kestro::test::i64s;
using kestro::test::op_text;
using kestro::test::op_types;
using kestro::test::Ops;

namespace {

const proto::TensorProto* init(const Converter& c, const std::string& name) {
    for (const auto& t : c.graph.initializer)
        if (t.name == name) return &t;
    return nullptr;
}

// An operator with the given attributes ("A" entries) and inputs, output id 9.
std::string a(const std::string& name, const std::string& data) { return kestro::test::attr_entry(name, data); }

}  // namespace

TEST(ConstantTensors, FillsCapsAndRefusesBrokenShapes) {
    struct Case {
        const char* name;
        const char* shape;
        std::vector<double> folded;
        std::vector<int64_t> dims;  // expected dims, or empty with an error
        const char* error;
        uint64_t already = 0;  // bytes the program materialized before this operator
    };
    constexpr uint64_t cap = Converter::kMaxMaterializedBytes;
    const Case cases[] = {
        {"1.full_int_array", "[]", {7}, {1}, nullptr},
        {"1.full_int_array", "[4611686018427387904,4]", {3, 4}, {2}, nullptr},
        {"1.full", "[65536,8192]", {1}, {}, "1.full initializer shape [65536, 8192] has more than 268435456 elements"},
        {"1.full", "[4611686018427387904,4]", {1}, {}, "1.full initializer shape [4611686018427387904, 4] has more than 268435456 elements"},
        {"1.full", "[4]", {1, 2}, {}, "1.full initializer shape [4] expects 4 values, got 2"},
        // The limit holds for the whole program: checked before the bytes are allocated.
        {"1.full", "[4]", {1}, {4}, nullptr, cap - 16},
        {"1.full", "[4]", {1}, {}, "1.full would materialize 16 more bytes from the program's numbers, past the limit of 1073741824 bytes for a whole program (1073741809 already used)", cap - 15},
    };
    for (const Case& k : cases) {
        Ops ops;
        Converter c;
        c.state.const_values.insert(9, k.folded);
        c.materialized->total = k.already;
        const auto& o = ops(op_text(k.name, "", a("shape", k.shape) + "," + a("dtype", "\"float32\"")));
        if (k.error) {
            EXPECT_EQ(error_of([&] { c.op_full(k.name, o); }), k.error);
            EXPECT_TRUE(c.graph.initializer.empty());
            continue;
        }
        c.op_full(k.name, o);
        ASSERT_EQ(c.graph.initializer.size(), 1u);
        EXPECT_EQ(c.graph.initializer[0].dims, k.dims) << k.shape;
    }
}

TEST(ConstantTensors, AssignValueRefusesNegativeAndOverflowingDims) {
    Ops ops;
    Converter c;
    auto assign = [&](const char* shape, const char* values) {
        return error_of([&] {
            c.op_assign_value(ops(op_text("1.assign_value_", "",
                                          a("shape", shape) + "," + a("dtype", "\"int32\"") + "," +
                                              a("values", values))));
        });
    };
    // [-1, -1] and [2^32, 2^32] wrap around to counts that would match in unsigned arithmetic.
    EXPECT_EQ(assign("[-1,-1]", "[5]"), "assign_value_ shape [-1, -1] has a negative dim");
    EXPECT_EQ(assign("[4294967296,4294967296]", "[]"), "assign_value_ shape [4294967296, 4294967296] has too many elements");
    EXPECT_EQ(assign("[2,2]", "[1,2,3]"), "assign_value_ shape [2, 2] expects 4 values, got 3");
    EXPECT_TRUE(c.graph.initializer.empty());
    EXPECT_EQ(assign("[]", R"([{"D":"nan"}, 1, 2])"), "cannot encode non-finite value NaN as int32");
}

TEST(Clip, OpsetForms) {
    Ops ops;
    auto clip = [&](int64_t opset, const char* x_token, bool fold_max) {
        Converter c;
        c.opset = opset;
        c.state.tensor_dtypes.insert(1, x_token);
        c.state.const_values.insert(2, {0.5});
        if (fold_max) c.state.const_values.insert(3, {2.0});
        c.op_clip(ops(op_text("1.clip", R"({"%":1},{"%":2},{"%":3})")));
        return c;
    };
    // Below opset 11 the folded bounds become attributes.
    const Converter c10 = clip(10, "0.t_f32", true);
    ASSERT_EQ(op_types(c10), std::vector<std::string>{"Clip"});
    EXPECT_EQ(c10.graph.node[0].input, std::vector<std::string>{"tensor_1"});
    ASSERT_EQ(c10.graph.node[0].attribute.size(), 2u);
    EXPECT_EQ(c10.graph.node[0].attribute[0].name, "min");
    EXPECT_FLOAT_EQ(c10.graph.node[0].attribute[1].f, 2.0f);
    EXPECT_EQ(error_of([&] { clip(10, "0.t_f32", false); }),
              "clip with tensor bounds requires opset >= 11, but target opset is 10");
    EXPECT_EQ(error_of([&] { clip(11, "0.t_i32", true); }),
              "clip of int32 tensors requires opset >= 12, but target opset is 11");

    // Bounds take x's type: a float bound of a non-float32 x is cast even when it already
    // has that type, and a bound of another type is always cast.
    struct Case {
        const char* x;
        const char* bound;
        std::vector<std::string> nodes;
    };
    const Case cases[] = {
        {"0.t_f64", "0.t_f64", {"Cast", "Cast", "Clip"}},
        {"0.t_f32", "0.t_f64", {"Cast", "Cast", "Clip"}},
        {"0.t_f32", "0.t_f32", {"Clip"}},
        {"0.t_f16", "0.t_f16", {"Clip"}},
    };
    for (const Case& k : cases) {
        Converter c;
        c.state.tensor_dtypes.insert(1, k.x);
        c.state.tensor_dtypes.insert(2, k.bound);
        c.state.tensor_dtypes.insert(3, k.bound);
        c.op_clip(ops(op_text("1.clip", R"({"%":1},{"%":2},{"%":3})")));
        EXPECT_EQ(op_types(c), k.nodes) << k.x << " " << k.bound;
        if (k.nodes.size() == 3) {
            EXPECT_EQ(c.graph.node[2].input, (std::vector<std::string>{"tensor_1", "clip_cast_9_1", "clip_cast_9_2"}));
        }
    }
}

TEST(Squeeze, NegativeAxesNeedOpset11WhenTheRankIsUnknown) {
    Ops ops;
    Converter c;
    c.opset = 10;
    EXPECT_EQ(error_of([&] { c.op_squeeze(ops(op_text("1.squeeze", R"({"%":1})", a("axis", "-1")))); }),
              "squeeze with negative axes requires opset >= 11, but target opset is 10");
}

// Without any recorded rank, Paddle's in-order insertions can be replayed only from
// non-negative axes; a lone negative axis means the same to ONNX.
TEST(Unsqueeze, AxesWithoutARecordedRank) {
    struct Row {
        const char* axes;
        int64_t opset;
        std::vector<int64_t> onnx_axes;  // empty: refused with `message`
        const char* message;
    };
    const Row rows[] = {
        {"[2, 0]", 13, {0, 3}, ""},
        {"[1, 1]", 13, {1, 2}, ""},
        {"[-1]", 13, {-1}, ""},
        {"[-1]", 10, {}, "unsqueeze with negative axes requires opset >= 11, but target opset is 10"},
        {"[0, -1]", 13, {}, "unsqueeze with negative axes [0, -1] needs the input rank, which is not recorded"},
        {"[65]", 13, {}, "unsqueeze: axis 65 exceeds the largest supported rank 64"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.axes);
        Ops ops;
        Converter c;
        c.opset = row.opset;
        const auto& unsqueeze = ops(op_text("1.unsqueeze", R"({"%":1})", a("axis", row.axes)));
        if (row.onnx_axes.empty()) {
            EXPECT_EQ(error_of([&] { c.op_unsqueeze(unsqueeze); }), row.message);
            continue;
        }
        c.op_unsqueeze(unsqueeze);
        EXPECT_EQ(i64s(*init(c, "unsqueeze_axes_9")), row.onnx_axes);
    }
}

TEST(Flatten, RefusesStartAxisOutsideTheRankAndPicksAForm) {
    Ops ops;
    auto flatten = [&](Converter& c, const char* start, const char* stop, const char* declared) {
        std::string o = op_text("1.flatten", R"({"%":1})", a("start_axis", start) + "," + a("stop_axis", stop));
        if (declared) o.replace(o.find(R"({"%":9})"), 7, std::string(R"({"%":9,"TT":{"D":[{"#":"0.t_f32"},)") + declared + "]}}");
        c.op_flatten(ops(o));
    };
    Converter c;
    c.state.tensor_shapes.insert(1, {2, 3, 4, 5});
    EXPECT_EQ(error_of([&] { flatten(c, "4", "-1", nullptr); }), "flatten: start_axis=4 is outside the rank 4 of its input");
    EXPECT_EQ(error_of([&] { flatten(c, "-5", "-1", nullptr); }), "flatten: start_axis=-5 is outside the rank 4 of its input");
    Converter unranked;
    EXPECT_EQ(error_of([&] { flatten(unranked, "-1", "-1", nullptr); }),
              "flatten: start_axis=-1 needs the input rank, which is not recorded");
    EXPECT_EQ(error_of([&] { flatten(unranked, "1000000000", "-1", nullptr); }),
              "flatten: start_axis=1000000000 exceeds the largest supported rank 64");
    // Several unknown dims while flattening to the end, without a recorded rank: zeros then
    // -1, no run-time chain (with a rank the target is computed at run time, as an empty
    // batch would leave -1 nothing to divide by).
    flatten(unranked, "2", "-1", "[-1,-1,-1]");
    EXPECT_EQ(op_types(unranked), std::vector<std::string>{"Reshape"});
    EXPECT_EQ(i64s(*init(unranked, "flatten_shape_9")), (std::vector<int64_t>{0, 0, -1}));
}

TEST(ListOperators, SplitSectionsAxisAndEmptyStack) {
    Ops ops;
    auto split = [&](int64_t opset, std::optional<std::vector<double>> sections, const char* inputs) {
        return error_of([&] {
            Converter c;
            c.opset = opset;
            c.state.split_outputs.insert(9, {10, 11});
            c.state.tensor_shapes.insert(1, {2, 6});
            if (sections) c.state.const_values.insert(2, *sections);
            c.state.const_values.insert(3, {-1});
            kestro::test::convert_op(c, ops(op_text("1.split", inputs)));
        });
    };
    const char* with_axis = R"({"%":1},{"%":2},{"%":3})";
    EXPECT_EQ(split(17, std::vector<double>{7, -1}, with_axis), "split: sections [7, -1] exceed the size 6 of axis -1");
    EXPECT_EQ(split(12, std::nullopt, with_axis),
              "split with tensor sections requires opset >= 13, but target opset is 12");
    EXPECT_EQ(split(17, std::vector<double>{3, 3}, R"({"%":1},{"%":2},{"%":4})"), 
              "split: axis (value 4) must be a constant known at conversion, but it is computed when the model runs");

    Converter c;
    c.state.combine_inputs.insert(5, {});
    EXPECT_EQ(error_of([&] { c.op_stack(ops(op_text("1.stack", R"({"%":5})", a("axis", "0")))); }),
              "stack of an empty list 5");
    EXPECT_TRUE(c.graph.node.empty());
}

TEST(Slice, FoldedBoundsSaturateAndStridesNeverTakeTheAxesSlot) {
    Ops ops;
    Converter c9;
    c9.opset = 9;
    c9.state.const_values.insert(2, {0.9, -1.5});
    c9.state.const_values.insert(3, {1e300, std::nan("")});
    c9.op_slice(ops(op_text("1.slice", R"({"%":1},{"%":2},{"%":3})", a("axes", "[0,1]"))));
    ASSERT_EQ(c9.graph.node.size(), 1u);
    EXPECT_EQ(c9.graph.node[0].attribute[0].ints, (std::vector<int64_t>{0, -1}));
    EXPECT_EQ(c9.graph.node[0].attribute[1].ints, (std::vector<int64_t>{INT64_MAX, 0}));

    Converter c17;
    EXPECT_EQ(error_of([&] { kestro::test::convert_op(c17, ops(op_text("1.slice", R"({"%":1},{"%":2})", a("axes", "[0]")))); }),
              "slice has 2 operands, but it takes 3 (input, starts, ends)");
    const std::string strided = op_text("1.strided_slice", R"({"%":1},{"%":2},{"%":3},{"%":4})");
    EXPECT_EQ(error_of([&] { c17.op_strided_slice(ops(strided)); }),
              "strided_slice without axes needs the number of starts of id 2");
    c17.state.tensor_shapes.insert(2, {2});
    for (int64_t id : {2, 3, 4}) c17.state.tensor_dtypes.insert(id, "0.t_i64");
    c17.op_strided_slice(ops(strided));
    EXPECT_EQ(c17.graph.node.back().input,
              (std::vector<std::string>{"tensor_1", "tensor_2", "tensor_3", "strided_slice_axes_9", "tensor_4"}));
    EXPECT_EQ(i64s(*init(c17, "strided_slice_axes_9")), (std::vector<int64_t>{0, 1}));
}
