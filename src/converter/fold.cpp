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

// Elements of a non-empty array that read as numbers, in order; the others are skipped.
std::vector<double> numbers_of(const Json* data) {
    std::vector<double> values;
    if (!data || !data->IsArray() || data->Empty()) return values;
    values.reserve(data->Size());
    for (const auto& v : data->GetArray())
        if (auto d = helper::value_as_f64(v)) values.push_back(*d);
    return values;
}

struct IntRange {
    std::string_view word;
    double lo, hi;
};

// Inclusive limits as 64-bit floats. The int64 upper limit is 2^63 itself, so Paddle's
// INT64_MAX markers (which read as 2^63 once in a float) pass; consumers saturate them.
constexpr IntRange kIntRanges[] = {
    {"int8", -128.0, 127.0},
    {"uint8", 0.0, 255.0},
    {"int16", -32768.0, 32767.0},
    {"int32", -2147483648.0, 2147483647.0},
    {"int64", -9223372036854775808.0, 9223372036854775808.0},
};

// A binary floating-point format: significand bits (with the implicit one), the smallest
// normal exponent and the largest finite value.
struct FloatFormat {
    std::string_view word;
    int digits;
    int min_exp;
    double max_finite;
};

constexpr FloatFormat kFloatFormats[] = {
    {"float16", 11, -14, 65504.0},
    {"bfloat16", 8, -126, 3.3895313892515355e38},
    {"float32", 24, -126, 3.4028234663852886e38},
};

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

// What a folder of one tensor input starts from: its output id, how many inputs it has and
// the folded values of the first.
struct FoldInput {
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
    return FoldInput{*out, ids.size(), values->get(), *values};
}

}  // namespace

Pass1Folder Converter::pass1_constant_folder(std::string_view name) {
    if (name == "1.full" || name == "1.assign_value_" || name == "1.full_int_array")
        return &Converter::fold_literal_constant;
    if (name == "1.cast") return &Converter::fold_cast_constant;
    if (name == "1.scale") return &Converter::fold_scale_constant;
    if (name == "1.squeeze" || name == "1.squeeze_" || name == "1.unsqueeze" ||
        name == "1.unsqueeze_" || name == "1.reshape" || name == "1.flatten")
        return &Converter::fold_value_preserving_shape_constant;
    return nullptr;
}

void Converter::fold_literal_constant(const Json& op, size_t, const ProducerIndex&) {
    const auto out = helper::try_op_out_id(op);  // none: nothing to record, not an error
    if (!out) return;
    std::vector<double> values;
    const auto numbers = [&](const char* attr) {
        const Json* data = helper::attr(op, attr);
        if (data && data->IsArray())
            reserve_materialized(uint64_t{data->Size()} * sizeof(double), op_name(op));
        return numbers_of(data);
    };
    if (op_name(op) == "1.assign_value_") {
        values = numbers("values");
    } else if (auto v = helper::attr_f64(op, "value")) {
        values.push_back(*v);
    } else {
        values = numbers("value");
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
    reserve_materialized(input->values->size() * sizeof(double), "cast");
    state.const_values.insert(input->out, cast_constant_values(*input->values, *word));
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

std::vector<double> Converter::cast_constant_values(const std::vector<double>& values,
                                                    std::string_view target) {
    std::vector<double> out;
    out.reserve(values.size());
    if (target == "bool") {
        for (double v : values) {
            if (std::isnan(v)) throw Error("cannot cast NaN constant to bool");
            out.push_back(v != 0.0 ? 1.0 : 0.0);
        }
        return out;
    }
    for (const auto& range : kIntRanges) {
        if (target != range.word) continue;
        for (double v : values) {
            if (!std::isfinite(v))
                throw Error("cannot cast non-finite constant {} to {}", helper::fmt_f64(v),
                            range.word);
            if (v < range.lo || v > range.hi)
                throw Error("constant {} is out of range for {}", helper::fmt_f64(v), range.word);
            if (v != std::trunc(v))
                throw Error("cannot cast non-integer constant {} to {} without losing precision",
                            helper::fmt_f64(v), range.word);
            out.push_back(v);
        }
        return out;
    }
    // A floating target keeps each value as the runtime will see it: rounded to the
    // target's precision (overflowing to infinity). Wider or unknown targets keep the value.
    for (const auto& format : kFloatFormats) {
        if (target != format.word) continue;
        for (double v : values) out.push_back(round_to_format(v, format));
        return out;
    }
    return values;
}

}  // namespace kestro
