// Activations: hardsigmoid, hardswish, leaky relu, gelu (exact and tanh forms), prelu,
// swish/silu, softmax(_).
#include <algorithm>
#include <bit>

#include "converter/converter.h"

namespace kestro {

namespace dt = proto::dtype;

namespace {

// min(max(x * slope + offset, 0), limit) in float64, for which ONNX Runtime has no
// HardSigmoid (nor HardSwish) kernel; the constants are the float attributes Paddle widens.
void clamped_line(Converter& c, const std::string& x, double slope, double offset, double limit,
                  const NameMaker& names, std::string output) {
    auto constant = [&](std::string_view purpose, double v) {
        std::string name = names(purpose);
        c.push_numeric_initializer(name, {}, dt::DOUBLE, {v});
        return name;
    };
    std::string line = x;
    if (slope != 1.0) c.add_binary_node("Mul", x, constant("slope", slope), line = names("scaled"));
    c.add_binary_node("Add", line, constant("offset", offset), names("shifted"));
    c.add_binary_node("Max", names("shifted"), constant("zero", 0.0), names("floor"));
    c.add_binary_node("Min", names("floor"), constant("limit", limit), std::move(output));
}

// The number of elements of known dims; -1 when a dim is unknown or the product overflows.
int64_t element_count_or_unknown(const std::vector<int64_t>& dims) {
    int64_t count = 1;
    for (int64_t d : dims) {
        const std::optional<int64_t> next = d < 0 ? std::nullopt : helper::checked_mul(count, d);
        if (!next) return -1;
        count = *next;
    }
    return count;
}

// A prelu as its lowering reads it: x and its slope with their recorded dims, the mode, and
// the layout that places a per-channel slope's channel axis.
struct Prelu {
    Converter& c;
    NameMaker names;
    int64_t out;
    std::string x;
    std::string slope;
    int64_t slope_id;
    const std::vector<int64_t>* x_dims;      // nullptr when none are recorded
    int64_t rank;                            // x's, 0 when its dims are unknown
    const std::vector<int64_t>* slope_dims;  // an `if` may yield the slope without a type
    std::string_view mode;
    std::string_view layout;
    bool channel_last;

    // The slope reshaped to `dims`, to line its values up with x's axes.
    std::string reshaped_slope(const std::vector<int64_t>& dims) const {
        c.push_i64_vector_initializer(names("slope_shape"), dims);
        c.append_node("Reshape", {slope, names("slope_shape")}, {names("slope_reshaped")});
        return names("slope_reshaped");
    }
    void apply(std::string s) const { c.append_node("PRelu", {x, std::move(s)}, {c.get_tensor_name(out)}); }
};

// Mode all reads one slope value, and Paddle refuses a slope of any other count. Its dims
// may be [1], 0-D, [1, 1, 1, 1] or unknown: it is reshaped to one value (0-D for a 0-D x,
// which keeps rank 0), so that it never raises the result's rank.
void prelu_with_one_slope(const Prelu& p) {
    const int64_t count = p.slope_dims ? element_count_or_unknown(*p.slope_dims) : -1;
    if (count >= 0 && count != 1)
        throw Error("prelu: mode all takes one slope value, got slope dims {}", helper::fmt_dims(*p.slope_dims));
    const std::vector<int64_t> single = p.x_dims && p.x_dims->empty() ? std::vector<int64_t>{} : std::vector<int64_t>{1};
    p.apply(!p.slope_dims || *p.slope_dims != single ? p.reshaped_slope(single) : p.slope);
}

// The slope's dims as a per-channel or per-element prelu reads them: `given` as recorded,
// `read` those it is taken as.
struct SlopeDims {
    std::vector<int64_t> given;
    std::vector<int64_t> read;
    bool flattened;
};

// Per channel or per element, the slope's dims say how it lines up with x (and whether
// Paddle takes it at all): unknown, a model could only fail at run time. Paddle's static API
// makes a channel slope [1, C, 1, 1] whatever the input's rank, and applies its C values
// along the channel axis: it is read as the [C] it holds, and always reshaped, as its own
// dims would broadcast into other axes or raise the rank.
SlopeDims read_slope_dims(const Prelu& p) {
    if (!p.slope_dims)
        throw Error("prelu mode={} needs the slope's dims, but value {} has none recorded", p.mode, p.slope_id);
    const bool flatten = p.mode == "channel" && p.slope_dims->size() != 1;
    SlopeDims s{*p.slope_dims, *p.slope_dims, flatten};
    if (flatten) s.read = {element_count_or_unknown(s.given)};
    if (p.mode == "channel" && p.rank >= 2 && s.read.size() == 1 && s.read[0] >= 0) {
        const int64_t c = p.channel_last ? p.x_dims->back() : (*p.x_dims)[1];
        if (c >= 0 && c != s.read[0])
            throw Error("prelu: the slope holds {} values, but the input {} has {} channels in layout {}", s.read[0],
                        helper::fmt_dims(*p.x_dims), c, p.layout);
    }
    if (p.mode == "element" && p.channel_last)
        throw Error("prelu mode=element only supports NCHW-style layouts");
    // A channel slope of several values needs a channel axis: ONNX would line it up with the
    // only axis there is.
    if (p.mode == "channel" && p.rank == 1 && s.read[0] != 1)
        throw Error("prelu: mode channel needs an input with a channel axis, but the input has dims {} and the "
                    "slope {}", helper::fmt_dims(*p.x_dims), helper::fmt_dims(s.given));
    return s;
}

// A single value takes a single slope, and keeps rank 0: a [1] slope would lift it to [1].
void prelu_of_one_value(const Prelu& p, const std::vector<int64_t>& s) {
    if (std::any_of(s.begin(), s.end(), [](int64_t d) { return d >= 0 && d != 1; }))
        throw Error("prelu of a rank-0 input takes one slope value, got slope dims {}", helper::fmt_dims(s));
    const std::string scalar = p.names("slope_scalar");
    p.c.add_squeeze_node(p.slope, scalar, std::nullopt);
    p.apply(scalar);
}

// Per element, Paddle reads the slope flat, one value per element of an input row (x
// without its batch axis): a slope of that many values is reshaped to the row's dims, one of
// another count is refused, and one whose count is open must broadcast as it is. True when
// the prelu is written here.
bool prelu_by_row(const Prelu& p, const std::vector<int64_t>& s) {
    const std::vector<int64_t>& x_dims = *p.x_dims;
    const std::vector<int64_t> row(x_dims.begin() + 1, x_dims.end());
    const int64_t row_count = element_count_or_unknown(row);
    const int64_t slope_count = element_count_or_unknown(s);
    const auto fits_row = [&] {
        if (s.size() > row.size() + 1) return false;
        const size_t lead = row.size() + 1 - s.size();  // the slope lined up with x at the back
        for (size_t k = 0; k < s.size(); ++k) {
            const int64_t want = k + lead == 0 ? 1 : row[k + lead - 1];
            if (s[k] != want || want < 0) return false;
        }
        return true;
    };
    if (row_count >= 0 && slope_count >= 0 && row_count != slope_count)
        throw Error("prelu: mode element takes one slope value per element of an input row {} ({}), got slope "
                    "dims {}", helper::fmt_dims(row), row_count, helper::fmt_dims(s));
    if (row_count >= 0 && slope_count >= 0 && !fits_row()) {
        p.apply(p.reshaped_slope(row));
        return true;
    }
    // PRelu broadcasts the slope into x one way only: each known slope dim is 1 or x's.
    const auto broadcasts = [&] {
        if (s.size() > x_dims.size()) return false;
        const size_t lead = x_dims.size() - s.size();
        for (size_t k = 0; k < s.size(); ++k) {
            const int64_t d = s[k], e = x_dims[k + lead];
            if (d >= 0 && e >= 0 && d != 1 && d != e) return false;
        }
        return true;
    };
    if (!fits_row() && !broadcasts())
        throw Error("prelu: mode element takes one slope value per element of an input row {}, got slope dims {}",
                    helper::fmt_dims(row), helper::fmt_dims(s));
    return false;
}

// The dims the slope is reshaped to, none when it broadcasts into x as it is. PRelu
// broadcasts the slope from the trailing axis, so a per-channel slope [C] must be shaped to
// line its C up with the channel axis: last for channel-last layouts, axis 1 (shape
// [C, 1, ..., 1]) otherwise.
std::vector<int64_t> slope_target_dims(const Prelu& p, const SlopeDims& slope, int64_t x_id) {
    const std::vector<int64_t>& s = slope.read;
    std::vector<int64_t> target;
    if (s.size() == 1 && s[0] >= 2 && p.channel_last && p.rank >= 2) {
        target.assign(static_cast<size_t>(p.rank), 1);
        target.back() = s[0];
    } else if (p.mode != "element" && s.size() == 1 && s[0] != 1 && !p.channel_last) {
        if (!p.x_dims) throw Error("prelu with a per-channel slope requires rank metadata for tensor {}", x_id);
        if (p.rank >= 3) {
            target.assign(static_cast<size_t>(p.rank - 1), 1);
            target.front() = s[0];  // -1 (unknown C) is resolved by Reshape
        }
    }
    // Otherwise [C] lines up with the last axis: the channel axis of a rank-2 input or of a
    // channel-last layout.
    if (slope.flattened && target.empty()) target = s;
    // A slope already of the input's rank, or of the target's, broadcasts as it is.
    const std::vector<int64_t>& given = slope.given;
    const bool lined_up = slope.flattened && given.size() >= target.size() && s[0] >= 0 &&
                          std::equal(target.begin(), target.end(), given.end() - static_cast<std::ptrdiff_t>(target.size())) &&
                          std::all_of(given.begin(), given.end() - static_cast<std::ptrdiff_t>(target.size()),
                                      [](int64_t d) { return d == 1; }) &&
                          given.size() <= static_cast<size_t>(p.rank);
    if (lined_up) target.clear();
    return target;
}

}  // namespace

void Converter::op_hardsigmoid(const Json& op) {
    const auto ids = helper::op_input_ids(op);
    require_operand_type("hardsigmoid", "x", ids[0], {dt::FLOAT, dt::FLOAT16, dt::DOUBLE});
    if (onnx_dtype_if_known(ids[0]) != dt::DOUBLE) {
        convert_generic_op("hardsigmoid", op);
        return;
    }
    const int64_t out = helper::op_out_id(op);
    settle_output_like("hardsigmoid", out, {ids[0]});
    const double slope = helper::to_f32_or_inf(helper::attr_f64(op, "slope").value_or(0.1666667));
    const double offset = helper::to_f32_or_inf(helper::attr_f64(op, "offset").value_or(0.5));
    clamped_line(*this, get_tensor_name(ids[0]), slope, offset, 1.0, NameMaker{"hardsigmoid", out},
                 get_tensor_name(out));
}

void Converter::op_hardswish(const Json& op) {
    const auto ids = helper::op_input_ids(op);
    require_operand_type("hardswish", "x", ids[0], {dt::FLOAT, dt::FLOAT16, dt::DOUBLE});
    if (onnx_dtype_if_known(ids[0]) == dt::DOUBLE) {
        // Paddle's form: x * min(max(x + 3, 0), 6) / 6.
        const int64_t out = helper::op_out_id(op);
        settle_output_like("hardswish", out, {ids[0]});
        const std::string x = get_tensor_name(ids[0]);
        const NameMaker names{"hardswish", out};
        clamped_line(*this, x, 1.0, 3.0, 6.0, names, names("clamped"));
        add_binary_node("Mul", x, names("clamped"), names("product"));
        const std::string six = names("scale");
        push_numeric_initializer(six, {}, dt::DOUBLE, {6.0});
        add_binary_node("Div", names("product"), six, get_tensor_name(out));
        return;
    }
    if (opset > 13) {
        convert_generic_op("hardswish", op);
        return;
    }
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"hardswish", out};
    settle_output_like("hardswish", out, {ids[0]});
    const std::string x = get_tensor_name(ids[0]);
    const std::string h = names("hardsigmoid");
    // x * clip(x / 6 + 1/2, 0, 1)
    append_node("HardSigmoid", {x}, {h},
                {helper::attr_float("alpha", std::bit_cast<float>(0x3E2AAAABu)),
                 helper::attr_float("beta", 0.5f)});
    add_binary_node("Mul", x, h, get_tensor_name(out));
}

void Converter::op_leaky_relu(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const auto ids = helper::op_input_ids(op);
    require_float_operand("leaky_relu", ids[0]);
    settle_output_like("leaky_relu", out, {ids[0]});
    std::optional<double> slope = helper::attr_f64(op, "alpha");
    if (!slope) slope = helper::attr_f64(op, "negative_slope");
    const float alpha = slope ? helper::to_f32_or_inf(*slope) : std::bit_cast<float>(0x3C23D70Au);  // 0.01
    std::string x = get_tensor_name(ids[0]);
    if (onnx_dtype_if_known(ids[0]) == dt::DOUBLE) {
        // ONNX Runtime has no float64 LeakyRelu kernel at most opsets: Paddle's own form,
        // x > 0 ? x : x * alpha, with the float attribute widened (NaN takes the second arm).
        const NameMaker names{"leaky_relu", out};
        const std::string zero = names("zero"), alpha_name = names("alpha");
        push_numeric_initializer(zero, {}, dt::DOUBLE, {0.0});
        push_numeric_initializer(alpha_name, {}, dt::DOUBLE, {static_cast<double>(alpha)});
        add_binary_node("Greater", x, zero, names("positive"));
        add_binary_node("Mul", x, alpha_name, names("scaled"));
        append_node("Where", {names("positive"), x, names("scaled")}, {get_tensor_name(out)});
        return;
    }
    append_node("LeakyRelu", {std::move(x)}, {get_tensor_name(out)},
                {helper::attr_float("alpha", alpha)});
}

namespace {

// One gelu constant: the 32-bit float pattern for float32 inputs (and inputs of unknown
// type), the value in the input's own type for float16 and float64 so the arithmetic
// nodes see matching operand types.
struct GeluConstant {
    uint32_t f32_bits;
    double value;
};
constexpr GeluConstant kSqrt2{0x3FB504F3u, 1.4142135623730951};
constexpr GeluConstant kHalf{0x3F000000u, 0.5};
constexpr GeluConstant kOne{0x3F800000u, 1.0};
constexpr GeluConstant kCoeff{0x3D372713u, 0.044715};
constexpr GeluConstant kSqrt2OverPi{0x3F4C422Au, 0.7978845608028654};

// erf in float64, for ONNX Runtime has no float64 Erf kernel and a float32 one would lose
// the precision Paddle's double kernel (std::erf) keeps. Below |z| = 2 the Taylor series
// (34 terms, its largest term a few times the sum), above it erfc's continued fraction
// (60 levels, |z| capped at 8 where erf is 1 in float64); both stay within a few units in
// the last place of std::erf.
constexpr int kErfSeriesTerms = 34;
constexpr int kErfFractionDepth = 60;
constexpr double kErfSplit = 2.0;
constexpr double kErfCap = 8.0;
constexpr double kTwoOverSqrtPi = 1.1283791670955126;
constexpr double kOneOverSqrtPi = 0.5641895835477563;

}  // namespace

void Converter::append_f64_erf(const std::string& z, const std::string& erf, const std::string& one,
                               const NameMaker& name) {
    auto f64 = [&](std::string purpose, double v) {
        std::string n = name(purpose);
        push_numeric_initializer(n, {}, dt::DOUBLE, {v});
        return n;
    };
    append_node("Abs", {z}, {name("erf_abs")});
    append_node("Sign", {z}, {name("erf_sign")});
    const std::string& a = name("erf_abs");
    // Series: erf(a) = 2/sqrt(pi) * a * sum (-1)^n a^2n / (n! (2n + 1)), by Horner in a^2.
    add_binary_node("Mul", a, a, name("erf_square"));
    std::vector<double> coeffs(kErfSeriesTerms);
    double factorial = 1.0;
    for (int n = 0; n < kErfSeriesTerms; ++n) {
        if (n > 0) factorial *= n;
        coeffs[static_cast<size_t>(n)] = (n % 2 == 0 ? 1.0 : -1.0) / (factorial * (2 * n + 1));
    }
    std::string acc = f64("erf_series_top", coeffs.back());
    for (int n = kErfSeriesTerms - 2; n >= 0; --n) {
        add_binary_node("Mul", acc, name("erf_square"), name("erf_series_mul", n));
        const std::string c = f64(fmt::format("erf_series_c{}", n), coeffs[static_cast<size_t>(n)]);
        add_binary_node("Add", name("erf_series_mul", n), c, name("erf_series", n));
        acc = name("erf_series", n);
    }
    add_binary_node("Mul", acc, a, name("erf_series_a"));
    add_binary_node("Mul", name("erf_series_a"), f64("erf_two_over_sqrt_pi", kTwoOverSqrtPi), name("erf_small"));
    // Continued fraction: erfc(a) = exp(-a^2) / sqrt(pi) / (a + (1/2) / (a + 1 / (a + (3/2) / ...))).
    const std::string split = f64("erf_split", kErfSplit);
    add_binary_node("Max", a, split, name("erf_floor"));
    add_binary_node("Min", name("erf_floor"), f64("erf_cap", kErfCap), name("erf_large_a"));
    const std::string large_a = name("erf_large_a");
    acc = large_a;
    for (int k = kErfFractionDepth; k >= 1; --k) {
        add_binary_node("Div", f64(fmt::format("erf_fraction_k{}", k), k / 2.0), acc, name("erf_fraction_div", k));
        add_binary_node("Add", large_a, name("erf_fraction_div", k), name("erf_fraction", k));
        acc = name("erf_fraction", k);
    }
    add_binary_node("Mul", large_a, large_a, name("erf_large_square"));
    append_node("Neg", {name("erf_large_square")}, {name("erf_neg_square")});
    append_node("Exp", {name("erf_neg_square")}, {name("erf_exp")});
    add_binary_node("Mul", name("erf_exp"), f64("erf_one_over_sqrt_pi", kOneOverSqrtPi), name("erf_exp_scaled"));
    add_binary_node("Div", name("erf_exp_scaled"), acc, name("erfc_large"));
    add_binary_node("Sub", one, name("erfc_large"), name("erf_large"));
    add_binary_node("Less", a, split, name("erf_is_small"));
    append_node("Where", {name("erf_is_small"), name("erf_small"), name("erf_large")}, {name("erf_magnitude")});
    add_binary_node("Mul", name("erf_sign"), name("erf_magnitude"), erf);
}

void Converter::op_gelu(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const auto ids = helper::op_input_ids(op);
    require_float_operand("gelu", ids[0]);
    settle_output_like("gelu", out, {ids[0]});
    const std::string x = get_tensor_name(ids[0]);

    const Json* approx = helper::attr(op, "approximate");
    const bool tanh_form =
        approx && ((approx->IsBool() && approx->GetBool()) ||
                   (approx->IsString() && std::string_view(approx->GetString(),
                                                           approx->GetStringLength()) == "tanh"));
    const std::optional<int32_t> xt = onnx_dtype_if_known(ids[0]);
    const int32_t ct = xt && (*xt == dt::FLOAT16 || *xt == dt::DOUBLE) ? *xt : dt::FLOAT;
    const NameMaker name{"gelu", out};
    // 0-D constants: a [1] one would lift a 0-D x to [1], and x's rank is not always known.
    auto constant = [&](std::string_view purpose, GeluConstant k) {
        std::string constant_name = name(purpose);
        if (ct == dt::FLOAT)
            push_f32_initializer(constant_name, {}, {std::bit_cast<float>(k.f32_bits)});
        else
            push_numeric_initializer(constant_name, {}, ct, {k.value});
        return constant_name;
    };

    if (!tanh_form) {
        // x * 0.5 * (1 + erf(x / sqrt 2))
        const std::string sqrt2 = constant("sqrt2", kSqrt2);
        const std::string half = constant("half", kHalf);
        const std::string one = constant("one", kOne);
        add_binary_node("Div", x, sqrt2, name("div"));
        if (ct == dt::DOUBLE)
            append_f64_erf(name("div"), name("erf"), one, name);
        else
            append_node("Erf", {name("div")}, {name("erf")});
        add_binary_node("Add", name("erf"), one, name("add"));
        add_binary_node("Mul", x, half, name("mul_half"));
        add_binary_node("Mul", name("mul_half"), name("add"), get_tensor_name(out));
        return;
    }
    // x * 0.5 * (1 + tanh(sqrt(2/pi) * (x + 0.044715 * x^3)))
    const std::string half = constant("half", kHalf);
    const std::string one = constant("one", kOne);
    const std::string coeff = constant("coeff", kCoeff);
    const std::string scale = constant("sqrt_2_over_pi", kSqrt2OverPi);
    add_binary_node("Mul", x, x, name("x_sq"));
    add_binary_node("Mul", name("x_sq"), x, name("x_cube"));
    add_binary_node("Mul", name("x_cube"), coeff, name("cubic_term"));
    add_binary_node("Add", x, name("cubic_term"), name("inner_sum"));
    add_binary_node("Mul", name("inner_sum"), scale, name("scaled_inner"));
    append_node("Tanh", {name("scaled_inner")}, {name("tanh")});
    add_binary_node("Add", name("tanh"), one, name("tanh_plus_one"));
    add_binary_node("Mul", x, half, name("half_x"));
    add_binary_node("Mul", name("half_x"), name("tanh_plus_one"), get_tensor_name(out));
}

void Converter::op_prelu(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"prelu", out};
    const auto ids = helper::op_input_ids(op);
    require_operand_type("prelu", "x", ids[0], {dt::FLOAT, dt::FLOAT16, dt::DOUBLE});
    require_same_type("prelu", "x", ids[0], "alpha", ids[1]);
    // The slopes broadcast into x: the result has x's dims.
    settle_output_like("prelu", out, {ids[0]});
    std::string x = get_tensor_name(ids[0]);
    std::string slope = get_tensor_name(ids[1]);
    const std::vector<int64_t>* x_dims = state.tensor_shapes.find(ids[0]);

    const std::string_view mode = helper::op_attr_str(op, "mode").value_or("channel");
    const std::string_view layout = helper::op_attr_str(op, "data_format").value_or("NCHW");
    if (mode != "all" && mode != "channel" && mode != "element")
        throw Error("prelu: mode {} is none of all, channel, element", helper::fmt_text(mode));
    // The channel axis of a per-channel slope is second or last, as the layout says; its
    // length is the slope's.
    if (mode == "channel" && layout != "NCHW" && layout != "NHWC" && layout != "NCDHW" && layout != "NDHWC")
        throw Error("prelu: data_format {} is none of NCHW, NHWC, NCDHW, NDHWC", helper::fmt_text(layout));
    const Prelu p{*this, names, out, std::move(x), std::move(slope), ids[1], x_dims,
                  x_dims ? static_cast<int64_t>(x_dims->size()) : 0, state.tensor_shapes.find(ids[1]), mode, layout,
                  layout == "NHWC" || layout == "NDHWC"};
    if (mode == "all") {
        prelu_with_one_slope(p);
        return;
    }
    const SlopeDims s = read_slope_dims(p);
    if (x_dims && x_dims->empty()) {
        prelu_of_one_value(p, s.read);
        return;
    }
    if (mode == "element" && x_dims && prelu_by_row(p, s.read)) return;
    const std::vector<int64_t> target = slope_target_dims(p, s, ids[0]);
    p.apply(target.empty() ? p.slope : p.reshaped_slope(target));
}

void Converter::op_swish(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"swish", out};
    const auto ids = helper::op_input_ids(op);
    const Json* name = helper::member(op, "#");
    const bool silu = name && name->IsString() &&
                      std::string_view(name->GetString(), name->GetStringLength()).find("silu") != std::string_view::npos;
    require_float_operand(silu ? "silu" : "swish", ids[0]);
    settle_output_like(silu ? "silu" : "swish", out, {ids[0]});
    const std::string x = get_tensor_name(ids[0]);
    if (onnx_dtype_if_known(ids[0]) == std::optional<int32_t>{dt::DOUBLE}) {
        // ONNX Runtime fuses x * Sigmoid(x) into QuickGelu, which has no float64 kernel: the
        // model would not load. x / (1 + exp(-x)) is the same value and matches no fusion.
        const std::string one = names("one");
        push_numeric_initializer(one, {}, dt::DOUBLE, {1.0});
        append_node("Neg", {x}, {names("neg")});
        append_node("Exp", {names("neg")}, {names("exp")});
        add_binary_node("Add", names("exp"), one, names("denominator"));
        add_binary_node("Div", x, names("denominator"), get_tensor_name(out));
        return;
    }
    const std::string s = names("sigmoid");
    append_node("Sigmoid", {x}, {s});
    add_binary_node("Mul", x, s, get_tensor_name(out));
}

void Converter::op_softmax(const Json& op) {
    const auto ids = helper::op_input_ids(op);
    const std::vector<int64_t>* dims = state.tensor_shapes.find(ids[0]);
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"softmax", out};
    settle_output_like("softmax", out, {ids[0]});
    if (dims && dims->empty()) {
        // Paddle's softmax of a single value is 1, whatever the value; ONNX Softmax takes
        // no rank-0 input.
        const std::string one = names("one");
        push_numeric_initializer(one, {}, onnx_dtype_if_known(ids[0]).value_or(dt::FLOAT), {1.0});
        append_node("Identity", {one}, {get_tensor_name(out)});
        return;
    }
    const int64_t axis = helper::op_attr_i64(op, "axis").value_or(-1);
    const auto rank = dims ? static_cast<int64_t>(dims->size()) : int64_t{-1};
    if (dims) checked_axis("softmax", "axis", axis, rank);
    if (opset >= 13 || axis == -1 || (dims && axis == rank - 1)) {
        convert_generic_op("softmax", op);
        return;
    }
    // Softmax before 13 flattens its input to 2-D at the axis, which is Paddle's softmax
    // only over the last axis: move the axis last, normalise there, and move it back.
    if (!dims)
        throw Error("softmax over axis {} below opset 13 needs the input rank, which is not recorded (target opset is {})",
                    axis, opset);
    const int64_t a = axis < 0 ? axis + rank : axis;
    if (a < 0 || a >= rank) throw Error("softmax axis {} is outside the rank {} of its input", axis, rank);
    std::vector<int64_t> perm(static_cast<size_t>(rank));
    for (int64_t k = 0; k < rank; ++k) perm[static_cast<size_t>(k)] = k;
    std::swap(perm[static_cast<size_t>(a)], perm.back());  // a swap is its own inverse
    const std::string moved = names("moved");
    const std::string normalized = names("last_axis");
    append_node("Transpose", {get_tensor_name(ids[0])}, {moved}, {helper::attr_ints("perm", perm)});
    append_node("Softmax", {moved}, {normalized}, {helper::attr_int("axis", rank - 1)});
    append_node("Transpose", {normalized}, {get_tensor_name(out)}, {helper::attr_ints("perm", perm)});
}

}  // namespace kestro
