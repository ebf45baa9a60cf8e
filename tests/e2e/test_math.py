"""Arithmetic, bitwise, activation and matrix operators through the built binary, checked with
onnx and run in ONNX Runtime against numpy values of PaddlePaddle's documented semantics."""

import math

import numpy as np
import pytest

from harness import Program, a_bool, a_f32, a_i32, a_str, assert_refused, convert_check_run, word_of_np

I64_MIN, I64_MAX = np.iinfo(np.int64).min, np.iinfo(np.int64).max


def run_op(tmp, name, inputs, attrs=None, opset=17, out=None, n_in=None):
    """One operator over graph inputs x0, x1, ...; returns its output. out: (dtype, dims) of the
    output, None for the first input's, or "untyped" for an output without a recorded type."""
    p = Program()
    ids = [p.data(f"x{k}", word_of_np(a.dtype), list(a.shape)) for k, a in enumerate(inputs)]
    first = inputs[0]
    spec = (word_of_np(first.dtype), list(first.shape)) if out is None else out
    y = p.op(name, ids, attrs=attrs, outs=[None if spec == "untyped" else spec])
    if spec == "untyped":
        p.fetch(y, "out", word_of_np(first.dtype), list(first.shape))
    else:
        p.fetch(y, "out")
    feeds = {f"x{k}": a for k, a in enumerate(inputs)}
    return convert_check_run(p, None, feeds, opset=opset, tmp=tmp)["out"]


def arr(values, dtype):
    return np.array(values, dtype=dtype)


# ------------------------------------------------------------------------------------------------
# Floor division, multiply, power, scale

FLOOR_INT = [
    (np.int32, [-7, 7, -8, 7, 0, -1, -9], [2, 2, 2, -2, 3, 5, -3]),
    (np.int32, [-7, -9], [-2, -4]),  # both negative with a remainder: 3 and 2, no adjustment
    (np.int64, [-9007199254740993, 9007199254740993, -7], [2, -2, 2]),
    (np.int8, [-7, 7, -128, 127, -1], [2, -2, 3, -3, 5]),
    (np.int16, [-7, 7, -32768], [2, -2, 7]),
]


@pytest.mark.parametrize("opset", [10, 13, 17])
@pytest.mark.parametrize("dtype,a,b", FLOOR_INT)
def test_floor_divide_integers_round_toward_negative_infinity(tmp, opset, dtype, a, b):
    a, b = arr(a, dtype), arr(b, dtype)
    got = run_op(tmp, "1.floor_divide", [a, b], opset=opset)
    assert got.dtype == dtype
    np.testing.assert_array_equal(got, np.floor_divide(a, b))


@pytest.mark.parametrize("opset", [10, 17])
@pytest.mark.parametrize("dtype,a,b", [
    (np.float32, [-7.5, 7.5, 5.0, -1.0], [2.0, -2.0, 0.5, 3.0]),
    (np.float64, [16777217.0, -9007199254740991.0], [1.0, 2.0]),
    (np.float16, [-7.5, 7.5, 5.0], [2.0, -2.0, 0.5]),
])
def test_floor_divide_floats_in_their_own_width(tmp, opset, dtype, a, b):
    a, b = arr(a, dtype), arr(b, dtype)
    got = run_op(tmp, "1.floor_divide", [a, b], opset=opset)
    assert got.dtype == dtype
    np.testing.assert_array_equal(got, np.floor(a / b))


def paddle_remainder(a, b):
    """Paddle's kernel: fmod, then a nonzero remainder whose sign differs from the divisor's
    moves by one divisor (float16 is computed in float32 and rounded once)."""
    w = a.astype(np.float32) if a.dtype == np.float16 else a
    v = b.astype(w.dtype)
    with np.errstate(invalid="ignore", divide="ignore"):
        r = np.fmod(w, v)
        r = np.where((r != 0) & ((v < 0) != (r < 0)), r + v, r)
    return r.astype(a.dtype)


def alternating_mask(a):
    return (np.arange(a.size) % 2 == 0).reshape(a.shape)


# Paddle's elementwise results in the operands' type: narrow integers wrap.
BINARY = {
    "1.multiply": lambda a, b: np.logical_and(a, b) if a.dtype == np.bool_ else (a * b).astype(a.dtype),
    "1.add": lambda a, b: (a + b).astype(a.dtype),
    "1.subtract": lambda a, b: (a - b).astype(a.dtype),
    "1.equal": lambda a, b: a == b,
    "1.less_than": lambda a, b: a < b,
    "1.greater_equal": lambda a, b: a >= b,
    "1.remainder": paddle_remainder,
    "1.remainder_": paddle_remainder,
    "1.pow_": lambda a, b: np.power(a, b).astype(a.dtype),
    # The logical operators read any nonzero element (NaN too) as true.
    "1.logical_and": np.logical_and,
    "1.logical_or": np.logical_or,
    "1.logical_not": lambda a, b: np.logical_not(a),
    "1.where": lambda a, b: np.where(alternating_mask(a), a, b),
    # Paddle's float attributes widened to float64: slope 0.1666667, offset 0.5.
    "1.hardsigmoid": lambda a, b: np.minimum(np.maximum(a * np.float64(np.float32(0.1666667)) + 0.5, 0), 1),
    "1.hardswish": lambda a, b: a * np.minimum(np.maximum(a + 3, 0), 6) / 6,
    "1.relu": lambda a, b: np.maximum(a, 0).astype(a.dtype),
}
# The operands an operator is given from a row's a and b (default: both).
OPERANDS = {
    "1.logical_not": lambda a, b: [a],
    "1.where": lambda a, b: [alternating_mask(a), a, b],
    "1.hardsigmoid": lambda a, b: [a],
    "1.hardswish": lambda a, b: [a],
    "1.relu": lambda a, b: [a],
}
# Operators ONNX takes on a row's type only from a later opset.
MIN_OPSET = {"1.relu": 14, "1.greater_equal": 12}


@pytest.mark.parametrize("opset", [10, 17])
@pytest.mark.parametrize("name,dtype,a,b", [
    ("1.multiply", np.float32, [1.5, -2.0, 3.0], [2.0, 4.0, -0.5]),
    ("1.multiply", np.int32, [3, -4, 70000], [5, 6, 7]),
    ("1.multiply", np.int8, [3, -4, 100], [5, 6, 2]),  # 200 wraps to -56, as an int8 product does
    ("1.multiply", np.uint8, [3, 4, 200], [5, 6, 2]),
    ("1.multiply", np.bool_, [True, False, True, False], [True, True, False, False]),
    # The generic operators take narrow integers from opset 14 only: below it they are
    # computed in int32 and cast back, wrapping as Paddle's kernels do.
    ("1.add", np.int8, [100, -100, 5], [100, -100, -3]),
    ("1.add", np.uint8, [200, 1, 0], [100, 2, 0]),
    ("1.subtract", np.uint8, [3, 0, 200], [5, 1, 100]),
    ("1.subtract", np.int16, [-32768, 5, 7], [1, 7, -7]),
    ("1.equal", np.int8, [1, -2, 3], [1, 2, 3]),
    ("1.equal", np.int16, [-300, 300], [-300, 301]),
    # Bools order as false < true; ONNX compares them only as numbers.
    ("1.less_than", np.bool_, [False, False, True, True], [False, True, False, True]),
    ("1.greater_equal", np.bool_, [False, False, True, True], [False, True, False, True]),
    # remainder takes the divisor's sign; ONNX Mod takes floats only as fmod (the dividend's).
    ("1.remainder", np.float32, [5.5, -5.5, 5.5, -5.5, 4.0, -4.0, 0.0, -1.0, 1.0, np.inf, np.nan, 3.0],
     [2.0, 2.0, -2.0, -2.0, 2.0, -2.0, 3.0, np.inf, -np.inf, 2.0, 1.0, 0.0]),
    ("1.remainder", np.float64, [7.5, -7.5, 1e300, -0.3, 9007199254740993.0], [-2.0, 0.1, 3.0, 0.1, -7.0]),
    ("1.remainder", np.float16, [5.5, -5.5, 7.0, 0.1, -65504.0], [2.0, 2.0, -3.0, -0.03, 3.0]),
    ("1.remainder_", np.float32, [-7.25, 7.25], [3.0, -3.0]),
    ("1.pow_", np.float32, [2.0, 4.0, 9.0, -3.0], [3.0, 0.5, 0.5, 2.0]),
    ("1.remainder", np.float32, -5.5, 2.0),  # 0-D
    ("1.remainder", np.float64, [], []),
    ("1.remainder", np.int32, [7, -7, 7, -7, 6, -6, 0, -2147483648], [3, 3, -3, -3, 3, -3, 5, 7]),
    ("1.remainder", np.int64, [-9007199254740993, 9007199254740993, I64_MIN], [2, -2, 3]),
    ("1.remainder", np.int8, [-128, 127, -7, 7], [3, -3, 2, -2]),
    ("1.remainder", np.int16, [-32768, 5, -5], [7, -3, 3]),
    ("1.logical_and", np.int32, [0, 1, -5, 0], [0, 0, 7, 2]),
    ("1.logical_or", np.float32, [0.0, -0.0, np.nan, 0.5], [0.0, 0.0, 0.0, 0.0]),
    ("1.logical_and", np.int8, [0, -1, 3, 3], [5, 5, 0, 1]),
    ("1.logical_not", np.int64, [0, 1, -1, I64_MIN], [0, 0, 0, 0]),
    ("1.logical_not", np.float16, [0.0, -0.0, 0.25, np.nan], [0, 0, 0, 0]),
    ("1.logical_or", np.bool_, [True, False, False], [False, False, True]),
    # ONNX Runtime has no Where kernel for bool, int8 or int16: selected in a wider type.
    ("1.where", np.bool_, [True, False, True, False], [False, True, False, True]),
    ("1.where", np.int8, [-128, 127, 5, -1], [1, -2, -128, 127]),
    ("1.where", np.int16, [-32768, 32767, 3], [1, -2, 7]),
    ("1.where", np.uint8, [0, 255, 7], [255, 1, 0]),
    ("1.where", np.float16, [0.5, np.nan, -2.0], [1.0, 2.0, np.inf]),
    ("1.where", np.int8, -3, 4),  # 0-D
    ("1.where", np.bool_, [], []),
    # ONNX Runtime has no float64 HardSigmoid or HardSwish, nor an int16 Relu.
    ("1.hardsigmoid", np.float64, [-4.0, -3.0, 0.1, 2.9, 3.0, 1e300], [0] * 6),
    ("1.hardswish", np.float64, [-4.0, -3.0, -1.0, 0.1, 2.9, 3.0, 1e300], [0] * 7),
    ("1.relu", np.int16, [-32768, -1, 0, 32767], [0] * 4),
])
def test_elementwise_binary(tmp, opset, name, dtype, a, b):
    if opset < MIN_OPSET.get(name, 0):
        pytest.skip(f"{name} on {np.dtype(dtype).name} needs opset {MIN_OPSET[name]}")
    a, b = arr(a, dtype), arr(b, dtype)
    expected = BINARY[name](a, b)
    operands = OPERANDS.get(name, lambda a, b: [a, b])(a, b)
    got = run_op(tmp, name, operands, opset=opset, out=(word_of_np(expected.dtype), list(expected.shape)))
    assert got.dtype == expected.dtype
    np.testing.assert_array_equal(got, expected)


@pytest.mark.parametrize("opset", [10, 12, 17])
@pytest.mark.parametrize("dtype,x,y", [
    (np.float32, [-2.0, 1.5, 4.0], 3.0),
    (np.float64, [2.0, 0.25, 9.0], 0.5),
    (np.int32, [-2, 3, 7], 3),
    (np.int64, [-3, 2, 10], 2),
    (np.int8, [-2, 3, 5], 3),
])
def test_pow_with_attribute_exponent(tmp, opset, dtype, x, y):
    x = arr(x, dtype)
    got = run_op(tmp, "1.pow", [x], attrs={"y": a_f32(y)}, opset=opset)
    assert got.dtype == dtype
    np.testing.assert_allclose(got, np.power(x, dtype(y)), rtol=1e-6)


@pytest.mark.parametrize("opset", [10, 17, 18])
@pytest.mark.parametrize("dtype,x,y", [
    (np.float32, [2.0, 3.0, 4.0], [3.0, 0.5, -1.0]),
    # An exponent of a type ONNX Runtime's Pow does not read is taken in the base's compute type.
    (np.int8, [2, -3, 7], [3, 2, 1]),
    (np.int16, [2, -3, 100], [3, 3, 2]),
])
def test_pow_with_tensor_exponent(tmp, opset, dtype, x, y):
    x, y = arr(x, dtype), arr(y, dtype)
    np.testing.assert_allclose(run_op(tmp, "1.pow", [x, y], opset=opset), x ** y, rtol=1e-6)


def paddle_scale(x, scale, bias, after):
    if np.issubdtype(x.dtype, np.integer):  # scale and bias are cast to the element type: toward zero, wrapping
        scale, bias = (np.array(int(v)).astype(x.dtype) for v in (scale, bias))
    return (x * scale + bias if after else (x + bias) * scale).astype(x.dtype)


# An output whose type the program does not record is computed in x's type.
@pytest.mark.parametrize("opset", [10, 17, 18])
@pytest.mark.parametrize("after", [True, False])
@pytest.mark.parametrize("out", [None, "untyped"])
@pytest.mark.parametrize("dtype,x,scale,bias", [
    (np.float32, [1.0, 2.0, -3.0], 2.0, 1.0),
    (np.float64, [0.5, -1.25], -3.0, 0.25),
    (np.int32, [1, -3, 5], 2.7, 1.9),
    (np.int64, [4, -6], -2.0, 3.0),
    (np.int8, [1, -3, 5], 3.0, -2.0),
    (np.int8, [1, -3, 5], 300.0, -130.0),  # scale 44, bias 126
    (np.int8, [100, -100, 7], 2.0, 1.0),   # 201 and -199 wrap to -55 and 57
    (np.int16, [300, -7, 20000], -2.9, 1.5),  # scale -2, bias 1; -40000 wraps to 25536
    (np.uint8, [1, 2, 200], 2.0, -1.0),    # bias 255
])
def test_scale_with_attributes(tmp, opset, after, out, dtype, x, scale, bias):
    x = arr(x, dtype)
    attrs = {"scale": a_f32(scale), "bias": a_f32(bias), "bias_after_scale": a_bool(after)}
    got = run_op(tmp, "1.scale", [x], attrs=attrs, opset=opset, out=out)
    np.testing.assert_allclose(got, paddle_scale(x, scale, bias, after), rtol=1e-6)


@pytest.mark.parametrize("opset", [10, 13, 17, 21])
@pytest.mark.parametrize("factor_dims", [[1], [1, 1]])
def test_scale_with_tensor_factor_on_rank0_int_output(tmp, opset, factor_dims):
    """A float32 factor of one element ([1], or [1, 1]: Paddle reads the value whatever the rank)
    on a rank-0 int64 value: cast to int64, made 0-D, then applied."""
    p = Program()
    x = p.full([], -4.0, "i64")
    s = p.full(factor_dims, 3.0, "f32")
    y = p.op("1.scale", [x, s], attrs={"bias": a_f32(1.0), "bias_after_scale": a_bool(True)},
             outs=[("i64", [])])
    p.fetch(y, "out")
    got = convert_check_run(p, None, {}, opset=opset, tmp=tmp)["out"]
    assert got.shape == () and got == -11


# ------------------------------------------------------------------------------------------------
# Bitwise

AND_CASES = [
    (np.bool_, [True, True, False, False], [True, False, True, False]),
    (np.int8, [-1, -128, -3, 127, 85, -1], [5, -1, -6, -128, 15, -1]),
    (np.int32, [-1, 2147483647, -2147483648, 12345, -7], [0x0F0F0F0F, -1, -1, -2, 3]),
    (np.int64, [I64_MIN, I64_MAX, -2, -7], [-1, -2, 3, -9]),
]


@pytest.mark.parametrize("opset", [10, 17, 18])
@pytest.mark.parametrize("dtype,a,b", AND_CASES)
def test_bitwise_and(tmp, opset, dtype, a, b):
    a, b = arr(a, dtype), arr(b, dtype)
    got = run_op(tmp, "1.bitwise_and", [a, b], opset=opset)
    assert got.dtype == dtype
    np.testing.assert_array_equal(got, a & b)


NOT_CASES = [
    (np.bool_, [True, False]),
    (np.int8, [0, -1, 127, -128, 5]),
    (np.int16, [0, 5, -32768, 32767]),
    (np.int32, [0, -1, 5, -2147483648, 2147483647]),
    (np.int64, [0, -1, I64_MIN, I64_MAX]),
]


@pytest.mark.parametrize("opset", [10, 14, 17, 18])
@pytest.mark.parametrize("dtype,x", NOT_CASES)
def test_bitwise_not(tmp, opset, dtype, x):
    x = arr(x, dtype)
    got = run_op(tmp, "1.bitwise_not", [x], opset=opset)
    assert got.dtype == dtype
    np.testing.assert_array_equal(got, ~x)


def test_uint8_bitwise_at_opset_18(tmp):
    a, b = arr([0xF0, 0x3C, 255], np.uint8), arr([0x0F, 0xFF, 0x81], np.uint8)
    np.testing.assert_array_equal(run_op(tmp, "1.bitwise_and", [a, b], opset=18), a & b)
    np.testing.assert_array_equal(run_op(tmp, "1.bitwise_not", [a], opset=18), ~a)


# ------------------------------------------------------------------------------------------------
# Activations

X_ACT = arr([-4.0, -3.0, -1.0, 0.0, 0.5, 1.0, 3.0, 4.0], np.float32)


@pytest.mark.parametrize("opset", [10, 13, 14, 17])
def test_hardswish(tmp, opset):
    expected = X_ACT * np.clip(X_ACT + 3.0, 0.0, 6.0) / 6.0
    np.testing.assert_allclose(run_op(tmp, "1.hardswish", [X_ACT], opset=opset), expected, atol=1e-6)


@pytest.mark.parametrize("attrs,slope", [
    ({"alpha": a_f32(0.2)}, 0.2),
    ({"negative_slope": a_f32(0.3)}, 0.3),
    ({}, 0.01),
])
@pytest.mark.parametrize("opset", [10, 17, 21])
@pytest.mark.parametrize("dtype", [np.float32, np.float64])
def test_leaky_relu(tmp, opset, attrs, slope, dtype):
    # Paddle widens the float attribute to the input's type; NaN stays NaN.
    x = np.append(X_ACT, [np.nan, -0.0]).astype(dtype)
    expected = np.where(x > 0, x, dtype(np.float32(slope)) * x)
    got = run_op(tmp, "1.leaky_relu", [x], attrs=attrs, opset=opset)
    assert got.dtype == dtype
    np.testing.assert_allclose(got, expected, rtol=1e-6 if dtype == np.float32 else 1e-15)


@np.errstate(invalid="ignore", over="ignore")  # -inf * 0 is NaN, as in Paddle
def gelu_ref(x, tanh_form):
    x = x.astype(np.float64)
    if tanh_form:
        return 0.5 * x * (1 + np.tanh(math.sqrt(2 / math.pi) * (x + 0.044715 * x ** 3)))
    return 0.5 * x * (1 + np.vectorize(math.erf)(x / math.sqrt(2)))


F64_AWKWARD = [-40.0, -8.0, -3.0, -2.9, -1e-3, 0.0, 0.7, 2.8, 2.9, 3.5, 6.0, 40.0, np.inf, -np.inf, np.nan]


@pytest.mark.parametrize("opset", [10, 17, 21])
@pytest.mark.parametrize("approximate,tanh_form", [
    (a_bool(False), False), (a_bool(True), True), (a_str("tanh"), True), (a_str("TANH"), False),
])
@pytest.mark.parametrize("x", [arr([-1.0, 0.0, 1.0, 2.0, -3.0], np.float32),
                               arr(1.5, np.float32), arr(-0.5, np.float16),  # a single value stays rank 0
                               # float64 keeps its precision (ONNX Runtime has no float64 Erf), on
                               # both sides of where the float64 erf changes its form, and at inf/NaN.
                               arr(F64_AWKWARD, np.float64), arr(-2.5, np.float64)])
def test_gelu(tmp, opset, approximate, tanh_form, x):
    got = run_op(tmp, "1.gelu", [x], attrs={"approximate": approximate}, opset=opset)
    assert got.shape == x.shape and got.dtype == x.dtype
    tol = {np.float16: 1e-3, np.float64: 1e-13}.get(x.dtype.type, 1e-5)
    np.testing.assert_allclose(got, gelu_ref(x, tanh_form).astype(x.dtype), rtol=tol, atol=tol / 10)


def test_gelu_tanh_form_in_float64(tmp):
    """The constants follow the input's type, so a float64 model loads and keeps its precision."""
    x = arr([-1.0, 0.0, 1.0, 2.0, -3.0], np.float64)
    got = run_op(tmp, "1.gelu", [x], attrs={"approximate": a_bool(True)})
    assert got.dtype == np.float64
    np.testing.assert_allclose(got, gelu_ref(x, True), rtol=1e-12)


@pytest.mark.parametrize("opset", [10, 11, 13, 17, 18, 21])
@pytest.mark.parametrize("mode,layout,x_shape,slope_shape,declared", [
    ("all", "NCHW", [2, 3, 2, 2], [1], None),
    ("channel", "NCHW", [2, 3, 2, 2], [3], None),
    ("channel", "NCHW", [2, 4, 5], [4], None),
    ("channel", "NHWC", [2, 2, 2, 3], [3], None),
    ("element", "NCHW", [2, 3, 2], [1, 3, 2], None),
    # Paddle reads an element slope flat, one value per element of a row (x without its batch).
    ("element", "NCHW", [2, 3, 2], [6], None),
    ("element", "NCHW", [3, 3, 2], [3, 2, 1], [-1, 3, 2]),
    ("all", "NCHW", [], [1], None),  # a single value keeps rank 0
    # The [1, C, 1, 1] slope Paddle's static API makes holds C values for the channel axis
    # whatever the input's rank, batches above one included.
    ("channel", "NCHW", [4, 3], [1, 3, 1, 1], None),
    ("channel", "NCHW", [2, 3, 4], [1, 3, 1, 1], [-1, 3, 4]),
    ("channel", "NCHW", [3, 3, 2, 2], [1, 3, 1, 1], [-1, 3, -1, -1]),
    ("channel", "NCDHW", [2, 3, 2, 2, 2], [1, 3, 1, 1], None),
    ("channel", "NHWC", [2, 4, 3], [1, 1, 1, 3], [-1, 4, 3]),
    ("channel", "NCHW", [2, 1, 3], [1, 1, 1, 1], None),
    # A slope an `if` yields without a recorded type: one value for mode all (a [1, 1, 1]
    # one too, which must not raise x's rank).
    ("all", "NCHW", [2, 3, 2, 2], [1], "if"),
    ("all", "NCHW", [3, 2], [1, 1, 1], "if"),
    ("all", "NCHW", [], [1], "if"),
])
def test_prelu(tmp, opset, mode, layout, x_shape, slope_shape, declared):
    rng = np.random.default_rng(7)
    x = rng.standard_normal(x_shape).astype(np.float32)
    if not x_shape:
        x = -abs(x)  # a value the slope acts on
    slope = rng.uniform(0.1, 0.9, slope_shape).astype(np.float32)
    if mode == "channel" and layout in ("NCHW", "NCDHW"):
        a = slope.reshape([1, -1] + [1] * (len(x_shape) - 2))
    elif mode == "channel":
        a = slope.reshape(-1)  # the channel axis is last
    elif mode == "all":
        a = slope.reshape(())  # its one value, whatever its dims
    else:
        a = slope.reshape(x_shape[1:])  # its values in the order of a row's elements
    attrs = {"mode": a_str(mode), "data_format": a_str(layout)}
    if declared is None:
        got = run_op(tmp, "1.prelu", [x, slope], attrs=attrs, opset=opset)
    elif declared == "if":
        p = Program()
        s = p.data("x1", "f32", slope_shape)
        then, other = p.block(), p.block()
        then.yield_([s])
        other.yield_([other.full(slope_shape, 0.5)])
        s = p.op("1.if", [p.data("c", "bool", [1])], outs=[None], regions=[then, other])
        p.fetch(p.op("1.prelu", [p.data("x0", "f32", x_shape), s], attrs=attrs, outs=[("f32", x_shape)]), "out")
        feeds = {"x0": x, "x1": slope, "c": np.array([True])}
        got = convert_check_run(p, None, feeds, opset=opset, tmp=tmp)["out"]
    else:
        p = Program()
        y = p.op("1.prelu", [p.data("x0", "f32", declared), p.data("x1", "f32", slope_shape)], attrs=attrs,
                 outs=[("f32", declared)])
        p.fetch(y, "out")
        got = convert_check_run(p, None, {"x0": x, "x1": slope}, opset=opset, tmp=tmp)["out"]
    assert got.shape == x.shape
    np.testing.assert_allclose(got, np.where(x > 0, x, a * x), rtol=1e-6)


@pytest.mark.parametrize("opset", [10, 17, 21])
@pytest.mark.parametrize("name", ["1.swish", "1.silu"])
@pytest.mark.parametrize("x", [arr([0.0, 1.0, -1.0, 3.0], np.float32),
                               # float64: ONNX Runtime's QuickGelu fusion has no float64 kernel.
                               arr(F64_AWKWARD, np.float64), arr(-0.75, np.float64)])
def test_swish_and_silu(tmp, opset, name, x):
    got = run_op(tmp, name, [x], opset=opset)
    assert got.shape == x.shape and got.dtype == x.dtype
    with np.errstate(over="ignore", invalid="ignore"):
        want = x * (1 / (1 + np.exp(-x)))  # Paddle's x * sigmoid(x)
    np.testing.assert_allclose(got, want, rtol=1e-13 if x.dtype == np.float64 else 1e-6)


def paddle_softmax(x, axis):
    if x.ndim == 0:  # a single value is its own whole distribution, whatever it holds
        return np.ones_like(x)
    w = x.astype(np.float64)
    e = np.exp(w - w.max(axis=axis, keepdims=True)) if w.size else w
    return (e / e.sum(axis=axis, keepdims=True)).astype(x.dtype)


# dtype, declared dims, fed shape, axis. Softmax before 13 flattens to 2-D at its axis.
SOFTMAX_CASES = [
    (np.float32, [3, 4], (3, 4), 0),
    (np.float32, [-1, 3, 4], (2, 3, 4), 1),
    (np.float64, [2, 3, 4], (2, 3, 4), -3),
    (np.float16, [-1, 3, 4], (2, 3, 4), -2),
    (np.float32, [-1, 3], (2, 3), -1),
    (np.float32, [-1, 3], (0, 3), 0),
    (np.float32, [], (), -1),
    (np.float64, [], (), 0),
    # The axis written as a whole float is that axis, not the last one.
    (np.float32, [3, 4], (3, 4), 0.0),
    (np.float32, [-1, 3, 4], (2, 3, 4), 1.0),
]


@pytest.mark.parametrize("opset", [10, 11, 13, 17])
@pytest.mark.parametrize("dtype,dims,shape,axis", SOFTMAX_CASES)
def test_softmax(tmp, opset, dtype, dims, shape, axis):
    x = np.random.default_rng(5).standard_normal(shape).astype(dtype) * 3
    if x.ndim == 0:
        x = np.array(np.nan, dtype)
    p = Program()
    y = p.op("1.softmax", [p.data("x", word_of_np(x.dtype), dims)], attrs={"axis": a_i32(axis)},
             outs=[(word_of_np(x.dtype), dims)])
    p.fetch(y, "out")
    got = convert_check_run(p, None, {"x": x}, opset=opset, tmp=tmp)["out"]
    assert got.dtype == dtype and got.shape == x.shape
    np.testing.assert_allclose(got, paddle_softmax(x, int(axis)), rtol=2e-3 if dtype == np.float16 else 1e-6)


# ------------------------------------------------------------------------------------------------
# Matrix products, triangle masks, unbind

def swap_last(a):
    return np.swapaxes(a, -1, -2)


@pytest.mark.parametrize("opset", [10, 17])
@pytest.mark.parametrize("tx,ty,x_shape,y_shape", [
    (False, False, [2, 3], [3, 4]),
    (False, True, [2, 3], [4, 3]),
    (True, False, [3, 2], [3, 4]),
    (True, True, [3, 2], [4, 3]),
    (False, True, [2, 2, 3], [2, 4, 3]),
    (True, False, [2, 3, 2], [2, 3, 4]),
    (True, True, [2, 3, 2], [2, 4, 3]),
])
def test_matmul_transpose_flags(tmp, opset, tx, ty, x_shape, y_shape):
    rng = np.random.default_rng(3)
    x = rng.standard_normal(x_shape).astype(np.float32)
    y = rng.standard_normal(y_shape).astype(np.float32)
    expected = (swap_last(x) if tx else x) @ (swap_last(y) if ty else y)
    got = run_op(tmp, "1.matmul", [x, y], attrs={"transpose_x": a_bool(tx), "transpose_y": a_bool(ty)},
                 out=("f32", list(expected.shape)), opset=opset)
    np.testing.assert_allclose(got, expected, rtol=1e-5)


@pytest.mark.parametrize("opset", [10, 17])
@pytest.mark.parametrize("with_bias", [True, False])
def test_linear_with_parameters(tmp, opset, with_bias):
    x = arr([[1.0, 2.0], [-1.0, 0.5]], np.float32)
    w = arr([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]], np.float32)
    b = arr([10.0, 20.0, 30.0], np.float32)
    p = Program()
    xi = p.data("x", "f32", [2, 2])
    wi = p.param("linear_0.w_0", "f32", [2, 3])
    bi = p.param("linear_0.b_0", "f32", [3]) if with_bias else 0
    p.fetch(p.op("1.linear_v2", [xi, wi, bi], outs=[("f32", [2, 3])]), "out")
    weights = {"linear_0.w_0": w, **({"linear_0.b_0": b} if with_bias else {})}
    got = convert_check_run(p, weights, {"x": x}, opset=opset, tmp=tmp)["out"]
    np.testing.assert_allclose(got, x @ w + (b if with_bias else 0), rtol=1e-6)


@pytest.mark.parametrize("opset", [14, 17])
@pytest.mark.parametrize("name,diagonal", [
    ("1.tril", 0), ("1.tril", 1), ("1.tril", -1), ("1.triu", 0), ("1.triu", 2), ("1.triu", -1),
    ("1.tril_", -1), ("1.triu_", 1),  # in place: the same lowering
])
def test_tril_triu(tmp, opset, name, diagonal):
    x = np.arange(1, 13, dtype=np.float32).reshape(3, 4)
    got = run_op(tmp, name, [x], attrs={"diagonal": a_i32(diagonal)}, opset=opset)
    expected = np.tril(x, diagonal) if name.startswith("1.tril") else np.triu(x, diagonal)
    np.testing.assert_array_equal(got, expected)


def unbind_program(x_shape, axis):
    p = Program()
    x = p.data("x", "f32", x_shape)
    n = x_shape[axis]
    piece = [d for k, d in enumerate(x_shape) if k != axis % len(x_shape)]
    lst = p.op("1.unbind", [x], attrs={"axis": a_i32(axis)}, outs=[("vec", [("f32", piece)] * n)])
    for k, o in enumerate(p.split(lst, [("f32", piece)] * n)):
        p.fetch(o, f"out{k}")
    return p


@pytest.mark.parametrize("opset", [10, 12, 13, 17, 18])
@pytest.mark.parametrize("axis", [-1, 0, 1])
def test_unbind(tmp, opset, axis):
    x = np.arange(1, 7, dtype=np.float32).reshape(2, 3)
    outs = convert_check_run(unbind_program([2, 3], axis), None, {"x": x}, opset=opset, tmp=tmp)
    expected = [np.take(x, k, axis=axis) for k in range(x.shape[axis])]
    assert len(outs) == len(expected)
    for got, want in zip(outs.values(), expected):
        np.testing.assert_array_equal(got, want)


# Operand types and ranks Paddle's kernels do not take, for which no node ONNX defines (or
# ONNX Runtime implements) exists: refused, naming the operator and the operand.
@pytest.mark.parametrize("name,inputs,attrs,message", [
    ("1.gelu", [("i32", [2])], {"approximate": a_bool(False)}, "gelu does not take int32 inputs, only floating-point values"),
    ("1.swish", [("i64", [2])], {}, "swish does not take int64 inputs, only floating-point values"),
    ("1.silu", [("ui8", [2])], {}, "silu does not take uint8 inputs, only floating-point values"),
    ("1.leaky_relu", [("bool", [2])], {"negative_slope": a_f32(0.1)}, "leaky_relu does not take bool inputs, only floating-point values"),
    ("1.pow", [("bool", [2])], {"y": a_f32(2.0)}, "pow does not take a bool base"),
    ("1.matmul", [("f32", []), ("f32", [])], {}, "matmul does not take a rank-0 operand"),
    ("1.matmul", [("i8", [2, 2]), ("i8", [2, 2])], {}, "matmul does not take int8 operands"),
    ("1.bmm", [("f32", []), ("f32", [2, 2, 2])], {}, "bmm takes a rank 1 or higher input, got rank 0"),
    ("1.tril", [("f32", [3])], {"diagonal": a_i32(0)}, "tril takes a rank 2 or higher input, got rank 1"),
    ("1.linear_v2", [("f32", []), ("f32", [1, 2])], {}, "linear_v2 takes a rank 1 or higher input, got rank 0"),
    ("1.linear_v2", [("i32", [2, 3]), ("i32", [3, 2])], {}, "linear_v2 does not take int32 inputs, only floating-point values"),
    ("1.triu_", [("i16", [2, 2])], {"diagonal": a_i32(0)}, "triu does not take int16 inputs"),
    # Known dims that do not line up: MatMul would not load.
    ("1.bmm", [("f32", [2, 2, 3]), ("f32", [2, 4, 2])], {}, "bmm: x dims [2, 2, 3] and y dims [2, 4, 2] do not line up (3 against 4)"),
    ("1.bmm", [("f32", [2, 2, 3]), ("f32", [3, 3, 2])], {}, "bmm: operand dims [2, 2, 3] and [3, 3, 2] cannot broadcast"),
    # Paddle scales by one value.
    ("1.scale", [("f32", [2, 3]), ("f32", [2, 3])], {"bias": a_f32(0.0)},
     "scale: scale (value 2) has dims [2, 3], but it must hold one value: a tensor of one element"),
])
@pytest.mark.parametrize("opset", [17, 18])
def test_refusals(tmp, name, inputs, attrs, message, opset):
    p = Program()
    ids = [p.data(f"x{k}", dtype, dims) for k, (dtype, dims) in enumerate(inputs)]
    p.fetch(p.op(name, ids, attrs=attrs, outs=[inputs[0]]), "out")
    assert_refused(p, opset, message, tmp)
