// Batch normalization, batch_norm(_) (inference form, one BatchNormalization node), group
// normalization, group_norm (InstanceNormalization over [N, groups, -1], or its mean and
// variance by hand where ONNX Runtime has no kernel) and layer normalization, layer_norm
// (LayerNormalization).
#include <algorithm>
#include <limits>

#include "converter/attr.h"
#include "converter/converter.h"

namespace kestro {

namespace {

// Group counts without a known channel count still size two initializers.
constexpr int64_t kMaxGroupsWithoutChannels = int64_t{1} << 20;

bool data_format_is_nchw(const Json& op) {
    const auto format = helper::op_attr_str(op, "data_format");
    return !format || *format == "NCHW";
}

int float_width(int32_t type) {
    switch (type) {
        case proto::dtype::FLOAT16: return 2;
        case proto::dtype::FLOAT: return 4;
        case proto::dtype::DOUBLE: return 8;
        default: return 0;
    }
}

// The float type a normalization computes in when its parameters' type differs from its
// input's: the wider of the two. Mixed-precision exports pair float16 activations with
// float32 parameters, and Paddle's kernels then compute in float32 and round the result
// to float16, so the input is cast up and the result cast back rather than the
// parameters rounded down. Empty when the types agree or are not all known floats.
std::optional<int32_t> mixed_compute_type(const Converter& c, int64_t x,
                                          std::initializer_list<int64_t> params) {
    const std::optional<int32_t> xt = c.onnx_dtype_if_known(x);
    if (!xt || float_width(*xt) == 0) return std::nullopt;
    int32_t widest = *xt;
    bool mixed = false;
    for (int64_t id : params) {
        if (id == 0) continue;  // an absent optional parameter
        const std::optional<int32_t> t = c.onnx_dtype_if_known(id);
        if (!t || float_width(*t) == 0 || *t == *xt) continue;
        mixed = true;
        if (float_width(*t) > float_width(widest)) widest = *t;
    }
    return mixed ? std::optional<int32_t>(widest) : std::nullopt;
}

// A value in the type a normalization computes in: itself, or a Cast of it.
std::string operand_as(Converter& c, int64_t id, int32_t type, std::string_view purpose, int64_t out) {
    std::string name = c.optional_tensor_name(id);
    if (id == 0 || c.onnx_dtype_if_known(id) == type) return name;
    std::string cast = fmt::format("{}_{}_{}", purpose, helper::onnx_dtype_name(type), out);
    c.add_cast_node(std::move(name), cast, type);
    return cast;
}

// An operand as a normalization reads it: cast to `compute` where one is given, else itself.
std::string operand_in(Converter& c, int64_t id, std::optional<int32_t> compute, std::string_view purpose,
                       int64_t out) {
    return compute ? operand_as(c, id, *compute, purpose, out) : c.get_tensor_name(id);
}

// The value id of each of an operator's outputs by position, 0 where an entry has none.
std::vector<int64_t> output_ids_by_position(const Json& op) {
    std::vector<int64_t> ids;
    const Json* outs = helper::member(op, "O");
    if (!outs || !outs->IsArray()) return ids;
    for (const Json& entry : outs->GetArray()) {
        const Json* id = helper::member(entry, "%");
        ids.push_back(id ? helper::as_i64(*id).value_or(0) : 0);
    }
    return ids;
}

// The id of output k when an operator reads it, else 0.
int64_t read_output(const Converter& c, const std::vector<int64_t>& outs, size_t k) {
    return k < outs.size() && outs[k] != 0 && c.secondary_output_is_read(outs[k]) ? outs[k] : 0;
}

// Paddle's mean and, when asked for, its biased variance (epsilon is not added) of x over
// `axes`, which are kept as dims of 1. Paddle accumulates float16 data in float32, so such
// data is cast up first; `type` becomes the type of the results.
std::pair<std::string, std::string> moments(Converter& c, std::string x, int32_t& type,
                                            const std::vector<int64_t>& axes, bool with_variance,
                                            const NameMaker& names) {
    if (type == proto::dtype::FLOAT16) {
        c.add_cast_node(std::move(x), names("stats_input"), proto::dtype::FLOAT);
        x = names("stats_input");
        type = proto::dtype::FLOAT;
    }
    const std::string mean = names("stats_mean");
    c.add_reduce_node("ReduceMean", x, mean, axes, 1, mean);
    if (!with_variance) return {mean, {}};
    const std::string variance = names("stats_variance");
    c.add_binary_node("Sub", std::move(x), mean, names("stats_centred"));
    c.add_binary_node("Mul", names("stats_centred"), names("stats_centred"), names("stats_squared"));
    c.add_reduce_node("ReduceMean", names("stats_squared"), variance, axes, 1, variance);
    return {mean, variance};
}

// Writes a statistic computed as `value` of type `type` as output `id`, of the computed dims:
// shaped by `shape` (a Reshape, or a Squeeze of `squeezed` axes) and cast to the output's
// declared float type. A declaration of other dims or of a type that is not a float
// contradicts Paddle's result.
void write_statistic(Converter& c, std::string_view op_name, int64_t id, int64_t x, const std::string& value,
                     int32_t type, const std::vector<int64_t>& dims, const std::string& shape,
                     const std::vector<int64_t>& squeezed, const NameMaker& names, std::string_view what) {
    const std::optional<int32_t> declared = c.onnx_dtype_if_known(id);
    const int32_t target = declared && float_width(*declared) != 0 ? *declared : type;
    c.settle_output(op_name, id, target, dims, {x});
    const std::string out = c.get_tensor_name(id);
    const std::string shaped = target == type ? out : names(fmt::format("{}_shaped", what));
    if (squeezed.empty())
        c.append_node("Reshape", {value, shape}, {shaped});
    else
        c.add_squeeze_node(value, shaped, squeezed, names(fmt::format("{}_axes", what)));
    if (target != type) c.add_cast_node(shaped, out, target);
}

// batch_norm's outputs past y that a later operator reads. In inference Paddle leaves the
// running statistics as they are, so mean_out and variance_out are the mean and variance
// given; it computes no statistics of the batch, so the saved ones and the reserved space
// hold nothing a reader could use.
void lower_batch_norm_statistics(Converter& c, const Json& op, const std::vector<int64_t>& ids) {
    static constexpr const char* kOutputs[] = {"y", "mean_out", "variance_out", "saved_mean",
                                               "saved_variance", "reserve_space"};
    const std::vector<int64_t> outs = output_ids_by_position(op);
    for (size_t k = 1; k < outs.size(); ++k) {
        const int64_t id = read_output(c, outs, k);
        if (id == 0) continue;
        if (k >= std::size(kOutputs))
            throw Error("batch_norm_: output {} is read, but batch_norm has {} outputs", id, std::size(kOutputs));
        if (k == 5)
            throw Error("batch_norm_: output {} (reserve_space) is read, but it is working space of "
                        "Paddle's training kernels, which inference does not fill",
                        id);
        if (k >= 3)
            throw Error("batch_norm_: output {} ({}) is read, but in inference Paddle computes no "
                        "statistics of the batch to fill it",
                        id, kOutputs[k]);
        const int64_t running = ids[k];  // the mean or the variance
        const std::vector<int64_t>* dims = c.state.tensor_shapes.find(running);
        c.settle_output("batch_norm_", id, c.onnx_dtype_if_known(running),
                        dims ? std::optional<std::vector<int64_t>>(*dims) : std::nullopt, {running});
        c.append_node("Identity", {c.get_tensor_name(running)}, {c.get_tensor_name(id)});
    }
}

// BatchNormalization's inputs: Paddle's order is x, mean, variance, scale, bias; ONNX wants
// x, scale, bias, mean, var.
std::vector<std::string> batch_norm_inputs(Converter& c, const std::vector<int64_t>& ids,
                                           std::optional<int32_t> compute, std::optional<int32_t> x_type,
                                           int64_t out, const NameMaker& names) {
    std::vector<std::string> inputs;
    for (size_t k : {0, 3, 4, 1, 2}) {
        if (ids[k] != 0) {
            inputs.push_back(operand_in(c, ids[k], compute, fmt::format("batch_norm_input{}", k), out));
            continue;
        }
        // ONNX requires scale and bias; Paddle reads an absent one as ones or zeros over the
        // channels, made here in the type the node computes in.
        const std::vector<int64_t>* dims = c.state.tensor_shapes.find(ids[0]);
        const int64_t channels = dims && dims->size() >= 2 ? (*dims)[1] : -1;
        const char* what = k == 3 ? "scale" : "bias";
        if (channels < 0)
            throw Error("batch_norm_ without {} needs a known channel count", what);
        std::string name = names(what);
        c.push_numeric_initializer(name, {channels}, compute.value_or(x_type.value_or(proto::dtype::FLOAT)),
                                   std::vector<double>(static_cast<size_t>(channels), k == 3 ? 1.0 : 0.0));
        inputs.push_back(std::move(name));
    }
    return inputs;
}

// batch_norm of float64 data of dims `x_dims` normalised by hand from `inputs` (in ONNX's
// order), in float64 and in Paddle's order: (x - mean) / sqrt(var + eps) * scale + bias, each
// parameter laid along the channel axis.
void batch_norm_by_hand(Converter& c, const std::vector<int64_t>& ids, std::vector<std::string> inputs,
                        std::optional<int32_t> compute, const std::vector<proto::AttributeProto>& attrs,
                        const std::vector<int64_t>& x_dims, int64_t out, const NameMaker& names) {
    const size_t param_ids[] = {0, 3, 4, 1, 2};  // ids positions of inputs' entries
    for (size_t pos = 1; pos < 5 && !compute; ++pos)
        if (const size_t k = param_ids[pos]; ids[k] != 0)
            inputs[pos] = operand_as(c, ids[k], proto::dtype::DOUBLE, fmt::format("batch_norm_input{}", k), out);
    const proto::AttributeProto* eps = helper::find_attribute(attrs, "epsilon");
    c.push_numeric_initializer(names("epsilon"), {}, proto::dtype::DOUBLE,
                               {static_cast<double>(eps ? eps->f : 1e-5f)});
    std::vector<int64_t> trailing;
    for (size_t a = 1; a + 1 < x_dims.size(); ++a) trailing.push_back(static_cast<int64_t>(a));
    auto per_channel = [&](std::string value, std::string_view what) {
        if (trailing.empty()) return value;
        std::string laid = names(what);
        c.add_unsqueeze_node(std::move(value), laid, trailing, names(fmt::format("{}_axes", what)));
        return laid;
    };
    c.add_binary_node("Add", inputs[4], names("epsilon"), names("var_eps"));
    c.append_node("Sqrt", {names("var_eps")}, {names("std")});
    c.add_binary_node("Sub", inputs[0], per_channel(inputs[3], "mean_c"), names("centred"));
    c.add_binary_node("Div", names("centred"), per_channel(names("std"), "std_c"), names("normalised"));
    c.add_binary_node("Mul", names("normalised"), per_channel(inputs[1], "scale_c"), names("scaled"));
    c.add_binary_node("Add", names("scaled"), per_channel(inputs[2], "bias_c"), c.get_tensor_name(out));
}

}  // namespace

// The data is a float tensor and each statistic holds one value
// per channel: a program that says otherwise gives no node that loads.
void Converter::check_batch_norm_operands(const std::vector<int64_t>& ids) const {
    using namespace proto::dtype;
    require_operand_type("batch_norm_", "x", ids[0], {FLOAT, FLOAT16, DOUBLE});
    const std::vector<int64_t>* x_dims = state.tensor_shapes.find(ids[0]);
    const int64_t channels = x_dims && x_dims->size() >= 2 ? (*x_dims)[1] : -1;
    static constexpr const char* kStat[] = {"x", "mean", "variance", "scale", "bias"};
    for (size_t k = 1; k < 5 && k < ids.size(); ++k) {
        if (ids[k] == 0) continue;
        require_operand_type("batch_norm_", kStat[k], ids[k], {FLOAT, FLOAT16, DOUBLE});
        const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[k]);
        if (!dims) continue;
        if (dims->size() != 1 || (channels >= 0 && (*dims)[0] >= 0 && (*dims)[0] != channels))
            throw Error("batch_norm_: {} has dims {}, but it must hold one value for each of the {} channels",
                        kStat[k], helper::fmt_dims(*dims), channels);
    }
}

void Converter::op_batch_norm(const Json& op) {
    const auto is_test = helper::op_attr_bool(op, "is_test");
    if (is_test && !*is_test)
        throw Error("batch_norm_ only supports inference-style lowering with is_test=true");
    // Paddle normalises with the batch's own statistics when it trains them, even at test
    // time, unless it is told to use the running ones.
    if (helper::op_attr_bool(op, "trainable_statistics").value_or(false) &&
        !helper::op_attr_bool(op, "use_global_stats").value_or(false))
        throw Error("batch_norm_ with trainable_statistics=true normalises with the batch's own statistics, "
                    "but only the running statistics convert (use_global_stats=true)");
    if (!data_format_is_nchw(op)) throw Error("batch_norm_ only supports NCHW");
    const auto ids = helper::op_input_ids(op);

    // Paddle normalises floating-point values over a channel axis (rank 2 and up, as its
    // signature holds) only.
    require_float_operand("batch_norm", ids[0]);
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"batch_norm", out};
    check_batch_norm_operands(ids);
    // Before 15 BatchNormalization takes the data and every parameter in one type.
    std::optional<int32_t> compute;
    if (opset < 15) compute = mixed_compute_type(*this, ids[0], {ids[1], ids[2], ids[3], ids[4]});
    const std::optional<int32_t> x_type = onnx_dtype_if_known(ids[0]);
    // y has x's type and dims, whatever type the parameters have.
    settle_output_like("batch_norm_", out, {ids[0]});
    lower_batch_norm_statistics(*this, op, ids);

    std::vector<std::string> inputs = batch_norm_inputs(*this, ids, compute, x_type, out, names);
    std::vector<proto::AttributeProto> attrs;
    if (const Json* a = helper::member(op, "A")) attrs = extract_attributes("batch_norm_", *a);
    attr::conform_attributes("batch_norm_", "BatchNormalization", opset, attrs);
    // ONNX Runtime has no float64 BatchNormalization from opset 15 on. With the rank known,
    // float64 data is then normalised by hand.
    const std::vector<int64_t>* x_dims = state.tensor_shapes.find(ids[0]);
    if (opset >= 15 && x_type == std::optional<int32_t>(proto::dtype::DOUBLE) && x_dims) {
        batch_norm_by_hand(*this, ids, std::move(inputs), compute, attrs, *x_dims, out, names);
        return;
    }
    const bool cast_back = compute && compute != x_type;
    const std::string y = cast_back ? names("computed") : get_tensor_name(out);
    append_node("BatchNormalization", std::move(inputs), {y}, std::move(attrs));
    if (cast_back) add_cast_node(y, get_tensor_name(out), *x_type);
}

namespace {

// The group count, checked against the channel count where it is known. Paddle requires the
// groups to split the channels evenly; anything else would size the unit scale and zero bias
// from an unchecked number.
int64_t checked_groups(int64_t g, int64_t channels) {
    if (g <= 0) throw Error("group_norm groups must be positive, got {}", g);
    if (channels > 0 && channels % g != 0)
        throw Error("group_norm groups {} must divide the channel count {}", g, channels);
    if (channels <= 0 && g > kMaxGroupsWithoutChannels)
        throw Error("group_norm groups {} is too large for an unknown channel count", g);
    return g;
}

// x normalized per group: reshaped to [N, groups, -1], normalized over its last axis with
// unit scale and zero bias in element type `type`, and reshaped back to x's shape.
// InstanceNormalization does that in one node, but ONNX Runtime has no float64 kernel for
// it and crashes on groups of no elements, so where either may happen the mean and variance
// are computed by hand. An empty batch leaves Reshape's -1 nothing to divide by: the group
// size is then given as 0, which copies x's dim 2 into a product that is 0 anyway.
std::string normalize_groups(Converter& c, const std::string& x, int64_t g, int32_t type,
                             float epsilon, int64_t out, int64_t rank, bool batch_may_be_empty,
                             bool groups_may_be_empty) {
    const bool by_hand = groups_may_be_empty || type == proto::dtype::DOUBLE;
    const NameMaker names{"group_norm", out};
    const std::string shape = names("input_shape");
    const std::string batch = names("batch_dim");
    const std::string groups_name = names("groups");
    const std::string minus_one = names("minus_one");
    const std::string target = names("reshape_shape");
    const std::string reshaped = names("reshaped");
    const std::string normalized = names("normalized");
    const std::string restored = names("restored");

    c.append_node("Shape", {x}, {shape});
    c.add_slice_node(shape, batch, {0}, {1}, std::vector<int64_t>{0}, std::nullopt, batch);
    c.push_i64_initializer(groups_name, {1}, {g});
    c.push_i64_initializer(minus_one, {1}, {-1});
    std::string group_size = minus_one;
    if (batch_may_be_empty) {
        const std::string zero = names("zero");
        group_size = names("group_size");
        c.push_i64_initializer(zero, {1}, {0});
        c.add_binary_node("Equal", batch, zero, names("empty_batch"));
        c.append_node("Where", {names("empty_batch"), zero, minus_one}, {group_size});
    }
    c.append_node("Concat", {batch, groups_name, group_size}, {target}, {helper::attr_int("axis", 0)});
    c.append_node("Reshape", {x, target}, {reshaped});
    if (by_hand) {
        const std::string mean = names("mean");
        const std::string centered = names("centered");
        const std::string squared = names("squared");
        const std::string variance = names("variance");
        const std::string eps = names("epsilon");
        const std::string shifted = names("variance_eps");
        const std::string deviation = names("deviation");
        c.add_reduce_node("ReduceMean", reshaped, mean, std::vector<int64_t>{2}, 1, mean);
        c.add_binary_node("Sub", reshaped, mean, centered);
        c.add_binary_node("Mul", centered, centered, squared);
        c.add_reduce_node("ReduceMean", squared, variance, std::vector<int64_t>{2}, 1, variance);
        c.push_numeric_initializer(eps, {}, type, {static_cast<double>(epsilon)});
        c.add_binary_node("Add", variance, eps, shifted);
        c.append_node("Sqrt", {shifted}, {deviation});
        c.add_binary_node("Div", centered, deviation, normalized);
    } else {
        const std::string unit_scale = names("scale");
        const std::string zero_bias = names("bias");
        const auto count = static_cast<size_t>(g);
        c.push_numeric_initializer(unit_scale, {g}, type, std::vector<double>(count, 1.0));
        c.push_numeric_initializer(zero_bias, {g}, type, std::vector<double>(count, 0.0));
        c.append_node("InstanceNormalization", {reshaped, unit_scale, zero_bias}, {normalized},
                      {helper::attr_float("epsilon", epsilon)});
    }
    // Back to x's shape, whose 0s past the batch are real when a group may be empty.
    if (groups_may_be_empty)
        c.add_exact_reshape_node(normalized, shape, rank, restored, names, "restore");
    else
        c.append_node("Reshape", {normalized, shape}, {restored});
    return restored;
}

// The scale and bias hold one value per channel of x's `dims`.
void check_group_norm_params(const Converter& c, const std::vector<int64_t>& ids, const std::vector<int64_t>& dims) {
    for (size_t k = 1; k < 3; ++k) {
        const std::vector<int64_t>* p = ids[k] != 0 ? c.state.tensor_shapes.find(ids[k]) : nullptr;
        if (p && (p->size() != 1 || ((*p)[0] >= 0 && dims[1] >= 0 && (*p)[0] != dims[1])))
            throw Error("group_norm: {} has dims {}, but it must hold one value for each of the {} channels",
                        k == 1 ? "scale" : "bias", helper::fmt_dims(*p), dims[1]);
    }
}

// Paddle's mean and variance of each group, [N, groups], when a later operator reads them,
// from x of `dims` reshaped to [N, groups, -1] in element type `type`.
void group_norm_statistics(Converter& c, const Json& op, int64_t x, const std::vector<int64_t>& dims, int64_t g,
                           int32_t type, const NameMaker& names) {
    const std::vector<int64_t> outs = output_ids_by_position(op);
    const int64_t mean_out = read_output(c, outs, 1);
    const int64_t variance_out = read_output(c, outs, 2);
    if (mean_out == 0 && variance_out == 0) return;
    if (std::any_of(dims.begin() + 1, dims.end(), [](int64_t d) { return d == 0; }))
        throw Error("group_norm: output {} ({}) is read, but its groups hold no elements",
                    mean_out != 0 ? mean_out : variance_out, mean_out != 0 ? "mean" : "variance");
    int32_t stats_type = type;
    const auto [mean, variance] = moments(c, names("reshaped"), stats_type, {2}, variance_out != 0, names);
    const std::vector<int64_t> stats_dims{dims[0], g};
    if (mean_out != 0)
        write_statistic(c, "group_norm", mean_out, x, mean, stats_type, stats_dims, {}, {2}, names, "mean");
    if (variance_out != 0)
        write_statistic(c, "group_norm", variance_out, x, variance, stats_type, stats_dims, {}, {2}, names,
                        "variance");
}

// The normalized groups `restored` scaled and shifted into `result`. A [C] scale or bias
// becomes [1, C, 1, ..., 1] to broadcast along the channel axis of an input of rank `rank`.
// Paddle treats an absent scale as ones and an absent bias as zeros.
void group_norm_affine(Converter& c, const std::vector<int64_t>& ids, std::optional<int32_t> compute, int64_t rank,
                       const std::string& restored, const std::string& result, int64_t out,
                       const NameMaker& names) {
    std::vector<int64_t> axes{0};
    for (int64_t a = 2; a < rank; ++a) axes.push_back(a);
    const bool has_scale = ids[1] != 0;
    const bool has_bias = ids[2] != 0;
    const std::string scale_affine = names("affine_scale");
    const std::string bias_affine = names("affine_bias");
    if (has_scale)
        c.add_unsqueeze_node(operand_in(c, ids[1], compute, "group_norm_scale", out), scale_affine, axes,
                             names("affine_scale_axes"));
    if (has_bias)
        c.add_unsqueeze_node(operand_in(c, ids[2], compute, "group_norm_bias", out), bias_affine, axes,
                             names("affine_bias_axes"));
    std::string current = restored;
    if (has_scale) {
        const std::string scaled = has_bias ? names("scaled") : result;
        c.add_binary_node("Mul", current, scale_affine, scaled);
        current = scaled;
    }
    if (has_bias) c.add_binary_node("Add", current, bias_affine, result);
    if (!has_scale && !has_bias) c.append_node("Identity", {current}, {result});
}

}  // namespace

void Converter::op_group_norm(const Json& op) {
    const auto ids = helper::op_input_ids(op);
    require_float_operand("group_norm", ids[0]);
    const Json* outputs = helper::member(op, "O");
    if (!outputs || !outputs->IsArray() || outputs->Empty())
        throw Error("group_norm missing outputs");
    const Json* out_value = helper::member((*outputs)[0], "%");
    const auto out_id = out_value ? helper::as_i64(*out_value) : std::nullopt;
    if (!out_id) throw Error("group_norm missing output id");
    const int64_t out = *out_id;
    const NameMaker names{"group_norm", out};

    const auto groups = helper::op_attr_i64(op, "groups");
    if (!groups) throw Error("group_norm missing groups");
    float epsilon = 1e-5f;
    if (const Json* e = helper::attr(op, "epsilon"); e && e->IsNumber())
        epsilon = helper::to_f32_or_inf(*helper::value_as_f64(*e));
    if (!data_format_is_nchw(op)) throw Error("group_norm only supports NCHW");
    const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
    if (!dims) throw Error("group_norm missing input rank metadata");
    const auto rank = static_cast<int64_t>(dims->size());
    if (rank < 3) throw Error("group_norm expects rank >= 3, got {}", rank);
    const int64_t g = checked_groups(*groups, (*dims)[1]);
    check_group_norm_params(*this, ids, *dims);

    // InstanceNormalization and the affine step take one type for data and parameters.
    const std::optional<int32_t> x_type = onnx_dtype_if_known(ids[0]);
    const std::optional<int32_t> compute = mixed_compute_type(*this, ids[0], {ids[1], ids[2]});
    const int32_t type = compute.value_or(x_type.value_or(proto::dtype::FLOAT));
    const bool cast_back = compute && compute != x_type;
    const std::string x = operand_in(*this, ids[0], compute, "group_norm_input", out);
    const std::string result = cast_back ? names("computed") : get_tensor_name(out);
    // A group may hold no elements when a dim past the batch may be 0.
    const bool groups_may_be_empty =
        std::any_of(dims->begin() + 1, dims->end(), [](int64_t d) { return d <= 0; });
    const std::string restored =
        normalize_groups(*this, x, g, type, epsilon, out, rank, (*dims)[0] <= 0, groups_may_be_empty);
    group_norm_statistics(*this, op, ids[0], *dims, g, type, names);
    group_norm_affine(*this, ids, compute, rank, restored, result, out, names);
    if (cast_back) add_cast_node(result, get_tensor_name(out), *x_type);
}

namespace {

// What the steps of op_layer_norm share: its operands, where normalisation begins, the type
// it computes in and the statistics a later operator reads.
struct LayerNormPlan {
    std::vector<int64_t> ids;
    int64_t scale_id = 0;
    int64_t bias_id = 0;
    const std::vector<int64_t>* dims = nullptr;  // x's recorded dims
    int64_t rank = 0;
    int64_t begin = 1;  // begin_norm_axis as written
    int64_t b = 1;      // begin_norm_axis counted from the front
    std::optional<int32_t> compute;
    int64_t mean_out = 0;
    int64_t variance_out = 0;
};

// Scale and bias hold one value for each position of the normalised dims. With some of those
// dims unknown, the known ones must still divide the count: else no input fits.
void check_layer_norm_params(const Converter& c, const LayerNormPlan& p) {
    std::optional<int64_t> known;  // the product of the normalised dims that are known
    bool open = false;             // whether one of them is unknown
    if (p.dims && p.b >= 0 && p.b < p.rank) {
        known = 1;
        for (int64_t k = p.b; k < p.rank && known; ++k) {
            const int64_t d = (*p.dims)[static_cast<size_t>(k)];
            if (d < 0)
                open = true;
            else
                known = helper::checked_mul(*known, d);
        }
    }
    for (const auto& [id, what] : {std::pair{p.scale_id, "scale"}, std::pair{p.bias_id, "bias"}}) {
        const std::vector<int64_t>* s = id != 0 ? c.state.tensor_shapes.find(id) : nullptr;
        if (s && s->size() != 1)
            throw Error("layer_norm: {} {} must be 1-D, but has dims {}", what, id, helper::fmt_dims(*s));
        const std::optional<int64_t> held = s && (*s)[0] >= 0 ? std::optional<int64_t>{(*s)[0]} : std::nullopt;
        if (!known || !held) continue;
        if (!open && *held != *known)
            throw Error("layer_norm: {} {} holds {} values, but from begin_norm_axis {} the input {} has {} "
                        "to normalise",
                        what, id, *held, p.begin, helper::fmt_dims(*p.dims), *known);
        if (open && *known > 0 && *held % *known != 0)
            throw Error("layer_norm: {} {} holds {} values, but from begin_norm_axis {} the input {} has a "
                        "multiple of {} to normalise",
                        what, id, *held, p.begin, helper::fmt_dims(*p.dims), *known);
    }
}

// LayerNormalization's data, scale and bias: in the type computed in, an absent scale as ones
// over the normalised dims, and with `reshape` scale and bias in the shape of those dims.
std::vector<std::string> layer_norm_inputs(Converter& c, const LayerNormPlan& p, bool reshape, int64_t out,
                                           const NameMaker& names) {
    auto computed = [&](int64_t id, std::string_view purpose) {
        return p.compute ? operand_as(c, id, *p.compute, purpose, out) : c.get_tensor_name(id);
    };
    std::vector<std::string> inputs{computed(p.ids[0], "layer_norm_input")};
    // The normalised dims as a shape tensor: constant where they are known, else read from x
    // at run time.
    const std::string shape = names("param_shape");
    if (reshape || p.scale_id == 0) {
        std::vector<int64_t> normalized;
        if (p.dims) normalized.assign(p.dims->begin() + p.b, p.dims->end());
        if (p.dims && std::all_of(normalized.begin(), normalized.end(), [](int64_t d) { return d >= 0; })) {
            c.push_i64_vector_initializer(shape, normalized);
        } else {
            const std::string full = names("input_shape");
            c.append_node("Shape", {c.get_tensor_name(p.ids[0])}, {full});
            c.add_slice_node(full, shape, {p.dims ? p.b : p.begin}, {std::numeric_limits<int64_t>::max()},
                             std::vector<int64_t>{0}, std::nullopt, shape);
        }
    }
    if (p.scale_id == 0) {
        // Paddle reads an absent scale as ones over the normalised dims.
        const int32_t type =
            p.compute.value_or(c.onnx_dtype_if_known(p.ids[0]).value_or(proto::dtype::FLOAT));
        proto::TensorProto one = c.raw_tensor("", {1}, type, c.encode_scalar_f64_as_raw_data(type, 1.0));
        c.append_node("ConstantOfShape", {shape}, {names("scale")},
                      {helper::attr_tensor("value", std::move(one))});
        inputs.push_back(names("scale"));
    }
    for (const auto& [id, purpose] : {std::pair{p.scale_id, "scale"}, std::pair{p.bias_id, "bias"}}) {
        if (id == 0) continue;  // no bias: LayerNormalization's last input is optional
        std::string name = computed(id, fmt::format("layer_norm_{}", purpose));
        if (reshape) {
            std::string shaped = fmt::format("layer_norm_{}_shaped_{}", purpose, out);
            c.append_node("Reshape", {std::move(name), shape}, {shaped});
            name = std::move(shaped);
        }
        inputs.push_back(std::move(name));
    }
    return inputs;
}

// Paddle's mean and variance over the normalised dims of `normalised_input`, one value for
// each position of the leading dims, written as the outputs a later operator reads.
void layer_norm_statistics(Converter& c, const LayerNormPlan& p, const std::string& normalised_input,
                           std::optional<int32_t> x_type, const NameMaker& names) {
    // The leading dims flattened into one, their product where every one is known.
    int64_t count = 1;
    for (int64_t k = 0; k < p.b && count >= 0; ++k) {
        const int64_t d = (*p.dims)[static_cast<size_t>(k)];
        count = d < 0 ? -1 : helper::checked_mul(count, d).value_or(-1);
    }
    std::vector<int64_t> axes;
    for (int64_t a = p.b; a < p.rank; ++a) axes.push_back(a);
    int32_t type = p.compute.value_or(x_type.value_or(proto::dtype::FLOAT));
    const auto [mean, variance] = moments(c, normalised_input, type, axes, p.variance_out != 0, names);
    const std::string shape = names("stats_shape");
    c.push_i64_vector_initializer(shape, {-1});
    if (p.mean_out != 0)
        write_statistic(c, "layer_norm", p.mean_out, p.ids[0], mean, type, {count}, shape, {}, names, "mean");
    if (p.variance_out != 0)
        write_statistic(c, "layer_norm", p.variance_out, p.ids[0], variance, type, {count}, shape, {}, names,
                        "variance");
}

}  // namespace

void Converter::op_layer_norm(const Json& op) {
    LayerNormPlan p;
    p.ids = helper::op_input_ids(op);
    const std::vector<int64_t>& ids = p.ids;
    require_float_operand("layer_norm", ids[0]);
    // The normalised result has x's dims, whatever the program declares for it.
    settle_output_like("layer_norm", helper::op_out_id(op), {ids[0]});
    p.scale_id = ids.size() > 1 ? ids[1] : 0;
    p.bias_id = ids.size() > 2 ? ids[2] : 0;
    p.dims = state.tensor_shapes.find(ids[0]);
    p.rank = p.dims ? static_cast<int64_t>(p.dims->size()) : int64_t{0};
    p.begin = helper::op_attr_i64(op, "begin_norm_axis").value_or(1);
    p.b = p.begin < 0 ? p.begin + p.rank : p.begin;
    const std::vector<int64_t>* dims = p.dims;
    const int64_t b = p.b;
    // Paddle's scale and bias are flat over all the normalised dims; LayerNormalization
    // broadcasts them against those dims, so over more than one they need their shape.
    const bool reshape = dims && b >= 0 && b < p.rank - 1;
    // LayerNormalization takes the data, scale and bias in one type.
    p.compute = mixed_compute_type(*this, ids[0], {p.scale_id, p.bias_id});
    if (opset >= 17 && dims && (b < 0 || b >= p.rank))
        throw Error("layer_norm begin_norm_axis {} is outside the {} dims of its input", p.begin, p.rank);
    check_layer_norm_params(*this, p);
    // Paddle's mean and variance over the normalised dims, one value for each position of
    // the leading dims, computed only when a later operator reads them (LayerNormalization
    // gives an inverse standard deviation, in the leading dims followed by 1s).
    const std::vector<int64_t> outs = output_ids_by_position(op);
    p.mean_out = opset >= 17 ? read_output(*this, outs, 1) : 0;
    p.variance_out = opset >= 17 ? read_output(*this, outs, 2) : 0;
    const int64_t statistic = p.mean_out != 0 ? p.mean_out : p.variance_out;
    const char* statistic_name = p.mean_out != 0 ? "mean" : "variance";
    if (statistic != 0 && !dims)
        throw Error("layer_norm: output {} ({}) is read, but the rank of its input is unknown", statistic,
                    statistic_name);
    // Over normalised dims holding no elements the result is as empty as x; ONNX Runtime's
    // LayerNormalization fails on them, so x itself is the result.
    if (opset >= 17 && dims && b >= 0 && b < p.rank &&
        std::any_of(dims->begin() + b, dims->end(), [](int64_t d) { return d == 0; })) {
        if (statistic != 0)
            throw Error("layer_norm: output {} ({}) is read, but its normalised dims hold no elements",
                        statistic, statistic_name);
        append_node("Identity", {get_tensor_name(ids[0])}, {get_tensor_name(helper::op_out_id(op))});
        return;
    }
    // LayerNormalization requires a scale, and ONNX Runtime crashes on one whose absent bias
    // is written as an empty input name: the forms without either are lowered here too.
    if (opset < 17 || (p.scale_id != 0 && p.bias_id != 0 && !reshape && !p.compute && statistic == 0)) {
        convert_generic_op("layer_norm", op);
        return;
    }

    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"layer_norm", out};
    std::vector<std::string> inputs = layer_norm_inputs(*this, p, reshape, out, names);
    std::vector<std::string> outputs = generic_value_names("layer_norm", op, "O", "output");
    if (outputs.size() > 3)
        throw Error("layer_norm has {} outputs: ONNX LayerNormalization gives at most 3 at opset {}",
                    outputs.size(), opset);
    std::vector<proto::AttributeProto> attrs;
    if (const Json* a = helper::member(op, "A")) attrs = extract_attributes("layer_norm", *a);
    attr::conform_attributes("layer_norm", "LayerNormalization", opset, attrs);
    const std::optional<int32_t> x_type = onnx_dtype_if_known(ids[0]);
    const bool cast_back = p.compute && p.compute != x_type && !outputs.empty();
    std::string y = outputs.empty() ? std::string() : outputs[0];
    if (cast_back) outputs[0] = names("computed");
    // The statistics Paddle gives are not the node's: its other outputs are then left out.
    if (statistic != 0) outputs.resize(1);
    const std::string normalised_input = inputs[0];
    append_node("LayerNormalization", std::move(inputs), outputs, std::move(attrs));
    if (cast_back) add_cast_node(outputs[0], std::move(y), *x_type);
    if (statistic != 0) layer_norm_statistics(*this, p, normalised_input, x_type, names);
}

}  // namespace kestro
