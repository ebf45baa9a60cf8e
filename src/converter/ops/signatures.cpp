// One signature per Paddle operator: its operands in order, which of them may be left out,
// what each holds where Paddle fixes it (rank, one value, index type, a constant), the
// operator's own words for a missing, surplus or non-constant operand where it has them, and
// the lowest opset of an operator refused for the opset before anything else.
// Converter::process_pass2_op gates on that opset first, then Converter::check_operands
// holds every operator to its row before the lowering runs, at every opset and inside
// regions, so that no lowering reads past its operator's operands or silently drops one a
// program gives.
#include <algorithm>
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
    // Two operands, the second of which its lowering cannot do without.
    const auto pair = [&](std::string_view text) { return binary.fewer_than(2, text); };
    const Signature interp = sig({x.rank(4), arg("out_size").opt(), arg("size_tensor").opt().holding(H::List),
                                  arg("scale_tensor").opt()});
    const Signature norm = sig({x, arg("scale").opt(), arg("bias").opt()});
    const Signature conv = sig({arg("x").rank(4), arg("filter").rank(4)});
    const auto bounds = [](std::string_view name) { return arg(name).holding(H::FlatList); };
    std::unordered_map<std::string_view, Signature> rows = {
        // constants and graph inputs and outputs
        {"full", none},
        {"full_int_array", none},
        {"data", none},
        {"assign_value", sig({arg("output").opt()})},
        {"fetch", unary.fewer_than(1, "fetch op has no input; cannot produce graph output")},
        // p is one probability.
        {"dropout", sig({x, arg("seed_tensor").opt(), arg("p").opt().holding(H::OneValue)})},
        // array.cpp
        {"cast", unary.fewer_than(1, "cast missing inputs")},
        {"clip", sig({x, arg("min").opt().holding(H::OneValue), arg("max").opt().holding(H::OneValue)})
                     .fewer_than(1, "clip missing inputs")},
        {"slice", sig({arg("input"), arg("starts").holding(H::FlatList).index(),
                       arg("ends").holding(H::FlatList).index()})
                      .fewer_than(1, "slice missing inputs")},
        // strided_slice's, multinomial's and group_norm's gates refuse only a library caller's
        // opset: the command line refuses opsets below 10.
        {"strided_slice", sig({x, arg("starts").holding(H::FlatList).index(), arg("ends").holding(H::FlatList).index(),
                               arg("strides").holding(H::FlatList).index()})
                              .fewer_than(4, "strided_slice missing inputs")
                              .min_opset(10)},
        {"arange", range.fewer_than(3, "arange missing inputs")},
        {"range", range},
        {"expand", sig({x, arg("shape").holding(H::FlatList)}).fewer_than(2, "expand missing inputs")},
        {"full_like", sig({x, arg("value").holding(H::OneValue)}).fewer_than(2, "full_like missing inputs")},
        {"full_with_tensor",
         sig({arg("value").holding(H::OneValue), arg("shape").holding(H::FlatList)}).fewer_than(2, "full_with_tensor missing inputs")},
        // shape.cpp
        {"squeeze", reduction.fewer_than(1, "squeeze missing inputs")},
        {"unsqueeze", reduction.fewer_than(1, "unsqueeze missing inputs").fewer_than(2, "unsqueeze missing axes")},
        {"flatten", unary.fewer_than(1, "flatten missing inputs")},
        // With no operand there is no list to look up.
        {"stack", sig({list}).fewer_than(1, "Combine list_id -1 not found for stack")},
        {"concat", sig({list, const_axis.constant("concat: missing axis constant for id {}")})
                       .fewer_than(2, "Concat op missing enough inputs")},
        {"split", sig({x, arg("sections").holding(H::FlatList), const_axis}).fewer_than(1, "split op missing inputs")},
        {"split_with_num", sig({x, const_axis}).fewer_than(1, "split op missing inputs")},
        // math.cpp
        {"scale", sig({x, arg("scale").opt().holding(H::OneValue)}).fewer_than(1, "scale op missing inputs")},
        {"multiply", pair("multiply missing inputs")},
        {"floor_divide", pair("floor_divide missing inputs")},
        {"remainder", binary},
        {"pow", sig({x, y.opt()}).fewer_than(1, "pow missing inputs")},
        {"bitwise_and", pair("bitwise_and requires two inputs")},
        {"bitwise_not", unary.fewer_than(1, "bitwise_not missing inputs")},
        // activation.cpp
        {"swish", unary.fewer_than(1, "swish missing inputs")},
        {"silu", unary.fewer_than(1, "swish missing inputs")},
        {"hardswish", unary.fewer_than(1, "hardswish missing inputs")},
        {"hardsigmoid", unary},
        {"gelu", unary.fewer_than(1, "gelu missing inputs")},
        {"prelu", sig({x, arg("alpha")}).fewer_than(2, "prelu missing slope input")},
        {"leaky_relu", unary.fewer_than(1, "leaky_relu missing inputs")},
        {"softmax", unary},
        // matrix.cpp
        {"matmul", pair("matmul missing inputs")},
        {"matmul_v2", pair("matmul missing inputs")},
        {"linear_v2", sig({x.at_least(1), arg("weight"), arg("bias").opt()})
                          .fewer_than(2, "linear_v2 needs at least input and weight")},
        {"tril", sig({x.at_least(2)}).fewer_than(1, "trilu missing inputs").min_opset(14)},
        {"triu", sig({x.at_least(2)}).fewer_than(1, "trilu missing inputs").min_opset(14)},
        {"unbind", sig({arg("input")}).fewer_than(1, "unbind missing inputs")},
        // norm.cpp: the scale and bias of batch_norm and group_norm may be absent (%0), but
        // not left off.
        {"batch_norm", sig({x.at_least(2), arg("mean"), arg("variance"), arg("scale").opt(), arg("bias").opt()})
                           .fewer_than(5, "batch_norm_ missing inputs")},
        {"group_norm", norm.fewer_than(3, "group_norm missing inputs").min_opset(6)},
        {"layer_norm", norm},
        // conv.cpp: Paddle's 2-D windows take NCHW or NHWC input and an OIHW filter; the
        // kernel size is a list of numbers, read flattened.
        {"pool2d", sig({x.rank(4), arg("kernel_size").holding(H::FlatList)})},
        {"conv2d_transpose", sig({x.rank(4), arg("filter").rank(4), arg("output_size").opt().holding(H::FlatList).index()})
                                 .fewer_than(2, "conv2d_transpose missing input/filter tensors")
                                 .surplus("ConvTranspose with bias as 4th input is not supported; use a separate "
                                          "Add node for bias")},
        // pad.cpp: pad3d's pads are written for the five axes of a volume batch; Paddle pads
        // no other rank.
        {"pad", sig({x, arg("pad_value").opt().holding(H::OneValue)}).fewer_than(1, "pad missing inputs")},
        {"pad3d", sig({x.rank(5), arg("paddings").holding(H::FlatList).index().rank(1)})
                      .fewer_than(2, "pad3d missing paddings input")
                      .min_opset(11)},
        {"roll", sig({x, arg("shifts").holding(H::FlatList).constant("roll currently requires constant shifts")})
                     .fewer_than(2, "roll missing shifts input")
                     .min_opset(11)},
        {"tile", sig({x, arg("repeat_times").holding(H::FlatList)}).fewer_than(2, "tile missing inputs")},
        // resize.cpp
        {"nearest_interp", interp},
        {"bilinear_interp", interp},
        // nms.cpp: boxes [N, M, 4] (or [M, C, 4] per class), scores [N, C, M] (or [M, C]).
        {"multiclass_nms3", sig({arg("bboxes").rank(3), arg("scores").rank(2, 3), arg("rois_num").opt()})
                                .fewer_than(2, "multiclass_nms3 missing inputs")
                                .min_opset(11)},
        // sampling.cpp: a 4-D x samples at a 4-D grid [N, H, W, 2], a 5-D one at a 5-D grid.
        {"grid_sample", sig({x.rank(4, 5), arg("grid").rank(4, 5).rank_of(0).sampling_points()})
                            .fewer_than(2, "grid_sample missing inputs")
                            .min_opset(16)},
        {"multinomial",
         sig({x, arg("num_samples").holding(H::OneValue).constant("multinomial requires constant sample size")})
             .fewer_than(2, "multinomial missing inputs")
             .min_opset(7)},
        // reduce.cpp
        {"max", reduction.fewer_than(1, "max missing inputs")},
        {"mean", reduction.fewer_than(1, "mean missing inputs")},
        {"min", reduction.fewer_than(1, "min missing inputs")},
        {"sum", reduction.fewer_than(1, "sum missing inputs")},
        {"topk", sig({x, arg("k").holding(H::OneValue)}).fewer_than(2, "topk missing inputs")},
        {"argmax", sig({x, const_axis}).fewer_than(1, "argmax missing inputs")},
        {"argsort", unary.fewer_than(1, "argsort missing inputs")},
        // indexing.cpp: gather takes a 0-D or 1-D index, index_select a 1-D one, and both an
        // index of [N, 1] as [N].
        {"gather", sig({x, arg("index").index().rank(0, 2).column(),
                        const_axis.opt().constant("gather requires constant axis input")})
                       .fewer_than(2, "gather missing inputs")},
        // GatherND takes neither data nor coordinates of rank 0.
        {"gather_nd", sig({x.at_least(1), arg("index").index().at_least(1)})},
        {"index_select",
         sig({x, arg("index").index().rank(1, 2).column()}).fewer_than(2, "index_select missing inputs")},
        {"embedding", sig({arg("x").index(), arg("weight").rank(2)}).fewer_than(2, "embedding missing inputs")},
        // Paddle takes values along an axis, which a rank-0 input does not have.
        {"take_along_axis",
         sig({arg("arr").at_least(1), arg("indices").index()}).fewer_than(2, "take_along_axis missing inputs")},
        // eye builds its diagonal with Range (opset 11).
        {"eye", sig({arg("num_rows").holding(H::OneValue), arg("num_columns").holding(H::OneValue)})
                    .fewer_than(2, "eye missing inputs")
                    .min_opset(11)},
        {"not_equal", pair("not_equal missing inputs")},
        // transform.cpp
        {"flip", unary.fewer_than(1, "flip missing input")},
        {"cumsum",
         sig({x, arg("axis").holding(H::OneValue).index()}).fewer_than(2, "cumsum missing inputs").min_opset(11)},
        {"einsum", sig({list}).fewer_than(1, "einsum missing inputs").min_opset(12)},
        // Paddle's meshgrid takes 0-D and 1-D inputs.
        {"meshgrid", sig({arg("inputs").holding(H::List).rank(0, 1)}).fewer_than(1, "meshgrid missing inputs")},
        {"transpose", unary},
        // update.cpp, set_value.cpp
        {"index_put", sig({x, arg("indices").holding(H::List), arg("value")})
                          .fewer_than(3, "index_put missing inputs")
                          .min_opset(11)},
        {"put_along_axis",
         sig({arg("arr"), arg("indices").index(), arg("values")}).fewer_than(3, "put_along_axis missing inputs")},
        {"repeat_interleave", unary.fewer_than(1, "repeat_interleave missing inputs")},
        {"repeat_interleave_with_tensor_index", sig({x, arg("repeats")})
                                                    .fewer_than(1, "repeat_interleave missing inputs")
                                                    .fewer_than(2, "repeat_interleave: missing repeats")},
        // The bounds are lists of numbers, one per written axis.
        {"set_value", sig({x, bounds("starts"), bounds("ends"), bounds("steps")})
                          .fewer_than(4, "set_value_ missing inputs")
                          .min_opset(11)},
        // The values are written into x: Paddle takes them in x's element type. Without axes
        // the values are written whole and the bounds may be left off; with axes [1] the
        // lowering asks for them in its own words, after the axes it takes.
        {"set_value_with_tensor",
         sig({x, arg("values").type_of(0), bounds("starts").may_be_left_off(), bounds("ends").may_be_left_off(),
              bounds("steps").may_be_left_off()})
             .fewer_than(2, "set_value_with_tensor_ missing inputs")
             .min_opset(11)},
        // control.cpp
        // A branch or loop condition is one bool, as ONNX's If and Loop read it too.
        {"if", sig({arg("cond").holding(H::OneValue)}).fewer_than(1, "if requires a condition input")},
        {"while", Signature{{arg("cond").holding(H::OneValue), arg("inputs").opt()}, true}.fewer_than(
                      1, "while requires condition and loop-carried inputs")},
        {"any", unary.fewer_than(1, "any/all requires an input tensor")},
        {"all", unary.fewer_than(1, "any/all requires an input tensor")},
        {"one_hot", sig({x, arg("num_classes").holding(H::OneValue)})
                        .fewer_than(2, "one_hot requires indices and depth inputs")},
        // The generic conversion's convolutions: Paddle's conv2d takes no bias operand, and
        // a 3-D input would make ONNX's Conv a 1-D convolution.
        {"conv2d", conv},
        {"depthwise_conv2d", conv},
    };
    return rows;
}

}  // namespace

size_t Signature::least() const {
    size_t least = 0;
    for (size_t k = 0; k < operands.size(); ++k)
        if (!operands[k].optional && !operands[k].omissible) least = k + 1;
    for (const TooFew& t : too_few) least = std::max<size_t>(least, t.below);
    return least;
}

const Signature* signature_of(std::string_view full_name) {
    static const std::unordered_map<std::string_view, Signature> rows = build_signatures();
    if (full_name.substr(0, 2) != "1.") return nullptr;
    const auto it = rows.find(generic_name(full_name));
    return it == rows.end() ? nullptr : &it->second;
}

}  // namespace kestro::ops
