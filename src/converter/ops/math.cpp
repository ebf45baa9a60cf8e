// Elementwise arithmetic (multiply, floor division, remainder(_), power, scale) and the
// bitwise operators (bitwise_and, bitwise_not), with the small builders they share.
#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <limits>
#include <utility>

#include "converter/converter.h"
#include "converter/ops/math.h"

namespace kestro {

namespace dt = proto::dtype;

namespace math_ops {

int32_t arithmetic_compute_dtype(int32_t dtype, int64_t opset) {
    const bool narrow = dtype == dt::INT8 || dtype == dt::INT16 || dtype == dt::UINT8;
    return narrow && opset < 14 ? dt::INT32 : dtype;
}

int64_t saturate_to_int_dtype(int32_t dtype, double value) {
    const int64_t v = helper::saturate_i64(value);
    int64_t lo = std::numeric_limits<int64_t>::min(), hi = std::numeric_limits<int64_t>::max();
    switch (dtype) {
        case dt::UINT8: lo = 0, hi = 255; break;
        case dt::INT8: lo = -128, hi = 127; break;
        case dt::INT16: lo = -32768, hi = 32767; break;
        case dt::INT32: lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max(); break;
        default: break;
    }
    return std::clamp(v, lo, hi);
}

}  // namespace math_ops

using namespace math_ops;

namespace {

// The output type that the operator object itself declares, if it names a known one.
std::optional<int32_t> declared_output_dtype(const Json& op) {
    const Json* first = helper::first_entry(op, "O");
    if (!first) return std::nullopt;
    const auto type = helper::declared_type(*first, helper::NonIntegerDims::Unknown);
    const auto token = type ? type->token : std::nullopt;
    return token ? helper::paddle_token_to_onnx(*token) : std::nullopt;
}

// The float type in which a mixed pair is divided: the widest float among them, FLOAT
// when neither is a float.
int32_t float_compute_dtype(int32_t a, int32_t b) {
    if (a == dt::DOUBLE || b == dt::DOUBLE) return dt::DOUBLE;
    if (a == dt::FLOAT || b == dt::FLOAT) return dt::FLOAT;
    if (a == dt::FLOAT16 || b == dt::FLOAT16) return dt::FLOAT16;
    return dt::FLOAT;
}

int bit_width(int32_t dtype) {
    switch (dtype) {
        case dt::INT8: return 8;
        case dt::INT16: return 16;
        case dt::INT32: return 32;
        case dt::INT64: return 64;
        default: return 0;
    }
}

bool is_signed_integer(int32_t dtype) { return bit_width(dtype) != 0; }

}  // namespace

// ---- builders ----

void Converter::add_integer_mod_node(std::string a, std::string b, std::string output) {
    // fmod 0: the remainder takes the divisor's sign, as floor division needs.
    append_node("Mod", {std::move(a), std::move(b)}, {std::move(output)},
                {helper::attr_int("fmod", 0)});
}

void Converter::push_scale_attr_initializer(std::string name, std::vector<int64_t> dims,
                                            int32_t dtype, double value) {
    // What the type holds of the value, which the encoder then writes exactly: a float32
    // overflows to infinity, an integer saturates (NaN as 0), where the encoder would refuse.
    double held = value;
    switch (dtype) {
        case dt::FLOAT: held = helper::to_f32_or_inf(value); break;
        case dt::DOUBLE: break;
        case dt::UINT8:
        case dt::INT8:
        case dt::INT16:
        case dt::INT32:
        case dt::INT64:
            // 2^63 - 1 becomes 2^63 as a double, which the encoder writes as 2^63 - 1.
            held = static_cast<double>(saturate_to_int_dtype(dtype, value));
            break;
        default:
            throw Error("scale attr lowering does not support target dtype {}",
                        helper::onnx_dtype_name(dtype));
    }
    push_numeric_initializer(std::move(name), std::move(dims), dtype, {held});
}

namespace {

// Paddle's integer division and remainder raise on a zero divisor; ONNX Runtime refuses a
// folded one at load, or has no answer for it.
void refuse_folded_zero_divisor(const ConverterState& state, std::string_view op, int64_t divisor) {
    const std::vector<double>* values = state.const_values.find(divisor);
    if (values && std::find(values->begin(), values->end(), 0.0) != values->end())
        throw Error("{}: integer division by zero (the divisor, value {}, holds 0)", op, divisor);
}

}  // namespace

int32_t Converter::operand_elem_type(int64_t id) const {
    const std::optional<std::string> tensor = tensor_name_of(id);
    const int32_t computed = tensor ? computed_elem_type(*tensor) : 0;
    return computed != 0 ? computed : onnx_dtype_for_tensor_id(id);
}

// ---- multiply ----

void Converter::op_multiply(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"multiply", out};
    const auto ids = helper::op_input_ids(op);
    require_same_type("multiply", "x", ids[0], "y", ids[1]);
    require_broadcastable("multiply", ids[0], ids[1]);
    settle_output_like("multiply", out, {ids[0], ids[1]});
    const bool both_bool = dtype_token_is(ids[0], dt::BOOL) && dtype_token_is(ids[1], dt::BOOL);
    std::string a = get_tensor_name(ids[0]);
    std::string b = get_tensor_name(ids[1]);
    std::string y = get_tensor_name(out);
    if (both_bool) {
        append_node("And", {std::move(a), std::move(b)}, {std::move(y)});
        return;
    }
    const auto t = onnx_dtype_if_known(ids[0]);
    const int32_t c = t ? arithmetic_compute_dtype(*t, opset) : 0;
    if (!t || c == *t) {
        add_binary_node("Mul", std::move(a), std::move(b), std::move(y));
        return;
    }
    // Mul takes narrow integers only from opset 14: multiply in the wider type.
    const std::string wa = names("lhs_wide");
    const std::string wb = names("rhs_wide");
    const std::string wp = names("product_wide");
    add_cast_node(std::move(a), wa, c);
    add_cast_node(std::move(b), wb, c);
    add_binary_node("Mul", wa, wb, wp);
    add_cast_node(wp, std::move(y), *t);
}

// ---- floor division ----

void Converter::op_floor_divide(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const auto ids = helper::op_input_ids(op);
    require_broadcastable("floor_divide", ids[0], ids[1]);
    const std::optional<int32_t> declared = declared_output_dtype(op);
    const int32_t ta = operand_elem_type(ids[0]);
    const int32_t tb = operand_elem_type(ids[1]);
    const std::string a = get_tensor_name(ids[0]);
    const std::string b = get_tensor_name(ids[1]);
    const NameMaker name{"floor_divide", out};

    if (helper::is_integer_onnx_dtype(ta) && helper::is_integer_onnx_dtype(tb)) {
        refuse_folded_zero_divisor(state, "floor_divide", ids[1]);
        // Every node of the chain works in one integer type: the operands' own, or int64
        // when they differ, widened where the target opset lacks the narrow form.
        const int32_t common = ta == tb ? ta : dt::INT64;
        const int32_t t = declared.value_or(common);
        const int32_t c = arithmetic_compute_dtype(common, opset);
        std::string lhs = a, rhs = b;
        if (ta != c) add_cast_node(a, lhs = name("a"), c);
        if (tb != c) add_cast_node(b, rhs = name("b"), c);
        const std::string zero = name("zero"), one = name("one");
        push_numeric_initializer(zero, {}, c, {0.0});
        push_numeric_initializer(one, {}, c, {1.0});
        add_binary_node("Div", lhs, rhs, name("div"));
        add_integer_mod_node(lhs, rhs, name("mod"));
        add_binary_node("Less", lhs, zero, name("lhs_negative"));
        add_binary_node("Less", rhs, zero, name("rhs_negative"));
        add_binary_node("Xor", name("lhs_negative"), name("rhs_negative"), name("signs_differ"));
        add_binary_node("Equal", name("mod"), zero, name("remainder_zero"));
        append_node("Not", {name("remainder_zero")}, {name("remainder_nonzero")});
        add_binary_node("And", name("signs_differ"), name("remainder_nonzero"), name("needs_adjust"));
        add_cast_node(name("needs_adjust"), name("adjust_i64"), c);
        add_binary_node("Mul", name("adjust_i64"), one, name("adjust"));
        if (c == t) {
            add_binary_node("Sub", name("div"), name("adjust"), get_tensor_name(out));
        } else {
            add_binary_node("Sub", name("div"), name("adjust"), name("floor"));
            add_cast_node(name("floor"), get_tensor_name(out), t);
        }
        return;
    }

    // Floats divide in their own width, so float64 keeps its precision.
    const int32_t f = float_compute_dtype(ta, tb);
    const int32_t t = declared.value_or(f);
    add_cast_node(a, name("a"), f);
    add_cast_node(b, name("b"), f);
    add_binary_node("Div", name("a"), name("b"), name("div"));
    append_node("Floor", {name("div")}, {name("floor")});
    add_cast_node(name("floor"), get_tensor_name(out), t);
}

// ---- remainder ----

void Converter::op_remainder(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const auto ids = helper::op_input_ids(op);
    require_broadcastable("remainder", ids[0], ids[1]);
    const std::optional<int32_t> declared = declared_output_dtype(op);
    // Mod's form follows the type the operand's tensor has in the model.
    const int32_t ta = operand_elem_type(ids[0]);
    const int32_t tb = operand_elem_type(ids[1]);
    settle_output_like("remainder", out, {ids[0], ids[1]});
    std::string a = get_tensor_name(ids[0]);
    std::string b = get_tensor_name(ids[1]);
    const NameMaker name{"remainder", out};

    if (helper::is_integer_onnx_dtype(ta) && helper::is_integer_onnx_dtype(tb)) {
        refuse_folded_zero_divisor(state, "remainder", ids[1]);
        // Integer Mod with fmod 0 already gives Paddle's result: the divisor's sign.
        const int32_t common = ta == tb ? ta : dt::INT64;
        const int32_t t = declared.value_or(common);
        if (ta != common) add_cast_node(std::exchange(a, name("a")), name("a"), common);
        if (tb != common) add_cast_node(std::exchange(b, name("b")), name("b"), common);
        if (common == t) {
            add_integer_mod_node(std::move(a), std::move(b), get_tensor_name(out));
        } else {
            add_integer_mod_node(std::move(a), std::move(b), name("mod"));
            add_cast_node(name("mod"), get_tensor_name(out), t);
        }
        return;
    }

    // ONNX takes float Mod only as fmod (the dividend's sign). Paddle moves a nonzero
    // remainder whose sign differs from the divisor's by one divisor; a zero stays as it
    // is. float16 is computed in float32 and rounded once, as Paddle's kernel does.
    const int32_t f = float_compute_dtype(ta, tb);
    const int32_t t = declared.value_or(f);
    const int32_t c = f == dt::FLOAT16 ? dt::FLOAT : f;
    if (ta != c) add_cast_node(std::exchange(a, name("a")), name("a"), c);
    if (tb != c) add_cast_node(std::exchange(b, name("b")), name("b"), c);
    const std::string zero = name("zero");
    push_numeric_initializer(zero, {}, c, {0.0});
    append_node("Mod", {a, b}, {name("fmod")}, {helper::attr_int("fmod", 1)});
    add_binary_node("Less", name("fmod"), zero, name("fmod_negative"));
    add_binary_node("Greater", name("fmod"), zero, name("fmod_positive"));
    add_binary_node("Less", b, zero, name("divisor_negative"));
    add_binary_node("Greater", b, zero, name("divisor_positive"));
    add_binary_node("And", name("fmod_negative"), name("divisor_positive"), name("raise"));
    add_binary_node("And", name("fmod_positive"), name("divisor_negative"), name("lower"));
    add_binary_node("Or", name("raise"), name("lower"), name("needs_adjust"));
    add_binary_node("Add", name("fmod"), b, name("adjusted"));
    if (c == t) {
        append_node("Where", {name("needs_adjust"), name("adjusted"), name("fmod")}, {get_tensor_name(out)});
    } else {
        append_node("Where", {name("needs_adjust"), name("adjusted"), name("fmod")}, {name("result")});
        add_cast_node(name("result"), get_tensor_name(out), t);
    }
}

// ---- power ----

void Converter::op_pow(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"pow", out};
    const auto ids = helper::op_input_ids(op);
    const IdList operands = ids.size() == 1 ? IdList{ids[0]} : IdList{ids[0], ids[1]};
    settle_output_like("pow", out, operands, onnx_dtype_if_known(ids[0]));
    const std::string x = get_tensor_name(ids[0]);
    // A missing exponent is reported before the base's element type is looked at.
    std::optional<double> y;
    if (ids.size() == 1) {
        y = helper::op_attr_number(op, "y");
        if (!y) throw Error("pow: missing exponent");
    }
    // The attribute exponent is made in x's type, so only that road insists on a known token.
    const std::optional<int32_t> xt =
        ids.size() == 1 ? maybe_onnx_dtype_for_tensor_id(ids[0]) : onnx_dtype_if_known(ids[0]);
    // Paddle raises no bool to a power, and Pow takes no bool base.
    if (xt == std::optional<int32_t>(dt::BOOL)) throw Error("pow does not take a bool base");

    // Pow takes integer bases only from opset 12, and never 8/16-bit ones; below 12 both
    // operands must share one float type. Such bases are computed in a wider type.
    int32_t compute = xt.value_or(dt::FLOAT);
    if (xt && helper::is_integer_onnx_dtype(*xt)) {
        if (opset < 12)
            compute = dt::DOUBLE;
        else if (*xt != dt::INT32 && *xt != dt::INT64)
            compute = dt::INT32;
    }
    const bool widened = compute != xt.value_or(dt::FLOAT);

    std::string exponent;
    if (y) {
        // The exponent must suit the base's own type even when it is computed wider; it is
        // then made in the wider type, the pairing runtimes implement.
        if (widened) (void)encode_scalar_f64_as_raw_data(*xt, *y);
        const int32_t et = widened ? compute : xt.value_or(dt::FLOAT);
        exponent = names("exponent");
        push_numeric_initializer(exponent, {}, et, {*y});
    } else {
        exponent = get_tensor_name(ids[1]);
        const std::optional<int32_t> et = onnx_dtype_if_known(ids[1]);
        // ONNX Runtime's Pow reads int32, int64, float and double exponents only.
        const bool runtime_exponent = et == dt::INT32 || et == dt::INT64 || et == dt::FLOAT || et == dt::DOUBLE;
        if (et && *et != compute && (opset < 12 || !runtime_exponent)) {
            const std::string cast = names("exponent_cast");
            add_cast_node(exponent, cast, compute);
            exponent = cast;
        }
    }

    if (!widened) {
        append_node("Pow", {x, exponent}, {get_tensor_name(out)});
        return;
    }
    const std::string base = names("base");
    const std::string result = names("result");
    add_cast_node(x, base, compute);
    append_node("Pow", {base, exponent}, {result});
    add_cast_node(result, get_tensor_name(out), *xt);
}

// ---- scale ----

void Converter::op_scale(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"scale", out};
    const auto ids = helper::op_input_ids(op);
    settle_output_like("scale", out, {ids[0]});
    std::string x = get_tensor_name(ids[0]);
    // The factor and the bias are made in the result's type, which is x's: an output without
    // a recorded type takes it from x.
    const int32_t t = maybe_onnx_dtype_for_tensor_id(out).value_or(
        maybe_onnx_dtype_for_tensor_id(ids[0]).value_or(dt::FLOAT));
    // Narrow integers are computed in int32 where Mul and Add do not take them yet.
    const int32_t c = arithmetic_compute_dtype(t, opset);

    // Paddle casts the factor and the bias to an integer element type first (scale 2.5 on
    // int64 multiplies by 2), as the first pass folds them; in the wider type it is exact.
    auto push_constant = [&](std::string name, double value, std::string_view what) {
        if (helper::is_integer_onnx_dtype(t)) value = paddle_cast(value, t, false, what);
        // 0-D: the result keeps x's dims, a rank-0 x's included, whether its rank is known or not.
        push_scale_attr_initializer(std::move(name), {}, c, value);
    };

    std::string s;
    if (ids.size() == 1) {
        s = names("factor");
        // Read as the first pass reads them, special values ("nan", "inf") included.
        push_constant(s, helper::attr_f64(op, "scale").value_or(1.0), "scale attribute scale");
    } else {
        s = get_tensor_name(ids[1]);
        const bool float_token =
            dtype_token_is(ids[1], dt::FLOAT) || dtype_token_is(ids[1], dt::DOUBLE);
        const std::optional<int32_t> st = onnx_dtype_if_known(ids[1]);
        if ((t != dt::FLOAT && float_token) || (st && *st != c)) {
            const std::string cast = names("input_cast");
            add_cast_node(s, cast, c);
            s = cast;
        }
        // Paddle's factor tensor holds one value, as [1] or 0-D; made 0-D, it leaves x's dims
        // as they are (a [1] factor would lift a 0-D x to [1]).
        const std::vector<int64_t>* s_dims = state.tensor_shapes.find(ids[1]);
        if (!s_dims || !s_dims->empty()) {
            const std::string shape = names("input_scalar_shape");
            push_i64_initializer(shape, {0}, {});
            const std::string scalar = names("input_scalar");
            append_node("Reshape", {s, shape}, {scalar});
            s = scalar;
        }
    }

    const double bias = helper::attr_f64(op, "bias").value_or(0.0);
    const bool bias_after_scale = helper::op_attr_bool(op, "bias_after_scale").value_or(true);
    const std::string b = names("bias");
    push_constant(b, bias, "scale attribute bias");

    if (c != t) {
        const std::string wide = names("x_wide");
        add_cast_node(x, wide, c);
        x = wide;
    }
    const std::string result = c == t ? std::string() : names("result_wide");
    if (bias_after_scale) {
        const std::string mul = names("mul");
        add_binary_node("Mul", x, s, mul);
        add_binary_node("Add", mul, b, c == t ? get_tensor_name(out) : result);
    } else {
        const std::string add = names("add");
        add_binary_node("Add", x, b, add);
        add_binary_node("Mul", add, s, c == t ? get_tensor_name(out) : result);
    }
    if (c != t) add_cast_node(result, get_tensor_name(out), t);
}

// ---- bitwise ----

void Converter::op_bitwise_and(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const auto ids = helper::op_input_ids(op);
    settle_output_like("bitwise_and", out, {ids[0], ids[1]});
    std::string a = get_tensor_name(ids[0]);
    std::string b = get_tensor_name(ids[1]);
    std::string y = get_tensor_name(out);
    const int32_t ta = onnx_dtype_for_tensor_id(ids[0]);
    const int32_t tb = onnx_dtype_for_tensor_id(ids[1]);
    if (ta != tb)
        throw Error("bitwise_and requires matching input dtypes, got {} and {}",
                    helper::onnx_dtype_name(ta), helper::onnx_dtype_name(tb));
    if (is_signed_integer(ta)) {
        if (opset >= 18)
            append_node("BitwiseAnd", {std::move(a), std::move(b)}, {std::move(y)});
        else
            lower_signed_bitwise_and_before_opset_18(std::move(a), std::move(b), std::move(y), ta, out);
        return;
    }
    if (ta == dt::BOOL) {
        append_node("And", {std::move(a), std::move(b)}, {std::move(y)});
        return;
    }
    if (ta == dt::UINT8) {
        require_opset("bitwise_and on integer tensors", 18);
        append_node("BitwiseAnd", {std::move(a), std::move(b)}, {std::move(y)});
        return;
    }
    throw Error(
        "bitwise_and only supports bool/int8/uint8/int16/int32/int64 tensors in the current "
        "converter, got {}",
        helper::onnx_dtype_name(ta));
}

void Converter::op_bitwise_not(const Json& op) {
    const int64_t out = helper::op_out_id(op);
    const NameMaker names{"bitwise_not", out};
    const auto ids = helper::op_input_ids(op);
    settle_output_like("bitwise_not", out, {ids[0]});
    std::string x = get_tensor_name(ids[0]);
    const int32_t t = onnx_dtype_for_tensor_id(ids[0]);
    if (is_signed_integer(t) && opset >= 18) {
        append_node("BitwiseNot", {std::move(x)}, {get_tensor_name(out)});
        return;
    }
    if (is_signed_integer(t)) {
        // NOT x = -(x + 1); 8- and 16-bit values are added in int32 below opset 14.
        const int32_t c = arithmetic_compute_dtype(t, opset);
        if (c != t) {
            const std::string wide = names("wide");
            add_cast_node(x, wide, c);
            x = wide;
        }
        const std::string one = names("one");
        const std::string plus_one = names("plus_one");
        push_numeric_initializer(one, {}, c, {1.0});
        add_binary_node("Add", std::move(x), one, plus_one);
        if (c == t) {
            append_node("Neg", {plus_one}, {get_tensor_name(out)});
        } else {
            const std::string neg = names("neg");
            append_node("Neg", {plus_one}, {neg});
            add_cast_node(neg, get_tensor_name(out), t);
        }
        return;
    }
    if (t == dt::BOOL) {
        append_node("Not", {std::move(x)}, {get_tensor_name(out)});
        return;
    }
    if (t == dt::UINT8) {
        require_opset("bitwise_not on integer tensors", 18);
        append_node("BitwiseNot", {std::move(x)}, {get_tensor_name(out)});
        return;
    }
    throw Error(
        "bitwise_not only supports bool/int8/uint8/int16/int32/int64 tensors in the current "
        "converter, got {}",
        helper::onnx_dtype_name(t));
}

// Two's complement AND without bitwise operators: the operands are taken apart bit by bit
// in int64 and the products of their bits summed with each bit's weight, the sign bit
// weighing -2^(N-1).
void Converter::lower_signed_bitwise_and_before_opset_18(std::string a, std::string b,
                                                         std::string out, int32_t dtype,
                                                         int64_t out_id) {
    const NameMaker names{"bitwise_and", out_id};
    const int n = bit_width(dtype);
    if (n == 0)
        throw Error("signed bitwise_and lowering expects int8/int16/int32/int64, got {}",
                    helper::onnx_dtype_name(dtype));
    const std::string p = names("signed");
    auto nm = [&p](std::string_view purpose, int i) { return fmt::format("{}_{}_{}", p, purpose, i); };
    const std::string two = p + "_two";
    push_int64_scalar_initializer(two, 2);

    std::string l = std::move(a), r = std::move(b);
    if (dtype != dt::INT64) {
        add_cast_node(std::move(l), p + "_lhs_i64", dt::INT64);
        add_cast_node(std::move(r), p + "_rhs_i64", dt::INT64);
        l = p + "_lhs_i64";
        r = p + "_rhs_i64";
    }
    std::string acc;
    for (int i = 0; i < n; ++i) {
        add_integer_mod_node(l, two, nm("lhs_bit", i));
        add_integer_mod_node(r, two, nm("rhs_bit", i));
        add_binary_node("Mul", nm("lhs_bit", i), nm("rhs_bit", i), nm("bit_and", i));
        const int64_t weight = i == n - 1 ? (i == 63 ? std::numeric_limits<int64_t>::min()
                                                     : -(int64_t{1} << i))
                                          : int64_t{1} << i;
        push_int64_scalar_initializer(nm("weight", i), weight);
        add_binary_node("Mul", nm("bit_and", i), nm("weight", i), nm("weighted", i));
        if (i == 0) {
            acc = nm("weighted", i);
        } else {
            add_binary_node("Add", acc, nm("weighted", i), nm("acc", i));
            acc = nm("acc", i);
        }
        if (i < n - 1) {
            add_binary_node("Sub", l, nm("lhs_bit", i), nm("lhs_without_bit", i));
            add_binary_node("Sub", r, nm("rhs_bit", i), nm("rhs_without_bit", i));
            add_binary_node("Div", nm("lhs_without_bit", i), two, nm("lhs_shifted", i));
            add_binary_node("Div", nm("rhs_without_bit", i), two, nm("rhs_shifted", i));
            l = nm("lhs_shifted", i);
            r = nm("rhs_shifted", i);
        }
    }
    if (dtype == dt::INT64)
        append_node("Identity", {acc}, {std::move(out)});
    else
        add_cast_node(acc, std::move(out), dtype);
}

}  // namespace kestro
