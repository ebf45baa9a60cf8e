// Transposed convolution (ConvTranspose) and 2-D pooling (MaxPool, AveragePool and their
// global forms). Both start from the generic attribute translation and then correct it
// where Paddle carries a size in an input tensor, where ONNX needs another operator form, or
// where ONNX's SAME padding would not give Paddle's pads.
#include <algorithm>
#include <array>
#include <limits>

#include "converter/attr.h"
#include "converter/converter.h"

namespace kestro {

namespace ops {
namespace {

// Removes, in place and keeping the order of the rest, every attribute whose name is
// exactly `name`.
void remove_attributes_named(std::vector<proto::AttributeProto>& attrs, std::string_view name) {
    attrs.erase(std::remove_if(attrs.begin(), attrs.end(),
                               [&](const proto::AttributeProto& a) { return a.name == name; }),
                attrs.end());
}

void remove_output_shape_attributes(std::vector<proto::AttributeProto>& attrs) {
    remove_attributes_named(attrs, "output_shape");
}

}  // namespace
}  // namespace ops

namespace {

// The INTS values of an attribute, `fallback` when it is absent or of another type.
std::vector<int64_t> ints_or(const std::vector<proto::AttributeProto>& attrs,
                             std::string_view name, std::vector<int64_t> fallback) {
    const auto* a = helper::find_attribute(attrs, name);
    if (a && a->type == proto::attr_type::INTS) return a->ints;
    return fallback;
}

void require_channel_first(const Json& op, std::string_view what) {
    attr::require_channel_first(what, helper::op_attr_str(op, "data_format"));
}

// A folded size as integers, truncated toward zero with saturation (NaN gives 0).
std::optional<std::vector<int64_t>> folded_ints(const ConverterState& state, int64_t id) {
    const std::vector<double>* values = state.const_values.find(id);
    if (!values) return std::nullopt;
    return helper::saturate_i64(*values);
}

// Spatial dims (H, W) of a rank-4 value, empty when any of them is unknown.
std::optional<std::array<int64_t, 2>> static_hw(const ConverterState& state, int64_t id) {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    if (!dims || dims->size() != 4 || (*dims)[2] <= 0 || (*dims)[3] <= 0) return std::nullopt;
    return std::array<int64_t, 2>{(*dims)[2], (*dims)[3]};
}

int64_t checked(std::optional<int64_t> v) {
    if (!v) throw Error("conv2d_transpose output size arithmetic overflows");
    return *v;
}

int64_t checked_size(std::optional<int64_t> v) {
    if (!v) throw Error("pool2d output size arithmetic overflows");
    return *v;
}

// Paddle's SAME pads of one spatial axis: the output keeps ceil(in / stride) positions and
// the padding that takes, never negative, is split with any odd one at the end. The kernel
// counts undilated: Paddle resets the dilations to 1 under SAME. With stride 1 the input
// size drops out (the padding is k - 1), so `in` may be unknown (0) there.
std::array<int64_t, 2> same_pads(int64_t in, int64_t k, int64_t stride) {
    // (ceil(in / stride) - 1) * stride lies in [in - stride, in - 1]: no overflow.
    const int64_t covered = stride == 1 ? 1 : in - (in - 1) / stride * stride;
    const int64_t total = std::max<int64_t>(k - covered, 0);
    return {total / 2, total - total / 2};
}

// The SAME pads of a 2-D window as ONNX orders them (top, left, bottom, right), or empty when
// an axis with a stride above 1 has an unknown input size.
std::optional<std::vector<int64_t>> same_pads_2d(std::optional<std::array<int64_t, 2>> in_hw,
                                                 const std::array<int64_t, 2>& k_hw,
                                                 const std::vector<int64_t>& strides) {
    std::vector<int64_t> pads(4, 0);
    for (size_t i = 0; i < 2; ++i) {
        if (strides[i] != 1 && !in_hw) return std::nullopt;
        const auto [begin, end] = same_pads(in_hw ? (*in_hw)[i] : 0, k_hw[i], strides[i]);
        pads[i] = begin;
        pads[i + 2] = end;
    }
    return pads;
}

// The size a transposed convolution gives one spatial axis without output_padding:
// (in - 1) * stride - pad_begin - pad_end + dilation * (k - 1) + 1.
int64_t transposed_size(int64_t in, int64_t k, int64_t stride, int64_t dilation, int64_t pad_total) {
    int64_t size = checked(helper::checked_mul(in - 1, stride));
    size = checked(helper::checked_add(size, -pad_total));
    size = checked(helper::checked_add(size, checked(helper::checked_mul(dilation, k - 1))));
    return checked(helper::checked_add(size, 1));
}

// Writes Paddle's explicit output size (2 values) of a transposed convolution as
// "output_padding" over the size its strides, pads and dilations give from the input and
// filter spatial dims.
void set_output_padding(const std::vector<int64_t>& output_size, const std::array<int64_t, 2>& in_hw,
                        const std::array<int64_t, 2>& k_hw, const std::vector<int64_t>& strides,
                        std::vector<proto::AttributeProto>& attrs) {
    const auto dilations = ints_or(attrs, "dilations", {1, 1});
    const auto pads = ints_or(attrs, "pads", {0, 0, 0, 0});
    if (strides.size() != 2 || dilations.size() != 2 || pads.size() != 4)
        throw Error("conv2d_transpose with output_size needs 2 strides, 2 dilations and 4 pads");
    std::vector<int64_t> extra(2, 0);
    bool any_extra = false;
    for (size_t i = 0; i < 2; ++i) {
        const int64_t natural = transposed_size(in_hw[i], k_hw[i], strides[i], dilations[i],
                                                checked(helper::checked_add(pads[i], pads[i + 2])));
        const int64_t want = output_size[i];
        const int64_t upper = checked(helper::checked_add(natural, strides[i]));
        if (want < natural || want >= upper)
            throw Error("conv2d_transpose output_size {} is not reachable: dim {} must lie in [{}, {})",
                        helper::fmt_dims(output_size), i, natural, upper);
        extra[i] = want - natural;
        any_extra = any_extra || extra[i] != 0;
    }
    ops::remove_attributes_named(attrs, "output_padding");
    if (any_extra) attrs.push_back(helper::attr_ints("output_padding", extra));
}

// `end` rows and columns after the two spatial axes of an NCHW value, zeros or `fill` (a
// value of the element type `type`).
struct PadFill {
    int32_t type;
    double value;
};
void append_constant_ends(Converter& c, std::string input, std::string output, const std::array<int64_t, 2>& end,
                          const NameMaker& names, std::optional<PadFill> fill = std::nullopt) {
    const std::vector<int64_t> pads{0, 0, 0, 0, 0, 0, end[0], end[1]};
    // Pad takes its pads and value as attributes before opset 11, and as inputs from then on.
    if (c.opset < 11) {
        std::vector<proto::AttributeProto> attrs{helper::attr_ints("pads", pads)};
        if (fill) attrs.push_back(helper::attr_float("value", static_cast<float>(fill->value)));
        c.append_node("Pad", {std::move(input)}, {std::move(output)}, std::move(attrs));
        return;
    }
    std::vector<std::string> inputs{std::move(input), names("end_pads")};
    c.push_i64_vector_initializer(inputs[1], pads);
    if (fill) {
        inputs.push_back(names("pad_value"));
        c.push_numeric_initializer(inputs[2], {}, fill->type, {fill->value});
    }
    c.append_node("Pad", std::move(inputs), {std::move(output)});
}

// ONNX's ConvTranspose takes output_padding only below the stride, where Paddle takes it below
// the larger of stride and dilation. Paddle's extra rows continue the uncropped result and
// are zero past its end, so on an axis where the stride is not larger they are written as
// less end padding, then as zeros appended to the result (returned per axis).
std::array<int64_t, 2> output_padding_past_stride(std::vector<proto::AttributeProto>& attrs) {
    std::vector<int64_t> extra = ints_or(attrs, "output_padding", {});
    const std::vector<int64_t> strides = ints_or(attrs, "strides", {1, 1});
    std::vector<int64_t> pads = ints_or(attrs, "pads", {0, 0, 0, 0});
    std::array<int64_t, 2> zeros{0, 0};
    if (extra.size() != 2 || strides.size() != 2 || pads.size() != 4) return zeros;
    if (extra[0] < strides[0] && extra[1] < strides[1]) return zeros;
    for (size_t i = 0; i < 2; ++i) {
        if (extra[i] < strides[i]) continue;
        const int64_t uncropped = std::min(extra[i], pads[i + 2]);
        pads[i + 2] -= uncropped;
        zeros[i] = extra[i] - uncropped;
        extra[i] = 0;
    }
    ops::remove_attributes_named(attrs, "output_padding");
    ops::remove_attributes_named(attrs, "pads");
    if (extra[0] != 0 || extra[1] != 0) attrs.push_back(helper::attr_ints("output_padding", extra));
    attrs.push_back(helper::attr_ints("pads", pads));
    return zeros;
}

// ONNX's SAME pooling runs only where the padding it needs is not negative, which a kernel
// smaller than its stride can make it; Paddle then pads nothing. Such windows are written
// with the explicit pads Paddle computes from the input size.
void write_small_same_windows_as_pads(const ConverterState& state, const std::vector<int64_t>& kernel,
                                      int64_t x_id, std::vector<proto::AttributeProto>& attrs) {
    const auto strides = ints_or(attrs, "strides", {1, 1});
    if (kernel.size() != 2 || strides.size() != 2)
        throw Error("pool2d with padding_algorithm SAME needs a 2-D kernel size and 2 strides");
    if (kernel[0] >= strides[0] && kernel[1] >= strides[1]) return;
    const auto pads = same_pads_2d(static_hw(state, x_id), {kernel[0], kernel[1]}, strides);
    if (!pads)
        throw Error(
            "pool2d with padding_algorithm SAME, kernel size {} and strides {} needs static input "
            "spatial dims: a kernel smaller than its stride makes the pads depend on the input size",
            helper::fmt_dims(kernel), helper::fmt_dims(strides));
    ops::remove_attributes_named(attrs, "auto_pad");
    attrs.push_back(helper::attr_ints("pads", *pads));
}

// Paddle pools with these words only and refuses any other; read as the default, another
// word (or data of another kind) would convert the program into a different one.
void require_pool_word(const Json& op, std::string_view name,
                       std::initializer_list<std::string_view> allowed) {
    const Json* data = helper::attr(op, name);
    if (data == nullptr) return;
    const std::optional<std::string_view> word = helper::as_str(*data);
    std::string list;
    for (std::string_view a : allowed) {
        if (word == a) return;
        list += (list.empty() ? "" : ", ") + std::string(a);
    }
    if (!word) throw Error("pool2d: attribute {} must be a text, got {}", name, helper::json_debug(*data));
    throw Error("pool2d: {} \"{}\" is not one of {}", name, helper::fmt_text(*word), list);
}

// ONNX's pools take only pads smaller than their window (ONNX Runtime refuses the model at
// load otherwise), while Paddle pads as far as it is asked: such a pool is refused. With
// `begin_only`, the end pads are left to the caller, which writes the windows past them itself.
void refuse_pads_past_the_window(const std::vector<proto::AttributeProto>& attrs, bool begin_only = false) {
    const std::vector<int64_t> kernel = ints_or(attrs, "kernel_shape", {});
    const std::vector<int64_t> pads = ints_or(attrs, "pads", {});
    if (kernel.empty() || pads.size() != 2 * kernel.size()) return;
    for (size_t k = 0; k < (begin_only ? kernel.size() : pads.size()); ++k)
        if (pads[k] >= kernel[k % kernel.size()])
            throw Error("pool2d: pads {} reach as far as the window {}, and ONNX's pooling takes only "
                        "pads smaller than its window", helper::fmt_dims(pads), helper::fmt_dims(kernel));
}

// Whether a pool node's attributes count a partial last window.
bool ceil_mode_of(const std::vector<proto::AttributeProto>& attrs) {
    const auto* ceil = helper::find_attribute(attrs, "ceil_mode");
    return ceil && ceil->type == proto::attr_type::INT && ceil->i != 0;
}

// A window that leaves no output position over the padded input: Paddle refuses it, and
// the pool node would fail in ONNX Runtime on a negative output dim. Paddle counts the
// positions with integer division toward zero, a partial last window counted under
// ceil_mode. Dims unknown before run time are not checked.
void refuse_window_past_padded_input(const ConverterState& state, int64_t x_id,
                                     const std::vector<proto::AttributeProto>& attrs) {
    const std::vector<int64_t>* dims = state.tensor_shapes.find(x_id);
    const std::vector<int64_t> kernel = ints_or(attrs, "kernel_shape", {});
    if (!dims || dims->size() != 4 || kernel.size() != 2) return;
    const std::vector<int64_t> strides = ints_or(attrs, "strides", {1, 1});
    const std::vector<int64_t> pads = ints_or(attrs, "pads", {0, 0, 0, 0});
    const bool ceil_mode = ceil_mode_of(attrs);
    if (strides.size() != 2 || pads.size() != 4) return;
    std::vector<int64_t> padded(2, -1);
    bool empty = false;
    for (size_t a = 0; a < 2; ++a) {
        const int64_t in = (*dims)[a + 2];
        if (in < 0) continue;
        const auto with_pads = helper::checked_add(in, pads[a]);
        const auto total = with_pads ? helper::checked_add(*with_pads, pads[a + 2]) : std::nullopt;
        if (!total) continue;
        padded[a] = *total;
        if (*total >= kernel[a]) continue;
        // Only a window larger than the padded input can leave no position (kernel, strides
        // and pads were found positive and non-negative before).
        const int64_t span = *total - kernel[a] + (ceil_mode ? strides[a] - 1 : 0);
        if (span / strides[a] + 1 <= 0) empty = true;
    }
    if (empty)
        throw Error("pool2d: window {} with strides {} leaves no output position over the padded "
                    "input {} (input dims {}, pads {})",
                    helper::fmt_dims(kernel), helper::fmt_dims(strides), helper::fmt_dims(padded),
                    helper::fmt_dims(*dims), helper::fmt_dims(pads));
}

// A pool node's explicit window: nothing under auto_pad, or for lists of other lengths.
struct PoolWindow {
    std::vector<int64_t> kernel;
    std::vector<int64_t> strides;
    std::vector<int64_t> pads;  // begins, then ends
    bool ceil_mode;
};

std::optional<PoolWindow> explicit_window(const std::vector<proto::AttributeProto>& attrs) {
    PoolWindow w{ints_or(attrs, "kernel_shape", {}), ints_or(attrs, "strides", {1, 1}),
                 ints_or(attrs, "pads", {0, 0, 0, 0}), false};
    w.ceil_mode = ceil_mode_of(attrs);
    if (helper::find_attribute(attrs, "auto_pad") || w.kernel.size() != 2 || w.strides.size() != 2 ||
        w.pads.size() != 4)
        return std::nullopt;
    return w;
}

// Paddle's average pool (its CPU kernel, whose values a user on a CPU sees; the GPU kernel
// divides every window by kh * kw instead, and the two disagree where a window overhangs) takes
// per axis the window start hs = o * s - p_begin and end he = min(hs + k, in + p_begin), the
// end pad not counted: the kernel keeps only the begin pads. An inclusive window is divided
// by (he - hs) * (we - ws), counted before the window is cut to the input; an exclusive one
// by the same product over the window cut to the input, min(he, in) - max(hs, 0) per axis,
// which a window starting past the input's end makes negative: its average is then a zero
// sum over a negative count, 0, while one starting just at the end is 0 / 0. Under ceil_mode
// Paddle counts (in - k + p_begin + p_end + s - 1) / s + 1 windows, the last ones possibly
// overhanging the padded input or lying wholly in the end padding; ONNX's pools drop a last
// window that starts in the end padding, and divide an inclusive window by its part inside
// the input padded at both ends. Where that can differ (under ceil_mode with sizes known
// only at run time, always), the windows are summed over an input padded with zeros far
// enough to hold each of them, and divided by Paddle's counts: the end pads per axis, or
// empty where ONNX's own pool computes Paddle's values (unless `always`).
struct AveragePoolSums {
    PoolWindow window;
    std::array<int64_t, 2> ends;  // the zero end pads that hold every window
    bool same_at_run_time = false;  // SAME pads from the input's run-time size instead
};

// Paddle's SAME pads put an odd one at the end, so that its inclusive average divides the
// last window on such an axis by one row less than ONNX's SAME pooling does. Such a pool (or
// one that must be summed anyway) is written with the explicit pads where the input size, or
// unit strides, make them known; otherwise it is summed over run-time SAME pads (returned).
// Kernels smaller than their stride were written as explicit pads before.
std::optional<AveragePoolSums> same_window_as_sums(const ConverterState& state, const std::vector<int64_t>& kernel,
                                                     int64_t x_id, std::vector<proto::AttributeProto>& attrs) {
    const auto strides = ints_or(attrs, "strides", {1, 1});
    if (kernel.size() != 2 || strides.size() != 2)
        throw Error("pool2d with padding_algorithm SAME needs a 2-D kernel size and 2 strides");
    if (const auto pads = same_pads_2d(static_hw(state, x_id), {kernel[0], kernel[1]}, strides)) {
        ops::remove_attributes_named(attrs, "auto_pad");
        attrs.push_back(helper::attr_ints("pads", *pads));
        return std::nullopt;
    }
    return AveragePoolSums{PoolWindow{kernel, strides, {0, 0, 0, 0}, false}, {0, 0}, true};
}

std::optional<AveragePoolSums> average_pool_ends(const ConverterState& state, int64_t x_id,
                                                 const std::vector<proto::AttributeProto>& attrs, bool exclusive,
                                                 bool always) {
    const std::optional<PoolWindow> window = explicit_window(attrs);
    if (!window) return std::nullopt;
    const auto& [kernel, strides, pads, ceil_mode] = *window;
    const std::optional<std::array<int64_t, 2>> in_hw = static_hw(state, x_id);
    std::array<int64_t, 2> ends{};
    bool differs = false;
    for (size_t a = 0; a < 2; ++a) {
        const int64_t extra = ceil_mode ? strides[a] - 1 : 0;
        if (!in_hw) {
            ends[a] = checked_size(helper::checked_add(pads[a + 2], extra));
            // Without ceil_mode every window ends within in + p_end: an inclusive one is cut
            // at in + p_begin only where the end pad is the larger.
            differs = differs || ceil_mode || (!exclusive && pads[a + 2] > pads[a]);
            continue;
        }
        // The windows Paddle counts (integer division toward zero), and how far past the
        // input the last one reaches. Kernel and strides are positive, pads non-negative.
        const int64_t head = checked_size(helper::checked_add((*in_hw)[a], pads[a]));
        const int64_t floor_span = checked_size(helper::checked_add(head, pads[a + 2] - kernel[a]));
        const int64_t span = checked_size(helper::checked_add(floor_span, extra));
        const int64_t last_start = span / strides[a] * strides[a];  // within [0, span] or (span, 0]
        const int64_t past_input = checked_size(helper::checked_add(last_start - pads[a], kernel[a] - (*in_hw)[a]));
        ends[a] = std::max<int64_t>(past_input, 0);
        const bool overhangs = ends[a] > pads[a + 2];
        const bool cut_at_begin_pad = !exclusive && ends[a] > pads[a];
        const bool ceil_counts = ceil_mode && floor_span % strides[a] != 0;
        differs = differs || overhangs || cut_at_begin_pad || ceil_counts;
    }
    if (!differs && !always) return std::nullopt;
    return AveragePoolSums{*window, ends};
}

// The pool average_pool_ends asks for, as window sums: a convolution with a kernel of ones
// over each channel on its own (as a batch of one-channel images) and zero pads large enough
// for every window, divided by Paddle's counts, computed per axis from the window positions
// and the input's run-time size. A Pad before a pool instead would be merged into the pool's
// own pads by ONNX Runtime, which refuses pads as large as the kernel.
// The window sums of every channel: x as [N * C, 1, H, W] through a Conv with a kernel of
// ones, back to [N, C] and the pooled spatial dims, named names("sums").
void channel_window_sums(Converter& c, const std::string& x, const AveragePoolSums& plan, int32_t type,
                         const NameMaker& names) {
    const auto& [kernel, strides, pads, ceil_mode] = plan.window;
    // ONNX's SAME_UPPER pads as Paddle's SAME does: ceil(in / s) windows, an odd pad at the end.
    const std::vector<proto::AttributeProto> window{
        helper::attr_ints("kernel_shape", kernel), helper::attr_ints("strides", strides),
        plan.same_at_run_time ? helper::attr_str("auto_pad", "SAME_UPPER")
                              : helper::attr_ints("pads", {pads[0], pads[1], plan.ends[0], plan.ends[1]})};
    const int64_t window_size = checked_size(helper::checked_mul(kernel[0], kernel[1]));
    c.reserve_materialized(static_cast<uint64_t>(window_size) * sizeof(double), "pool2d");
    c.push_numeric_initializer(names("kernel_ones"), {1, 1, kernel[0], kernel[1]}, type,
                               std::vector<double>(static_cast<size_t>(window_size), 1.0));
    // [N * C, 1, H, W], the count of images written out: a -1 there would leave Reshape
    // nothing to infer it from where the input is empty, and a 0 is a real one.
    c.append_node("Shape", {x}, {names("input_shape")});
    c.add_slice_node(names("input_shape"), names("input_n"), {0}, {1}, std::vector<int64_t>{0}, std::nullopt,
                     names("input_n"));
    c.add_slice_node(names("input_shape"), names("input_c"), {1}, {2}, std::vector<int64_t>{0}, std::nullopt,
                     names("input_c"));
    c.add_slice_node(names("input_shape"), names("input_hw"), {2}, {4}, std::vector<int64_t>{0}, std::nullopt,
                     names("input_hw"));
    c.add_binary_node("Mul", names("input_n"), names("input_c"), names("images"));
    c.push_i64_vector_initializer(names("one_channel"), {1});
    c.append_node("Concat", {names("images"), names("one_channel"), names("input_hw")},
                  {names("single_channel_shape")}, {helper::attr_int("axis", 0)});
    c.add_exact_reshape_node(x, names("single_channel_shape"), 4, names("single_channels"), names, "images");
    c.append_node("Conv", {names("single_channels"), names("kernel_ones")}, {names("channel_sums")}, window);
    // Back to [N, C] of the input and the pooled spatial dims.
    c.add_slice_node(names("input_shape"), names("input_nc"), {0}, {2}, std::vector<int64_t>{0}, std::nullopt,
                     names("input_nc"));
    c.append_node("Shape", {names("channel_sums")}, {names("sums_shape")});
    c.add_slice_node(names("sums_shape"), names("sums_hw"), {2}, {4}, std::vector<int64_t>{0}, std::nullopt,
                     names("sums_hw"));
    c.append_node("Concat", {names("input_nc"), names("sums_hw")}, {names("pooled_shape")},
                  {helper::attr_int("axis", 0)});
    c.add_exact_reshape_node(names("channel_sums"), names("pooled_shape"), 4, names("sums"), names, "pooled");
}

// Min and Max of INT64 values, written as Less and Where: ONNX's take integers only from
// opset 12.
void smaller_of(Converter& c, const std::string& a, const std::string& b, const std::string& out) {
    c.add_binary_node("Less", a, b, out + "_less");
    c.append_node("Where", {out + "_less", a, b}, {out});
}
void larger_of(Converter& c, const std::string& a, const std::string& b, const std::string& out) {
    c.add_binary_node("Less", a, b, out + "_less");
    c.append_node("Where", {out + "_less", b, a}, {out});
}

// Paddle's count of the window at each pooled position along spatial axis `a` (0 for the
// rows, 1 for the columns), in int64: a column [OH, 1] for the rows, a row [OW] for the
// columns. The positions come from NonZero over ones, which every opset kestro writes has.
// Reads names("input_shape"), names("sums_shape") and the shared "zero", "one" and "two".
std::string window_counts_along(Converter& c, const AveragePoolSums& plan, size_t a, bool exclusive,
                                const NameMaker& names) {
    const auto& [kernel, strides, pads, ceil_mode] = plan.window;
    const auto part = [&](std::string_view purpose) {
        return names(fmt::format("{}_{}", a == 0 ? "rows" : "columns", purpose));
    };
    const int64_t axis = static_cast<int64_t>(a) + 2;
    c.add_slice_node(names("sums_shape"), part("pooled"), {axis}, {axis + 1}, std::vector<int64_t>{0},
                     std::nullopt, part("pooled"));
    c.add_slice_node(names("input_shape"), part("input"), {axis}, {axis + 1}, std::vector<int64_t>{0},
                     std::nullopt, part("input"));
    c.append_node("ConstantOfShape", {part("pooled")}, {part("ones")},
                  {helper::attr_tensor("value", Converter::i64_tensor("", {1}, {1}))});
    c.append_node("NonZero", {part("ones")}, {part("positions")});
    c.push_i64_vector_initializer(part("stride"), {strides[a]});
    c.push_i64_vector_initializer(part("kernel"), {kernel[a]});
    if (plan.same_at_run_time) {
        // The SAME begin pad: half of (out - 1) * s + k - in, rounded down, never below 0.
        c.add_binary_node("Sub", part("pooled"), names("one"), part("last_position"));
        c.add_binary_node("Mul", part("last_position"), part("stride"), part("last_offset"));
        c.add_binary_node("Add", part("last_offset"), part("kernel"), part("covered"));
        c.add_binary_node("Sub", part("covered"), part("input"), part("pad_total"));
        larger_of(c, part("pad_total"), names("zero"), part("pads"));
        c.add_binary_node("Div", part("pads"), names("two"), part("begin_pad"));
    } else {
        c.push_i64_vector_initializer(part("begin_pad"), {pads[a]});
    }
    c.add_binary_node("Mul", part("positions"), part("stride"), part("offsets"));
    c.add_binary_node("Sub", part("offsets"), part("begin_pad"), part("starts"));
    c.add_binary_node("Add", part("starts"), part("kernel"), part("window_ends"));
    std::string limit = part("input");
    std::string start = part("starts");
    if (exclusive) {
        larger_of(c, part("starts"), names("zero"), part("cut_starts"));
        start = part("cut_starts");
    } else {
        c.add_binary_node("Add", part("input"), part("begin_pad"), part("padded"));
        limit = part("padded");
    }
    smaller_of(c, part("window_ends"), limit, part("ends"));
    c.add_binary_node("Sub", part("ends"), start, part("count"));
    c.push_i64_vector_initializer(part("count_shape"), a == 0 ? std::vector<int64_t>{-1, 1} : std::vector<int64_t>{-1});
    c.append_node("Reshape", {part("count"), part("count_shape")}, {part("counts")});
    return part("counts");
}

void average_pool_as_sums(Converter& c, const std::string& x, int64_t x_id, const AveragePoolSums& plan,
                          bool exclusive, std::string output, const NameMaker& names) {
    const int32_t type = c.onnx_dtype_if_known(x_id).value_or(proto::dtype::FLOAT);
    channel_window_sums(c, x, plan, type, names);
    c.push_i64_vector_initializer(names("zero"), {0});
    if (plan.same_at_run_time) {
        c.push_i64_vector_initializer(names("one"), {1});
        c.push_i64_vector_initializer(names("two"), {2});
    }
    const std::string rows = window_counts_along(c, plan, 0, exclusive, names);
    const std::string columns = window_counts_along(c, plan, 1, exclusive, names);
    c.add_binary_node("Mul", rows, columns, names("window_counts"));
    c.add_cast_node(names("window_counts"), names("divisors"), type);
    c.add_binary_node("Div", names("sums"), names("divisors"), std::move(output));
}

// Paddle's max pool starts a window every stride from the head padding on, counts
// (in - k + p_begin + p_end + (ceil_mode ? s - 1 : 0)) / s + 1 of them, and gives each the
// largest of its input elements and of -FLT_MAX, its initial value: a window wholly in the
// end padding gives -FLT_MAX. ONNX Runtime refuses pads as large as the kernel and, under
// ceil_mode, drops a last window that starts in the end padding. Where such a window can
// exist, the pool runs without ceil_mode over end pads reaching just the windows that hold
// an input element (fewer than k), and the rest are appended as rows of the initial value.
struct MaxPoolTail {
    PoolWindow window;
    std::array<int64_t, 2> pool_ends;  // the pool's own end pads
    std::array<int64_t, 2> rows;       // appended rows and columns; with sizes known only at
                                       // run time, as many as there can be
    std::array<int64_t, 2> reach;      // p_end plus the ceil_mode stride less one
    bool run_time;                     // the count is then cut to Paddle's at run time
};

std::optional<MaxPoolTail> max_pool_tail(const ConverterState& state, int64_t x_id,
                                         const std::vector<proto::AttributeProto>& attrs) {
    const std::optional<PoolWindow> window = explicit_window(attrs);
    if (!window) return std::nullopt;
    const auto& [kernel, strides, pads, ceil_mode] = *window;
    const std::optional<std::array<int64_t, 2>> in_hw = static_hw(state, x_id);
    MaxPoolTail tail{*window, {}, {}, {}, !in_hw};
    for (size_t a = 0; a < 2; ++a) {
        // Kernel and strides are positive, pads non-negative.
        tail.reach[a] = checked_size(helper::checked_add(pads[a + 2], ceil_mode ? strides[a] - 1 : 0));
        tail.pool_ends[a] = std::min(tail.reach[a], kernel[a] - 1);
        if (!in_hw) {
            tail.rows[a] = tail.reach[a] < kernel[a] ? 0 : (tail.reach[a] - kernel[a]) / strides[a] + 1;
            continue;
        }
        // Both counts by integer division toward zero, as Paddle counts.
        const int64_t head = checked_size(helper::checked_add((*in_hw)[a], pads[a] - kernel[a]));
        const int64_t windows = checked_size(helper::checked_add(head, tail.reach[a])) / strides[a];
        tail.rows[a] = windows - checked_size(helper::checked_add(head, tail.pool_ends[a])) / strides[a];
    }
    if (tail.rows[0] == 0 && tail.rows[1] == 0) return std::nullopt;
    return tail;
}

// The pool max_pool_tail asks for: MaxPool without ceil_mode and with its end pads, then the
// rows of Paddle's initial value (static_cast<T>(-FLT_MAX): -inf in float16; the type's
// lowest for the 8-bit integers), cut at run time to Paddle's count where the sizes are known
// only then. Pooled rows come first, so a NaN reaches the result as the pool passes it on.
void max_pool_with_tail(Converter& c, const std::string& x, int64_t x_id, std::vector<proto::AttributeProto> attrs,
                        const MaxPoolTail& tail, std::string output, const NameMaker& names) {
    const auto& [kernel, strides, pads, ceil_mode] = tail.window;
    refuse_pads_past_the_window(attrs, true);
    ops::remove_attributes_named(attrs, "ceil_mode");
    ops::remove_attributes_named(attrs, "pads");
    attrs.push_back(helper::attr_ints("pads", {pads[0], pads[1], tail.pool_ends[0], tail.pool_ends[1]}));
    c.append_node("MaxPool", {x}, {names("pooled")}, std::move(attrs));
    const int32_t type = c.onnx_dtype_if_known(x_id).value_or(proto::dtype::FLOAT);
    double initial = -static_cast<double>(std::numeric_limits<float>::max());
    if (type == proto::dtype::FLOAT16) initial = -std::numeric_limits<double>::infinity();
    if (type == proto::dtype::INT8) initial = std::numeric_limits<int8_t>::lowest();
    if (type == proto::dtype::UINT8) initial = 0.0;
    const std::string padded = tail.run_time ? names("with_tail") : std::move(output);
    append_constant_ends(c, names("pooled"), padded, tail.rows, names, PadFill{type, initial});
    if (!tail.run_time) return;
    // Paddle's count, (in + p_begin + reach - k) / s + 1, from the input's run-time size.
    std::vector<int64_t> offset(2);
    for (size_t a = 0; a < 2; ++a)
        offset[a] = checked_size(helper::checked_add(checked_size(helper::checked_add(pads[a], tail.reach[a])),
                                                     -kernel[a]));
    c.push_i64_vector_initializer(names("count_offset"), offset);
    c.push_i64_vector_initializer(names("count_strides"), strides);
    c.push_i64_vector_initializer(names("count_starts"), {0, 0});
    c.push_i64_vector_initializer(names("count_ones"), {1, 1});
    c.push_i64_vector_initializer(names("count_axes"), {2, 3});
    c.append_node("Shape", {x}, {names("input_shape")});
    c.add_slice_node(names("input_shape"), names("input_hw"), {2}, {4}, std::vector<int64_t>{0}, std::nullopt,
                     names("input_hw"));
    c.add_binary_node("Add", names("input_hw"), names("count_offset"), names("count_span"));
    c.add_binary_node("Div", names("count_span"), names("count_strides"), names("last_window"));
    c.add_binary_node("Add", names("last_window"), names("count_ones"), names("count"));
    c.append_node("Slice", {padded, names("count_starts"), names("count"), names("count_axes")}, {std::move(output)});
}

// Paddle's SAME pads of both spatial axes from the input's run-time size (same_pads as INT64
// tensor arithmetic on [H, W]): the names of the head and tail pads, INT64 [2] each.
struct RunTimePads {
    std::string begin;
    std::string end;
};
RunTimePads same_pads_at_run_time(Converter& c, int64_t x_id, const std::array<int64_t, 2>& k_hw,
                                  const std::vector<int64_t>& strides, const NameMaker& names) {
    const std::string stride = names("same_strides");
    const std::string kernel = names("same_kernel");
    const std::string one = names("same_one");
    const std::string two = names("same_two");
    c.push_i64_vector_initializer(stride, strides);
    c.push_i64_vector_initializer(kernel, {k_hw[0], k_hw[1]});
    c.push_i64_vector_initializer(one, {1});
    c.push_i64_vector_initializer(two, {2});

    const std::string in_shape = names("input_shape");
    const std::string in_hw = names("input_hw");
    c.append_node("Shape", {c.get_tensor_name(x_id)}, {in_shape});
    c.add_slice_node(in_shape, in_hw, {2}, {4}, std::vector<int64_t>{0}, std::nullopt, in_hw);
    // covered = in - (ceil(in / stride) - 1) * stride, with (in - 1) / stride for the ceiling
    // less one: a size the convolution runs on is at least 1, so Div never truncates a
    // negative number.
    c.add_binary_node("Sub", in_hw, one, names("input_hw_less_one"));
    c.add_binary_node("Div", names("input_hw_less_one"), stride, names("last_window"));
    c.add_binary_node("Mul", names("last_window"), stride, names("last_window_start"));
    c.add_binary_node("Sub", in_hw, names("last_window_start"), names("covered"));
    std::string total = names("pad_total");
    c.add_binary_node("Sub", kernel, names("covered"), total);
    // Only a kernel narrower than its stride can ask for negative padding; Paddle pads nothing
    // then. Where, not Max: Max takes integers only from opset 12.
    if (k_hw[0] < strides[0] || k_hw[1] < strides[1]) {
        const std::string zero = names("same_zero");
        const std::string clamped = names("pad_total_clamped");
        c.push_i64_vector_initializer(zero, {0});
        c.add_binary_node("Less", total, zero, names("pad_total_negative"));
        c.append_node("Where", {names("pad_total_negative"), zero, total}, {clamped});
        total = clamped;
    }
    RunTimePads pads{names("pad_begin"), names("pad_end")};
    c.add_binary_node("Div", total, two, pads.begin);
    c.add_binary_node("Sub", total, pads.begin, pads.end);
    return pads;
}

// The spatial dims [H, W] of an NCHW value as INT64 [2], computed when the model runs.
std::string run_time_hw(Converter& c, const std::string& value, const std::string& name) {
    c.append_node("Shape", {value}, {name + "_shape"});
    c.add_slice_node(name + "_shape", name, {2}, {4}, std::vector<int64_t>{0}, std::nullopt, name);
    return name;
}

// Paddle's SAME pads of a transposed convolution written as explicit pads (ONNX's SAME gives
// another output size whenever the input size is not a multiple of the stride). True where
// they follow an input size known only when the model runs: the full result is then cropped
// by pads computed from Shape(x).
bool write_same_pads(std::vector<proto::AttributeProto>& attrs, std::optional<std::array<int64_t, 2>> in_hw,
                     std::optional<std::array<int64_t, 2>> k_hw, const std::vector<int64_t>& strides, int64_t opset) {
    if (!helper::find_attribute(attrs, "auto_pad")) return false;
    if (!k_hw || strides.size() != 2)
        throw Error(
            "conv2d_transpose with padding_algorithm SAME needs 2 strides and static filter "
            "spatial dims");
    const auto pads = same_pads_2d(in_hw, *k_hw, strides);
    ops::remove_attributes_named(attrs, "auto_pad");
    if (pads) {
        attrs.push_back(helper::attr_ints("pads", *pads));
        return false;
    }
    // Slice takes its bounds as inputs from opset 10 on.
    if (opset < 10)
        throw Converter::opset_error("conv2d_transpose with padding_algorithm SAME, strides above 1 "
                                     "and unknown input spatial dims", 10, opset);
    return true;
}

// Paddle's limits on a transposed convolution's window that ONNX Runtime would only meet when
// the model runs: ConvTranspose takes an extra output row only below max(stride, dilation)
// (unless an output size replaces output_padding), and its filter [C, M / groups, kH, kW]
// reads C input channels in groups of C / groups.
void check_transposed_conv_window(const ConverterState& state, const std::vector<proto::AttributeProto>& attrs,
                                  const IdList& ids, bool sized) {
    const auto strides = ints_or(attrs, "strides", {1, 1});
    const auto dilations = ints_or(attrs, "dilations", {1, 1});
    const auto output_padding = sized ? std::vector<int64_t>{} : ints_or(attrs, "output_padding", {});
    for (size_t i = 0; i < output_padding.size() && i < strides.size() && i < dilations.size(); ++i) {
        if (output_padding[i] >= std::max(strides[i], dilations[i]))
            throw Error("conv2d_transpose: output_padding {} must be below the larger of strides {} and "
                        "dilations {} on each axis",
                        helper::fmt_dims(output_padding), helper::fmt_dims(strides), helper::fmt_dims(dilations));
    }
    const std::vector<int64_t>* x_dims = state.tensor_shapes.find(ids[0]);
    const std::vector<int64_t>* w_dims = state.tensor_shapes.find(ids[1]);
    const int64_t channels = x_dims && x_dims->size() == 4 ? (*x_dims)[1] : -1;
    if (channels < 0) return;
    const auto* group = helper::find_attribute(attrs, "group");
    if (group && group->type == proto::attr_type::INT && group->i > 0 && channels % group->i != 0)
        throw Error("conv2d_transpose: the {} input channels do not split into {} groups", channels, group->i);
    if (w_dims && w_dims->size() == 4 && (*w_dims)[0] >= 0 && (*w_dims)[0] != channels)
        throw Error("conv2d_transpose: the filter {} is for {} input channels, the input {} has {}",
                    helper::fmt_dims(*w_dims), (*w_dims)[0], helper::fmt_dims(*x_dims), channels);
}

// The uncropped transposed convolution `full` sliced from Paddle's SAME head pads (computed
// from the input's run-time size) to its size less the tail pads. Any output_padding stays in
// `full` past the result's end, as the explicit pads keep it.
void crop_same_pads_at_run_time(Converter& c, int64_t x_id, const std::string& full,
                                 const std::array<int64_t, 2>& k_hw,
                                 const std::vector<int64_t>& strides, const std::string& output,
                                 const NameMaker& names) {
    const RunTimePads pads = same_pads_at_run_time(c, x_id, k_hw, strides, names);
    const std::string axes = names("same_axes");
    c.push_i64_vector_initializer(axes, {2, 3});
    const std::string full_hw = run_time_hw(c, full, names("uncropped_hw"));
    c.add_binary_node("Sub", full_hw, pads.end, names("crop_end"));
    c.append_node("Slice", {full, pads.begin, names("crop_end"), axes}, {output});
}

// Paddle writes a transposed convolution into an output of the size it is given, placing the
// uncropped result there from the head pads on: rows past the uncropped result's end stay
// zero, and the tail pads play no part. Where the natural size that places it is known only
// when the model runs (the size is, or the input's spatial dims are) the node computes the
// uncropped result (no pads, no output_padding), which is sliced from the head pads to head
// pad + size and padded with zeros at the end to the size (`size`, INT64 [2]). Paddle refuses
// a size outside [natural, natural + stride) on an axis; the model cannot, and computes the
// same rule there: a smaller size crops the result, a larger one ends in more zeros.
void transposed_conv_to_run_time_size(Converter& c, int64_t x_id, const std::string& size,
                                      std::vector<std::string> inputs,
                                      std::vector<proto::AttributeProto> attrs,
                                      std::optional<std::array<int64_t, 2>> same_k_hw, const std::string& output,
                                      const NameMaker& names) {
    const std::vector<int64_t> pads = ints_or(attrs, "pads", {0, 0, 0, 0});
    const std::vector<int64_t> strides = ints_or(attrs, "strides", {1, 1});
    for (const std::string_view name : {"pads", "output_padding", "output_shape"})
        ops::remove_attributes_named(attrs, name);
    const std::string full = names("uncropped");
    c.append_node("ConvTranspose", std::move(inputs), {full}, std::move(attrs));

    std::string begin = names("size_begin");
    if (same_k_hw) {
        begin = same_pads_at_run_time(c, x_id, *same_k_hw, strides, names).begin;
    } else {
        c.push_i64_vector_initializer(begin, {pads.size() == 4 ? pads[0] : 0, pads.size() == 4 ? pads[1] : 0});
    }
    c.add_binary_node("Add", begin, size, names("size_end"));
    c.push_i64_vector_initializer(names("size_axes"), {2, 3});
    c.append_node("Slice", {full, begin, names("size_end"), names("size_axes")}, {names("sized")});
    // What the slice could not take from the uncropped result is zeros at the end.
    c.add_binary_node("Sub", size, run_time_hw(c, names("sized"), names("sized_hw")), names("zero_rows"));
    c.push_i64_vector_initializer(names("zero_rows_head"), {0, 0, 0, 0, 0, 0});
    c.append_node("Concat", {names("zero_rows_head"), names("zero_rows")}, {names("zero_row_pads")},
                  {helper::attr_int("axis", 0)});
    c.append_node("Pad", {names("sized"), names("zero_row_pads")}, {output});
}

// The output size a transposed convolution is given (input 2) and the form it is written in:
// none (absent, or folded empty: how exports write "no output size") for the natural size;
// "output_padding" over the natural size where it is folded over known input and filter
// spatial dims; otherwise the result placed at the size by slice and pad (Pad with its pads
// as an input, from opset 11).
struct OutputSize {
    std::optional<std::vector<int64_t>> folded;     // the folded values, an empty list included
    bool given = false;                             // two values, folded or fed
    std::optional<std::array<int64_t, 2>> placed_hw;  // where placed: the size, -1 where fed
};

OutputSize read_output_size(Converter& c, const IdList& ids, bool in_known, bool k_known) {
    OutputSize size;
    if (ids.size() != 3 || ids[2] == 0) return size;
    size.folded = folded_ints(c.state, ids[2]);
    if (!size.folded) {
        if (c.opset < 11)
            throw Converter::opset_error("conv2d_transpose with an output_size computed when the model runs", 11,
                                         c.opset);
        // Its two values are the output's height and width; a known count of other values
        // would convert into a model that fails on every input.
        if (const std::optional<int64_t> count = c.known_element_count(ids[2]); count && *count != 2)
            throw Error("conv2d_transpose output_size (value {}) of dims {} must hold 2 values", ids[2],
                        helper::fmt_dims(*c.state.tensor_shapes.find(ids[2])));
        size.given = true;
        size.placed_hw = std::array<int64_t, 2>{-1, -1};
        return size;
    }
    const std::vector<int64_t>& hw = *size.folded;
    size.given = !hw.empty();
    if (!size.given) return size;
    if (hw.size() != 2) throw Error("conv2d_transpose output_size {} must hold 2 values", helper::fmt_dims(hw));
    if (in_known && k_known) return size;
    // No natural size checks it before the model runs. Paddle has no output of a size below
    // 1, whatever the input.
    if (c.opset < 11)
        throw Converter::opset_error(fmt::format("conv2d_transpose with output_size {} over {} spatial dims known "
                                                 "only when the model runs",
                                                 helper::fmt_dims(hw), in_known ? "filter" : "input"),
                                     11, c.opset);
    if (hw[0] < 1 || hw[1] < 1)
        throw Error("conv2d_transpose output_size {} is not reachable: its dims must be positive",
                    helper::fmt_dims(hw));
    size.placed_hw = std::array<int64_t, 2>{hw[0], hw[1]};
    return size;
}

// The size the result is placed at, as INT64 [2]: a folded one as an initializer, a fed one
// flattened as Paddle reads it (a list of one-value tensors is one list by now).
std::string placed_size(Converter& c, const IdList& ids, const OutputSize& size, const NameMaker& names) {
    if (!size.folded) return c.flat_i64_list(ids[2], names.id, "conv2d_transpose_size", 2);
    c.push_i64_vector_initializer(names("given_size"), *size.folded);
    return names("given_size");
}

}  // namespace

// ONNX derives the pads from "output_shape" and splits them its own way, while Paddle keeps
// its explicit pads and puts any extra size at the end. So an explicit output size is
// written as "output_padding" over the size the pads already give. SAME padding is written as
// the explicit pads Paddle computes: ONNX's SAME gives the transposed convolution another
// output size whenever the input size is not a multiple of the stride. Where those pads need
// an input size known only at run time, they are computed there and crop the unpadded result.
// The batch of x and filter dim 1 times the groups as channels, and each spatial dim as the
// written node computes it: (in - 1) * stride - pads + dilation * (k - 1) + 1 + output_padding,
// the pads being SAME's from the input size where they are computed at run time. Where the
// result is placed at a given size by slice and pad, the spatial dims are `placed_hw`: the
// size where it is folded, -1 where it is known only at run time. A dim stays open where an
// input size is unknown.
void Converter::settle_transposed_conv_output(const std::vector<proto::AttributeProto>& attrs, const IdList& ids,
                                              int64_t out, bool same_at_run_time,
                                              std::optional<std::array<int64_t, 2>> placed_hw) {
    const std::vector<int64_t>* xd = state.tensor_shapes.find(ids[0]);
    const std::vector<int64_t>* wd = state.tensor_shapes.find(ids[1]);
    if (out == 0 || !xd || !wd || xd->size() != 4 || wd->size() != 4) return;
    const auto* group = helper::find_attribute(attrs, "group");
    const int64_t groups = group && group->type == proto::attr_type::INT ? group->i : 1;
    const std::optional<int64_t> channels =
        groups > 0 && (*wd)[1] >= 0 ? helper::checked_mul((*wd)[1], groups) : std::nullopt;
    std::vector<int64_t> dims{(*xd)[0], channels.value_or(-1), -1, -1};
    const auto strides = ints_or(attrs, "strides", {1, 1});
    const auto dilations = ints_or(attrs, "dilations", {1, 1});
    const auto pads = ints_or(attrs, "pads", {0, 0, 0, 0});
    const auto extra = ints_or(attrs, "output_padding", {0, 0});
    const bool known_form = strides.size() == 2 && dilations.size() == 2 && pads.size() == 4 && extra.size() == 2;
    if (placed_hw) {
        dims[2] = (*placed_hw)[0];
        dims[3] = (*placed_hw)[1];
    }
    for (size_t i = 0; i < 2 && known_form && !placed_hw; ++i) {
        const int64_t in = (*xd)[i + 2], k = (*wd)[i + 2];
        if (in <= 0 || k <= 0) continue;
        int64_t pad_total = 0;
        if (same_at_run_time) {
            const auto [begin, end] = same_pads(in, k, strides[i]);
            pad_total = begin + end;
        } else {
            pad_total = checked(helper::checked_add(pads[i], pads[i + 2]));
        }
        const int64_t size =
            checked(helper::checked_add(transposed_size(in, k, strides[i], dilations[i], pad_total), extra[i]));
        // Pads larger than what the filter spreads the input over leave nothing: ONNX Runtime
        // refuses such a node, Paddle has no output of that size.
        if (size <= 0)
            throw Error("conv2d_transpose: its paddings leave an output size of {} on spatial axis {}", size, i);
        dims[i + 2] = size;
    }
    settle_output("conv2d_transpose", out, std::nullopt, dims, {ids[0], ids[1]});
}

void Converter::op_conv2d_transpose(const Json& op) {
    const auto ids = helper::op_input_ids(op);
    require_operand_type("conv2d_transpose", "x", ids[0], {proto::dtype::FLOAT, proto::dtype::FLOAT16, proto::dtype::DOUBLE});
    require_same_type("conv2d_transpose", "x", ids[0], "filter", ids[1]);
    require_channel_first(op, "conv2d_transpose");

    std::vector<std::string> node_inputs{get_tensor_name(ids[0]), get_tensor_name(ids[1])};
    std::vector<proto::AttributeProto> attrs;
    if (const Json* a = helper::member(op, "A")) attrs = extract_attributes("conv2d_transpose", *a);
    attr::conform_attributes("conv2d_transpose", "ConvTranspose", opset, attrs);
    attr::check_window_attributes("conv2d_transpose", attrs, 2);
    const auto in_hw = static_hw(state, ids[0]);
    const auto k_hw = static_hw(state, ids[1]);
    const auto strides = ints_or(attrs, "strides", {1, 1});
    const OutputSize size = read_output_size(*this, ids, in_hw.has_value(), k_hw.has_value());
    // A given output size replaces output_padding.
    check_transposed_conv_window(state, attrs, ids, size.given);

    const bool same_pads_at_run_time = write_same_pads(attrs, in_hw, k_hw, strides, opset);
    if (size.folded) ops::remove_output_shape_attributes(attrs);
    // Written as output_padding only over known spatial dims, a size never meets run-time pads.
    if (size.given && !size.placed_hw) set_output_padding(*size.folded, *in_hw, *k_hw, strides, attrs);

    const int64_t out = helper::op_out_id(op);
    settle_transposed_conv_output(attrs, ids, out, same_pads_at_run_time, size.placed_hw);
    const NameMaker names{"conv2d_transpose", out};
    if (size.placed_hw) {
        transposed_conv_to_run_time_size(*this, ids[0], placed_size(*this, ids, size, names), std::move(node_inputs),
                                         std::move(attrs), same_pads_at_run_time ? k_hw : std::nullopt,
                                         get_tensor_name(out), names);
        return;
    }
    const std::array<int64_t, 2> zeros = output_padding_past_stride(attrs);
    const bool zero_rows = zeros[0] != 0 || zeros[1] != 0;
    const std::string full = same_pads_at_run_time ? names("uncropped") : get_tensor_name(out);
    append_node("ConvTranspose", std::move(node_inputs), {zero_rows ? names("unpadded") : full}, std::move(attrs));
    if (zero_rows) append_constant_ends(*this, names("unpadded"), full, zeros, names);
    if (same_pads_at_run_time)
        crop_same_pads_at_run_time(*this, ids[0], full, *k_hw, strides, get_tensor_name(out), names);
}

namespace {

// The pool's window from the folded kernel size (written as kernel_shape), or true for the
// global form: global pooling, or adaptive pooling to one position. Other adaptive pools and
// a kernel size computed when the model runs have no ONNX window.
bool write_pool_window(const std::optional<std::vector<int64_t>>& kernel, bool global, bool adaptive, bool same,
                       std::vector<proto::AttributeProto>& attrs) {
    const bool unit_kernel = kernel && *kernel == std::vector<int64_t>{1, 1};
    if (global || (unit_kernel && adaptive)) return true;
    if (adaptive)
        throw Error(
            "adaptive pool2d only supports global output_size=[1,1]; non-global adaptive pooling "
            "requires derived kernel/stride");
    // MaxPool and AveragePool cannot be written without a window.
    if (!kernel) throw Error("pool2d requires a constant kernel size");
    if (same && unit_kernel)
        throw Error(
            "pool2d with padding_algorithm=SAME does not support output_size=[1,1] unless "
            "adaptive=true");
    attrs.push_back(helper::attr_ints("kernel_shape", *kernel));
    return false;
}

struct PoolForm {
    std::string node_type;  // the ONNX pool the attributes are conformed to
    bool average;
    bool global;
    bool exclusive;
};

// The pool's nodes: a reduction for a global pool over no channels, window sums over
// Paddle's counts where the ONNX pools would count or size the windows otherwise, a max pool
// with its partial tail window, or the one ONNX pool.
void append_pool(Converter& c, const PoolForm& form, std::string x, int64_t x_id,
                 const std::optional<std::vector<int64_t>>& kernel, std::vector<proto::AttributeProto> attrs,
                 int64_t out) {
    const NameMaker names{"pool2d", out};
    // ONNX Runtime refuses at load a pool over no channels (its layout transformer checks the
    // count); the result is empty, and the window sums or a reduction give it with its dims.
    const std::vector<int64_t>* x_dims = c.state.tensor_shapes.find(x_id);
    const int32_t x_type = c.onnx_dtype_if_known(x_id).value_or(proto::dtype::FLOAT);
    const bool no_channels = x_dims && x_dims->size() == 4 && (*x_dims)[1] == 0 &&
                             (x_type == proto::dtype::FLOAT || x_type == proto::dtype::FLOAT16);
    if (form.global && no_channels) {
        c.settle_pool_output(x_id, attrs, true, out);
        c.add_reduce_node(form.average ? "ReduceMean" : "ReduceMax", x, c.get_tensor_name(out),
                          std::vector<int64_t>{2, 3}, 1, names("reduce"));
        return;
    }
    const bool windowed_sums = (form.average || no_channels) && !form.global;
    const bool auto_pad = helper::find_attribute(attrs, "auto_pad") != nullptr;
    std::optional<AveragePoolSums> sums;
    if (((form.average && !form.exclusive) || no_channels) && !form.global && auto_pad)
        sums = same_window_as_sums(c.state, *kernel, x_id, attrs);
    if (!form.global && !auto_pad) refuse_window_past_padded_input(c.state, x_id, attrs);
    c.settle_pool_output(x_id, attrs, form.global, out);
    if (!sums && windowed_sums) sums = average_pool_ends(c.state, x_id, attrs, form.exclusive, no_channels);
    if (sums) {
        average_pool_as_sums(c, x, x_id, *sums, form.exclusive, c.get_tensor_name(out), names);
        return;
    }
    if (const auto tail = !form.average && !form.global ? max_pool_tail(c.state, x_id, attrs) : std::nullopt) {
        max_pool_with_tail(c, x, x_id, std::move(attrs), *tail, c.get_tensor_name(out), names);
        return;
    }
    if (!form.global) refuse_pads_past_the_window(attrs);
    c.append_node(form.node_type, {std::move(x)}, {c.get_tensor_name(out)}, std::move(attrs));
}

}  // namespace

void Converter::op_pool2d(const Json& op) {
    require_pool_word(op, "pooling_type", {"max", "avg"});
    require_pool_word(op, "data_format", {"NCHW", "NHWC"});
    require_pool_word(op, "padding_algorithm", {"EXPLICIT", "SAME", "VALID"});
    const auto type = helper::op_attr_str(op, "pooling_type");
    const bool average = type && *type == "avg";
    const bool adaptive = helper::op_attr_bool(op, "adaptive").value_or(false);
    const bool global = helper::op_attr_bool(op, "global_pooling").value_or(false);
    require_channel_first(op, "pool2d");
    std::string node_type = average ? "AveragePool" : "MaxPool";

    std::vector<proto::AttributeProto> attrs;
    if (const Json* a = helper::member(op, "A")) attrs = extract_attributes("pool2d", *a);

    // Below opset 10 (a library caller's: the command line refuses it) ONNX pools have no
    // ceil_mode, and conform_attributes drops it; a true one would change the output size.
    if (opset < 10 && helper::op_attr_bool(op, "ceil_mode").value_or(false))
        throw Error("pool2d ceil_mode requires opset >= 10, but target opset is {}", opset);

    const auto ids = helper::op_input_ids(op);
    std::string x = get_tensor_name(ids[0]);

    std::optional<std::vector<int64_t>> kernel;
    if (ids.size() >= 2) kernel = folded_ints(state, ids[1]);

    bool same = false;
    if (const auto* a = helper::find_attribute(attrs, "auto_pad"))
        same = a->type == proto::attr_type::STRING && a->s == "SAME_UPPER";

    const bool global_form = write_pool_window(kernel, global, adaptive, same, attrs);
    if (global_form) {
        node_type = average ? "GlobalAveragePool" : "GlobalMaxPool";
        // The global operators take no attributes; counting padding is moot without pads.
        attrs.clear();
    } else if (average) {
        const auto exclusive = helper::op_attr_bool(op, "exclusive");
        if (exclusive && !*exclusive) attrs.push_back(helper::attr_int("count_include_pad", 1));
    }

    // Paddle pools floating-point values; the pool nodes take those (MaxPool also 8-bit
    // integers from opset 12), nothing else.
    if (const std::optional<int32_t> t = onnx_dtype_if_known(ids[0])) {
        const std::optional<int64_t> since = attr::first_opset_taking(node_type, 0, *t);
        if (!since || *since > opset)
            throw Error("pool2d does not take {} inputs at opset {}", helper::onnx_dtype_name(*t), opset);
    }
    attr::conform_attributes("pool2d", node_type, opset, attrs);
    attr::check_window_attributes("pool2d", attrs, 2);
    if (same && !global_form) write_small_same_windows_as_pads(state, *kernel, ids[0], attrs);
    const PoolForm form{std::move(node_type), average, global_form,
                        helper::op_attr_bool(op, "exclusive").value_or(true)};
    append_pool(*this, form, std::move(x), ids[0], kernel, std::move(attrs), helper::op_out_id(op));
}

namespace {

// One spatial dim of a convolution's result: the window (dilated) sliding by the stride over
// the padded input, or under SAME the input's positions divided by the stride, rounded up.
// -1 where a size is unknown, or where the window does not fit (that is refused elsewhere).
int64_t conv_output_dim(int64_t in, int64_t kernel, int64_t stride, int64_t dilation, int64_t pad_begin,
                        int64_t pad_end, bool same) {
    if (in < 0 || kernel < 0 || stride <= 0) return -1;
    if (same) return in / stride + (in % stride != 0 ? 1 : 0);
    const std::optional<int64_t> span = helper::checked_mul(dilation, kernel - 1);
    const std::optional<int64_t> padded = helper::checked_add(in, pad_begin);
    const std::optional<int64_t> total = padded ? helper::checked_add(*padded, pad_end) : std::nullopt;
    if (!span || !total || *total <= *span) return -1;
    return (*total - *span - 1) / stride + 1;
}

// The dims a window over x's spatial axes gives (a convolution's or a pool's), as the ONNX
// node's attributes make it: the batch, `channels`, then each spatial dim. Nothing where the
// lists do not match x's spatial rank.
Dims window_output_dims(const std::vector<int64_t>& x, int64_t channels, const std::vector<int64_t>& kernel,
                        const std::vector<proto::AttributeProto>& attrs) {
    const size_t spatial = x.size() - 2;
    const std::vector<int64_t> strides = ints_or(attrs, "strides", std::vector<int64_t>(spatial, 1));
    const std::vector<int64_t> dilations = ints_or(attrs, "dilations", std::vector<int64_t>(spatial, 1));
    const std::vector<int64_t> pads = ints_or(attrs, "pads", std::vector<int64_t>(2 * spatial, 0));
    if (kernel.size() != spatial || strides.size() != spatial || dilations.size() != spatial ||
        pads.size() != 2 * spatial)
        return std::nullopt;
    const proto::AttributeProto* auto_pad = helper::find_attribute(attrs, "auto_pad");
    const bool same = auto_pad && auto_pad->s == "SAME_UPPER";
    std::vector<int64_t> dims{x[0], channels};
    for (size_t k = 0; k < spatial; ++k)
        dims.push_back(
            conv_output_dim(x[k + 2], kernel[k], strides[k], dilations[k], pads[k], pads[k + spatial], same));
    return dims;
}

// A dilated window that reaches past the padded input leaves Paddle no output position:
// it computes (in + pads - dilation * (k - 1) - 1) / stride + 1 and refuses a size below 1,
// and ONNX Runtime refuses the node at load. Paddle's division truncates toward zero, so a
// window one position too wide with stride > 1 still counts one position there, which ONNX's
// floor does not: any window wider than the padded input is refused. Dims unknown before run
// time, and SAME windows (which pad to fit), are not checked.
void refuse_dilated_window_past_padded_input(std::string_view bare_name, const std::vector<int64_t>& x,
                                             const std::vector<int64_t>& w,
                                             const std::vector<proto::AttributeProto>& attrs) {
    const size_t spatial = x.size() - 2;
    const std::vector<int64_t> dilations = ints_or(attrs, "dilations", std::vector<int64_t>(spatial, 1));
    const std::vector<int64_t> pads = ints_or(attrs, "pads", std::vector<int64_t>(2 * spatial, 0));
    const proto::AttributeProto* auto_pad = helper::find_attribute(attrs, "auto_pad");
    if (dilations.size() != spatial || pads.size() != 2 * spatial || (auto_pad && auto_pad->s.starts_with("SAME"))) return;
    for (size_t k = 0; k < spatial; ++k) {
        const int64_t in = x[k + 2];
        const int64_t kernel = w[k + 2];
        if (in < 0 || kernel <= 0) continue;
        const std::optional<int64_t> span = helper::checked_mul(dilations[k], kernel - 1);
        const std::optional<int64_t> extent = span ? helper::checked_add(*span, 1) : std::nullopt;
        const std::optional<int64_t> padded = helper::checked_add(in, pads[k]);
        const std::optional<int64_t> total = padded ? helper::checked_add(*padded, pads[k + spatial]) : std::nullopt;
        if (!total || (extent && *extent <= *total)) continue;
        throw Error("{}: the filter's window {} dilated by {} is wider than the padded input {} (input dims {}, "
                    "pads {}): it leaves no output position",
                    bare_name, helper::fmt_dims(std::vector<int64_t>(w.begin() + 2, w.end())),
                    helper::fmt_dims(dilations), *total, helper::fmt_dims(x), helper::fmt_dims(pads));
    }
}

}  // namespace

void Converter::settle_conv_output(std::string_view bare_name, const std::vector<proto::AttributeProto>& attrs,
                                   const IdList& in_ids, int64_t out) {
    if (out == 0 || in_ids.size() < 2) return;
    const std::vector<int64_t>* xd = state.tensor_shapes.find(in_ids[0]);
    const std::vector<int64_t>* wd = state.tensor_shapes.find(in_ids[1]);
    if (!xd || !wd || xd->size() < 3 || xd->size() != wd->size()) return;
    refuse_dilated_window_past_padded_input(bare_name, *xd, *wd, attrs);
    settle_output(bare_name, out, std::nullopt,
                  window_output_dims(*xd, (*wd)[0], std::vector<int64_t>(wd->begin() + 2, wd->end()), attrs),
                  {in_ids[0], in_ids[1]});
}

// A global pool keeps one position per spatial axis. One with ceil_mode is left as declared:
// there ONNX's count of windows and Paddle's part where the last window starts in the padding.
void Converter::settle_pool_output(int64_t x, const std::vector<proto::AttributeProto>& attrs, bool global,
                                   int64_t out) {
    const std::vector<int64_t>* xd = state.tensor_shapes.find(x);
    if (!xd || xd->size() < 3) return;
    if (global) {
        std::vector<int64_t> dims(xd->size(), 1);
        dims[0] = (*xd)[0];
        dims[1] = (*xd)[1];
        settle_output("pool2d", out, std::nullopt, dims, {x});
        return;
    }
    if (ceil_mode_of(attrs)) return;
    const std::vector<int64_t> kernel = ints_or(attrs, "kernel_shape", {});
    settle_output("pool2d", out, std::nullopt, window_output_dims(*xd, (*xd)[1], kernel, attrs), {x});
}

}  // namespace kestro
