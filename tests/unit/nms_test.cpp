// Multiclass non-maximum suppression: the order of the refusals on malformed operators, the
// limits the chain is built around, and thresholds beyond the float range.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>

#include "converter/converter.h"
#include "test_support.h"

using kestro::Converter;
namespace proto = kestro::proto;
using kestro::test::error_of;
using kestro::test::i64s;
using kestro::test::Ops;

namespace {

const std::string kOuts = R"([{"%":9},{"%":10},{"%":11}])";

std::string nms_op(const std::string& attrs, const std::string& inputs = R"([{"%":1},{"%":2}])",
                   const std::string& outs = kOuts) {
    return R"({"#":"1.multiclass_nms3","I":)" + inputs + R"(,"O":)" + outs + R"(,"A":[)" + attrs +
           "]}";
}

std::string attr(const std::string& name, const std::string& tag, const std::string& data) {
    return R"({"N":")" + name + R"(","AT":{"#":")" + tag + R"(","D":)" + data + "}}";
}

const proto::TensorProto& initializer(const Converter& c, const std::string& name) {
    for (const auto& t : c.graph.initializer)
        if (t.name == name) return t;
    throw std::runtime_error("no initializer " + name);
}

float f32_of(const proto::TensorProto& t) {
    float v;
    EXPECT_EQ(t.raw_data.size(), 4u);
    std::memcpy(&v, t.raw_data.data(), 4);
    return v;
}

}  // namespace

TEST(MulticlassNms, RefusalsComeInTheirOrder) {
    struct Case {
        int64_t opset;
        std::string op;
        std::string message;
        bool dispatched = false;  // through the operator's signature, as the conversion runs it
    };
    const std::string bg0 = attr("background_label", "0.a_i32", "0");
    const std::vector<Case> cases = {
        // The gate answers before anything of the operator is read, its operands included.
        {10, R"({"#":"1.multiclass_nms3"})",
         "multiclass_nms3 requires opset >= 11, but target opset is 10", true},
        {10, nms_op("", "[]"), "multiclass_nms3 requires opset >= 11, but target opset is 10", true},
        {11, nms_op("", R"([{"%":1}])"), "multiclass_nms3 missing inputs", true},
        {11, nms_op("", R"([{"%":1},{"%":0}])"),
         "multiclass_nms3: scores (operand 1) is absent (%0), where multiclass_nms3 needs a value", true},
        // Paddle's boxes are [N, M, 4] or [M, C, 4], its scores [N, C, M] or [M, C].
        {11, nms_op("", R"([{"%":1},{"%":6}])"), "multiclass_nms3 takes a scores of rank 2 to 3, got rank 0", true},
        {11, nms_op("", R"([{"%":6},{"%":2}])"), "multiclass_nms3 takes a rank-3 input, got rank 0", true},
        // A recorded batch of two converts: every image is suppressed on its own.
        {11, nms_op(bg0, R"([{"%":1},{"%":3}])"),
         "multiclass_nms3 currently only supports background_label=-1"},
        {11, nms_op(bg0, R"([{"%":1},{"%":2}])", "{}"), "multiclass_nms3 missing outputs"},
        {11, nms_op(bg0, R"([{"%":1},{"%":2}])", R"([{"%":9},{"%":10}])"),
         "multiclass_nms3 expects three outputs"},
        {11, nms_op(bg0, R"([{"%":1},{"%":2}])", R"([{"%":9},{"%":1.5},{}])"),
         "multiclass_nms3 missing index output id"},
        {11, nms_op(bg0), "multiclass_nms3 currently only supports background_label=-1"},
        {11, nms_op(attr("nms_eta", "0.a_f32", "0.9")),
         "multiclass_nms3 currently only supports nms_eta=1.0"},
        // A limit that is no integer is refused, not replaced by the default.
        {11, nms_op(attr("keep_top_k", "0.a_i32", "2.5")),
         "multiclass_nms3: attribute keep_top_k must be an integer, got 2.5"},
        {11, nms_op(attr("nms_top_k", "0.a_i32", "\"100\"")),
         "multiclass_nms3: attribute nms_top_k must be an integer, got \"100\""},
        {11, nms_op("", R"([{"%":4},{"%":2}])"),
         "multiclass_nms3 only supports float32 boxes (got float16)"},
        // The form with boxes per class has no NonMaxSuppression counterpart.
        {11, nms_op("", R"([{"%":1},{"%":5}])"),
         "multiclass_nms3 only supports scores of shape [N, C, M] (got [1, 3])"},
    };
    for (const auto& k : cases) {
        Ops ops;
        Converter c;
        c.opset = k.opset;
        c.state.tensor_shapes.insert(2, {-1, 3, 5});
        c.state.tensor_shapes.insert(3, {2, 3, 5});
        c.state.tensor_dtypes.insert(4, "0.t_f16");
        c.state.tensor_shapes.insert(5, {1, 3});
        c.state.tensor_shapes.insert(6, {});
        const auto& op = ops(k.op);
        EXPECT_EQ(error_of([&] { k.dispatched ? kestro::test::convert_op(c, op) : c.op_multiclass_nms3(op); }),
                  k.message)
            << k.op;
    }
}

TEST(MulticlassNms, LimitsAndThresholds) {
    Ops ops;
    // Negative nms_top_k means no limit; one written as a whole float is that integer.
    // keep_top_k 0 is a cap that keeps nothing; absent, there is none.
    Converter c;
    c.op_multiclass_nms3(ops(nms_op(attr("nms_top_k", "0.a_i32", "-1") + "," +
                                    attr("keep_top_k", "0.a_i32", "0"))));
    EXPECT_EQ(i64s(initializer(c, "nms_max_boxes_9")),
              std::vector<int64_t>{std::numeric_limits<int64_t>::max()});
    EXPECT_EQ(i64s(initializer(c, "nms_keep_top_k_9")), std::vector<int64_t>{0});

    Converter d;
    d.op_multiclass_nms3(ops(nms_op(attr("nms_top_k", "0.a_f64", "5.0") + "," +
                                    attr("score_threshold", "0.a_str", "\"0.3\"") + "," +
                                    attr("nms_threshold", "0.a_f64", "1e300"))));
    EXPECT_EQ(i64s(initializer(d, "nms_max_boxes_9")), std::vector<int64_t>{5});
    EXPECT_THROW(initializer(d, "nms_keep_top_k_9"), std::runtime_error);
    const auto& iou = initializer(d, "nms_iou_threshold_9");
    EXPECT_EQ(iou.dims, std::vector<int64_t>{1});
    EXPECT_EQ(iou.data_type, proto::dtype::FLOAT);
    EXPECT_EQ(f32_of(iou), std::numeric_limits<float>::infinity());
    EXPECT_EQ(f32_of(initializer(d, "nms_score_threshold_9")), 0.0f);

    // Just past FLT_MAX, but nearer to it than to the next power of two.
    Converter e;
    e.op_multiclass_nms3(ops(nms_op(attr("nms_threshold", "0.a_f64", "-3.4028235e38"))));
    EXPECT_EQ(f32_of(initializer(e, "nms_iou_threshold_9")), -FLT_MAX);
}

TEST(MulticlassNms, EachTopKChoosesInItsOwnDirection) {
    // The best candidates and the kept rows by score come largest first; the rows are then
    // ordered by image smallest first, so each image's rows keep their score order. A flipped
    // direction keeps other boxes, or the right ones under another image.
    Ops ops;
    Converter c;
    c.op_multiclass_nms3(ops(nms_op(attr("nms_top_k", "0.a_i32", "2") + "," +
                                    attr("keep_top_k", "0.a_i32", "1"))));
    std::map<std::string, int64_t> largest;
    for (const auto& node : c.graph.node)
        if (node.op_type == "TopK")
            for (const auto& a : node.attribute)
                if (a.name == "largest") largest[node.output[1]] = a.i;
    EXPECT_EQ(largest, (std::map<std::string, int64_t>{
                           {"nms_best_indices_9", 1}, {"nms_by_score_9", 1}, {"nms_by_image_9", 0}}));
}
