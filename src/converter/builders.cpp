// Shared node and initializer builders. They pick the form an ONNX opset expects (Slice
// bounds, Squeeze/Unsqueeze and reduction axes as attributes or as inputs) but never
// refuse an opset themselves; the lowerings do that.
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>

#include "converter/converter.h"

namespace kestro {

namespace {

template <class U>
void put_le(std::vector<uint8_t>& out, U bits) {
    static_assert(std::is_unsigned_v<U>);
    Converter::append_le_bytes(out, bits, sizeof(U));
}

std::vector<uint8_t> i64_bytes(const std::vector<int64_t>& values) {
    std::vector<uint8_t> out;
    out.reserve(values.size() * 8);
    for (int64_t v : values) put_le(out, static_cast<uint64_t>(v));
    return out;
}

// Dims of a push_*_initializer tensor: empty dims stay a scalar only for exactly one value.
std::vector<int64_t> default_dims(std::vector<int64_t> dims, size_t count) {
    if (dims.empty() && count != 1) return {static_cast<int64_t>(count)};
    return dims;
}

// Rounds to the nearest 32-bit float (ties to even); empty when a finite value overflows.
std::optional<float> round_to_f32(double v) {
    const float f = helper::to_f32_or_inf(v);
    if (std::isfinite(v) && std::isinf(f)) return std::nullopt;
    return f;
}

// Rounds a 32-bit float to the nearest half float, ties to even; overflow gives infinity.
uint16_t f32_to_f16_bits(float f) {
    const uint32_t x = std::bit_cast<uint32_t>(f);
    const uint16_t sign = static_cast<uint16_t>((x >> 16) & 0x8000u);
    const uint32_t abs = x & 0x7FFFFFFFu;
    if (abs >= 0x7F800000u) {
        if (abs > 0x7F800000u) return static_cast<uint16_t>(sign | 0x7E00u);  // quiet NaN
        return static_cast<uint16_t>(sign | 0x7C00u);
    }
    const uint32_t exp = abs >> 23;
    const uint32_t mant = abs & 0x7FFFFFu;
    auto round_shift = [](uint32_t m, uint32_t shift) -> uint32_t {
        if (shift >= 32) return 0;
        const uint32_t q = m >> shift;
        const uint32_t rem = m & ((1u << shift) - 1u);
        const uint32_t half = 1u << (shift - 1);
        return (rem > half || (rem == half && (q & 1u))) ? q + 1 : q;
    };
    if (exp >= 143) return static_cast<uint16_t>(sign | 0x7C00u);  // >= 2^16
    if (exp >= 113) {
        // Normal half: the carry of the rounding may step into the next exponent or to
        // infinity, which the bit layout gives for free.
        const uint32_t bits = ((exp - 112) << 10) | (mant >> 13);
        const uint32_t rem = mant & 0x1FFFu;
        const uint32_t r = (rem > 0x1000u || (rem == 0x1000u && (bits & 1u))) ? bits + 1 : bits;
        return static_cast<uint16_t>(sign | r);
    }
    if (exp == 0) return sign;  // float subnormals are far below the half range
    // Half subnormal: count units of 2^-24.
    const uint32_t m = mant | 0x800000u;
    return static_cast<uint16_t>(sign | round_shift(m, 126 - exp));
}

struct IntRange {
    double min;
    double max;
    size_t bytes;
};

void append_integer(std::vector<uint8_t>& out, int32_t dtype, double value, IntRange range) {
    const auto word = [dtype] { return helper::onnx_dtype_name(dtype); };
    if (!std::isfinite(value))
        throw Error("cannot encode non-finite value {} as {}", helper::fmt_f64(value), word());
    if (std::trunc(value) != value)
        throw Error("cannot encode non-integer value {} as {} without losing precision",
                    helper::fmt_f64(value), word());
    if (value < range.min || value > range.max)
        throw Error("value {} is out of range for {}", helper::fmt_f64(value), word());
    // 2^63 is accepted for INT64 and saturates to the largest signed value.
    const uint64_t bits = static_cast<uint64_t>(helper::saturate_i64(value));
    Converter::append_le_bytes(out, bits, range.bytes);
}

}  // namespace

void Converter::append_le_bytes(std::vector<uint8_t>& out, uint64_t bits, size_t width) {
    for (size_t k = 0; k < width; ++k) out.push_back(static_cast<uint8_t>(bits >> (8 * k)));
}

proto::TensorProto Converter::raw_tensor(std::string name, std::vector<int64_t> dims,
                                         int32_t dtype, std::vector<uint8_t> bytes) {
    proto::TensorProto t;
    t.name = std::move(name);
    t.dims = std::move(dims);
    t.data_type = dtype;
    t.raw_data = proto::Bytes(std::move(bytes));
    return t;
}

proto::TensorProto Converter::i64_tensor(std::string name, std::vector<int64_t> dims,
                                         const std::vector<int64_t>& values) {
    return raw_tensor(std::move(name), std::move(dims), proto::dtype::INT64, i64_bytes(values));
}

proto::TensorProto Converter::f32_tensor(std::string name, std::vector<int64_t> dims,
                                         const std::vector<float>& values) {
    std::vector<uint8_t> bytes;
    bytes.reserve(values.size() * 4);
    for (float v : values) put_le(bytes, std::bit_cast<uint32_t>(v));
    return raw_tensor(std::move(name), std::move(dims), proto::dtype::FLOAT, std::move(bytes));
}

proto::TensorProto Converter::vector_i64(std::string name, const std::vector<int64_t>& values) {
    return i64_tensor(std::move(name), {static_cast<int64_t>(values.size())}, values);
}

void Converter::append_node(std::string op_type, std::vector<std::string> inputs,
                            std::vector<std::string> outputs,
                            std::vector<proto::AttributeProto> attributes) {
    proto::NodeProto node;
    node.op_type = std::move(op_type);
    node.input = std::move(inputs);
    node.output = std::move(outputs);
    node.attribute = std::move(attributes);
    graph.node.push_back(std::move(node));
}

namespace {

// Whether every value of element type `from` is a value of type `to`, so that a cast to `to`
// and back gives every value unchanged.
bool holds_exactly(int32_t from, int32_t to) {
    using namespace proto::dtype;
    if (from == to) return true;
    switch (from) {
        case BOOL:
            return to == INT8 || to == UINT8 || to == INT16 || to == UINT16 || to == INT32 || to == UINT32 ||
                   to == INT64 || to == UINT64 || to == FLOAT16 || to == BFLOAT16 || to == FLOAT || to == DOUBLE;
        case INT8:
            return to == INT16 || to == INT32 || to == INT64 || to == FLOAT16 || to == FLOAT || to == DOUBLE;
        case UINT8:
            return to == INT16 || to == UINT16 || to == INT32 || to == UINT32 || to == INT64 || to == UINT64 ||
                   to == FLOAT16 || to == FLOAT || to == DOUBLE;
        case INT16:
            return to == INT32 || to == INT64 || to == FLOAT || to == DOUBLE;
        case UINT16:
            return to == INT32 || to == UINT32 || to == INT64 || to == UINT64 || to == FLOAT || to == DOUBLE;
        case INT32:
            return to == INT64 || to == DOUBLE;
        case UINT32:
            return to == INT64 || to == UINT64 || to == DOUBLE;
        case FLOAT16:
            return to == FLOAT || to == DOUBLE;
        case FLOAT:
            return to == DOUBLE;
        default:
            return false;
    }
}

}  // namespace

void Converter::add_cast_node(std::string input, std::string output, int32_t to) {
    // A cast back to the type of a value that the cast before it widened exactly gives that
    // value. ONNX Runtime removes such a pair itself when it loads a model, and a subgraph
    // reading the pair's result is then left reading a name nothing defines: the result is
    // made an Identity of the value instead, which the clean-up passes rename away, in
    // subgraphs too.
    if (const ConverterState::CastOf* prior = state.cast_inputs.find(input);
        prior && to != 0 && computed_elem_type(prior->input) == to && holds_exactly(to, prior->to)) {
        append_node("Identity", {prior->input}, {std::move(output)});
        return;
    }
    state.cast_inputs.insert(output, {input, to});
    append_node("Cast", {std::move(input)}, {std::move(output)}, {helper::attr_int("to", to)});
}

void Converter::add_binary_node(std::string op_type, std::string a, std::string b,
                                std::string output) {
    append_node(std::move(op_type), {std::move(a), std::move(b)}, {std::move(output)});
}

void Converter::add_slice_node(std::string input, std::string output,
                               const std::vector<int64_t>& starts,
                               const std::vector<int64_t>& ends,
                               const std::optional<std::vector<int64_t>>& axes,
                               const std::optional<std::vector<int64_t>>& steps,
                               const std::string& prefix) {
    if (starts.size() != ends.size())
        throw Error("Slice starts/ends length mismatch: {} vs {}", starts.size(), ends.size());
    if (axes && axes->size() != starts.size())
        throw Error("Slice axes length {} does not match starts length {}", axes->size(),
                    starts.size());
    if (steps && steps->size() != starts.size())
        throw Error("Slice steps length {} does not match starts length {}", steps->size(),
                    starts.size());

    if (opset < 10) {  // a library caller's opset: the command line refuses opsets below 10
        if (steps) {
            for (int64_t s : *steps)
                if (s != 1) throw Error("Slice with steps != 1 requires opset >= 10");
        }
        std::vector<proto::AttributeProto> attrs{helper::attr_ints("starts", starts),
                                                 helper::attr_ints("ends", ends)};
        if (axes) attrs.push_back(helper::attr_ints("axes", *axes));
        append_node("Slice", {std::move(input)}, {std::move(output)}, std::move(attrs));
        return;
    }

    std::vector<std::string> inputs{std::move(input), prefix + "_starts", prefix + "_ends"};
    push_i64_vector_initializer(prefix + "_starts", starts);
    push_i64_vector_initializer(prefix + "_ends", ends);
    if (axes || steps) {
        std::vector<int64_t> axis_values;
        if (axes) {
            axis_values = *axes;
        } else {
            for (size_t k = 0; k < steps->size(); ++k) axis_values.push_back(static_cast<int64_t>(k));
        }
        push_i64_vector_initializer(prefix + "_axes", axis_values);
        inputs.push_back(prefix + "_axes");
    }
    if (steps) {
        push_i64_vector_initializer(prefix + "_steps", *steps);
        inputs.push_back(prefix + "_steps");
    }
    append_node("Slice", std::move(inputs), {std::move(output)});
}

void Converter::add_reduce_node(std::string op_type, std::string input, std::string output,
                                const std::optional<std::vector<int64_t>>& axes,
                                int64_t keepdims, const std::string& prefix) {
    std::vector<std::string> inputs{std::move(input)};
    std::vector<proto::AttributeProto> attrs;
    // ReduceSum takes its axes as an input from opset 13, the other reductions from 18.
    const int64_t axes_input_from = op_type == "ReduceSum" ? 13 : 18;
    if (axes) {
        if (opset < axes_input_from) {
            // An empty "axes" attribute is refused by ONNX checkers; leaving it out means
            // the same thing: reduce over every axis.
            if (!axes->empty()) attrs.push_back(helper::attr_ints("axes", *axes));
        } else if (!axes->empty() || opset >= 18) {
            // (An empty list left out reduces every axis as well, so below 18 it stays out.)
            push_i64_vector_initializer(prefix + "_axes", *axes);
            inputs.push_back(prefix + "_axes");
        }
    }
    attrs.push_back(helper::attr_int("keepdims", keepdims));
    append_node(std::move(op_type), std::move(inputs), {std::move(output)}, std::move(attrs));
}

void Converter::add_squeeze_node(std::string input, std::string output,
                                 const std::optional<std::vector<int64_t>>& axes,
                                 std::optional<std::string> axes_name) {
    if (!axes) {
        append_node("Squeeze", {std::move(input)}, {std::move(output)});
    } else if (opset < 13) {
        append_node("Squeeze", {std::move(input)}, {std::move(output)},
                    {helper::attr_ints("axes", *axes)});
    } else {
        std::string name = axes_name ? std::move(*axes_name) : std::string("squeeze_axes");
        push_i64_vector_initializer(name, *axes);
        append_node("Squeeze", {std::move(input), std::move(name)}, {std::move(output)});
    }
}

void Converter::add_unsqueeze_node(std::string input, std::string output,
                                   const std::vector<int64_t>& axes, std::string axes_name) {
    if (opset < 13) {
        append_node("Unsqueeze", {std::move(input)}, {std::move(output)},
                    {helper::attr_ints("axes", axes)});
    } else {
        push_i64_vector_initializer(axes_name, axes);
        append_node("Unsqueeze", {std::move(input), std::move(axes_name)}, {std::move(output)});
    }
}

void Converter::add_exact_reshape_node(std::string input, std::string target, int64_t rank,
                                       std::string output, const NameMaker& names,
                                       std::string_view part, const std::vector<int64_t>* known) {
    if (opset >= 14) {
        append_node("Reshape", {std::move(input), std::move(target)}, {std::move(output)},
                    {helper::attr_int("allowzero", 1)});
        return;
    }
    // Below opset 14 a 0 in the target would copy the input's dim. A target holding a real 0
    // describes an empty result, so the input is empty too: it is laid out as ones with its
    // nothing at the target's first 0 and broadcast to the target. Any other input is
    // reshaped to the target, which the broadcast keeps as it is.
    const auto n = [&](std::string_view purpose) { return names(fmt::format("{}_{}", part, purpose)); };
    if (known) {
        const auto zero = std::find(known->begin(), known->end(), 0);
        if (zero == known->end()) {
            append_node("Reshape", {std::move(input), std::move(target)}, {std::move(output)});
            return;
        }
        std::vector<int64_t> layout(known->size(), 1);
        layout[static_cast<size_t>(zero - known->begin())] = -1;
        push_i64_vector_initializer(n("empty_layout"), layout);
        append_node("Reshape", {std::move(input), n("empty_layout")}, {n("laid_out")});
        append_node("Expand", {n("laid_out"), std::move(target)}, {std::move(output)});
        return;
    }
    std::vector<int64_t> positions(static_cast<size_t>(rank));
    for (int64_t k = 0; k < rank; ++k) positions[static_cast<size_t>(k)] = k;
    push_i64_vector_initializer(n("positions"), positions);
    push_i64_initializer(n("zero"), {}, {0});
    push_i64_initializer(n("one"), {}, {1});
    push_i64_initializer(n("minus_one"), {}, {-1});
    add_binary_node("Equal", target, n("zero"), n("zero_dims"));
    add_cast_node(n("zero_dims"), n("zero_dims_i32"), proto::dtype::INT32);
    append_node("ArgMax", {n("zero_dims_i32")}, {n("first_zero")},
                {helper::attr_int("axis", 0), helper::attr_int("keepdims", 1)});
    add_binary_node("Equal", n("positions"), n("first_zero"), n("at_first_zero"));
    append_node("Where", {n("at_first_zero"), n("minus_one"), n("one")}, {n("empty_layout")});
    append_node("Size", {input}, {n("size")});
    add_binary_node("Equal", n("size"), n("zero"), n("is_empty"));
    append_node("Where", {n("is_empty"), n("empty_layout"), target}, {n("layout")});
    append_node("Reshape", {std::move(input), n("layout")}, {n("laid_out")});
    append_node("Expand", {n("laid_out"), std::move(target)}, {std::move(output)});
}

void Converter::push_i64_initializer(std::string name, std::vector<int64_t> dims,
                                     const std::vector<int64_t>& values) {
    graph.initializer.push_back(
        i64_tensor(std::move(name), default_dims(std::move(dims), values.size()), values));
}

void Converter::push_i64_vector_initializer(std::string name, const std::vector<int64_t>& values) {
    graph.initializer.push_back(vector_i64(std::move(name), values));
}

void Converter::push_int64_scalar_initializer(std::string name, int64_t value) {
    push_i64_initializer(std::move(name), {}, {value});
}

void Converter::push_f32_initializer(std::string name, std::vector<int64_t> dims,
                                     const std::vector<float>& values) {
    graph.initializer.push_back(
        f32_tensor(std::move(name), default_dims(std::move(dims), values.size()), values));
}

void Converter::push_scalar_f32_initializer(std::string name, float value) {
    push_f32_initializer(std::move(name), {1}, {value});
}

void Converter::push_numeric_initializer(std::string name, std::vector<int64_t> dims,
                                         int32_t dtype, const std::vector<double>& values) {
    graph.initializer.push_back(raw_tensor(std::move(name), std::move(dims), dtype,
                                           encode_f64_values_as_raw_data(dtype, values)));
}

std::vector<uint8_t> Converter::encode_scalar_f64_as_raw_data(int32_t dtype, double value) {
    std::vector<uint8_t> out;
    append_f64_as_raw_data(out, dtype, value);
    return out;
}

std::vector<uint8_t> Converter::encode_f64_values_as_raw_data(int32_t dtype,
                                                              const std::vector<double>& values) {
    std::vector<uint8_t> out;
    // Sized once: a large constant's bytes are never held twice while they grow.
    if (!values.empty()) out.reserve(values.size() * encode_scalar_f64_as_raw_data(dtype, 0.0).size());
    for (double v : values) append_f64_as_raw_data(out, dtype, v);
    return out;
}

void Converter::append_f64_as_raw_data(std::vector<uint8_t>& out, int32_t dtype, double value) {
    namespace d = proto::dtype;
    switch (dtype) {
        case d::FLOAT: {
            auto f = round_to_f32(value);
            if (!f)
                throw Error("cannot encode out-of-range finite value {} as float32",
                            helper::fmt_f64(value));
            put_le(out, std::bit_cast<uint32_t>(*f));
            return;
        }
        case d::FLOAT16: {
            auto f = round_to_f32(value);
            if (!f)
                throw Error("cannot encode out-of-range finite value {} as float16",
                            helper::fmt_f64(value));
            const uint16_t h = f32_to_f16_bits(*f);
            if (std::isfinite(value) && (h & 0x7C00u) == 0x7C00u)
                throw Error("value {} is out of range for float16", helper::fmt_f64(value));
            put_le(out, h);
            return;
        }
        case d::DOUBLE:
            put_le(out, std::bit_cast<uint64_t>(value));
            return;
        case d::BOOL:
            if (std::isnan(value)) throw Error("cannot encode NaN as bool");
            out.push_back(value == 0.0 ? 0 : 1);
            return;
        case d::UINT8: return append_integer(out, dtype, value, {0.0, 255.0, 1});
        case d::INT8: return append_integer(out, dtype, value, {-128.0, 127.0, 1});
        case d::INT16: return append_integer(out, dtype, value, {-32768.0, 32767.0, 2});
        case d::INT32: return append_integer(out, dtype, value, {-2147483648.0, 2147483647.0, 4});
        case d::INT64:
            return append_integer(out, dtype, value,
                                  {-9223372036854775808.0, 9223372036854775808.0, 8});
        default: throw Error("unsupported initializer dtype {}", helper::onnx_dtype_name(dtype));
    }
}

std::optional<int32_t> Converter::onnx_dtype_if_known(int64_t id) const {
    const int32_t type = recorded_elem_type(state, id);
    return type != 0 ? std::optional<int32_t>(type) : std::nullopt;
}

bool Converter::dtype_token_is(int64_t id, int32_t code) const {
    const std::string* t = state.tensor_dtypes.find(id);
    const std::string_view token = helper::paddle_short_token(code);
    return t && !token.empty() && *t == token;
}

std::optional<int32_t> Converter::maybe_onnx_dtype_for_tensor_id(int64_t id) const {
    const std::string* token = state.tensor_dtypes.find(id);
    if (!token) return std::nullopt;
    if (auto code = onnx_dtype_if_known(id)) return code;
    throw Error("Unsupported Paddle element type: {}", helper::fmt_text(*token));
}

int32_t Converter::onnx_dtype_for_tensor_id(int64_t id) const {
    if (auto code = maybe_onnx_dtype_for_tensor_id(id)) return *code;
    throw Error("missing dtype metadata for tensor {}", id);
}

std::vector<std::string> Converter::tensor_names_for_ids(const std::vector<int64_t>& ids) const {
    std::vector<std::string> names;
    names.reserve(ids.size());
    for (int64_t id : ids) names.push_back(get_tensor_name(id));
    return names;
}

std::vector<std::string> Converter::optional_tensor_names_for_ids(const std::vector<int64_t>& ids) const {
    std::vector<std::string> names;
    names.reserve(ids.size());
    for (int64_t id : ids) names.push_back(optional_tensor_name(id));
    return names;
}

}  // namespace kestro
