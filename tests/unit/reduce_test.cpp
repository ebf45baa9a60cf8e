// Reductions, top-k, argmax and argsort: the node forms chosen by opset and recorded
// metadata, generated names, and the refusals of forms that would give a wrong result.
#include <algorithm>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "converter/converter.h"
#include "log.h"
#include "test_support.h"

using kestro::Converter;
namespace proto = kestro::proto;
using kestro::test::error_of;
using kestro::test::i64s;
using kestro::test::Ints;
using kestro::test::Names;
using kestro::test::names_of;
using kestro::test::op_text;
using kestro::test::op_types;
using kestro::test::Ops;

namespace {

// An operator with the given attributes, inputs and outputs ("O" entries as written).
std::string a(const std::string& name, const std::string& data) { return kestro::test::attr_entry(name, data); }

Names attr_names(const proto::NodeProto& n) { return names_of(n.attribute); }

}  // namespace

TEST(Reduce, AxesFormsFollowTheOpset) {
    Ops ops;
    struct Case {
        int64_t opset;
        std::vector<double> folded;
        Names attributes;  // of the ReduceMax node
        size_t inputs;
    };
    const Case cases[] = {
        {17, {1.9, -1}, {"axes", "keepdims"}, 1},
        {18, {1.9, -1}, {"keepdims"}, 2},
        {17, {}, {"keepdims"}, 1},  // no values: every axis, without an empty attribute
        {18, {}, {"keepdims"}, 2},
    };
    for (const Case& k : cases) {
        Converter c;
        c.opset = k.opset;
        c.state.const_values.insert(2, k.folded);
        c.reduce_via_const_axes(ops(op_text("1.max", R"({"%":1},{"%":2})", a("keepdim", "0"))),
                                "ReduceMax", "reduce_max");
        ASSERT_EQ(op_types(c), Names{"ReduceMax"});
        const proto::NodeProto& n = c.graph.node[0];
        EXPECT_EQ(attr_names(n), k.attributes) << k.opset;
        EXPECT_EQ(n.attribute.back().i, 1) << "a non-boolean keepdim keeps the dims";
        ASSERT_EQ(n.input.size(), k.inputs);
        if (k.opset >= 18) {
            EXPECT_EQ(n.input[1], "reduce_max_9_axes");
            EXPECT_EQ(i64s(c.graph.initializer.at(0)), Ints(k.folded.empty() ? Ints{} : Ints{1, -1}));
        } else if (!k.folded.empty()) {
            EXPECT_EQ(n.attribute[0].ints, (Ints{1, -1}));
        }
    }
}

TEST(Reduce, TensorAxesAndRankZeroInputs) {
    Ops ops;
    const auto& mean = ops(op_text("1.mean", R"({"%":1},{"%":2})", a("keepdim", "false")));
    Converter c17;
    auto reduce_mean = [&](Converter& c) {
        c.reduce_via_const_axes(mean, "ReduceMean", "reduce_mean");
    };
    EXPECT_EQ(error_of([&] { reduce_mean(c17); }),
              "mean with tensor axes requires opset >= 18, but target opset is 17");
    Converter c18;
    c18.opset = 18;
    c18.state.tensor_dtypes.insert(2, "0.t_i32");
    c18.state.tensor_shapes.insert(1, {3, 4});  // never empty: the axes go in as they are
    reduce_mean(c18);
    EXPECT_EQ(op_types(c18), (Names{"Cast", "ReduceMean"}));
    EXPECT_EQ(c18.graph.node[1].input, (Names{"tensor_1", "reduce_mean_axes_i64_9"}));
    EXPECT_EQ(c18.graph.node[1].attribute[0].i, 0);

    // A rank-0 input is forwarded; its axes input is never looked at.
    Converter scalar;
    scalar.state.tensor_shapes.insert(1, {});
    scalar.op_reduce_sum(ops(op_text("1.sum", R"({"%":1},{"%":2})")));
    EXPECT_EQ(op_types(scalar), Names{"Identity"});
}

TEST(Reduce, SumAxesByOpsetAndUntypedResult) {
    Ops ops;
    const auto& sum = ops(op_text("1.sum", R"({"%":1},{"%":2})", a("keepdim", "false")));
    Converter c11;
    c11.opset = 11;
    EXPECT_EQ(error_of([&] { c11.op_reduce_sum(sum); }),
              "sum with tensor axes requires opset >= 13, but target opset is 11");
    c11.state.const_values.insert(2, {0});
    c11.op_reduce_sum(sum);
    EXPECT_EQ(attr_names(c11.graph.node.at(0)), (Names{"axes", "keepdims"}));
    EXPECT_EQ(c11.graph.node[0].input.size(), 1u);

    // An absent axes input (id 0) reduces every axis; "dtype" decides when the output is untyped.
    Converter c17;
    c17.state.tensor_dtypes.insert(1, "0.t_f32");
    c17.op_reduce_sum(ops(op_text("1.sum", R"({"%":1},{"%":0})", a("dtype", R"("float64")"))));
    EXPECT_EQ(op_types(c17), (Names{"Cast", "ReduceSum"}));
    EXPECT_EQ(c17.graph.node[0].attribute[0].i, proto::dtype::DOUBLE);
    EXPECT_EQ(c17.graph.node[1].input, (Names{"sum_input_cast_9", ""}));
}

TEST(TopK, FormsByOpsetAndK) {
    Ops ops;
    const auto& topk = ops(op_text("1.topk", R"({"%":1},{"%":2})", a("axis", "2.0") + "," + a("largest", "1"),
                                   R"({"%":9},{"%":10})"));
    // x of known dims holding elements: a plain TopK.
    Converter c10;
    c10.opset = 10;
    c10.state.tensor_shapes.insert(1, {2, 3, 4});
    c10.state.tensor_dtypes.insert(2, "0.t_i32");
    c10.op_topk(topk);
    EXPECT_EQ(op_types(c10), (Names{"Cast", "TopK"}));
    const proto::NodeProto& n10 = c10.graph.node[1];
    EXPECT_EQ(n10.input, (Names{"tensor_1", "topk_k_i64_9"}));
    EXPECT_EQ(n10.output, (Names{"tensor_9", "tensor_10"}));
    EXPECT_EQ(attr_names(n10), Names{"axis"});
    EXPECT_EQ(n10.attribute[0].i, 2);  // the axis written 2.0
    // TopK-10 only finds the largest elements, and only of float tensors.
    EXPECT_EQ(error_of([&] { c10.op_topk(ops(op_text("1.topk", R"({"%":1},{"%":2})", a("largest", "false")))); }),
              "topk with largest=false requires opset >= 11, but target opset is 10");
    c10.state.tensor_dtypes.insert(1, "0.t_i64");
    EXPECT_EQ(error_of([&] { c10.op_topk(topk); }),
              "topk of int64 tensors requires opset >= 11, but target opset is 10");

    // A rank-0 int64 k becomes a one-element vector; no cast.
    Converter c17;
    c17.state.tensor_shapes.insert(1, {2, 3, 4});
    c17.state.tensor_dtypes.insert(2, "0.t_i64");
    c17.state.tensor_shapes.insert(2, {});
    c17.op_topk(topk);
    EXPECT_EQ(op_types(c17), (Names{"Unsqueeze", "TopK"}));
    EXPECT_EQ(c17.graph.node[1].input[1], "topk_k_1d_9");
    EXPECT_EQ(attr_names(c17.graph.node[1]), (Names{"axis", "largest", "sorted"}));

    Converter c;
    EXPECT_EQ(error_of([&] { c.op_topk(ops(R"({"I":[{"%":1},{"%":2}]})")); }), "topk missing outputs");
    EXPECT_EQ(error_of([&] { kestro::test::convert_op(c, ops(op_text("1.topk", R"({"%":1})"))); }), "topk missing inputs");
    EXPECT_EQ(error_of([&] { c.op_topk(ops(op_text("1.topk", R"({"%":1},{"%":2})", "", R"({"%":1.0})"))); }),
              "topk missing primary output id");
    EXPECT_EQ(error_of([&] { c.op_topk(ops(op_text("1.topk", R"({"%":1},{"%":2})", "", R"({"%":9},{})"))); }),
              "topk output missing id");
}

TEST(ArgMax, AxisInput) {
    Ops ops;
    Converter single;
    single.op_argmax(ops(op_text("1.argmax", R"({"%":1})")));
    EXPECT_EQ(attr_names(single.graph.node.at(0)), Names{"keepdims"});

    Converter d;
    EXPECT_EQ(error_of([&] { d.op_argmax(ops(op_text("1.argmax", "", a("flatten", "true")))); }),
              "argmax with flatten=true is not supported");
    EXPECT_EQ(error_of([&] { kestro::test::convert_op(d, ops(op_text("1.argmax", R"({"%":1},{"%":2})"))); }),
              "argmax: axis (value 2) must be a constant known at conversion, but it is computed when the model runs");
    EXPECT_TRUE(d.graph.node.empty());
}

TEST(ArgSort, KeyFormOnlyForInt32) {
    Ops ops;
    auto sort = [&](const char* token, Ints dims, bool descending) {
        Converter c;
        c.state.tensor_dtypes.insert(1, token);
        c.state.tensor_shapes.insert(1, dims);
        c.op_argsort(ops(op_text("1.argsort", R"({"%":1})", a("descending", descending ? "true" : "false"),
                                 R"({"%":12},{"%":13})")));
        return c;
    };
    const Converter asc = sort("0.t_i32", {2, 5}, false);
    EXPECT_EQ(op_types(asc), (Names{"Shape", "Gather", "Cast", "Mul", "Add", "TopK", "GatherElements"}));
    EXPECT_EQ(names_of(asc.graph.initializer),
              (Names{"argsort_axis_argsort_shape_12", "argsort_tie_scale_12", "argsort_tie_break_12"}));
    EXPECT_EQ(i64s(asc.graph.initializer[0]), Ints{1});
    EXPECT_EQ(i64s(asc.graph.initializer[1]), Ints{6});
    EXPECT_EQ(asc.graph.initializer[2].dims, (Ints{1, 5}));
    EXPECT_EQ(i64s(asc.graph.initializer[2]), (Ints{0, 1, 2, 3, 4}));
    EXPECT_EQ(asc.graph.node[6].input, (Names{"tensor_1", "tensor_13"}));
    EXPECT_EQ(i64s(sort("0.t_i32", {2, 5}, true).graph.initializer[2]), (Ints{5, 4, 3, 2, 1}));

    // int64 keys could overflow, and an unknown or huge length has no key: plain TopK.
    for (const Converter& c : {sort("0.t_i64", {2, 5}, false), sort("0.t_i32", {2, -1}, false),
                               sort("0.t_i32", {2, (int64_t{1} << 20) + 1}, false)}) {
        EXPECT_EQ(op_types(c), (Names{"Shape", "Gather", "TopK"}));
        EXPECT_EQ(c.graph.node[2].output, (Names{"tensor_12", "tensor_13"}));
    }
}

TEST(ArgSort, RefusalsAndWarning) {
    Ops ops;
    const auto& plain = ops(op_text("1.argsort", R"({"%":1})", "", R"({"%":12},{"%":13})"));
    Converter c12;
    c12.opset = 12;
    EXPECT_EQ(error_of([&] { c12.op_argsort(plain); }),
              "argsort negative axis gather requires opset >= 13, but target opset is 12");
    c12.opset = 10;
    c12.state.tensor_shapes.insert(1, {4});
    EXPECT_EQ(error_of([&] { c12.op_argsort(plain); }),
              "argsort requires opset >= 11, but target opset is 10");
    auto argsort = [&](const std::string& outputs) {
        return error_of([&] { c12.op_argsort(ops(op_text("1.argsort", R"({"%":1})", "", outputs))); });
    };
    // A skipped entry would put the sorted values under the indices' name.
    EXPECT_EQ(argsort(R"({"%":12},{"%":1.5})"), "argsort output missing id");
    EXPECT_EQ(argsort(R"({"%":12})"), "argsort expects two outputs");

    kestro::log::init("warn", "never");
    testing::internal::CaptureStderr();
    Converter c;
    c.state.tensor_dtypes.insert(1, "0.t_f32");
    c.op_argsort(plain);
    const std::string err = testing::internal::GetCapturedStderr();
    kestro::log::init("", "never");
    EXPECT_NE(err.find("WARN  kestro::converter::ops::reduce] "
                       "argsort with stable=false on floating inputs has "
                       "backend-dependent tie order"),
              std::string::npos)
        << err;
    // Without a recorded shape the input may be empty: the TopK runs with k 0 on an empty
    // input, and its results are reshaped to x's dims with k along the axis.
    const auto topk = std::find_if(c.graph.node.begin(), c.graph.node.end(),
                                   [](const auto& n) { return n.op_type == "TopK"; });
    ASSERT_NE(topk, c.graph.node.end());
    EXPECT_EQ(topk->input.at(1), "argsort_k_run_12");
    EXPECT_EQ(c.graph.node.back().op_type, "Reshape");
    EXPECT_EQ(topk->attribute.at(0).i, -1)
        << "unknown rank from opset 13: the axis as read";
}
