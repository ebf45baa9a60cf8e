// Transposed convolution (ConvTranspose) and 2-D pooling (MaxPool, AveragePool and their
// global forms). Both start from the generic attribute translation and then correct it
// where Paddle carries a size in an input tensor or ONNX needs another operator form.
#include <algorithm>
#include <array>

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

// Channel-last layouts are computed as channel-first by the ONNX operators we emit, so
// they are refused rather than converted into wrong numbers.
void require_channel_first(const Json& op, std::string_view what) {
    const auto format = helper::op_attr_str(op, "data_format");
    if (format && (*format == "NHWC" || *format == "NDHWC"))
        throw Error("{} only supports NCHW", what);
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

}  // namespace

// ONNX derives the pads from "output_shape" and splits them its own way, while Paddle keeps
// its explicit pads and puts any extra size at the end. So an explicit output size is
// written as "output_padding" over the size the pads already give.
void Converter::op_conv2d_transpose(const Json& op) {
    const auto ids = helper::op_input_ids(op);
    if (ids.size() < 2) throw Error("conv2d_transpose missing input/filter tensors");
    if (ids.size() > 3)
        throw Error(
            "ConvTranspose with bias as 4th input is not supported; use a separate Add node "
            "for bias");
    require_channel_first(op, "conv2d_transpose");

    std::vector<std::string> node_inputs{get_tensor_name(ids[0]), get_tensor_name(ids[1])};
    std::vector<proto::AttributeProto> attrs;
    if (const Json* a = helper::member(op, "A")) attrs = extract_attributes("conv2d_transpose", *a);
    attr::check_window_attributes("conv2d_transpose", attrs);

    std::optional<std::vector<int64_t>> output_size;
    if (ids.size() == 3) output_size = folded_ints(state, ids[2]);
    if (output_size) {
        ops::remove_output_shape_attributes(attrs);
        // An empty size (how exports write "no output size") asks for the natural size.
        if (!output_size->empty()) {
            if (helper::find_attribute(attrs, "auto_pad")) {
                // With SAME padding there are no explicit pads to keep.
                attrs.push_back(helper::attr_ints("output_shape", *output_size));
            } else {
                if (output_size->size() != 2)
                    throw Error("conv2d_transpose output_size {} must hold 2 values",
                                helper::fmt_dims(*output_size));
                const auto in_hw = static_hw(state, ids[0]);
                const auto k_hw = static_hw(state, ids[1]);
                if (!in_hw || !k_hw)
                    throw Error(
                        "conv2d_transpose with output_size {} needs static input and filter "
                        "spatial dims",
                        helper::fmt_dims(*output_size));
                const auto strides = ints_or(attrs, "strides", {1, 1});
                const auto dilations = ints_or(attrs, "dilations", {1, 1});
                const auto pads = ints_or(attrs, "pads", {0, 0, 0, 0});
                if (strides.size() != 2 || dilations.size() != 2 || pads.size() != 4)
                    throw Error(
                        "conv2d_transpose with output_size needs 2 strides, 2 dilations and 4 "
                        "pads");
                std::vector<int64_t> extra(2, 0);
                bool any_extra = false;
                for (size_t i = 0; i < 2; ++i) {
                    // (in - 1) * stride - pad_begin - pad_end + dilation * (k - 1) + 1
                    int64_t natural = checked(helper::checked_mul((*in_hw)[i] - 1, strides[i]));
                    natural = checked(helper::checked_add(natural, -pads[i]));
                    natural = checked(helper::checked_add(natural, -pads[i + 2]));
                    natural = checked(helper::checked_add(
                        natural, checked(helper::checked_mul(dilations[i], (*k_hw)[i] - 1))));
                    natural = checked(helper::checked_add(natural, 1));
                    const int64_t want = (*output_size)[i];
                    const int64_t upper = checked(helper::checked_add(natural, strides[i]));
                    if (want < natural || want >= upper)
                        throw Error(
                            "conv2d_transpose output_size {} is not reachable: dim {} must lie "
                            "in [{}, {})",
                            helper::fmt_dims(*output_size), i, natural, upper);
                    extra[i] = want - natural;
                    any_extra = any_extra || extra[i] != 0;
                }
                ops::remove_attributes_named(attrs, "output_padding");
                if (any_extra) attrs.push_back(helper::attr_ints("output_padding", extra));
            }
        }
    }

    attr::conform_attributes("conv2d_transpose", "ConvTranspose", opset, attrs);
    const int64_t out = helper::op_out_id(op);
    append_node("ConvTranspose", std::move(node_inputs), {get_tensor_name(out)}, std::move(attrs));
}

void Converter::op_pool2d(const Json& op) {
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
        throw Error("pool2d ceil_mode requires opset >= 10");

    const auto ids = helper::op_input_ids(op);
    if (ids.empty()) throw Error("pool2d missing inputs");
    std::string x = get_tensor_name(ids[0]);

    std::optional<std::vector<int64_t>> kernel;
    if (ids.size() >= 2) kernel = folded_ints(state, ids[1]);
    const bool unit_kernel = kernel && *kernel == std::vector<int64_t>{1, 1};

    bool same = false;
    if (const auto* a = helper::find_attribute(attrs, "auto_pad"))
        same = a->type == proto::attr_type::STRING && a->s == "SAME_UPPER";

    bool global_form = false;
    if (global || (unit_kernel && adaptive)) {
        global_form = true;
    } else if (adaptive) {
        throw Error(
            "adaptive pool2d only supports global output_size=[1,1]; non-global adaptive pooling "
            "requires derived kernel/stride");
    } else if (!kernel) {
        // MaxPool and AveragePool cannot be written without a window.
        throw Error("pool2d requires a constant kernel size");
    } else if (same && unit_kernel) {
        throw Error(
            "pool2d with padding_algorithm=SAME does not support output_size=[1,1] unless "
            "adaptive=true");
    } else {
        attrs.push_back(helper::attr_ints("kernel_shape", *kernel));
    }

    if (global_form) {
        node_type = average ? "GlobalAveragePool" : "GlobalMaxPool";
        // The global operators take no attributes; counting padding is moot without pads.
        attrs.clear();
    } else if (average) {
        const auto exclusive = helper::op_attr_bool(op, "exclusive");
        if (exclusive && !*exclusive) attrs.push_back(helper::attr_int("count_include_pad", 1));
    }

    attr::conform_attributes("pool2d", node_type, opset, attrs);
    attr::check_window_attributes("pool2d", attrs);
    const int64_t out = helper::op_out_id(op);
    append_node(std::move(node_type), {std::move(x)}, {get_tensor_name(out)}, std::move(attrs));
}

}  // namespace kestro
