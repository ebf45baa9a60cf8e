// Nearest and bilinear interpolation as one ONNX Resize node, with the small graph that
// computes its target sizes or scales.
#include <algorithm>
#include <array>

#include "converter/converter.h"

namespace kestro {

namespace {

// Two positive scales from the "scale" attribute (typed entries or bare numbers); empty
// when the attribute does not give them, as Paddle then ignores it.
std::optional<std::array<float, 2>> scale_attribute(const Json& op) {
    const Json* scale = helper::attr(op, "scale");
    if (!scale || !scale->IsArray() || scale->Size() < 2) return std::nullopt;
    const auto h = helper::value_as_f64((*scale)[0]);
    const auto w = helper::value_as_f64((*scale)[1]);
    if (!h || !w || !(*h > 0.0) || !(*w > 0.0)) return std::nullopt;
    return std::array<float, 2>{helper::to_f32_or_inf(*h), helper::to_f32_or_inf(*w)};
}

// Paddle's OutSize is a 1-D tensor of the output height and width; Resize's sizes are
// concatenated from it after the batch and channel dims, so a value of another rank (an image
// given in its place) gives a Concat no runtime loads.
void require_out_size_dims(std::string_view op_name, int64_t id, const std::vector<int64_t>* dims) {
    if (dims && (dims->size() != 1 || ((*dims)[0] >= 0 && (*dims)[0] != 2)))
        throw Error("{}: OutSize (value {}) has dims {}, but it must be 1-D: the output height and width",
                    op_name, id, helper::fmt_dims(*dims));
}

// Resize's mode and sampling attributes for Paddle's interpolation attributes.
std::vector<proto::AttributeProto> resize_attributes(const Json& op, std::string_view mode) {
    const bool align_corners = helper::op_attr_bool(op, "align_corners").value_or(false);
    std::string transform;
    if (align_corners) {
        transform = "align_corners";
    } else if (mode == "nearest") {
        transform = "asymmetric";
    } else {
        // Paddle's half-pixel sampling reads source 0 for an output axis of length 1, where
        // plain half_pixel would read the middle of the input.
        const auto align_mode = helper::op_attr_i64(op, "align_mode");
        transform = align_mode && *align_mode == 0 ? "pytorch_half_pixel" : "asymmetric";
    }
    std::vector<proto::AttributeProto> attrs{helper::attr_str("mode", std::string(mode)),
                                             helper::attr_str("coordinate_transformation_mode",
                                                              transform)};
    // Paddle floors the source index, except with align_corners, where it rounds half up.
    if (mode == "nearest")
        attrs.push_back(
            helper::attr_str("nearest_mode", align_corners ? "round_prefer_ceil" : "floor"));
    return attrs;
}

// The image (of rank 4, as its signature holds it): of a type both Paddle and ONNX Runtime
// resize.
void check_resize_image(const Converter& c, std::string_view op_name, int64_t x) {
    // Paddle resizes no bool or int16 images, and ONNX Runtime's Resize takes neither.
    if (const std::optional<int32_t> t = c.onnx_dtype_if_known(x);
        t && (*t == proto::dtype::BOOL || *t == proto::dtype::INT16))
        throw Error("{} does not take {} inputs", op_name, helper::onnx_dtype_name(*t));
    // Nor does ONNX Runtime resize int64 images, or other types than these.
    c.require_operand_type(op_name, "x", x,
                           {proto::dtype::FLOAT, proto::dtype::FLOAT16, proto::dtype::DOUBLE, proto::dtype::UINT8,
                            proto::dtype::INT8, proto::dtype::INT32});
}

// Paddle's output sizes, from the size list (one value each, one for each of H and W) or the
// OutSize tensor (both, `out_size` 0 when absent), are positive.
void check_output_sizes(const ConverterState& state, std::string_view op_name, const IdList* size_list,
                        int64_t out_size) {
    std::vector<int64_t> size_ids = size_list ? *size_list : std::vector<int64_t>{};
    if (!size_ids.empty() && size_ids.size() != 2)
        throw Error("{}: the size list has {} entries, not one for each of H and W", op_name, size_ids.size());
    for (int64_t id : size_ids) {
        const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
        if (!dims || (dims->size() == 1 && ((*dims)[0] < 0 || (*dims)[0] == 1)) || dims->empty()) continue;
        if (std::any_of(dims->begin(), dims->end(), [](int64_t d) { return d >= 0 && d != 1; }))
            throw Error("{}: size {} must hold one value, but has dims {}", op_name, id, helper::fmt_dims(*dims));
        // Unlike the one-value operands of other operators, Paddle's interpolation reads each
        // size only from a tensor of dims [1] or [], and refuses one of more dims.
        throw Error("{}: size {} has dims {}, but each size must be a tensor of dims [1] or []", op_name, id,
                    helper::fmt_dims(*dims));
    }
    if (out_size != 0) require_out_size_dims(op_name, out_size, state.tensor_shapes.find(out_size));
    if (out_size != 0 && size_ids.empty()) size_ids.push_back(out_size);
    for (int64_t id : size_ids) {
        if (const std::vector<double>* values = state.const_values.find(id)) {
            for (double v : *values) {
                if (!(v > 0.0)) throw Error("{}: output size {} is not positive", op_name, v);
            }
        }
    }
}

}  // namespace

void Converter::push_resize_optional_input(std::vector<std::string>& inputs, int64_t id,
                                           std::string_view kind) {
    if (opset >= 13) {
        inputs.emplace_back();
        return;
    }
    // Resize-11 takes roi and scales positionally even when unused: an empty tensor.
    std::string name = fmt::format("resize_empty_{}_{}", kind, id);
    push_f32_initializer(name, {0}, {});
    inputs.push_back(std::move(name));
}

std::string Converter::build_resize_sizes_from_spatial_tensor(int64_t out_id, int64_t x_id,
                                                              const std::string& spatial) {
    const NameMaker names{"resize", out_id};
    const std::string x = get_tensor_name(x_id);
    const std::string shape = names("shape");
    const std::string indices = names("prefix_indices");
    const std::string prefix = names("prefix");
    const std::string sizes = names("sizes");
    append_node("Shape", {x}, {shape});
    push_i64_initializer(indices, {2}, {0, 1});
    append_node("Gather", {shape, indices}, {prefix});
    append_node("Concat", {prefix, spatial}, {sizes}, {helper::attr_int("axis", 0)});
    return sizes;
}


// One INT64 [H, W] tensor from the size-tensor list: each element cast to INT64 and made [1]
// where it is not declared so, then concatenated. An element whose length is known only when
// the model runs is reshaped too: Resize's sizes must have a length that matches the rank
// of its input before the model runs.
std::string Converter::build_resize_spatial_from_size_list(int64_t out, const IdList& size_list) {
    const NameMaker names{"resize", out};
    std::vector<std::string> parts;
    for (size_t j = 0; j < size_list.size(); ++j) {
        // Paddle's shape values are int32; the sizes prefix is INT64.
        parts.push_back(flat_i64_list(size_list[j], out, fmt::format("resize_spatial_{}", j), 1));
    }
    std::string spatial = parts[0];
    if (parts.size() > 1) {
        spatial = names("hw");
        append_node("Concat", std::move(parts), {spatial}, {helper::attr_int("axis", 0)});
    }
    return spatial;
}

// Resize's FLOAT scales [1, 1, h, w] from the Scale tensor, where one value scales both axes
// and two give height and width.
std::string Converter::build_resize_scales_from_tensor(int64_t out, int64_t scale_id,
                                                       std::string_view mode) {
    const NameMaker names{"resize", out};
    const std::vector<int64_t>* dims = state.tensor_shapes.find(scale_id);
    int64_t count = -1;
    if (dims && dims->size() <= 1) count = dims->empty() ? 1 : (*dims)[0];
    const std::string_view op_name = mode == "linear" ? "bilinear_interp" : "nearest_interp";
    if (count != 1 && count != 2)
        throw Error("{}: Scale (value {}) has dims {}, but it must hold 1 or 2 values", op_name, scale_id,
                    dims ? helper::fmt_dims(*dims) : std::string("unknown"));
    // Paddle scales each size by a positive factor into an int.
    if (const std::vector<double>* values = state.const_values.find(scale_id)) {
        for (double v : *values) {
            if (!(v > 0.0) || !(v < 2147483648.0))
                throw Error("{}: scale {} is not a positive factor below 2^31", op_name, v);
        }
    }
    std::string factor = get_tensor_name(scale_id);
    if (!dtype_token_is(scale_id, proto::dtype::FLOAT)) {
        const std::string cast = names("scale_f32");
        add_cast_node(factor, cast, proto::dtype::FLOAT);
        factor = cast;
    }
    if (dims->empty()) {
        const std::string lifted = names("scale_1d");
        add_unsqueeze_node(factor, lifted, {0}, names("unsqueeze_axes"));
        factor = lifted;
    }
    const std::string ones = names("scale_prefix");
    push_f32_initializer(ones, {2}, {1.0f, 1.0f});
    std::vector<std::string> pieces{ones, factor};
    if (count == 1) pieces.push_back(factor);
    const std::string scales = fmt::format("scales_{}", out);
    append_node("Concat", std::move(pieces), {scales}, {helper::attr_int("axis", 0)});
    return scales;
}

// The target follows Paddle's order of preference: the size-tensor list, then the Scale
// tensor and the "scale" attribute (unless an OutSize tensor overrides the size), then
// (known at conversion time) the recorded output size, the OutSize tensor and the
// out_h/out_w attributes. Without any of them the output size is unknown and the
// conversion stops rather than guess a scale. A scale goes to Resize as scales, not as
// the size it gives: Paddle samples at 1/scale, which differs from input/output size
// whenever input × scale is not a whole number.
void Converter::op_resize_interp(const Json& op, std::string_view mode) {
    require_opset(fmt::format("{} (ONNX Resize mode {})", mode == "linear" ? "bilinear_interp" : "nearest_interp", mode),
                  11);
    if (const auto format = helper::op_attr_str(op, "data_format"); format && *format != "NCHW")
        throw Error("{} currently only supports data_format=NCHW (got {})", mode, helper::fmt_text(*format));
    std::vector<proto::AttributeProto> attrs = resize_attributes(op, mode);

    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"resize", out};
    const auto ids = helper::op_input_ids(op);
    // The sizes and scales written here are for NCHW images.
    const std::string_view op_name = mode == "linear" ? "bilinear_interp" : "nearest_interp";
    check_resize_image(*this, op_name, ids[0]);
    std::vector<std::string> inputs{get_tensor_name(ids[0])};
    push_resize_optional_input(inputs, out, "roi");

    // Sizes from a spatial [H, W] tensor of any integer type.
    auto use_sizes = [&](const std::string& spatial) {
        const std::string sizes = build_resize_sizes_from_spatial_tensor(out, ids[0], spatial);
        push_resize_optional_input(inputs, out, "scales");
        inputs.push_back(sizes);
    };
    auto use_scales = [&](std::array<float, 2> hw) {
        const std::string scales = fmt::format("scales_{}", out);
        inputs.push_back(scales);
        push_f32_initializer(scales, {4}, {1.0f, 1.0f, hw[0], hw[1]});
    };

    const IdList* size_list = ids.size() >= 3 && ids[2] != 0 ? state.combine_inputs.find(ids[2])
                                                             : nullptr;
    const std::vector<int64_t>* out_dims = state.tensor_shapes.find(out);
    const bool static_out = out_dims && out_dims->size() == 4 && (*out_dims)[2] > 0 &&
                            (*out_dims)[3] > 0;

    const bool has_out_size = ids.size() >= 2 && ids[1] != 0;
    const bool has_scale_tensor = ids.size() >= 4 && ids[3] != 0;
    const std::optional<std::array<float, 2>> scale = scale_attribute(op);
    if (scale && !(std::max((*scale)[0], (*scale)[1]) < 2147483648.0f))
        throw Error("{}: scale {} is not a positive factor below 2^31", op_name,
                    std::max((*scale)[0], (*scale)[1]));
    check_output_sizes(state, op_name, size_list, has_out_size ? ids[1] : 0);
    if (size_list && !size_list->empty()) {
        use_sizes(build_resize_spatial_from_size_list(out, *size_list));
    } else if (!has_out_size && has_scale_tensor) {
        inputs.push_back(build_resize_scales_from_tensor(out, ids[3], mode));
    } else if (!has_out_size && scale) {
        use_scales(*scale);
    } else if (static_out) {
        push_resize_optional_input(inputs, out, "scales");
        const std::string hw = names("static_hw");
        push_i64_initializer(hw, {2}, {(*out_dims)[2], (*out_dims)[3]});
        inputs.push_back(build_resize_sizes_from_spatial_tensor(out, ids[0], hw));
    } else if (has_out_size) {
        // Paddle takes OutSize as two numbers, Resize a sizes input of a known length.
        use_sizes(flat_i64_list(ids[1], out, "resize_out_size", 2));
    } else {
        const auto out_h = helper::op_attr_i64(op, "out_h");
        const auto out_w = helper::op_attr_i64(op, "out_w");
        if (!out_h || !out_w || *out_h <= 0 || *out_w <= 0)
            throw Error("{} has no known output size or scale", mode);
        const std::string hw = names("static_hw");
        push_i64_initializer(hw, {2}, {*out_h, *out_w});
        use_sizes(hw);
    }

    append_node("Resize", std::move(inputs), {get_tensor_name(out)}, std::move(attrs));
}

}  // namespace kestro
