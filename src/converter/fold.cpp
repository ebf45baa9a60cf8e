// First-pass constant folding: the values of small tensors that lowerings need at
// conversion time (axes, shapes, fill values, shifts), recorded in `const_values` as
// 64-bit floats under the id of the operator's first output. Folders never emit nodes.
#include <cmath>
#include <limits>

#include "converter/converter.h"

namespace kestro {

namespace {

std::string_view op_name(const Json& op) {
    const Json* name = helper::member(op, "#");
    return name ? helper::as_str(*name).value_or(std::string_view{}) : std::string_view{};
}

// Elements of an array that read as numbers, in order; the others are skipped.
std::vector<double> numbers_of(const Json* data) {
    return data ? helper::numbers_as_f64(*data) : std::vector<double>{};
}

namespace dt = proto::dtype;

// The integer element types a cast or an arithmetic fold produces.
struct IntType {
    int32_t code;
    int bits;
    bool is_signed;
};

constexpr IntType kIntTypes[] = {
    {dt::INT8, 8, true},   {dt::UINT8, 8, false}, {dt::INT16, 16, true},
    {dt::INT32, 32, true}, {dt::INT64, 64, true},
};

const IntType* int_type(int32_t code) {
    for (const auto& t : kIntTypes)
        if (t.code == code) return &t;
    return nullptr;
}

// v modulo 2^bits, read back in the type's range: what a narrowing integer conversion and
// integer arithmetic that overflows give on the machines Paddle runs on.
int64_t wrap_to(uint64_t v, const IntType& t) {
    if (t.bits == 64) return static_cast<int64_t>(v);
    const uint64_t mask = (uint64_t{1} << t.bits) - 1;
    v &= mask;
    if (t.is_signed && ((v >> (t.bits - 1)) & 1u)) v |= ~mask;
    return static_cast<int64_t>(v);
}

// A binary floating-point format: significand bits (with the implicit one), the smallest
// normal exponent and the largest finite value.
struct FloatFormat {
    std::string_view word;
    int digits;
    int min_exp;
    double max_finite;
};

constexpr FloatFormat kFloat16{"float16", 11, -14, 65504.0};
constexpr FloatFormat kBfloat16{"bfloat16", 8, -126, 3.3895313892515355e38};
constexpr FloatFormat kFloat32{"float32", 24, -126, 3.4028234663852886e38};

const FloatFormat* float_format(int32_t code) {
    if (code == dt::FLOAT) return &kFloat32;
    if (code == dt::FLOAT16) return &kFloat16;
    return nullptr;
}

// Rounds to the nearest value of the format, ties to even, as a runtime cast does;
// magnitudes past the largest finite value (after rounding) become infinite.
double round_to_format(double v, const FloatFormat& f) {
    if (!std::isfinite(v) || v == 0.0) return v;
    int exp = 0;
    std::frexp(v, &exp);  // |v| in [2^(exp-1), 2^exp)
    const int e = std::max(exp - 1, f.min_exp);
    const double quantum = std::ldexp(1.0, e - (f.digits - 1));
    const double r = std::nearbyint(v / quantum) * quantum;
    if (std::fabs(r) > f.max_finite) return std::copysign(std::numeric_limits<double>::infinity(), v);
    return r;
}

// The most elements a fill is folded into one by one.
constexpr int64_t kMaxElementwiseFill = 1024;

// What a folder of one tensor input starts from: its output id, how many inputs it has and
// the folded values of the first.
struct FoldInput {
    int64_t in;
    int64_t out;
    size_t input_count;
    const std::vector<double>* values;
    ConstValues::Shared shared;  // the same numbers, for a folder that keeps them unchanged
};

// Nothing when there is nothing to fold: no output id, no input, or an input with no folded
// value. An input without a value must not be produced by a later operator either, or the
// program reads a constant before it is defined.
std::optional<FoldInput> folded_input(const ConverterState& state, const Json& op, size_t index,
                                      const ProducerIndex& producers) {
    const auto out = helper::try_op_out_id(op);  // none: nothing to record, not an error
    if (!out) return std::nullopt;
    const auto ids = helper::op_input_ids(op);
    if (ids.empty()) return std::nullopt;
    const ConstValues::Shared* values = state.const_values.find_shared(ids[0]);
    if (!values) {
        Converter::ensure_constant_not_defined_later(ids[0], index, producers, op_name(op));
        return std::nullopt;
    }
    return FoldInput{ids[0], *out, ids.size(), values->get(), *values};
}

}  // namespace

Pass1Folder Converter::pass1_constant_folder(std::string_view name) {
    const auto exact = [](std::string_view n) -> Pass1Folder {
        if (n == "1.full" || n == "1.assign_value_" || n == "1.full_int_array")
            return &Converter::fold_literal_constant;
        if (n == "1.cast") return &Converter::fold_cast_constant;
        if (n == "1.scale") return &Converter::fold_scale_constant;
        if (n == "1.squeeze" || n == "1.squeeze_" || n == "1.unsqueeze" || n == "1.unsqueeze_" ||
            n == "1.reshape" || n == "1.flatten")
            return &Converter::fold_value_preserving_shape_constant;
        return nullptr;
    };
    if (Pass1Folder folder = exact(name)) return folder;
    // An in-place form ("1.scale_") computes what its operator computes: the same folder.
    while (!name.empty() && name.back() == '_') name.remove_suffix(1);
    return exact(name);
}

void Converter::fold_literal_constant(const Json& op, size_t, const ProducerIndex&) {
    const auto out = helper::try_op_out_id(op);  // none: nothing to record, not an error
    if (!out) return;
    std::vector<double> values;
    const auto numbers = [&](const char* attr) {
        const Json* data = helper::attr(op, attr);
        if (data && data->IsArray())
            reserve_materialized(uint64_t{helper::list_size(*data)} * sizeof(double), op_name(op));
        return numbers_of(data);
    };
    const std::string_view name = op_name(op);
    if (name == "1.assign_value_") {
        values = numbers("values");
    } else if (auto v = helper::attr_f64(op, "value")) {
        values.push_back(*v);
    } else {
        values = numbers("value");
    }
    // The tensor holds the numbers as its element type holds them: full(2.7, int32) is 2.
    // An integer array's numbers are integers already and wrap; the others convert as a
    // cast from a float does.
    const Json* dtype = helper::attr(op, "dtype");
    if (auto word = dtype ? helper::as_str(*dtype) : std::nullopt) {
        const std::string_view bare = name.substr(name.substr(0, 2) == "1." ? 2 : 0);
        values = cast_constant_values(std::move(values), *word, bare.substr(0, 14) == "full_int_array",
                                      fmt::format("{} value", bare));
    }
    // A fill of a few elements is recorded element by element: a lowering reading it as
    // repeats, shifts or sizes must see as many numbers as the tensor has. A larger fill
    // keeps its one number, which the fill's own lowering repeats.
    if (values.size() == 1 && (name == "1.full" || name == "1.full_")) {
        std::optional<int64_t> count = 1;
        for (int64_t d : helper::op_attr_i64_items(op, "shape"))
            count = count && d >= 0 ? helper::checked_mul(*count, d) : std::nullopt;
        if (count && *count > 1 && *count <= kMaxElementwiseFill) {
            reserve_materialized(uint64_t(*count) * sizeof(double), name);
            values.assign(static_cast<size_t>(*count), values[0]);
        }
    }
    state.const_values.insert(*out, std::move(values));
}

void Converter::fold_cast_constant(const Json& op, size_t index, const ProducerIndex& producers) {
    const auto input = folded_input(state, op, index, producers);
    if (!input) return;
    const Json* dtype = helper::attr(op, "dtype");
    auto word = dtype ? helper::as_str(*dtype) : std::nullopt;
    if (!word) {
        state.const_values.insert_shared(input->out, std::move(input->shared));
        return;
    }
    // Integers narrow by wrapping at any magnitude; floats go through the truncation.
    const std::optional<int32_t> source = onnx_dtype_if_known(input->in);
    const bool from_integer =
        source && (helper::is_integer_onnx_dtype(*source) || *source == dt::BOOL);
    reserve_materialized(input->values->size() * sizeof(double), "cast");
    state.const_values.insert(
        input->out, cast_constant_values(*input->values, *word, from_integer, "constant"));
}

void Converter::fold_scale_constant(const Json& op, size_t index, const ProducerIndex& producers) {
    const auto input = folded_input(state, op, index, producers);
    if (!input) return;
    // The scale comes from a tensor input: not known here.
    if (input->input_count > 1) return;
    const double scale = helper::attr_f64(op, "scale").value_or(1.0);
    const double bias = helper::attr_f64(op, "bias").value_or(0.0);
    const Json* after = helper::attr(op, "bias_after_scale");
    const bool bias_first = after && after->IsBool() && !after->GetBool();
    reserve_materialized(input->values->size() * sizeof(double), "scale");
    std::vector<double> values = *input->values;
    // Paddle computes in the element type, with the factor and the bias cast to it first.
    std::optional<int32_t> type = onnx_dtype_if_known(input->out);
    if (!type) type = onnx_dtype_if_known(input->in);
    if (const IntType* t = type ? int_type(*type) : nullptr) {
        // Integers: scale 2.5 multiplies by 2, and overflow wraps.
        const auto s = static_cast<uint64_t>(
            helper::saturate_i64(paddle_cast(scale, t->code, false, "scale attribute scale")));
        const auto b = static_cast<uint64_t>(
            helper::saturate_i64(paddle_cast(bias, t->code, false, "scale attribute bias")));
        for (double& v : values) {
            const auto x = static_cast<uint64_t>(
                helper::saturate_i64(paddle_cast(v, t->code, true, "scale input constant")));
            v = static_cast<double>(wrap_to(bias_first ? (x + b) * s : x * s + b, *t));
        }
    } else if (const FloatFormat* f = type ? float_format(*type) : nullptr) {
        // Each operation rounds to the format; one rounding in double first changes no
        // result, as a double holds more than twice the format's digits.
        const double s = round_to_format(scale, *f), b = round_to_format(bias, *f);
        for (double& v : values) {
            const double x = round_to_format(v, *f);
            v = bias_first ? round_to_format(round_to_format(x + b, *f) * s, *f)
                           : round_to_format(round_to_format(x * s, *f) + b, *f);
        }
    } else {
        // Rounded product and rounded sum, never fused (the build disables contraction).
        for (double& v : values) {
            if (bias_first) {
                const double sum = v + bias;
                v = sum * scale;
            } else {
                const double product = v * scale;
                v = product + bias;
            }
        }
    }
    state.const_values.insert(input->out, std::move(values));
}

void Converter::fold_value_preserving_shape_constant(const Json& op, size_t index,
                                                     const ProducerIndex& producers) {
    const auto input = folded_input(state, op, index, producers);
    if (!input) return;
    // The numbers do not change: share them.
    state.const_values.insert_shared(input->out, std::move(input->shared));
}

void Converter::ensure_constant_not_defined_later(int64_t input, size_t index,
                                                  const ProducerIndex& producers,
                                                  std::string_view op_name) {
    auto it = producers.find(input);
    if (it != producers.end() && it->second > index)
        throw Error("constant folding for {} saw input {} before its constant producer at op "
                    "index {}",
                    op_name, input, it->second);
}

double Converter::paddle_cast(double v, int32_t dtype, bool from_integer, std::string_view what) {
    if (dtype == dt::BOOL) return v != 0.0 ? 1.0 : 0.0;  // NaN is not zero: true
    if (const FloatFormat* f = float_format(dtype)) return round_to_format(v, *f);
    const IntType* t = int_type(dtype);
    if (!t) return v;
    const char* word = helper::onnx_dtype_name(dtype);
    if (!std::isfinite(v))
        throw Error("cannot cast non-finite {} {} to {}", what, helper::fmt_f64(v), word);
    const double r = std::trunc(v);
    if (from_integer)
        return static_cast<double>(wrap_to(static_cast<uint64_t>(helper::saturate_i64(r)), *t));
    // From a float the machine converts to 32 bits (64 for int64) and narrower types keep
    // the low bits: -1.0 to uint8 is 255, 300.0 to int8 is 44. Past those 32 (or 64) bits the
    // result is undefined. The int64 limit is 2^63 itself, so Paddle's INT64_MAX markers
    // (which read as 2^63 once in a float) pass; consumers saturate them.
    constexpr double two31 = 2147483648.0, two63 = 9223372036854775808.0;
    const bool fits = t->bits == 64 ? r >= -two63 && r <= two63 : r >= -two31 && r < two31;
    if (!fits) throw Error("{} {} is out of range for {}", what, helper::fmt_f64(v), word);
    if (t->bits == 64) return r + 0.0;  // an integer has no negative zero
    return static_cast<double>(wrap_to(static_cast<uint64_t>(static_cast<int64_t>(r)), *t));
}

std::vector<double> Converter::cast_constant_values(std::vector<double> values,
                                                    std::string_view target, bool from_integer,
                                                    std::string_view what) {
    std::optional<int32_t> code = helper::paddle_dtype_token_to_onnx(target);
    if (!code && target != kBfloat16.word) return values;  // wider or unknown: unchanged
    for (double& v : values)
        v = code ? paddle_cast(v, *code, from_integer, what) : round_to_format(v, kBfloat16);
    return values;
}

}  // namespace kestro
