// Constant tensors, cast and clip, and the scalar input helpers that several lowerings
// share.
#include <cstring>

#include "converter/converter.h"
#include "log.h"

namespace kestro {

namespace {

constexpr const char* kTarget = "kestro::converter::ops::array";

// A constant expanded at conversion time may hold at most this many elements; a filled
// tensor beyond it would cost gigabytes in memory and in the output file.
constexpr int64_t kMaxMaterializedElements = int64_t{1} << 28;

// Number list of an attribute: every element that reads as a number (plain, the special
// texts, or an object through its "D"/"VD"); others are skipped.
std::vector<double> collect_f64_items(const Json& values) {
    std::vector<double> out;
    if (!values.IsArray()) return out;
    for (const Json& v : values.GetArray())
        if (auto d = helper::value_as_f64(v)) out.push_back(*d);
    return out;
}

std::vector<int64_t> shape_attr(const Json& op) {
    const Json* d = helper::attr(op, "shape");
    return d && d->IsArray() ? helper::collect_i64_items(*d) : std::vector<int64_t>{};
}

// Element count of non-negative dims; empty on overflow. A 0 dim makes the count 0
// whatever the other dims say.
std::optional<int64_t> element_count(const std::vector<int64_t>& dims) {
    for (int64_t d : dims)
        if (d == 0) return 0;
    int64_t count = 1;
    for (int64_t d : dims) {
        auto next = helper::checked_mul(count, d);
        if (!next) return std::nullopt;
        count = *next;
    }
    return count;
}

bool has_negative(const std::vector<int64_t>& dims) {
    for (int64_t d : dims)
        if (d < 0) return true;
    return false;
}

// The bytes of `values`, or of `values[0]` repeated `repeat` times when `repeat` > 0.
std::vector<uint8_t> encode_elements(int32_t dtype, const std::vector<double>& values,
                                     int64_t repeat) {
    std::vector<uint8_t> out;
    if (repeat > 0) {
        const std::vector<uint8_t> one = Converter::encode_scalar_f64_as_raw_data(dtype, values[0]);
        const size_t n = static_cast<size_t>(repeat);
        out.resize(one.size() * n);
        for (size_t k = 0; k < n; ++k) std::memcpy(out.data() + k * one.size(), one.data(), one.size());
        return out;
    }
    for (double v : values) {
        const std::vector<uint8_t> b = Converter::encode_scalar_f64_as_raw_data(dtype, v);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

// Integer list that takes only {"D": integer} objects; bare integers are skipped.
std::vector<int64_t> collect_wrapped_i64_items(const Json& values) {
    std::vector<int64_t> out;
    if (!values.IsArray()) return out;
    for (const Json& v : values.GetArray())
        if (const Json* d = helper::member(v, "D"))
            if (auto i = helper::as_i64(*d)) out.push_back(*i);
    return out;
}

std::vector<int64_t> i64_list_attr(const Json& op, std::string_view name, bool wrapped_only) {
    const Json* d = helper::attr(op, name);
    if (!d || !d->IsArray()) return {};
    return wrapped_only ? collect_wrapped_i64_items(*d) : helper::collect_i64_items(*d);
}

bool is_integer_dtype(int32_t code) {
    using namespace proto::dtype;
    return code == UINT8 || code == INT8 || code == INT16 || code == INT32 || code == INT64 ||
           code == UINT16 || code == UINT32 || code == UINT64;
}

}  // namespace

void Converter::op_full(std::string_view full_name, const Json& op) {
    int64_t out = 0;
    try {
        out = helper::op_out_id(op);
    } catch (const Error&) {
        return;  // nothing to name: the folder recorded nothing either
    }
    const std::vector<double>* folded = state.const_values.find(out);
    if (!folded) return;
    const std::vector<double> values = *folded;
    const std::vector<int64_t> shape = shape_attr(op);

    const bool int_array = full_name == "1.full_int_array";
    int32_t dtype = proto::dtype::INT64;
    if (auto word = helper::attr_str_value(op, "dtype")) {
        if (auto code = helper::paddle_dtype_token_to_onnx(*word))
            dtype = *code;
        else if (!int_array)
            throw Error("full: unsupported dtype {}", *word);
    }
    std::string name = get_tensor_name(out);

    const int64_t n = static_cast<int64_t>(values.size());
    std::vector<int64_t> dims;
    int64_t count = 0;                 // elements the shape asks for; -1 when dynamic
    int64_t repeat = 0;                // > 0 when one value fills the whole shape
    int64_t elements = n;
    if (has_negative(shape)) {
        KLOG(Level::Warn, kTarget, "full initializer {} has dynamic shape {}; materializing as 1D fallback",
             name, helper::fmt_dims(shape));
        dims = {n};
        count = -1;
    } else {
        // An integer array whose shape overflows keeps its values as a 1-D tensor below.
        auto c = element_count(shape);
        if (!c && !int_array)
            throw Error("{} initializer shape {} has more than {} elements", full_name,
                        helper::fmt_dims(shape), kMaxMaterializedElements);
        count = c.value_or(-1);
        dims = shape;
        if (count == 0) {
            elements = 0;
        } else if (!shape.empty() && count >= 2 && n == 1) {
            repeat = count;
            elements = count;
        }
    }
    // An integer array is at least one-dimensional, and its values win over a shape that
    // does not fit them.
    if (int_array && (dims.empty() || count != elements)) {
        dims = {n};
        repeat = 0;
        elements = n;
    }
    if (elements > kMaxMaterializedElements)
        throw Error("{} initializer shape {} has more than {} elements", full_name,
                    helper::fmt_dims(dims), kMaxMaterializedElements);
    const int64_t expected = *element_count(dims);  // dims were checked for overflow above
    if (expected != elements)
        throw Error("{} initializer shape {} expects {} values, got {}", full_name,
                    helper::fmt_dims(dims), expected, elements);

    std::vector<uint8_t> bytes =
        elements == 0 ? std::vector<uint8_t>{} : encode_elements(dtype, values, repeat);
    graph.initializer.push_back(raw_tensor(std::move(name), std::move(dims), dtype, std::move(bytes)));
}

void Converter::op_assign_value(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    auto word = helper::attr_str_value(op, "dtype");
    if (!word) throw Error("assign_value_: missing dtype");
    auto dtype = helper::paddle_dtype_token_to_onnx(*word);
    if (!dtype) throw Error("assign_value_: unsupported dtype {}", *word);
    const std::vector<int64_t> shape = shape_attr(op);
    const Json* values_attr = helper::attr(op, "values");
    const std::vector<double> values =
        values_attr ? collect_f64_items(*values_attr) : std::vector<double>{};
    std::string name = get_tensor_name(out);

    std::vector<int64_t> dims = shape;
    if (dims.empty() && values.size() > 1) dims = {static_cast<int64_t>(values.size())};
    // A negative dim or an overflowing product would otherwise wrap around into a count
    // that happens to match, and write a tensor whose dims contradict its data.
    if (has_negative(dims))
        throw Error("assign_value_ shape {} has a negative dim", helper::fmt_dims(dims));
    auto count = element_count(dims);
    if (!count)
        throw Error("assign_value_ shape {} has too many elements", helper::fmt_dims(dims));
    if (*count != static_cast<int64_t>(values.size()))
        throw Error("assign_value_ shape {} expects {} values, got {}", helper::fmt_dims(dims),
                    *count, values.size());
    std::vector<uint8_t> bytes = encode_elements(*dtype, values, 0);
    graph.initializer.push_back(raw_tensor(std::move(name), std::move(dims), *dtype, std::move(bytes)));
}

void Converter::op_cast(const Json& op) {
    auto word = helper::attr_str_value(op, "dtype");
    if (!word) throw Error("cast: missing dtype");
    auto to = helper::paddle_dtype_token_to_onnx(*word);
    if (!to) throw Error("cast: unsupported dtype {}", *word);
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    if (ids.empty()) throw Error("cast missing inputs");
    const int64_t out = helper::op_out_id(op);
    std::string input = get_tensor_name(ids[0]);
    add_cast_node(std::move(input), get_tensor_name(out), *to);
}

void Converter::op_clip(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    if (ids.empty()) throw Error("clip missing inputs");
    const std::optional<int32_t> x_type = maybe_onnx_dtype_for_tensor_id(ids[0]);
    // Clip accepts integer tensors only from opset 12; below it the model would not load.
    if (x_type && is_integer_dtype(*x_type))
        require_opset(fmt::format("clip of {} tensors", helper::onnx_dtype_name(*x_type)), 12);

    if (opset < 11) {
        // Before opset 11 the bounds are float attributes, so they must be known now.
        std::vector<proto::AttributeProto> attributes;
        for (size_t i = 1; i < ids.size() && i <= 2; ++i) {
            if (ids[i] == 0) continue;
            const std::vector<double>* bound = state.const_values.find(ids[i]);
            if (!bound || bound->empty()) require_opset("clip with tensor bounds", 11);
            attributes.push_back(helper::attr_float(i == 1 ? "min" : "max", static_cast<float>((*bound)[0])));
        }
        append_node("Clip", {get_tensor_name(ids[0])}, {get_tensor_name(out)}, std::move(attributes));
        return;
    }

    std::vector<std::string> inputs{get_tensor_name(ids[0])};
    for (size_t i = 1; i < ids.size(); ++i) {
        std::string name = get_tensor_name(ids[i]);
        if (ids[i] != 0) {
            // Clip takes one element type for all inputs...
            if (x_type) {
                auto bound_type = known_onnx_dtype(ids[i]);
                if (bound_type && *bound_type != *x_type) {
                    std::string cast = fmt::format("clip_cast_{}_{}", out, i);
                    add_cast_node(std::move(name), cast, *x_type);
                    name = std::move(cast);
                }
            }
            // ...and scalar bounds, while Paddle hands them over as [1]-shaped tensors.
            const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[i]);
            if (dims && !dims->empty()) {
                std::string scalar = fmt::format("clip_scalar_{}_{}", out, i);
                add_squeeze_node(std::move(name), scalar, std::nullopt);
                name = std::move(scalar);
            }
        }
        inputs.push_back(std::move(name));
    }
    append_node("Clip", std::move(inputs), {get_tensor_name(out)});
}

std::string Converter::ensure_scalar_i64_input(int64_t id, int64_t name_id, std::string_view prefix) {
    std::string current = get_tensor_name(id);
    const std::vector<int64_t>* dims = state.tensor_shapes.find(id);
    if (dims && *dims == std::vector<int64_t>{1}) {
        std::string squeezed = fmt::format("{}_scalar_{}", prefix, name_id);
        add_squeeze_node(std::move(current), squeezed, std::vector<int64_t>{0},
                         fmt::format("{}_scalar_axes_{}", prefix, name_id));
        current = std::move(squeezed);
    }
    const std::string* token = state.tensor_dtypes.find(id);
    if (token && *token == "0.t_i64") return current;
    std::string cast = fmt::format("{}_i64_{}", prefix, name_id);
    add_cast_node(std::move(current), cast, proto::dtype::INT64);
    return cast;
}

bool Converter::scalar_reduce_passthrough(int64_t input_id, int64_t output_id) {
    const std::vector<int64_t>* in_dims = state.tensor_shapes.find(input_id);
    if (!in_dims || !in_dims->empty()) return false;
    std::string input = get_tensor_name(input_id);
    std::string output = get_tensor_name(output_id);
    const std::vector<int64_t>* out_dims = state.tensor_shapes.find(output_id);
    if (out_dims && *out_dims == std::vector<int64_t>{1}) {
        add_unsqueeze_node(std::move(input), std::move(output), {0},
                           fmt::format("scalar_reduce_axes_{}", output_id));
    } else {
        append_node("Identity", {std::move(input)}, {std::move(output)});
    }
    return true;
}

// Lowerings of this module that are not built yet.
void Converter::op_arange(const Json&) { not_supported_yet("1.arange"); }
void Converter::op_expand(const Json&) { not_supported_yet("1.expand"); }
void Converter::op_full_like(const Json&) { not_supported_yet("1.full_like"); }
void Converter::op_full_with_tensor(const Json&) { not_supported_yet("1.full_with_tensor"); }

void Converter::op_slice(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const std::vector<int64_t> axes = i64_list_attr(op, "axes", false);
    const std::vector<int64_t> decrease = i64_list_attr(op, "decrease_axis", true);
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    if (ids.empty()) throw Error("slice missing inputs");
    const std::string sliced = decrease.empty() ? get_tensor_name(out) : fmt::format("slice_out_{}", out);

    if (opset >= 10) {
        // Without both bounds the axes would land in the starts or ends position.
        if (ids.size() < 3) throw Error("slice requires starts and ends inputs");
        // Slice wants one index type for all its bound inputs, and the axes are int64.
        std::vector<std::string> inputs{get_tensor_name(ids[0]), ensure_i64_input(ids[1], out, "slice_starts"),
                                        ensure_i64_input(ids[2], out, "slice_ends")};
        if (!axes.empty()) {
            std::string name = fmt::format("slice_axes_{}", out);
            graph.initializer.push_back(vector_i64(name, axes));
            inputs.push_back(std::move(name));
        }
        append_node("Slice", std::move(inputs), {sliced});
        if (!decrease.empty())
            add_squeeze_node(sliced, get_tensor_name(out), decrease, fmt::format("squeeze_axes_{}", out));
        return;
    }

    // Below opset 10 the bounds are attributes, so they must be known now.
    auto folded = [&](size_t pos, const char* message) {
        const std::vector<double>* values = state.const_values.find(ids[pos]);
        if (!values) throw Error::raw(message);
        return helper::saturate_i64(*values);
    };
    auto attr_list = [&](const char* name, const char* message) {
        const Json* d = helper::attr(op, name);
        if (!d || !d->IsArray()) throw Error::raw(message);
        return helper::collect_i64_items(*d);
    };
    const std::vector<int64_t> starts =
        ids.size() == 1 ? attr_list("starts", "slice requires constant starts for opset < 10")
                        : folded(1, "slice requires constant starts input for opset < 10");
    const std::vector<int64_t> ends =
        ids.size() >= 3 ? folded(2, "slice requires constant ends input for opset < 10")
                        : attr_list("ends", "slice requires constant ends for opset < 10");
    add_slice_node(get_tensor_name(ids[0]), sliced, starts, ends,
                   axes.empty() ? std::nullopt : std::optional<std::vector<int64_t>>(axes), std::nullopt,
                   fmt::format("slice_{}", out));
    if (!decrease.empty())
        add_squeeze_node(sliced, get_tensor_name(out), decrease, fmt::format("slice_decrease_axes_{}", out));
}

void Converter::op_strided_slice(const Json& op) {
    require_opset("strided_slice", 10);
    const int64_t out = helper::op_out_id(op);
    const std::vector<int64_t> ids = helper::op_input_ids(op);
    if (ids.size() < 4) throw Error("strided_slice missing inputs");
    std::vector<int64_t> axes = i64_list_attr(op, "axes", false);
    const std::vector<int64_t> decrease = i64_list_attr(op, "decrease_axis", false);

    if (axes.empty()) {
        // The steps must not fall into the axes position: slice axes 0..n-1, n being the
        // number of starts as recorded or folded.
        std::optional<int64_t> n;
        const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[1]);
        if (dims && dims->size() == 1 && (*dims)[0] >= 0) n = (*dims)[0];
        else if (const std::vector<double>* values = state.const_values.find(ids[1]))
            n = static_cast<int64_t>(values->size());
        if (!n) throw Error("strided_slice without axes needs the number of starts of id {}", ids[1]);
        if (*n > 64) throw Error("strided_slice: {} starts exceed the largest supported rank 64", *n);
        for (int64_t a = 0; a < *n; ++a) axes.push_back(a);
    }
    std::vector<std::string> inputs{get_tensor_name(ids[0]),
                                    ensure_i64_input(ids[1], out, "strided_slice_starts"),
                                    ensure_i64_input(ids[2], out, "strided_slice_ends")};
    std::string axes_name = fmt::format("strided_slice_axes_{}", out);
    graph.initializer.push_back(vector_i64(axes_name, axes));
    inputs.push_back(std::move(axes_name));
    inputs.push_back(ensure_i64_input(ids[3], out, "strided_slice_steps"));
    const std::string sliced = decrease.empty() ? get_tensor_name(out) : fmt::format("strided_slice_out_{}", out);
    append_node("Slice", std::move(inputs), {sliced});
    if (!decrease.empty())
        add_squeeze_node(sliced, get_tensor_name(out), decrease, fmt::format("strided_slice_decrease_axes_{}", out));
}

}  // namespace kestro
