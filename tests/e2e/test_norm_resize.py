"""Batch and group normalization and resize through the built binary, checked with onnx and run
in ONNX Runtime against numpy versions of PaddlePaddle's semantics."""

import warnings

import numpy as np
import pytest

from harness import Program, a_array, a_f32, a_i32, check, convert, convert_check_run, np_dtype

RNG = np.random.default_rng(11)


def rand(*shape):
    return RNG.standard_normal(shape).astype(np.float32)


def expect_failure(tmp, program, opset, message):
    r = convert(program, {}, tmp / "refused.onnx", opset=opset)
    assert r.returncode == 1, r.stderr
    assert message in r.stderr


# ------------------------------------------------------------------------------------------------
# Batch normalization


BATCH_NORM_OUTPUTS = ["out", "mean_out", "variance_out", "saved_mean", "saved_variance", "reserve_space"]


def batch_norm_program(is_test=True, data_format="NCHW", dtype="f32", without=(), x_shape=(-1, 3, 4, 5),
                       y_dtype=None, global_stats=True, trainable=False):
    """The exported form: inputs x, mean, variance, scale, bias; six outputs. Mixed-precision
    exports keep the parameters float32 under float16 data. The inputs named in `without` are
    omitted (id 0); the outputs named there are fetched after y, under their names."""
    p = Program()
    mean, var = p.param("bn.w_1", "f32", [3]), p.param("bn.w_2", "f32", [3])
    scale = 0 if "scale" in without else p.param("bn.w_0", "f32", [3])
    bias = 0 if "bias" in without else p.param("bn.b_0", "f32", [3])
    if "mean" in without:
        mean = 0
    x = p.data("x", dtype, list(x_shape))
    outs = p.op("1.batch_norm_", [x, mean, var, scale, bias],
                attrs={"is_test": is_test, "momentum": 0.9, "epsilon": 1e-5, "data_format": data_format,
                       "use_global_stats": global_stats, "trainable_statistics": trainable},
                outs=[(y_dtype or dtype, [-1, 3, 4, 5])] + [("f32", [3])] * 4 + [("ui8", [-1])])
    p.fetch(outs[0], "out")
    for k, name in enumerate(BATCH_NORM_OUTPUTS):
        if name in without:
            p.fetch(outs[k], name)
    return p


# Below 15 BatchNormalization takes one type for data and parameters. Paddle reads an absent
# scale as ones and an absent bias as zeros.
@pytest.mark.parametrize("opset,dtype,without", [
    *[(o, d, ()) for o in (10, 14, 15, 17) for d in ("f32", "f16")],
    *[(o, "f32", ("empty",)) for o in (10, 17)],  # an empty batch
    # float64 data, which ONNX Runtime's BatchNormalization takes only before opset 15, with
    # float32 parameters.
    *[(o, "f64", w) for o in (10, 15, 17) for w in ((), ("scale", "bias"), ("empty",))],
    *[(o, d, w) for o in (10, 15, 17) for d, w in (("f32", ("scale",)), ("f32", ("bias",)),
                                                   ("f32", ("scale", "bias")), ("f16", ("scale", "bias")))],
    # The running statistics read after the node: in inference Paddle leaves them as they are.
    *[(o, d, ("mean_out", "variance_out")) for o in (10, 15, 17) for d in ("f32", "f16", "f64")],
    (17, "f32", ("variance_out",)),
])
def test_batch_norm_inference(tmp, opset, dtype, without):
    w = {"bn.w_1": rand(3), "bn.w_2": np.abs(rand(3)) + 0.5, "bn.w_0": rand(3), "bn.b_0": rand(3)}
    if "scale" in without:
        del w["bn.w_0"]
    if "bias" in without:
        del w["bn.b_0"]
    xs = rand(*((0, 3, 4, 5) if "empty" in without else (2, 3, 4, 5))).astype(np_dtype(dtype))
    outs = convert_check_run(batch_norm_program(dtype=dtype, without=without), w, {"x": xs}, opset=opset, tmp=tmp)
    out = outs["out"]
    assert out.dtype == xs.dtype
    c = lambda v: v.astype(np.float64).reshape(1, 3, 1, 1)
    expected = ((xs - c(w["bn.w_1"])) / np.sqrt(c(w["bn.w_2"]) + 1e-5) * c(w.get("bn.w_0", np.ones(3)))
                + c(w.get("bn.b_0", np.zeros(3))))
    tol = {"f32": 1e-5, "f16": 5e-3, "f64": 1e-9}[dtype]
    np.testing.assert_allclose(out, expected.astype(xs.dtype), rtol=tol, atol=tol)
    for name, param in (("mean_out", "bn.w_1"), ("variance_out", "bn.w_2")):
        if name in without:
            np.testing.assert_array_equal(outs[name], w[param])


def test_batch_norm_refusals(tmp):
    expect_failure(tmp, batch_norm_program(is_test=False), 17,
                   "batch_norm_ only supports inference-style lowering with is_test=true")
    expect_failure(tmp, batch_norm_program(data_format="NHWC"), 17, "batch_norm_ only supports NCHW")
    # Trained statistics at test time are the batch's own, unless the running ones are asked for.
    expect_failure(tmp, batch_norm_program(global_stats=False, trainable=True), 17,
                   "batch_norm_ with trainable_statistics=true normalises with the batch's own statistics")
    expect_failure(tmp, batch_norm_program(without=("mean",)), 17,
                   "batch_norm: mean (operand 1) is absent (%0), where batch_norm needs a value")
    expect_failure(tmp, batch_norm_program(without=("scale",), x_shape=(-1, -1, 4, 5)), 17,
                   "batch_norm_ without scale needs a known channel count")
    # Paddle normalises floating-point values over a channel axis.
    expect_failure(tmp, batch_norm_program(dtype="i64"), 17,
                   "batch_norm does not take int64 inputs, only floating-point values")
    expect_failure(tmp, batch_norm_program(x_shape=()), 17, "batch_norm takes a rank 2 or higher input, got rank 0")
    # y has x's type, whatever the parameters' type.
    expect_failure(tmp, batch_norm_program(y_dtype="f64"), 17,
                   "batch_norm_ declares its output 6 as float64 [-1, 3, 4, 5], but computes float32 [-1, 3, 4, 5]")
    expect_failure(tmp, batch_norm_program(dtype="f16", y_dtype="f32"), 17,
                   "batch_norm_ declares its output 6 as float32 [-1, 3, 4, 5], but computes float16 [-1, 3, 4, 5]")
    # Inference computes no statistics of the batch: the outputs that would hold them are refused
    # by name where a later operator or a fetch reads them, not left undefined.
    for name, value in (("saved_mean", 9), ("saved_variance", 10)):
        expect_failure(tmp, batch_norm_program(without=(name,)), 17,
                       f"Error: batch_norm_: output {value} ({name}) is read, but in inference Paddle computes no "
                       "statistics of the batch to fill it")
    expect_failure(tmp, batch_norm_program(without=("reserve_space",)), 17,
                   "Error: batch_norm_: output 11 (reserve_space) is read, but it is working space of Paddle's "
                   "training kernels, which inference does not fill")


# ------------------------------------------------------------------------------------------------
# Group normalization


def group_norm_ref(x, groups, scale, bias, eps=1e-5):
    n, c = x.shape[:2]
    g = x.astype(np.float64).reshape(n, groups, x.size // max(n * groups, 1))
    with np.errstate(invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the mean of no elements
        g = (g - g.mean(axis=2, keepdims=True)) / np.sqrt(g.var(axis=2, keepdims=True) + eps)
    shape = (1, c) + (1,) * (x.ndim - 2)
    return g.reshape(x.shape) * scale.reshape(shape) + bias.reshape(shape)


@pytest.mark.parametrize("opset", [10, 13, 17, 18])
@pytest.mark.parametrize("dims,dtype,param_dtype,fetched", [
    ((2, 6, 3, 4), "f32", "f32", ""),
    ((2, 6, 5), "f32", "f32", ""),
    ((2, 6, 3, 4), "f16", "f32", ""),  # mixed precision: float32 parameters under float16 data
    ((2, 6, 3, 4), "f64", "f64", ""),
    ((0, 6, 3, 4), "f32", "f32", ""),  # an empty batch
    ((2, 6, 0, 4), "f32", "f32", ""),
    ((2, 6, 4, 0), "f32", "f32", ""),
    # Paddle's mean and variance (without epsilon) of each group, [N, groups], read after the
    # node, with the batch declared -1.
    ((2, 6, 3, 4), "f32", "f32", "mean variance"),
    ((3, 6, 5), "f32", "f32", "variance"),
    ((2, 6, 3, 4), "f16", "f32", "mean variance"),
    ((2, 6, 3, 4), "f16", "f16", "mean"),
    ((2, 6, 3, 4), "f64", "f64", "mean variance"),
    ((0, 6, 3, 4), "f32", "f32", "mean variance"),
    ((2, 6, 0, 4), "f32", "f32", "mean"),  # groups of no elements: refused by name
])
def test_group_norm(tmp, opset, dims, dtype, param_dtype, fetched):
    stats_dtype = "f64" if dtype == "f64" else "f32"
    p = Program()
    scale, bias = p.param("gn.w_0", param_dtype, [6]), p.param("gn.b_0", param_dtype, [6])
    x = p.data("x", dtype, [-1, *dims[1:]])
    y = p.op("1.group_norm", [x, scale, bias],
             attrs={"epsilon": 1e-5, "groups": 3, "data_format": "NCHW"},
             outs=[(dtype, [-1, *dims[1:]]), (stats_dtype, [-1, 3]), (stats_dtype, [-1, 3])])
    p.fetch(y[0], "out")
    for k, name in ((1, "mean"), (2, "variance")):
        if name in fetched:
            p.fetch(y[k], name)
    if fetched and 0 in dims[1:]:
        expect_failure(tmp, p, opset, f"Error: group_norm: output {y[1]} (mean) is read, but its groups hold no elements")
        return
    w = {"gn.w_0": rand(6).astype(np_dtype(param_dtype)), "gn.b_0": rand(6).astype(np_dtype(param_dtype))}
    xs = rand(*dims).astype(np_dtype(dtype))
    outs = convert_check_run(p, w, {"x": xs}, opset=opset, tmp=tmp)
    out = outs["out"]
    assert out.dtype == xs.dtype
    tol = 5e-3 if dtype == "f16" else 1e-4
    np.testing.assert_allclose(out, group_norm_ref(xs, 3, w["gn.w_0"], w["gn.b_0"]).astype(xs.dtype),
                               rtol=tol, atol=tol)
    groups = xs.astype(np.float64).reshape(dims[0], 3, int(np.prod(dims[1:])) // 3)
    for name in fetched.split():
        assert outs[name].dtype == np_dtype(stats_dtype) and outs[name].shape == (dims[0], 3)
        np.testing.assert_allclose(outs[name], {"mean": np.mean, "variance": np.var}[name](groups, axis=2), rtol=1e-5, atol=1e-6)


# ------------------------------------------------------------------------------------------------
# Layer normalization


def layer_norm_ref(x, begin, scale, bias, eps=1e-5):
    """Paddle normalises over the dims from begin_norm_axis on; scale and bias are flat over them,
    an absent scale reads as ones and an absent bias as zeros."""
    begin %= x.ndim
    axes = tuple(range(begin, x.ndim))
    w = x.astype(np.float64)
    y = (w - w.mean(axis=axes, keepdims=True)) / np.sqrt(w.var(axis=axes, keepdims=True) + eps)
    if scale is not None:
        y = y * scale.astype(np.float64).reshape(x.shape[begin:])
    if bias is not None:
        y = y + bias.astype(np.float64).reshape(x.shape[begin:])
    return y.astype(x.dtype)


# data type, parameter type, declared dims, fed shape, begin_norm_axis, parameters given and
# statistics fetched
LAYER_NORMS = [
    ("f32", "f32", [-1, 4], (3, 4), 1, "scale bias"),
    ("f32", "f32", [-1, 3, 2], (2, 3, 2), 1, "scale bias"),
    ("f32", "f32", [2, -1, 4], (2, 3, 4), 1, "scale bias"),
    ("f64", "f64", [2, 3, 4], (2, 3, 4), 1, "scale"),
    ("f16", "f32", [-1, 3, 4], (2, 3, 4), 2, "scale bias"),
    ("f16", "f32", [2, 3, 4], (2, 3, 4), 1, "scale bias"),
    ("f32", "f32", [-1, 4], (0, 4), 1, "scale bias"),  # an empty batch
    # Without a bias over the last axis alone (an empty bias name crashes ONNX Runtime).
    ("f32", "f32", [2, 3, 4], (2, 3, 4), -1, "scale"),
    # Without a scale (weight_attr=False), with or without a bias, over known and unknown dims.
    ("f32", "f32", [2, 3, 4], (2, 3, 4), 1, "bias"),
    ("f32", "f32", [-1, 4], (3, 4), 1, ""),
    ("f32", "f32", [2, -1, 4], (2, 3, 4), 1, ""),
    ("f64", "f64", [2, 3, 4], (2, 3, 4), 2, "bias"),
    ("f16", "f32", [-1, 3, 4], (2, 3, 4), 1, "bias"),
    ("f32", "f32", [-1, 3, 4], (2, 3, 4), 2.0, "scale bias"),  # the axis written as a whole float
    # Normalised dims holding no elements (ONNX Runtime's LayerNormalization fails on them): the
    # result is as empty as x.
    ("f32", "f32", [2, 3, 0], (2, 3, 0), 2, "scale bias"),
    ("f16", "f32", [2, 0, 4], (2, 0, 4), 1, "scale"),
    # Paddle's mean and variance (biased, without epsilon) over the normalised dims, flattened to
    # one dim of the product of the leading dims, declared as it is known.
    ("f32", "f32", [2, 3, 4], (2, 3, 4), 2, "scale bias mean variance"),
    ("f32", "f32", [-1, 3, 4], (2, 3, 4), -1, "scale bias mean variance"),  # the one-node form
    ("f32", "f32", [-1, 3, 4], (2, 3, 4), 1, "scale bias variance"),
    ("f32", "f32", [2, -1, 4], (2, 3, 4), 2, "mean"),
    ("f32", "f32", [2, 3], (2, 3), 0, "scale bias mean variance"),  # no leading dims: one value
    ("f16", "f32", [-1, 3, 4], (2, 3, 4), 2, "scale bias mean variance"),
    ("f16", "f16", [-1, 3, 4], (2, 3, 4), 1, "scale bias mean variance"),
    ("f64", "f64", [-1, 3, 4], (2, 3, 4), 2, "scale mean variance"),
    ("f32", "f32", [-1, 4], (0, 4), 1, "scale bias mean variance"),  # an empty batch
    # Statistics declared with the leading dims kept ([2, 3, 1]): Paddle gives [6] all the same.
    ("f32", "f32", [2, 3, 4], (2, 3, 4), 2, "scale bias mean variance keepdims"),
]


def layer_norm_statistics(dtype, dims, begin, params):
    """The declared mean and variance: Paddle's (float32 for float16 data, one dim of the product
    of the leading dims) where params fetches one, else what exports without them declare."""
    if "mean" not in params and "variance" not in params:
        return [("f32", [-1])] * 2
    lead = dims[:int(begin) % len(dims)]
    count = -1 if any(d < 0 for d in lead) else int(np.prod(lead))
    declared = lead + [1] if "keepdims" in params else [count]
    return [("f64" if dtype == "f64" else "f32", declared)] * 2


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # numpy statistics over empty dims
@pytest.mark.parametrize("opset", [16, 17, 18])
@pytest.mark.parametrize("dtype,param_dtype,dims,shape,begin,params", LAYER_NORMS)
def test_layer_norm(tmp, opset, dtype, param_dtype, dims, shape, begin, params):
    with_scale, with_bias = "scale" in params, "bias" in params
    n = int(np.prod(shape[int(begin):]))
    p = Program()
    scale = p.param("ln.w_0", param_dtype, [n]) if with_scale else 0
    bias = p.param("ln.b_0", param_dtype, [n]) if with_bias else 0
    x = p.data("x", dtype, dims)
    y = p.op("1.layer_norm", [x, scale, bias], attrs={"epsilon": a_f32(1e-5), "begin_norm_axis": a_i32(begin)},
             outs=[(dtype, dims), *layer_norm_statistics(dtype, dims, begin, params)])
    p.fetch(y[0], "out")
    for k, name in ((1, "mean"), (2, "variance")):
        if name in params:
            p.fetch(y[k], name)
    if opset < 17:
        expect_failure(tmp, p, opset, "layer_norm (ONNX LayerNormalization) requires opset >= 17, but target opset is 16")
        return
    w = {"ln.w_0": rand(n).astype(np_dtype(param_dtype))} if with_scale else {}
    if with_bias:
        w["ln.b_0"] = rand(n).astype(np_dtype(param_dtype))
    xs = rand(*shape).astype(np_dtype(dtype))
    outs = convert_check_run(p, w, {"x": xs}, opset=opset, tmp=tmp)
    out = outs["out"]
    assert out.dtype == xs.dtype
    tol = 5e-3 if dtype == "f16" else 1e-5
    np.testing.assert_allclose(out, layer_norm_ref(xs, int(begin), w.get("ln.w_0"), w.get("ln.b_0")), rtol=tol, atol=tol)
    b = int(begin) % xs.ndim
    rows = xs.astype(np.float64).reshape(int(np.prod(shape[:b])), int(np.prod(shape[b:])))
    for name in ("mean", "variance"):
        if name in params:
            assert outs[name].dtype == (np.float64 if dtype == "f64" else np.float32)
            assert outs[name].shape == (rows.shape[0],)
            np.testing.assert_allclose(outs[name], {"mean": np.mean, "variance": np.var}[name](rows, axis=1),
                                       rtol=1e-5, atol=1e-6)


def test_group_norm_refuses_integer_input(tmp):
    # Paddle normalises floating-point values only.
    p = Program()
    x = p.data("x", "i32", [2, 6, 3])
    y = p.op("1.group_norm", [x, p.param("gn.w_0", "f32", [6]), p.param("gn.b_0", "f32", [6])],
             attrs={"epsilon": 1e-5, "groups": 3, "data_format": "NCHW"},
             outs=[("i32", [2, 6, 3]), ("f32", [2, 3]), ("f32", [2, 3])])
    p.fetch(y[0], "out")
    expect_failure(tmp, p, 17, "group_norm does not take int32 inputs, only floating-point values")


@pytest.mark.parametrize("begin,dtype,message,dims,mean", [
    (2, "f32", "layer_norm begin_norm_axis 2 is outside the 2 dims of its input", [2, 4], None),
    (-3, "f32", "layer_norm begin_norm_axis -3 is outside the 2 dims of its input", [2, 4], None),
    # Paddle normalises floating-point values only; LayerNormalization takes no others.
    (1, "i32", "layer_norm does not take int32 inputs, only floating-point values", [2, 4], None),
    # The mean read after the node (declared as given): its value over no elements is not given,
    # and a declaration of other dims or type than Paddle's contradicts the result.
    (1, "f32", "layer_norm: output {} (mean) is read, but its normalised dims hold no elements", [2, 0],
     ("f32", [2])),
    (1, "f32", "layer_norm declares its output {} as int64 [2], but computes float32 [2]", [2, 4], ("i64", [2])),
])
def test_layer_norm_refusals(tmp, begin, dtype, message, dims, mean):
    n = int(np.prod(dims[begin:])) if -len(dims) <= begin < len(dims) else 4
    p = Program()
    x = p.data("x", dtype, dims)
    y = p.op("1.layer_norm", [x, p.param("ln.w_0", "f32", [n]), p.param("ln.b_0", "f32", [n])],
             attrs={"epsilon": a_f32(1e-5), "begin_norm_axis": a_i32(begin)},
             outs=[("f32", dims), mean or ("f32", [-1]), ("f32", [-1])])
    p.fetch(y[0], "out")
    if mean:
        p.fetch(y[1], "mean")
    expect_failure(tmp, p, 17, message.format(y[1]))


# ------------------------------------------------------------------------------------------------
# Resize


def interp_axis(in_len, out_len, mode, align_corners, align_mode, scale=None):
    """Per output position: (low index, high index, weight of high), as Paddle computes them."""
    if out_len > 1:
        ratio = (in_len - 1) / (out_len - 1) if align_corners else (1 / scale if scale else in_len / out_len)
    else:
        ratio = 0.0
    ratio = np.float32(ratio)
    rows = []
    for k in range(out_len):
        if mode == "nearest":
            src = int(ratio * k + 0.5) if align_corners else int(ratio * k)
            rows.append((src, src, 0.0))
            continue
        half = align_mode == 0 and not align_corners
        src = max(float(ratio * (k + 0.5) - 0.5), 0.0) if half else float(ratio * k)
        lo = int(src)
        rows.append((lo, min(lo + 1, in_len - 1), src - lo))
    return rows


def interp_ref(x, out_hw, mode, align_corners=False, align_mode=1, scale=None):
    out = x.astype(np.float64)
    for axis, size in ((2, out_hw[0]), (3, out_hw[1])):
        s = scale[axis - 2] if scale else None
        rows = interp_axis(x.shape[axis], size, mode, align_corners, align_mode, s)
        lo = np.take(out, [r[0] for r in rows], axis=axis)
        hi = np.take(out, [r[1] for r in rows], axis=axis)
        wshape = [1] * 4
        wshape[axis] = size
        wt = np.array([r[2] for r in rows]).reshape(wshape)
        out = lo * (1 - wt) + hi * wt
    return out


def interp_program(name, x_dims, out_dims, align_corners=False, align_mode=1, scale=(), out_hw=(-1, -1),
                   inputs=None, data_format="NCHW"):
    """Exported form: inputs x, OutSize, SizeTensor list, Scale (0 when absent)."""
    p = Program()
    x = p.data("x", "f32", x_dims)
    extra = inputs(p) if inputs else [0, 0, 0]
    y = p.op(name, [x] + extra,
             attrs={"data_format": data_format, "out_d": -1, "out_h": out_hw[0], "out_w": out_hw[1],
                    "scale": [a_f32(s) for s in scale],
                    "interp_method": "nearest" if name == "1.nearest_interp" else "bilinear",
                    "align_corners": align_corners, "align_mode": align_mode},
             outs=[("f32", out_dims)])
    p.fetch(y, "out")
    return p


def size_list(dtype, shape):
    return lambda p: [0, p.combine([p.full(shape, 5, dtype), p.full(shape, 7, dtype)]), 0]


def out_size_tensor(p):
    return [p.data("size", "i32", [2]), 0, 0]


def scale_tensor(p):
    return [0, 0, p.full([1], 2.0, "f32")]


# Sizes whose length is known only when the model runs: OutSize declared [-1], size-list
# elements declared [-1], OutSize sliced from [h, w, 9] with an end fed at run time.
def out_size_unknown_length(p):
    return [p.data("size", "i32", [-1]), 0, 0]


def size_list_unknown_lengths(p):
    return [0, p.combine([p.data("size_h", "i64", [-1]), p.data("size_w", "i32", [-1])]), 0]


def out_size_sliced_at_run_time(p):
    sliced = p.op("1.slice", [p.data("size", "i32", [3]), p.full_int_array([0]), p.data("end", "i64", [1])],
                  attrs={"axes": [0], "infer_flags": [1], "decrease_axis": a_array([])}, outs=[("i32", [-1])])
    return [sliced, 0, 0]


def resize_feeds(inputs, out_hw):
    h, w = out_hw
    return {
        out_size_tensor: {"size": np.array([h, w], np.int32)},
        out_size_unknown_length: {"size": np.array([h, w], np.int32)},
        size_list_unknown_lengths: {"size_h": np.array([h], np.int64), "size_w": np.array([w], np.int32)},
        out_size_sliced_at_run_time: {"size": np.array([h, w, 9], np.int32), "end": np.array([2], np.int64)},
    }.get(inputs, {})


# (name, case): interp_program keywords, the expected output size, the scale Paddle divides by.
RESIZE_CASES = {
    # The detection-model form: a 2x "scale" attribute, output dims unknown.
    "scale_attr": (dict(out_dims=[-1, 2, -1, -1], scale=(2.0, 2.0)), (6, 8), (2.0, 2.0)),
    "scale_attr_uneven": (dict(out_dims=[-1, 2, -1, -1], scale=(1.5, 2.0)), (4, 8), (1.5, 2.0)),
    # Static output dims recorded and no scale: the recorded size.
    "recorded_size": (dict(out_dims=[-1, 2, 5, 7]), (5, 7), None),
    # The layout-model form: static output dims recorded beside the scale. Paddle samples at
    # 1/scale (1.43 and 1.82 here), not at input/output size (1.5 and 2).
    "recorded_size_and_scale": (dict(out_dims=[-1, 2, 2, 2], scale=(0.7, 0.55)), (2, 2), (0.7, 0.55)),
    "recorded_size_and_whole_scale": (dict(out_dims=[-1, 2, 6, 8], scale=(2.0, 2.0)), (6, 8), (2.0, 2.0)),
    "size_list_i32": (dict(out_dims=[-1, 2, -1, -1], inputs=size_list("i32", [1])), (5, 7), None),
    "size_list_scalars": (dict(out_dims=[-1, 2, -1, -1], inputs=size_list("i64", [])), (5, 7), None),
    "out_size_tensor": (dict(out_dims=[-1, 2, -1, -1], inputs=out_size_tensor), (5, 7), None),
    "scale_tensor": (dict(out_dims=[-1, 2, -1, -1], inputs=scale_tensor), (6, 8), (2.0, 2.0)),
    "out_hw_attrs": (dict(out_dims=[-1, 2, -1, -1], out_hw=(5, 7)), (5, 7), None),
    # One output row: Paddle's ratio is 0 there, whatever the sampling mode.
    "out_hw_one_row": (dict(out_dims=[-1, 2, -1, -1], out_hw=(1, 7)), (1, 7), None),
    "scale_attr_one_row": (dict(out_dims=[-1, 2, -1, -1], scale=(0.5, 2.0)), (1, 8), (0.5, 2.0)),
    "out_size_unknown_length": (dict(out_dims=[-1, 2, -1, -1], inputs=out_size_unknown_length), (5, 7), None),
    "size_list_unknown_lengths": (dict(out_dims=[-1, 2, -1, -1], inputs=size_list_unknown_lengths), (4, 9), None),
    "out_size_sliced_at_run_time": (dict(out_dims=[-1, 2, -1, -1], inputs=out_size_sliced_at_run_time), (6, 2),
                                    None),
}


# Every case at the lowest opset and the default; the optional inputs change form at 13 and
# nothing changes at 18, so two cases suffice there.
RESIZE_OPSETS = [(o, c) for c in sorted(RESIZE_CASES) for o in (11, 17)] + \
    [(o, c) for c in ("scale_attr", "size_list_scalars", "recorded_size_and_scale", "out_size_unknown_length",
                      "size_list_unknown_lengths", "out_size_sliced_at_run_time") for o in (13, 18)]


@pytest.mark.parametrize("opset,case", RESIZE_OPSETS)
@pytest.mark.parametrize("name,mode,align_corners,align_mode", [
    ("1.nearest_interp", "nearest", False, 1),
    ("1.nearest_interp", "nearest", True, 1),
    ("1.bilinear_interp", "linear", False, 0),
    ("1.bilinear_interp", "linear", False, 1),
    ("1.bilinear_interp", "linear", True, 0),
])
def test_resize(tmp, opset, name, mode, align_corners, align_mode, case):
    kw, out_hw, scale = RESIZE_CASES[case]
    xs = rand(2, 2, 3, 4)  # a batch of 2 over the declared -1
    feeds = {"x": xs, **resize_feeds(kw.get("inputs"), out_hw)}
    p = interp_program(name, [-1, 2, 3, 4], align_corners=align_corners, align_mode=align_mode, **kw)
    out = convert_check_run(p, {}, feeds, opset=opset, tmp=tmp)["out"]
    expected = interp_ref(xs, out_hw, mode, align_corners, align_mode, None if align_corners else scale)
    np.testing.assert_allclose(out, expected, rtol=1e-5, atol=1e-5)


def test_nearest_align_corners_rounds_half_up(tmp):
    # Width 2 to 3: source positions 0, 0.5, 1 take pixels 0, 1, 1.
    xs = np.array([[[[1, 2]]]], np.float32)
    p = interp_program("1.nearest_interp", [1, 1, 1, 2], [1, 1, 1, 3], align_corners=True)
    out = convert_check_run(p, {}, {"x": xs}, opset=17, tmp=tmp)["out"]
    np.testing.assert_array_equal(out.ravel(), [1, 2, 2])


def test_resize_refusals(tmp):
    expect_failure(tmp, interp_program("1.nearest_interp", [1, 1, 2, 2], [-1, -1, -1, -1]), 17,
                   "nearest has no known output size or scale")
    expect_failure(tmp, interp_program("1.bilinear_interp", [1, 2, 2, 1], [1, 4, 4, 1], data_format="NHWC",
                                       scale=(2.0, 2.0)), 17,
                   "linear currently only supports data_format=NCHW (got NHWC)")
    expect_failure(tmp, interp_program("1.bilinear_interp", [1, 1, 2, 2], [1, 1, 4, 4]), 10,
                   "bilinear_interp (ONNX Resize mode linear) requires opset >= 11, but target opset is 10")
    # The sizes and scales are written for NCHW images; a single value has no H or W.
    expect_failure(tmp, interp_program("1.nearest_interp", [], [1, 1, 4, 4], out_hw=(4, 4)), 17,
                   "nearest_interp takes a rank-4 input, got rank 0")
    # Paddle resizes no bool images; ONNX Runtime's Resize takes none either.
    p = Program()
    p.fetch(p.op("1.bilinear_interp", [p.data("x", "bool", [1, 1, 2, 2]), 0, 0, 0],
                 attrs={"data_format": "NCHW", "out_h": 4, "out_w": 4, "scale": [], "align_corners": False,
                        "align_mode": 1}, outs=[("bool", [1, 1, 4, 4])]))
    expect_failure(tmp, p, 17, "bilinear_interp does not take bool inputs")
    # Paddle scales by positive factors into int sizes.
    for factor in (0.0, -2.0, 1e30):
        expect_failure(tmp, interp_program("1.bilinear_interp", [1, 1, 2, 2], [1, 1, -1, -1],
                                           inputs=lambda p: [0, 0, p.full([1], factor, "f32")]), 17,
                       "bilinear_interp: scale {} is not a positive factor below 2^31".format(
                           {0.0: "0", -2.0: "-2", 1e30: "1.0000000150474662e+30"}[factor]))
    expect_failure(tmp, interp_program("1.nearest_interp", [1, 1, 2, 2], [1, 1, -1, -1], scale=(1e30, 2.0)), 17,
                   "nearest_interp: scale 1e+30 is not a positive factor below 2^31")
    # Paddle's output sizes are positive.
    expect_failure(tmp, interp_program("1.nearest_interp", [1, 1, 2, 2], [1, 1, -1, -1],
                                       inputs=lambda p: [0, p.combine([p.full([1], 5, "i32"), p.full([1], 0, "i32")]),
                                                         0]), 17,
                   "nearest_interp: output size 0 is not positive")
    # Each entry of the size list is one number, one for H and one for W.
    expect_failure(tmp, interp_program("1.nearest_interp", [1, 1, 2, 2], [1, 1, -1, -1],
                                       inputs=lambda p: [0, p.combine([p.full([1], 5, "i32"), p.full([2], 7, "i32")]),
                                                         0]), 17,
                   "nearest_interp: size 3 must hold one value, but has dims [2]")
    # Paddle reads each size from a tensor of dims [1] or [] only, one value of another rank
    # included (its interpolation kernel checks the dims).
    expect_failure(tmp, interp_program("1.nearest_interp", [1, 1, 2, 2], [1, 1, -1, -1],
                                       inputs=lambda p: [0, p.combine([p.full([1], 5, "i32"),
                                                                       p.data("w", "i32", [1, 1])]), 0]), 17,
                   "nearest_interp: size 3 has dims [1, 1], but each size must be a tensor of dims [1] or []")
    expect_failure(tmp, interp_program("1.nearest_interp", [1, 1, 2, 2], [1, 1, -1, -1],
                                       inputs=lambda p: [0, p.combine([p.full([1], 5, "i32")]), 0]), 17,
                   "nearest_interp: the size list has 1 entries, not one for each of H and W")
    # The image itself given as OutSize or Scale: Resize's sizes would be concatenated from a
    # rank-4 value, a model ONNX Runtime refuses to load.
    for opset in (17, 21):
        expect_failure(tmp, interp_program("1.bilinear_interp", [-1, 2, 3, 4], [-1, 2, -1, -1],
                                           inputs=lambda p: [p.data("y", "f32", [-1, 2, 3, 4]), 0, 0]), opset,
                       "bilinear_interp: OutSize (value 2) has dims [-1, 2, 3, 4], but it must be 1-D: the output "
                       "height and width")
        expect_failure(tmp, interp_program("1.nearest_interp", [1, 1, 2, 2], [1, 1, -1, -1],
                                           inputs=lambda p: [p.data("size", "i32", [3]), 0, 0]), opset,
                       "nearest_interp: OutSize (value 2) has dims [3], but it must be 1-D: the output height and width")
        expect_failure(tmp, interp_program("1.bilinear_interp", [-1, 2, 3, 4], [-1, 2, -1, -1],
                                           inputs=lambda p: [0, 0, p.data("y", "f32", [-1, 2, 3, 4])]), opset,
                       "bilinear_interp: Scale (value 2) has dims [-1, 2, 3, 4], but it must hold 1 or 2 values")
