"""Reductions, top-k, argmax and argsort through the binary, checked with onnx and run in ONNX
Runtime against numpy values of PaddlePaddle's documented semantics."""

import numpy as np
import pytest

from harness import Program, a_bool, a_dtype, assert_refused, convert_check_run

UNDEFINED = {"#": "1.a_dtype", "D": "undefined"}


def axes_of(p, values):
    return p.full_int_array(values)


def scalar(p, value, dtype):
    """A one-element "1.full", as exports write Scalar inputs such as k and axis."""
    return p.full([1], value, dtype)


def reduce_shape(shape, axes, keepdim):
    axes = [a % len(shape) for a in axes] or list(range(len(shape)))
    return [1 if k in axes else d for k, d in enumerate(shape) if keepdim or k not in axes]


def paddle_mean(a, axis=None, keepdims=False):
    """Paddle's mean: the sum over the count, so a mean of nothing is 0 / 0, NaN."""
    count = int(np.prod([a.shape[k] for k in (range(a.ndim) if axis is None else axis)]))
    with np.errstate(invalid="ignore"):
        return np.sum(a, axis=axis, keepdims=keepdims) / a.dtype.type(count)


@pytest.mark.parametrize("opset", [10, 13, 17, 18])
def test_reductions_with_folded_axes(tmp, opset):
    xs = (np.arange(24, dtype=np.float32).reshape(2, 3, 4) - 7.5) * 0.25
    zs = np.array([[2**31 - 1, 2**31 - 1, 5], [-3, 4, -2**31]], np.int32)
    bs = np.array([[True, False, True], [True, True, False]])
    ss = np.array(2.5, np.float32)
    sbs, szs = np.array(True), np.array(-7, np.int32)
    p = Program()
    x = p.data("x", "f32", [2, 3, 4])
    z = p.data("z", "i32", [2, 3])
    b = p.data("b", "bool", [2, 3])
    s = p.data("s", "f32", [])
    sb, sz = p.data("sb", "bool", []), p.data("sz", "i32", [])
    es = np.zeros((2, 0), np.float32)
    e = p.data("e", "f32", [2, 0])
    ds = np.arange(6, dtype=np.float32).reshape(2, 3) * 0.5
    d = p.data("d", "f32", [-1, 3])
    # 8- and 16-bit integers, which no ReduceSum or ReduceMean takes, nor ReduceMax and
    # ReduceMin below opset 12 (never for 16 bits).
    i8s = np.array([[100, 100, -3], [-128, -1, 127]], np.int8)
    u8s = np.array([[200, 100, 3], [0, 255, 1]], np.uint8)
    i16s = np.array([[30000, 30000, -6], [-32768, 2, 4]], np.int16)
    i8, u8, i16 = p.data("i8", "i8", [2, 3]), p.data("u8", "ui8", [2, 3]), p.data("i16", "i16", [2, 3])
    m16s, m16 = np.array([[2, 4, 6], [-3, 3, 9]], np.int16), p.data("m16", "i16", [2, 3])  # whole means
    refs = {}

    def red(name, src, ref_src, axes, keepdim, fn, out_dtype, attrs=None):
        shape = reduce_shape(list(ref_src.shape), axes, keepdim)
        a = {"keepdim": a_bool(keepdim)}
        if name == "1.sum":
            a["dtype"] = UNDEFINED
        a.update(attrs or {})
        v = p.op(name, [src, axes_of(p, axes)], attrs=a, outs=[(out_dtype, shape)])
        ref = fn(ref_src, axis=tuple(axes) if axes else None, keepdims=keepdim)
        refs[f"{name[2:]}_{len(refs)}"] = (v, np.asarray(ref).reshape(shape))

    red("1.sum", x, xs, [1], False, np.sum, "f32")
    red("1.sum", x, xs, [], False, np.sum, "f32")  # an empty axis list reduces every axis
    red("1.sum", x, xs, [2, 0], True, lambda a, **k: np.sum(a, dtype=np.float64, **k), "f64",
        {"dtype": a_dtype("float64")})
    # Paddle sums int32 and bool into int64.
    red("1.sum", z, zs, [-1], False, lambda a, **k: np.sum(a, dtype=np.int64, **k), "i64")
    red("1.sum", b, bs, [0], True, lambda a, **k: np.sum(a, dtype=np.int64, **k), "i64")
    red("1.sum", e, es, [-1], False, np.sum, "f32")  # a sum of nothing is 0
    red("1.sum", e, es, [-1], True, np.sum, "f32")
    red("1.mean", e, es, [1], False, paddle_mean, "f32")  # a mean of nothing is NaN
    red("1.mean", d, ds, [0], True, paddle_mean, "f32")  # rows unknown until run time
    red("1.max", x, xs, [-1, 0], True, np.max, "f32")
    red("1.max", z, zs, [], False, np.max, "i32")
    red("1.mean", x, xs, [0], True, np.mean, "f32")
    red("1.min", x, xs, [], False, np.min, "f32")
    red("1.min", z, zs, [1], True, np.min, "i32")
    # Paddle's sum keeps these types, wrapping around as sums in them do.
    red("1.sum", i8, i8s, [1], False, lambda a, **k: np.sum(a, dtype=np.int8, **k), "i8")
    red("1.sum", u8, u8s, [], False, lambda a, **k: np.sum(a, dtype=np.uint8, **k), "ui8")
    red("1.sum", i16, i16s, [-1], True, lambda a, **k: np.sum(a, dtype=np.int16, **k), "i16")
    # An explicit dtype: the int32 values taken as int16, then summed.
    red("1.sum", z, zs, [0], False, lambda a, **k: np.sum(a.astype(np.int16), dtype=np.int16, **k), "i16",
        {"dtype": a_dtype("int16")})
    red("1.max", i8, i8s, [1], False, np.max, "i8")
    red("1.min", u8, u8s, [0], True, np.min, "ui8")
    red("1.max", i16, i16s, [], False, np.max, "i16")
    red("1.min", i16, i16s, [-1], False, np.min, "i16")
    red("1.mean", m16, m16s, [1], False, lambda a, **k: np.mean(a, **k).astype(np.int16), "i16")
    # A result recorded in another type than the input's: the input is taken in that type.
    red("1.mean", m16, m16s, [0], True, lambda a, **k: np.mean(a, **k).astype(np.float32), "f32")
    # A rank-0 input is passed through.
    v = p.op("1.sum", [s, axes_of(p, [])], attrs={"keepdim": a_bool(False), "dtype": UNDEFINED}, outs=[("f32", [])])
    refs["sum_scalar"] = (v, ss)
    # Rank 0 bool and int32 still sum into int64.
    for name, src, ref in (("sum_scalar_bool", sb, sbs), ("sum_scalar_i32", sz, szs)):
        v = p.op("1.sum", [src, axes_of(p, [])], attrs={"keepdim": a_bool(False), "dtype": UNDEFINED},
                 outs=[("i64", [])])
        refs[name] = (v, np.asarray(ref, np.int64))
    for name, (v, _) in refs.items():
        p.fetch(v, name)
    res = convert_check_run(p, None, {"x": xs, "z": zs, "b": bs, "s": ss, "sb": sbs, "sz": szs, "e": es, "d": ds,
                                      "i8": i8s, "u8": u8s, "i16": i16s, "m16": m16s}, opset=opset, tmp=tmp)
    for name, (_, ref) in refs.items():
        assert res[name].dtype == ref.dtype, name
        np.testing.assert_allclose(res[name], ref, rtol=1e-6, err_msg=name)


@pytest.mark.parametrize("opset", [13, 18])
def test_axes_known_only_at_run_time(tmp, opset):
    """Run-time axes go in as a tensor (ReduceSum from opset 13, the others from 18)."""
    xs = np.arange(12, dtype=np.float32).reshape(3, 4)
    p = Program()
    x = p.data("x", "f32", [3, 4])
    ax = p.data("ax", "i32", [1])
    p.fetch(p.op("1.sum", [x, ax], attrs={"keepdim": a_bool(False), "dtype": UNDEFINED}, outs=[("f32", [-1])]), "sum")
    # A negative axis over an empty dim: the reduced dim goes, as for any other axis.
    e, back = p.data("e", "f32", [2, 0]), p.data("back", "i64", [1])
    p.fetch(p.op("1.sum", [e, back], attrs={"keepdim": a_bool(False), "dtype": UNDEFINED}, outs=[("f32", [-1])]),
            "sum_empty")
    # int8 and int16 are reduced in a wider type and cast back, the axes still read at run time.
    i8s = np.array([[100, 100, 1, 2], [-128, -1, 0, 3], [5, 6, 7, 8]], np.int8)
    i8 = p.data("i8", "i8", [3, 4])
    p.fetch(p.op("1.sum", [i8, ax], attrs={"keepdim": a_bool(False), "dtype": UNDEFINED}, outs=[("i8", [-1])]),
            "sum_i8")
    # One axis given as a 0-D value: the reductions read it as a list of one.
    ax0 = p.data("ax0", "i64", [])
    p.fetch(p.op("1.sum", [x, ax0], attrs={"keepdim": a_bool(False), "dtype": UNDEFINED}, outs=[("f32", [-1])]),
            "sum_rank0_axis")
    if opset >= 18:
        p.fetch(p.op("1.max", [x, ax], attrs={"keepdim": a_bool(True)}, outs=[("f32", [-1, -1])]), "max")
        p.fetch(p.op("1.mean", [x, ax0], attrs={"keepdim": a_bool(False)}, outs=[("f32", [-1])]), "mean_rank0_axis")
        p.fetch(p.op("1.mean", [e, back], attrs={"keepdim": a_bool(True)}, outs=[("f32", [-1, -1])]), "mean_empty")
        i16 = p.data("i16", "i16", [3, 4])
        p.fetch(p.op("1.min", [i16, ax], attrs={"keepdim": a_bool(False)}, outs=[("i16", [-1])]), "min_i16")
    res = convert_check_run(p, None, {"x": xs, "ax": np.array([1], np.int32), "e": np.zeros((2, 0), np.float32),
                                      "back": np.array([-1], np.int64), "i8": i8s, "ax0": np.array(0, np.int64),
                                      **({"i16": i8s.astype(np.int16) * 200} if opset >= 18 else {})},
                            opset=opset, tmp=tmp)
    np.testing.assert_array_equal(res["sum"], xs.sum(axis=1))
    np.testing.assert_array_equal(res["sum_empty"], np.zeros(2, np.float32))
    np.testing.assert_array_equal(res["sum_rank0_axis"], xs.sum(axis=0))
    assert res["sum_i8"].dtype == np.int8
    np.testing.assert_array_equal(res["sum_i8"], i8s.sum(axis=1, dtype=np.int8))
    if opset >= 18:
        np.testing.assert_array_equal(res["max"], xs.max(axis=1, keepdims=True))
        np.testing.assert_allclose(res["mean_rank0_axis"], xs.mean(axis=0), rtol=1e-6)
        np.testing.assert_array_equal(res["mean_empty"], np.full((2, 1), np.nan, np.float32))
        assert res["min_i16"].dtype == np.int16
        np.testing.assert_array_equal(res["min_i16"], (i8s.astype(np.int16) * 200).min(axis=1))


def paddle_topk(a, k, largest, axis=-1):
    order = np.take(np.argsort(-a if largest else a, axis=axis, kind="stable"), range(k), axis=axis)
    return np.take_along_axis(a, order, axis), order.astype(np.int64)


@pytest.mark.parametrize("opset", [10, 11, 17, 21])
def test_topk(tmp, opset):
    xs = np.array([[1.5, 3.0, 2.0, 5.0, 4.0], [0.0, -1.0, 7.0, 7.5, -2.0], [9.0, 8.0, 1.0, 0.5, 3.0]], np.float32)
    zs = np.array([[4, -1, 9, 9, 2], [0, 3, -7, 8, 1]], np.int32)
    p = Program()
    x = p.data("x", "f32", [3, 5])
    refs = {}
    vals, idx = p.op("1.topk", [x, scalar(p, 2, "i32")], attrs={"axis": -1, "largest": a_bool(True), "sorted": a_bool(True)},
                     outs=[("f32", [3, 2]), ("i64", [3, 2])])
    ref_vals, ref_idx = paddle_topk(xs, 2, True)
    refs.update(values=(vals, ref_vals), indices=(idx, ref_idx))
    # Axis 0, a value of zero that the model must still carry (k known, so checked shapes).
    vals, idx = p.op("1.topk", [x, scalar(p, 2, "i64")], attrs={"axis": 0, "largest": a_bool(True), "sorted": a_bool(True)},
                     outs=[("f32", [2, 5]), ("i64", [2, 5])])
    ref_vals, ref_idx = paddle_topk(xs, 2, True, axis=0)
    refs.update(axis0_values=(vals, ref_vals), axis0_indices=(idx, ref_idx))
    feeds = {"x": xs}
    if opset >= 11:
        # k as a rank-0 tensor fed at run time, smallest first, over int32 values.
        z = p.data("z", "i32", [2, 5])
        k = p.data("k", "i64", [])
        vals, idx = p.op("1.topk", [z, k], attrs={"axis": 1, "largest": a_bool(False), "sorted": a_bool(True)},
                         outs=[("i32", [2, -1]), ("i64", [2, -1])])
        ref_vals, ref_idx = paddle_topk(zs, 3, False)
        refs.update(small_values=(vals, ref_vals), small_indices=(idx, ref_idx))
        feeds.update(z=zs, k=np.array(3, np.int64))
        # k of any rank holding one element: Paddle reads its value.
        vals, idx = p.op("1.topk", [z, p.data("k11", "i32", [1, 1])], attrs={"axis": 1, "largest": a_bool(True)},
                         outs=[("i32", [2, -1]), ("i64", [2, -1])])
        ref_vals, ref_idx = paddle_topk(zs, 2, True)
        refs.update(k11_values=(vals, ref_vals), k11_indices=(idx, ref_idx))
        feeds["k11"] = np.array([[2]], np.int32)
    # Rows known only at run time: none (ONNX Runtime's TopK would crash on them), and three.
    for name, rows in (("empty", np.zeros((0, 5), np.float32)), ("rows", xs)):
        vals, idx = p.op("1.topk", [p.data(name, "f32", [-1, 5]), scalar(p, 2, "i32")],
                         attrs={"axis": -1, "largest": a_bool(True), "sorted": a_bool(True)},
                         outs=[("f32", [-1, 2]), ("i64", [-1, 2])])
        ref_vals, ref_idx = paddle_topk(rows, 2, True)
        refs.update({f"{name}_values": (vals, ref_vals), f"{name}_indices": (idx, ref_idx)})
        feeds[name] = rows
    # The axis between two others, rows known only at run time: k along it, the dims around it kept.
    for name, cube in (("empty_cube", np.zeros((0, 5, 2), np.float32)), ("cube", np.stack([xs, xs[:, ::-1]], axis=2))):
        vals, idx = p.op("1.topk", [p.data(name, "f32", [-1, 5, 2]), scalar(p, 2, "i32")],
                         attrs={"axis": 1, "largest": a_bool(True), "sorted": a_bool(True)},
                         outs=[("f32", [-1, 2, 2]), ("i64", [-1, 2, 2])])
        ref_vals, ref_idx = paddle_topk(cube, 2, True, axis=1)
        refs.update({f"{name}_values": (vals, ref_vals), f"{name}_indices": (idx, ref_idx)})
        feeds[name] = cube
    # Only the values kept (one output): ONNX's TopK still gives the indices, under a name of their own.
    for name, dims in (("kept", [3, 5]), ("kept_rows", [-1, 5])):
        vals = p.op("1.topk", [p.data(name, "f32", dims), scalar(p, 2, "i32")],
                    attrs={"axis": -1, "largest": a_bool(True), "sorted": a_bool(True)}, outs=[("f32", [dims[0], 2])])
        refs[f"{name}_values"] = (vals, paddle_topk(xs, 2, True)[0])
        feeds[name] = xs
    # A single value is its own top-1, at index 0; both stay rank 0.
    vals, idx = p.op("1.topk", [p.data("s", "f32", []), scalar(p, 1, "i32")],
                     attrs={"axis": -1, "largest": a_bool(True), "sorted": a_bool(True)}, outs=[("f32", []), ("i64", [])])
    refs.update(scalar_values=(vals, np.array(2.5, np.float32)), scalar_indices=(idx, np.array(0, np.int64)))
    feeds["s"] = np.array(2.5, np.float32)
    for name, (v, _) in refs.items():
        p.fetch(v, name)
    res = convert_check_run(p, None, feeds, opset=opset, tmp=tmp)
    for name, (_, ref) in refs.items():
        assert res[name].dtype == ref.dtype, name
        assert res[name].shape == ref.shape, name
        np.testing.assert_array_equal(res[name], ref, err_msg=name)


@pytest.mark.parametrize("opset", [10, 17])
def test_argmax(tmp, opset):
    xs = np.array([[1.0, 5.0, 2.0, 5.0], [7.0, 0.0, 3.0, 7.0], [-1.0, -2.0, -0.5, -3.0]], np.float32)
    p = Program()
    x = p.data("x", "f32", [3, 4])
    rows = p.op("1.argmax", [x, scalar(p, 1, "i64")], attrs={"keepdims": a_bool(False), "flatten": a_bool(False),
                                                             "dtype": a_dtype("int64")}, outs=[("i64", [3])])
    cols = p.op("1.argmax", [x, scalar(p, -2, "i64")], attrs={"keepdims": a_bool(True), "flatten": a_bool(False),
                                                              "dtype": a_dtype("int32")}, outs=[("i32", [1, 4])])
    p.fetch(rows, "rows")
    p.fetch(cols, "cols")
    # The last axis named from the back, over an empty batch: the axis still goes.
    empty = p.op("1.argmax", [p.data("e", "f32", [-1, 2, 4]), scalar(p, -1, "i64")],
                 attrs={"keepdims": a_bool(False), "flatten": a_bool(False), "dtype": a_dtype("int64")},
                 outs=[("i64", [-1, 2])])
    p.fetch(empty, "empty")
    # A single value is at position 0, rank 0 even with keepdims; int16, which ONNX Runtime's
    # ArgMax lacks, is searched as Paddle searches it.
    for name, axis, keep, out in (("scalar", -1, True, "i64"), ("scalar_i32", 0, False, "i32")):
        p.fetch(p.op("1.argmax", [p.data(f"{name}_in", "f32", []), scalar(p, axis, "i64")],
                     attrs={"keepdims": a_bool(keep), "flatten": a_bool(False), "dtype": a_dtype(out)},
                     outs=[(out, [])]), name)
    p.fetch(p.op("1.argmax", [p.data("h", "i16", [2, 3]), scalar(p, 1, "i64")],
                 attrs={"keepdims": a_bool(False), "flatten": a_bool(False), "dtype": a_dtype("int64")},
                 outs=[("i64", [2])]), "i16")
    hs = np.array([[-5, 300, 300], [-32768, -2, -3]], np.int16)
    res = convert_check_run(p, None, {"x": xs, "e": np.zeros((0, 2, 4), np.float32), "scalar_in": np.array(-1.5, np.float32),
                                      "scalar_i32_in": np.array(4.0, np.float32), "h": hs}, opset=opset, tmp=tmp)
    assert res["empty"].shape == (0, 2)
    assert (res["scalar"].dtype, res["scalar"].shape, res["scalar"]) == (np.int64, (), 0)
    assert (res["scalar_i32"].dtype, res["scalar_i32"].shape, res["scalar_i32"]) == (np.int32, (), 0)
    np.testing.assert_array_equal(res["i16"], np.argmax(hs, axis=1).astype(np.int64))
    # Ties give the first position, as Paddle's argmax does.
    np.testing.assert_array_equal(res["rows"], np.argmax(xs, axis=1).astype(np.int64))
    assert res["cols"].dtype == np.int32
    np.testing.assert_array_equal(res["cols"], np.argmax(xs, axis=0).astype(np.int32).reshape(1, 4))


def paddle_argsort(a, axis, descending):
    """Paddle's stable argsort: equal elements keep their order in both directions."""
    if a.ndim == 0:  # a single value is its own order
        return a, np.array(0, np.int64)
    keys = a.astype(np.int64) if a.dtype.kind == "i" else a
    order = np.argsort(-keys if descending else keys, axis=axis, kind="stable")
    return np.take_along_axis(a, order, axis), order.astype(np.int64)


ARGSORT = {
    # name: (values, numpy dtype, axis, descending, stable[, declared dims])
    "i32_ties_ascending": ([[3, 1, 2, 1, 3], [0, 0, -5, 7, 0]], np.int32, -1, False, False),
    "i32_ties_descending": ([[3, 1, 2, 1, 3], [0, 0, -5, 7, 0]], np.int32, 1, True, False),
    "i32_extremes_axis0": ([[2**31 - 1, -2**31], [-2**31, 2**31 - 1], [2**31 - 1, 0]], np.int32, 0, False, False),
    # Values near 2^62 overflow a value-times-length key.
    "i64_large": ([[2**62, -2**62, 0, 5, 5]], np.int64, -1, False, False),
    "i64_large_descending": ([[2**62, -2**62, 0, 5, 2**62]], np.int64, -1, True, False),
    "f32_stable": ([[0.5, -1.0, 2.0, -1.0], [1.0, 1.0, 0.0, 3.0]], np.float32, -1, True, True),
    "f32_unstable": ([[0.5, -1.0, 2.0, -3.0]], np.float32, 1, False, False),
    "f32_axis0_descending": ([[0.5, 2.0], [-1.0, 3.0], [0.25, -2.0]], np.float32, 0, True, False),
    # Rows known only at run time, none of them or some: a TopK over no elements crashes ONNX Runtime.
    "i32_no_rows": (np.zeros((0, 4), np.int32), np.int32, -1, False, False, [-1, 4]),
    # A single value: itself, at index 0, both rank 0.
    "f32_rank0": (-2.5, np.float32, -1, True, False),
    "i32_rank0": (7, np.int32, 0, False, True),
    "f32_runtime_rows": ([[0.5, -1.0, 2.0, -3.0], [1.0, 0.0, 1.0, -1.0]], np.float32, 1, True, False, [-1, 4]),
}


@pytest.mark.parametrize("opset", [11, 13, 17])
def test_argsort(tmp, opset):
    p = Program()
    feeds, refs = {}, {}
    for name, (values, dtype, axis, descending, stable, *declared) in ARGSORT.items():
        a = np.array(values, dtype)
        word = {np.int32: "i32", np.int64: "i64", np.float32: "f32"}[dtype]
        x = p.data(name, word, declared[0] if declared else list(a.shape))
        vals, idx = p.op("1.argsort", [x], attrs={"axis": axis, "descending": a_bool(descending), "stable": a_bool(stable)},
                         outs=[(word, list(a.shape)), ("i64", list(a.shape))])
        p.fetch(vals, f"{name}_values")
        p.fetch(idx, f"{name}_indices")
        feeds[name] = a
        refs[name] = paddle_argsort(a, axis, descending)
    res = convert_check_run(p, None, feeds, opset=opset, tmp=tmp)
    for name, (ref_values, ref_indices) in refs.items():
        assert res[f"{name}_values"].dtype == ref_values.dtype, name
        np.testing.assert_array_equal(res[f"{name}_values"], ref_values, err_msg=name)
        np.testing.assert_array_equal(res[f"{name}_indices"], ref_indices, err_msg=name)


def refused_on_bool(name):
    def build(p):
        x = p.data("x", "bool", [2, 3])
        if name == "1.argmax":
            p.fetch(p.op(name, [x, scalar(p, 1, "i64")], attrs={"keepdims": a_bool(False), "flatten": a_bool(False),
                                                                "dtype": a_dtype("int64")}, outs=[("i64", [2])]))
        elif name == "1.topk":
            p.fetch(p.op(name, [x, scalar(p, 1, "i32")], attrs={"axis": -1}, outs=[("bool", [2, 1]), ("i64", [2, 1])])[0])
        else:
            p.fetch(p.op(name, [x], attrs={"axis": -1}, outs=[("bool", [2, 3]), ("i64", [2, 3])])[0])
    return build


def refused_argmax_over_nothing(p):
    x = p.data("x", "f32", [2, 0])
    p.fetch(p.op("1.argmax", [x, scalar(p, -1, "i64")], attrs={"keepdims": a_bool(False), "flatten": a_bool(False),
                                                              "dtype": a_dtype("int64")}, outs=[("i64", [2])]))


def refused_topk_k2_of_rank0(p):
    x = p.data("x", "f32", [])
    p.fetch(p.op("1.topk", [x, scalar(p, 2, "i32")], attrs={"axis": -1}, outs=[("f32", []), ("i64", [])])[0])


def refused_axis_of_rank_2(name):
    # One axis is 0-D, a list of axes 1-D; the reduction nodes read no other.
    def build(p):
        x = p.data("x", "f32", [2, 3])
        p.fetch(p.op(name, [x, p.data("axis", "i64", [1, 1])], attrs={"keepdim": a_bool(False)}, outs=[("f32", [-1])]))
    return build


def refused_topk_k_of_rank_2(p):
    x = p.data("x", "f32", [2, 3])
    p.fetch(p.op("1.topk", [x, p.data("k", "i32", [1, 2])], attrs={"axis": -1}, outs=[("f32", [2, -1]), ("i64", [2, -1])])[0])


def refused_topk_k_past_the_axis(p):
    x = p.data("x", "f32", [3, 0])
    p.fetch(p.op("1.topk", [x, scalar(p, 2, "i32")], attrs={"axis": -1}, outs=[("f32", [3, 2]), ("i64", [3, 2])])[0])


@pytest.mark.parametrize("build,message", [
    # Paddle sorts and searches no bool values, and TopK and ArgMax take none.
    (refused_on_bool("1.topk"), "topk does not take bool inputs"),
    (refused_on_bool("1.argsort"), "argsort does not take bool inputs"),
    (refused_on_bool("1.argmax"), "argmax does not take bool inputs"),
    (refused_topk_k2_of_rank0, "topk k 2 is more than the one element of a rank-0 input"),
    (refused_topk_k_past_the_axis, "topk k 2 is more than the 0 elements along axis -1"),
    # An axis holding no elements has no largest one.
    (refused_argmax_over_nothing, "argmax over axis 1, which holds no elements"),
    (refused_axis_of_rank_2("1.sum"), "sum: axis (value 2) has dims [1, 1], but it must be 0-D or 1-D: one axis or a list of axes"),
    (refused_axis_of_rank_2("1.max"), "max: axis (value 2) has dims [1, 1], but it must be 0-D or 1-D: one axis or a list of axes"),
    (refused_axis_of_rank_2("1.mean"), "mean: axis (value 2) has dims [1, 1], but it must be 0-D or 1-D: one axis or a list of axes"),
    (refused_topk_k_of_rank_2, "topk: k (value 2) has dims [1, 2], but it must hold one value: a tensor of one element"),
])
@pytest.mark.parametrize("opset", [17, 18])
def test_refusals(tmp, build, message, opset):
    p = Program()
    build(p)
    assert_refused(p, opset, message, tmp)
