// One signature per Paddle operator: its operands in order, which of them may be left out,
// and what each holds where Paddle fixes it (rank, one value, index type, a constant).
// Converter::check_operands holds every operator to its row before the lowering runs, at
// every opset and inside regions, so that no lowering reads past its operator's operands or
// silently drops one a program gives.
#include <unordered_map>

#include "converter/ops/dispatch.h"

namespace kestro::ops {

namespace {

constexpr OperandRule arg(std::string_view name) { return OperandRule{name}; }

using H = Holds;

Signature sig(std::initializer_list<OperandRule> operands) { return Signature{operands, false}; }

// Keyed by the bare name (generic_name), so an in-place form shares its operator's row.
std::unordered_map<std::string_view, Signature> build_signatures() {
    const OperandRule x = arg("x");
    const OperandRule y = arg("y");
    const OperandRule list = arg("x").holding(H::List);
    const OperandRule axes = arg("axis").holding(H::Axes);
    // A window's or a gather's axis: one number, which the lowering writes as an attribute.
    const OperandRule const_axis = arg("axis").holding(H::OneValue).constant();
    const Signature unary = sig({x});
    const Signature binary = sig({x, y});
    const Signature none = sig({});
    const Signature reduction = sig({x, axes});
    const Signature range = sig({arg("start").holding(H::RangeBound), arg("end").holding(H::RangeBound),
                                 arg("step").holding(H::RangeBound)});
    const Signature interp = sig({x.rank(4), arg("out_size").opt(), arg("size_tensor").opt().holding(H::List),
                                  arg("scale_tensor").opt()});
    const Signature norm = sig({x, arg("scale").opt(), arg("bias").opt()});
    const Signature conv = sig({arg("x").rank(4), arg("filter").rank(4)});
    std::unordered_map<std::string_view, Signature> rows = {
        // constants and graph inputs and outputs
        {"full", none},
        {"full_int_array", none},
        {"data", none},
        {"assign_value", sig({arg("output").opt()})},
        {"fetch", unary},
        {"dropout", sig({x, arg("seed_tensor").opt(), arg("p").opt()})},
        // array.cpp
        {"cast", unary},
        {"clip", sig({x, arg("min").opt().holding(H::OneValue), arg("max").opt().holding(H::OneValue)})},
        {"slice", sig({arg("input"), arg("starts").holding(H::FlatList).index(),
                       arg("ends").holding(H::FlatList).index()})},
        {"strided_slice", sig({x, arg("starts").holding(H::FlatList).index(), arg("ends").holding(H::FlatList).index(),
                               arg("strides").holding(H::FlatList).index()})},
        {"arange", range},
        {"range", range},
        {"expand", sig({x, arg("shape").holding(H::FlatList)})},
        {"full_like", sig({x, arg("value").holding(H::OneValue)})},
        {"full_with_tensor", sig({arg("value").holding(H::OneValue), arg("shape").holding(H::FlatList)})},
        // shape.cpp
        {"squeeze", reduction},
        {"unsqueeze", reduction},
        {"flatten", unary},
        {"stack", sig({list})},
        {"concat", sig({list, const_axis})},
        {"split", sig({x, arg("sections").holding(H::FlatList), const_axis})},
        {"split_with_num", sig({x, const_axis})},
        // math.cpp
        {"scale", sig({x, arg("scale").opt().holding(H::OneValue)})},
        {"multiply", binary},
        {"floor_divide", binary},
        {"remainder", binary},
        {"pow", sig({x, y.opt()})},
        {"bitwise_and", binary},
        {"bitwise_not", unary},
        // activation.cpp
        {"swish", unary},
        {"silu", unary},
        {"hardswish", unary},
        {"hardsigmoid", unary},
        {"gelu", unary},
        {"prelu", sig({x, arg("alpha")})},
        {"leaky_relu", unary},
        {"softmax", unary},
        // matrix.cpp
        {"matmul", binary},
        {"matmul_v2", binary},
        {"linear_v2", sig({x.at_least(1), arg("weight"), arg("bias").opt()})},
        {"tril", sig({x.at_least(2)})},
        {"triu", sig({x.at_least(2)})},
        {"unbind", sig({arg("input")})},
        // norm.cpp
        {"batch_norm", sig({x.at_least(2), arg("mean"), arg("variance"), arg("scale").opt(), arg("bias").opt()})},
        {"group_norm", norm},
        {"layer_norm", norm},
        // conv.cpp: Paddle's 2-D windows take NCHW or NHWC input and an OIHW filter.
        {"pool2d", sig({x.rank(4), arg("kernel_size")})},
        {"conv2d_transpose", sig({x.rank(4), arg("filter").rank(4), arg("output_size").opt().index()})},
        // pad.cpp
        {"pad", sig({x, arg("pad_value").opt().holding(H::OneValue)})},
        {"pad3d", sig({x.rank(5), arg("paddings").index().rank(1)})},
        {"roll", sig({x, arg("shifts").constant()})},
        {"tile", sig({x, arg("repeat_times").holding(H::FlatList)})},
        // resize.cpp
        {"nearest_interp", interp},
        {"bilinear_interp", interp},
        // nms.cpp
        {"multiclass_nms3", sig({arg("bboxes"), arg("scores"), arg("rois_num").opt()})},
        // sampling.cpp: a 4-D x samples at a 4-D grid [N, H, W, 2], a 5-D one at a 5-D grid.
        {"grid_sample", sig({x.rank(4, 5), arg("grid").rank(4, 5).rank_of(0).sampling_points()})},
        {"multinomial", sig({x, arg("num_samples").holding(H::OneValue).constant()})},
        // reduce.cpp
        {"max", reduction},
        {"mean", reduction},
        {"min", reduction},
        {"sum", reduction},
        {"topk", sig({x, arg("k").holding(H::OneValue)})},
        {"argmax", sig({x, const_axis})},
        {"argsort", unary},
        // indexing.cpp: gather takes a 0-D or 1-D index, index_select a 1-D one, and both an
        // index of [N, 1] as [N].
        {"gather", sig({x, arg("index").index().rank(0, 2).column(), const_axis.opt()})},
        {"gather_nd", sig({x.at_least(1), arg("index").index().at_least(1)})},
        {"index_select", sig({x, arg("index").index().rank(1, 2).column()})},
        {"embedding", sig({arg("x").index(), arg("weight").rank(2)})},
        {"take_along_axis", sig({arg("arr").at_least(1), arg("indices").index()})},
        {"eye", sig({arg("num_rows").holding(H::OneValue), arg("num_columns").holding(H::OneValue)})},
        {"not_equal", binary},
        // transform.cpp
        {"flip", unary},
        {"cumsum", sig({x, arg("axis").holding(H::OneValue).index()})},
        {"einsum", sig({list})},
        {"meshgrid", sig({arg("inputs").holding(H::List)})},
        {"transpose", unary},
        // update.cpp, set_value.cpp
        {"index_put", sig({x, arg("indices").holding(H::List), arg("value")})},
        {"put_along_axis", sig({arg("arr"), arg("indices").index(), arg("values")})},
        {"repeat_interleave", unary},
        {"repeat_interleave_with_tensor_index", sig({x, arg("repeats")})},
        {"set_value", sig({x, arg("starts"), arg("ends"), arg("steps")})},
        {"set_value_with_tensor", sig({x, arg("values"), arg("starts"), arg("ends"), arg("steps")})},
        // control.cpp
        // A branch or loop condition is one bool, as ONNX's If and Loop read it too.
        {"if", sig({arg("cond").holding(H::OneValue)})},
        {"while", Signature{{arg("cond").holding(H::OneValue), arg("inputs").opt()}, true}},
        {"any", unary},
        {"all", unary},
        {"one_hot", sig({x, arg("num_classes").holding(H::OneValue)})},
        // The generic conversion's convolutions: Paddle's conv2d takes no bias operand, and
        // a 3-D input would make ONNX's Conv a 1-D convolution.
        {"conv2d", conv},
        {"depthwise_conv2d", conv},
    };
    return rows;
}

}  // namespace

const Signature* signature_of(std::string_view full_name) {
    static const std::unordered_map<std::string_view, Signature> rows = build_signatures();
    if (full_name.substr(0, 2) != "1.") return nullptr;
    const auto it = rows.find(generic_name(full_name));
    return it == rows.end() ? nullptr : &it->second;
}

}  // namespace kestro::ops
