// Batch normalization (inference form, one BatchNormalization node) and group
// normalization (composed from InstanceNormalization over [N, groups, -1]).
#include "converter/attr.h"
#include "converter/converter.h"

namespace kestro {

namespace {

// Group counts without a known channel count still size two initializers.
constexpr int64_t kMaxGroupsWithoutChannels = int64_t{1} << 20;

bool data_format_is_nchw(const Json& op) {
    const auto format = helper::attr_str_value(op, "data_format");
    return !format || *format == "NCHW";
}

}  // namespace

void Converter::op_batch_norm(const Json& op) {
    const auto is_test = helper::attr_bool(op, "is_test");
    if (is_test && !*is_test)
        throw Error("batch_norm_ only supports inference-style lowering with is_test=true");
    if (!data_format_is_nchw(op)) throw Error("batch_norm_ only supports NCHW");
    const auto ids = helper::op_input_ids(op);
    if (ids.size() < 5) throw Error("batch_norm_ missing inputs");

    if (ids[0] == 0 || ids[1] == 0 || ids[2] == 0)
        throw Error("batch_norm_ needs its input, mean and variance");
    const int64_t out = helper::op_out_id(op);

    // Paddle's order is x, mean, variance, scale, bias; ONNX wants x, scale, bias, mean, var.
    std::vector<std::string> inputs;
    for (size_t k : {0, 3, 4, 1, 2}) {
        if (ids[k] != 0) {
            inputs.push_back(get_tensor_name(ids[k]));
            continue;
        }
        // ONNX requires scale and bias; Paddle reads an absent one as ones or zeros over the
        // channels, made here in the input's element type.
        const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
        const int64_t channels = dims && dims->size() >= 2 ? (*dims)[1] : -1;
        const char* what = k == 3 ? "scale" : "bias";
        if (channels < 0)
            throw Error("batch_norm_ without {} needs a known channel count", what);
        std::string name = fmt::format("batch_norm_{}_{}", what, out);
        push_numeric_initializer(name, {channels}, known_onnx_dtype(ids[0]).value_or(proto::dtype::FLOAT),
                                 std::vector<double>(static_cast<size_t>(channels), k == 3 ? 1.0 : 0.0));
        inputs.push_back(std::move(name));
    }
    std::vector<proto::AttributeProto> attrs;
    if (const Json* a = helper::member(op, "A")) attrs = extract_attributes("batch_norm_", *a);
    attr::conform_attributes("batch_norm_", "BatchNormalization", opset, attrs);
    append_node("BatchNormalization", std::move(inputs), {get_tensor_name(out)}, std::move(attrs));
}

void Converter::op_group_norm(const Json& op) {
    require_opset("group_norm", 6);
    const auto ids = helper::op_input_ids(op);
    if (ids.size() < 3) throw Error("group_norm missing inputs");
    const Json* outputs = helper::member(op, "O");
    if (!outputs || !outputs->IsArray() || outputs->Empty())
        throw Error("group_norm missing outputs");
    const Json* out_value = helper::member((*outputs)[0], "%");
    const auto out_id = out_value ? helper::as_i64(*out_value) : std::nullopt;
    if (!out_id) throw Error("group_norm missing output id");
    const int64_t out = *out_id;

    const auto groups = helper::attr_i64(op, "groups");
    if (!groups) throw Error("group_norm missing groups");
    const int64_t g = *groups;
    float epsilon = 1e-5f;
    if (const Json* e = helper::attr(op, "epsilon"); e && e->IsNumber())
        epsilon = helper::to_f32_or_inf(*helper::value_as_f64(*e));
    if (!data_format_is_nchw(op)) throw Error("group_norm only supports NCHW");
    const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
    if (!dims) throw Error("group_norm missing input rank metadata");
    const auto rank = static_cast<int64_t>(dims->size());
    if (rank < 3) throw Error("group_norm expects rank >= 3, got {}", rank);

    // Paddle requires the groups to split the channels evenly; anything else would size
    // the unit scale and zero bias from an unchecked number.
    if (g <= 0) throw Error("group_norm groups must be positive, got {}", g);
    const int64_t channels = (*dims)[1];
    if (channels > 0 && channels % g != 0)
        throw Error("group_norm groups {} must divide the channel count {}", g, channels);
    if (channels <= 0 && g > kMaxGroupsWithoutChannels)
        throw Error("group_norm groups {} is too large for an unknown channel count", g);
    const std::string x = get_tensor_name(ids[0]);

    const std::string shape = fmt::format("group_norm_input_shape_{}", out);
    const std::string batch = fmt::format("group_norm_batch_dim_{}", out);
    const std::string groups_name = fmt::format("group_norm_groups_{}", out);
    const std::string minus_one = fmt::format("group_norm_minus_one_{}", out);
    const std::string target = fmt::format("group_norm_reshape_shape_{}", out);
    const std::string reshaped = fmt::format("group_norm_reshaped_{}", out);
    const std::string unit_scale = fmt::format("group_norm_scale_{}", out);
    const std::string zero_bias = fmt::format("group_norm_bias_{}", out);
    const std::string normalized = fmt::format("group_norm_normalized_{}", out);
    const std::string restored = fmt::format("group_norm_restored_{}", out);

    append_node("Shape", {x}, {shape});
    add_slice_node(shape, batch, {0}, {1}, std::vector<int64_t>{0}, std::nullopt, batch);
    push_i64_initializer(groups_name, {1}, {g});
    push_i64_initializer(minus_one, {1}, {-1});
    append_node("Concat", {batch, groups_name, minus_one}, {target}, {helper::attr_int("axis", 0)});
    append_node("Reshape", {x, target}, {reshaped});
    // InstanceNormalization takes scale and bias in the data's own element type.
    const std::string* token = state.tensor_dtypes.find(ids[0]);
    std::optional<int32_t> x_type;
    if (token && token->rfind("0.t_", 0) == 0)
        x_type = helper::paddle_dtype_token_to_onnx(std::string_view(*token).substr(4));
    const int32_t type = x_type.value_or(proto::dtype::FLOAT);
    const auto count = static_cast<size_t>(g);
    push_numeric_initializer(unit_scale, {g}, type, std::vector<double>(count, 1.0));
    push_numeric_initializer(zero_bias, {g}, type, std::vector<double>(count, 0.0));
    append_node("InstanceNormalization", {reshaped, unit_scale, zero_bias}, {normalized},
                {helper::attr_float("epsilon", epsilon)});
    append_node("Reshape", {normalized, shape}, {restored});

    // A [C] scale or bias becomes [1, C, 1, ..., 1] to broadcast along the channel axis.
    // Paddle treats an absent scale as ones and an absent bias as zeros.
    std::vector<int64_t> axes{0};
    for (int64_t a = 2; a < rank; ++a) axes.push_back(a);
    const bool has_scale = ids[1] != 0;
    const bool has_bias = ids[2] != 0;
    const std::string scale_affine = fmt::format("group_norm_affine_scale_{}", out);
    const std::string bias_affine = fmt::format("group_norm_affine_bias_{}", out);
    if (has_scale)
        add_unsqueeze_node(get_tensor_name(ids[1]), scale_affine, axes,
                           fmt::format("group_norm_affine_scale_axes_{}", out));
    if (has_bias)
        add_unsqueeze_node(get_tensor_name(ids[2]), bias_affine, axes,
                           fmt::format("group_norm_affine_bias_axes_{}", out));
    std::string current = restored;
    if (has_scale) {
        const std::string scaled = has_bias ? fmt::format("group_norm_scaled_{}", out)
                                            : get_tensor_name(out);
        add_binary_node("Mul", current, scale_affine, scaled);
        current = scaled;
    }
    if (has_bias) add_binary_node("Add", current, bias_affine, get_tensor_name(out));
    if (!has_scale && !has_bias) append_node("Identity", {current}, {get_tensor_name(out)});
}

}  // namespace kestro
