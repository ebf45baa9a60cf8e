"""Scatter-based writes (index_put, put_along_axis, repeat_interleave, set_value_ and
set_value_with_tensor_) through the binary, run in ONNX Runtime against numpy values of
PaddlePaddle's semantics."""

import numpy as np
import pytest

from harness import Program, a_array, a_bool, a_dtype, a_f64, a_i64, a_place, a_str, convert, convert_check_run

OPEN_END = 2**31 - 1  # what Paddle's indexing writes for a slice without a stop


def bound(p, values, dtype="i64"):
    return p.op("1.full_int_array", attrs={"value": a_array([a_i64(v) for v in values]), "dtype": a_dtype(dtype),
                                           "place": a_place(1)}, outs=[(dtype, [len(values)])])


def listed(p, values):
    """A list of numbers as Paddle's export may give it: one-value tensors (a combine), int32
    and int64, 0-D and [1]; a value given as a name is fed (a 0-D int64)."""
    return p.combine([p.data(v, "i64", []) if isinstance(v, str) else
                      p.full([] if k % 2 else [1], v, "i32" if k % 2 else "i64") for k, v in enumerate(values)])


def run_all(p, feeds, refs, opset, tmp):
    for name, (v, _) in refs.items():
        p.fetch(v, name)
    res = convert_check_run(p, {}, feeds, opset=opset, tmp=tmp)
    for name, (_, ref) in refs.items():
        np.testing.assert_array_equal(res[name], ref, err_msg=name)


def refused(p, opset, tmp):
    r = convert(p, {}, tmp / "refused.onnx", opset=opset)
    assert r.returncode == 1 and not r.crashed, r.stderr
    return r.stderr


def feed(p, feeds, name, arr):
    arr = np.asarray(arr)
    feeds[name] = arr
    return p.data(name, {np.dtype(np.float32): "f32", np.dtype(np.int64): "i64", np.dtype(np.int32): "i32",
                         np.dtype(np.bool_): "bool"}[arr.dtype], list(arr.shape))


@pytest.mark.parametrize("opset", [11, 17])
def test_index_put(tmp, opset):
    p, refs, feeds = Program(), {}, {}

    def index_put(x, indices, v, shape, dtype="f32"):
        return p.op("1.index_put", [x, p.combine(indices), v], attrs={"accumulate": False}, outs=[(dtype, shape)])

    # x[rows, cols] = v, with int64 rows and int32 columns.
    xs = np.zeros((2, 2), np.float32)
    rows, cols, vs = np.array([[1, 1], [0, 0]]), np.array([[1, 0], [1, 0]], np.int32), np.array([[1, 2], [3, 4]], np.float32)
    ref = xs.copy()
    ref[rows, cols] = vs
    refs["coords"] = (index_put(feed(p, feeds, "zx", xs), [feed(p, feeds, "rows", rows), feed(p, feeds, "cols", cols)],
                                feed(p, feeds, "cv", vs), [2, 2]), ref)

    # x[r[:, None], c[None, :]] = v: the index tensors broadcast to [2, 3], and so does v.
    bx = np.zeros((3, 4), np.float32)
    br, bc = np.array([[2], [0]]), np.array([[3, 1, 0]], np.int32)
    bxi, bri, bci = feed(p, feeds, "bx", bx), feed(p, feeds, "br", br), feed(p, feeds, "bc", bc)
    for name, v in (("broadcast_coords", np.arange(6, dtype=np.float32).reshape(2, 3)),
                    ("broadcast_row", np.array([7, 8, 9], np.float32)), ("broadcast_one", np.array(5, np.float32))):
        ref = bx.copy()
        ref[br, bc] = v
        refs[name] = (index_put(bxi, [bri, bci], feed(p, feeds, name + "_v", v), [3, 4]), ref)

    # x[mask] = v with one value, and with one value per selected element in row-major order.
    mx = np.arange(6, dtype=np.float32).reshape(2, 3)
    mask = np.array([[True, False, True], [False, True, False]])
    x, m = feed(p, feeds, "mx", mx), feed(p, feeds, "mask", mask)
    for name, v in (("mask_one", np.array(-1, np.float32)), ("mask_many", np.array([10, 20, 30], np.float32))):
        ref = mx.copy()
        ref[mask] = v
        refs[name] = (index_put(x, [m], feed(p, feeds, name + "_v", v), [2, 3]), ref)

    # A boolean x: the select runs in a type ONNX Runtime has one for.
    flags = np.array([[False, True, False], [True, False, False]])
    for name, v in (("mask_bool", np.array(True)), ("mask_bool_many", np.array([True, False, True]))):
        ref = flags.copy()
        ref[mask] = v
        refs[name] = (index_put(feed(p, feeds, name + "_x", flags), [m], feed(p, feeds, name + "_v", v), [2, 3], "bool"),
                      ref)

    # x[index] = v on a matrix writes whole rows; a boolean row mask picks rows the same way.
    rx = np.zeros((3, 3), np.float32)
    x = feed(p, feeds, "rx", rx)
    for name, index, v in (("rows_scalar", np.array([0, 2]), np.array(5, np.float32)),
                           ("rows_vector", np.array([2, 1], np.int32), np.array([1, 2, 3], np.float32)),
                           ("rows_mask", np.array([True, False, True]), np.array([7, 8, 9], np.float32))):
        ref = rx.copy()
        ref[index] = v
        refs[name] = (index_put(x, [feed(p, feeds, name + "_i", index)], feed(p, feeds, name + "_v", v), [3, 3]), ref)
    run_all(p, feeds, refs, opset, tmp)


def test_index_put_refusals(tmp):
    p = Program()
    x, i = p.data("x", "f32", [3, 3]), p.data("i", "i64", [2])
    p.fetch(p.op("1.index_put", [x, p.combine([i]), p.full([], 1.0)], attrs={"accumulate": True},
                 outs=[("f32", [3, 3])]))
    assert "index_put only supports accumulate=false" in refused(p, 17, tmp)
    assert "index_put requires opset >= 11, but target opset is 10" in refused(p, 10, tmp)


@pytest.mark.parametrize("opset", [11, 17])
def test_put_along_axis(tmp, opset):
    p, refs, feeds = Program(), {}, {}
    xs = np.array([[1, 2], [3, 4]], np.float32)
    x, v = feed(p, feeds, "x", xs), feed(p, feeds, "v", np.array([[9], [8]], np.float32))
    for name, axis, index in (("i64_last", -1, np.array([[1], [0]])), ("i32_axis1", 1, np.array([[1], [0]], np.int32))):
        ref = xs.copy()
        np.put_along_axis(ref, index, feeds["v"], axis=axis)
        refs[name] = (p.op("1.put_along_axis", [x, feed(p, feeds, name + "_i", index), v],
                           attrs={"axis": axis, "reduce": a_str("assign"), "include_self": a_bool(True)},
                           outs=[("f32", [2, 2])]), ref)
    run_all(p, feeds, refs, opset, tmp)


def test_put_along_axis_needs_opset_11(tmp):
    p = Program()
    x = p.data("x", "f32", [2, 2])
    p.fetch(p.op("1.put_along_axis", [x, p.data("i", "i64", [2, 1]), p.data("v", "f32", [2, 1])],
                 attrs={"axis": 1}, outs=[("f32", [2, 2])]))
    assert "put_along_axis requires opset >= 11, but target opset is 10" in refused(p, 10, tmp)
    # ScatterElements takes values of the data's type only; Paddle does too.
    p = Program()
    x = p.data("x", "f32", [2, 2])
    p.fetch(p.op("1.put_along_axis", [x, p.data("i", "i64", [2, 1]), p.data("v", "f16", [2, 1])],
                 attrs={"axis": 1}, outs=[("f32", [2, 2])]))
    assert "put_along_axis: x is float32 but values is float16; they must have one element type" in refused(p, 17, tmp / "f16")


@pytest.mark.parametrize("opset", [10, 13, 14, 17])
def test_repeat_interleave(tmp, opset):
    p, refs, feeds = Program(), {}, {}
    xs = np.array([[1, 2], [3, 4]], np.float32)
    x = feed(p, feeds, "x", xs)
    for axis in (0, 1, -1):
        refs[f"attr_axis{axis}"] = (p.op("1.repeat_interleave", [x], attrs={"axis": axis, "repeats": 2},
                                         outs=[("f32", [-1, -1])]), np.repeat(xs, 2, axis=axis))
    cube = np.arange(12, dtype=np.float32).reshape(2, 3, 2)
    refs["rank3_middle"] = (p.op("1.repeat_interleave", [feed(p, feeds, "cube", cube)], attrs={"axis": 1, "repeats": 3},
                                 outs=[("f32", [2, 9, 2])]), np.repeat(cube, 3, axis=1))
    # Empty results: a count of 0, and empty dims before, at and after the axis.
    for name, shape, axis, count in (("zero_count", (2, 2), 1, 0), ("empty_before", (0, 3), 1, 2),
                                     ("empty_at", (2, 0), 1, 3), ("empty_after", (2, 0), 0, 2)):
        src = np.zeros(shape, np.float32)
        refs[name] = (p.op("1.repeat_interleave", [feed(p, feeds, name + "_x", src)],
                           attrs={"axis": axis, "repeats": count}, outs=[("f32", [-1, -1])]),
                      np.repeat(src, count, axis=axis))
    # Counts as tensors known only at run time: an int32 [1] and an int64 scalar.
    vec = feed(p, feeds, "vec", np.array([5, 6], np.float32))
    for name, count in (("tensor_i32", np.array([3], np.int32)), ("tensor_scalar", np.array(2, np.int64)),
                        ("tensor_zero", np.array([0], np.int32))):
        refs[name] = (p.op("1.repeat_interleave_with_tensor_index", [vec, feed(p, feeds, name + "_r", count)],
                           attrs={"axis": 0}, outs=[("f32", [-1])]), np.repeat(feeds["vec"], int(count.reshape(-1)[0])))
    run_all(p, feeds, refs, opset, tmp)


def test_repeat_interleave_refusals(tmp):
    p = Program()
    x = p.data("x", "f32", [2])
    p.fetch(p.op("1.repeat_interleave_with_tensor_index", [x, p.data("r", "i64", [2])], attrs={"axis": 0},
                 outs=[("f32", [-1])]))
    assert "repeat_interleave supports one repeat count only, got repeats of shape [2]" in refused(p, 17, tmp)
    p = Program()
    p.fetch(p.op("1.repeat_interleave", [p.data("x", "f32", [2, 2])], attrs={"axis": 2, "repeats": 2},
                 outs=[("f32", [-1, -1])]))
    assert "repeat_interleave: axis 2 is outside [-2, 2) for an input of rank 2" in refused(p, 17, tmp)
    p = Program()
    p.fetch(p.op("1.repeat_interleave", [p.data("x", "f32", [2, 2])], attrs={"axis": 0, "repeats": -2},
                 outs=[("f32", [-1, 2])]))
    assert "repeat_interleave: repeats -2 is negative" in refused(p, 17, tmp)


def set_value(p, x, starts, ends, steps, axes, fill, shape, dtype="f32", decrease=(), fill_shape=None, bounds=bound):
    """fill: a number, a typed attribute, or an array exported as its flat values and its shape."""
    if isinstance(fill, dict):
        values, fill_shape = [fill], fill_shape or [1]
    else:
        arr = np.asarray(fill, np.float64)
        values, fill_shape = [a_f64(float(v)) for v in arr.reshape(-1)], fill_shape or (list(arr.shape) or [1])
    return p.op("1.set_value_", [x, bounds(p, starts), bounds(p, ends), bounds(p, steps)],
                attrs={"axes": a_array([a_i64(a) for a in axes]), "decrease_axes": a_array([a_i64(a) for a in decrease]),
                       "none_axes": a_array([]), "shape": a_array([a_i64(d) for d in fill_shape]),
                       "values": a_array(values)},
                outs=[(dtype, shape)])


@pytest.mark.parametrize("opset", [11, 13, 17, 21])
def test_set_value_constants(tmp, opset):
    p, refs, feeds = Program(), {}, {}
    rows = np.zeros((2, 5), np.float32)
    x = feed(p, feeds, "rows", rows)
    # name: (starts, ends, steps, fill, numpy index, decrease_axes); array fills broadcast over the rows.
    for name, (s, e, st, fill, index, dec) in {
            "stepped": ([1], [5], [2], 7, np.s_[:, 1:5:2], ()),
            "open_end": ([1], [OPEN_END], [2], 7, np.s_[:, 1::2], ()),
            "past_axis": ([4], [9], [1], 3, np.s_[:, 4:9], ()),
            "empty": ([5], [5], [1], 3, np.s_[:, 5:5], ()),
            "array_row": ([0], [2], [1], np.array([1., 2.]), np.s_[:, 0:2], ()),
            "array_column": ([1], [OPEN_END], [2], np.array([[3.], [4.]]), np.s_[:, 1::2], ()),
            "array_matrix": ([2], [4], [1], np.array([[1., 2.], [3., 4.]]), np.s_[:, 2:4], ()),
            "array_one_column": ([2], [3], [1], np.array([5., 6.]), np.s_[:, 2], (1,))}.items():
        ref = rows.copy()
        ref[index] = fill
        refs[name] = (set_value(p, x, s, e, st, [1], fill, [2, 5], decrease=dec), ref)
    # A batch of unknown size, trailing axes written whole, a fill that travels as text.
    seq = np.zeros((3, 4, 2), np.float32)
    ref = seq.copy()
    ref[:, 1:3] = -np.inf
    refs["rank3_neg_inf"] = (set_value(p, p.data("seq", "f32", [-1, 4, 2]), [1], [3], [1], [1],
                                       {"#": "0.a_f64", "D": "-inf"}, [-1, 4, 2]), ref)
    feeds["seq"] = seq
    ints = np.arange(10, dtype=np.int64).reshape(2, 5)
    ref = ints.copy()
    ref[:, 0:2] = -4
    refs["int64"] = (set_value(p, feed(p, feeds, "ints", ints), [0], [2], [1], [1], -4, [2, 5], "i64"), ref)
    ref = ints.copy()
    ref[:, 1:4:2] = np.array([-1, -2])
    refs["int64_array"] = (set_value(p, p.data("ints2", "i64", [2, 5]), [1], [4], [2], [1], np.array([-1, -2]), [2, 5],
                                     "i64"), ref)
    feeds["ints2"] = ints
    halves = np.zeros((2, 3, 4), np.float16)
    ref = halves.copy()
    ref[:, ::-1, 1:3] = np.array([[0.5], [1.5], [-2.0]], np.float16)
    refs["f16_block_array"] = (set_value(p, p.data("halves", "f16", [2, 3, 4]), [OPEN_END, 1], [-1, 3], [-1, 1], [1, 2],
                                         np.array([[0.5], [1.5], [-2.0]]), [2, 3, 4], "f16"), ref)
    feeds["halves"] = halves
    # Axis 1 of unknown size: the end is cut at the size fed, possibly before the start.
    for name, fed in (("runtime_end", np.zeros((2, 6), np.float32)), ("runtime_past_axis", np.zeros((2, 3), np.float32))):
        ref = fed.copy()
        ref[:, 3:8] = 7
        refs[name] = (set_value(p, p.data(name + "_x", "f32", [-1, -1]), [3], [8], [1], [1], 7, [-1, -1]), ref)
        feeds[name + "_x"] = fed
    # A fill of many values: read from the program text, not from one document node each.
    wide = np.zeros((2, 1500), np.float32)
    ref = wide.copy()
    ref[:, 0:1500] = np.arange(1500) * 0.5 - 300
    refs["long_array_row"] = (set_value(p, feed(p, feeds, "wide", wide), [0], [1500], [1], [1],
                                        np.arange(1500) * 0.5 - 300, [2, 1500]), ref)
    ref = seq.copy()
    ref[:, 1:3] = np.array([[1, 2], [3, 4]], np.float32)
    refs["rank3_array"] = (set_value(p, p.data("seq2", "f32", [-1, 4, 2]), [1], [3], [1], [1], ref[0, 1:3], [-1, 4, 2]),
                           ref)
    feeds["seq2"] = seq
    # Blocks over axes 1 and 2, with a negative step and bounds past the axis. A reversed
    # slice exports end -1, which Paddle reads as "through index 0".
    block = np.zeros((2, 3, 4), np.float32)
    xb = feed(p, feeds, "block_in", block)
    for name, (s, e, st, fill, index, dec) in {
            "block": ([0, 1], [2, 4], [1, 2], 9, np.s_[:, 0:2, 1:4:2], ()),
            "block_clamped": ([-1, 0], [100, 2], [1, 1], 9, np.s_[:, 2:, 0:2], ()),
            "block_reversed": ([2, 0], [-4, 1], [-1, 1], 9, np.s_[:, 2::-1, 0:1], ()),
            "block_reversed_all": ([OPEN_END, 0], [-1, 2], [-1, 1], 5, np.s_[:, ::-1, 0:2], ()),
            "block_reversed_to_zero": ([1, 1], [-1, 3], [-1, 1], 5, np.s_[:, 1::-1, 1:3], ()),
            "block_array": ([0, 1], [2, 3], [1, 1], np.array([[1., 2.], [3., 4.]]), np.s_[:, 0:2, 1:3], ()),
            "block_array_reversed": ([OPEN_END, 0], [-1, 1], [-1, 1], np.array([[1.], [2.], [3.]]), np.s_[:, ::-1, 0:1], ()),
            "block_array_one_row": ([1, 0], [2, 4], [1, 2], np.array([5., 6.]), np.s_[:, 1, 0:4:2], (1,))}.items():
        ref = block.copy()
        ref[index] = fill
        refs[name] = (set_value(p, xb, s, e, st, [1, 2], fill, [2, 3, 4], decrease=dec), ref)
    # Bounds given as lists of one-value tensors (combines), over a batch declared -1 and a block.
    ref = rows.copy()
    ref[:, 1:5:2] = 7
    refs["listed_bounds"] = (set_value(p, p.data("rows_b", "f32", [-1, 5]), [1], [5], [2], [1], 7, [-1, 5],
                                       bounds=listed), ref)
    feeds["rows_b"] = rows
    ref = block.copy()
    ref[:, 2::-1, 1:4:2] = 4
    refs["block_listed"] = (set_value(p, xb, [OPEN_END, 1], [-1, 4], [-1, 2], [1, 2], 4, [2, 3, 4], bounds=listed), ref)
    run_all(p, feeds, refs, opset, tmp)


def test_set_value_refusals(tmp):
    cases = [
        # A bound computed at run time has no constant to build indices from.
        (lambda p, x: p.op("1.set_value_", [x, p.data("s", "i64", [1]), bound(p, [3]), bound(p, [1])],
                           attrs={"axes": [1], "values": [1.0]}, outs=[("f32", [2, 8])]),
         "set_value_: missing constant starts"),
        (lambda p, x: set_value(p, x, [0], ["end"], [1], [1], 1, [2, 8], bounds=listed), "set_value_: missing constant ends"),
        (lambda p, x: set_value(p, x, [0], [2], [1], [0], 1, [2, 8]),
         "set_value_ currently only supports axes=[1] or axes=[1,2] constant block writes"),
        (lambda p, x: set_value(p, x, [0], [2], [1], [1], {"#": "0.a_str", "D": "many"}, [2, 8]),
         'set_value_: unsupported fill value {"#":"0.a_str","D":"many"}'),
        (lambda p, x: set_value(p, x, [0], [2], [1], [1], [1., 2., 3.], [2, 8], fill_shape=[2]),
         "set_value_: 3 values do not fill shape [2]"),
        (lambda p, x: set_value(p, x, [0], [2], [1], [1], [1., 2., 3.], [2, 8]),
         "set_value_: values of shape [3] do not broadcast to the written block [2, 2]"),
        (lambda p, x: set_value(p, x, [0], [2], [1], [1], [1., 2.], [2, 8], decrease=[1]),
         "set_value_ decrease_axes require a single indexed position, the written block is [2, 2]"),
    ]
    for k, (build, message) in enumerate(cases):
        p = Program()
        p.fetch(build(p, p.data("x", "f32", [2, 8])))
        assert message in refused(p, 17, tmp / str(k))
    p = Program()
    p.fetch(set_value(p, p.data("x", "f32", [2, -1]), [0], [OPEN_END], [1], [1], 1, [2, -1]))
    assert "set_value_ axes=[1] selects 2147483647 positions, more than 268435456" in refused(p, 17, tmp / "open")
    assert "set_value_ requires opset >= 11, but target opset is 10" in refused(p, 10, tmp / "open")


def set_value_tensor(p, x, v, s, e, st, shape, axes=(1,), decrease=(), none=()):
    return p.op("1.set_value_with_tensor_", [x, v, s, e, st],
                attrs={"axes": a_array([a_i64(a) for a in axes]), "decrease_axes": a_array([a_i64(a) for a in decrease]),
                       "none_axes": a_array([a_i64(a) for a in none])}, outs=[("f32", shape)])


@pytest.mark.parametrize("opset", [11, 13, 17, 21])
def test_set_value_with_tensor(tmp, opset):
    p, refs, feeds = Program(), {}, {}
    data = np.zeros((2, 4), np.float32)
    x = feed(p, feeds, "x", data)
    # name: (values, start, end, step, decrease, numpy index, none_axes); bounds as Paddle's
    # indexing writes them: a reversed slice ends at -1, read as "through index 0".
    cases = {
        "cols": (np.array([[1, 2], [3, 4]], np.float32), 1, 3, 1, False, np.s_[:, 1:3]),
        "broadcast_row": (np.array([[1, 2]], np.float32), 1, 3, 1, False, np.s_[:, 1:3]),
        "open_end": (np.array([[5, 6, 7]], np.float32), 1, OPEN_END, 1, False, np.s_[:, 1:]),
        "from_end": (np.array([8, 9], np.float32), -2, OPEN_END, 1, False, np.s_[:, -2:]),
        "reversed": (np.array([1, 2, 3, 4], np.float32), OPEN_END, -OPEN_END, -1, False, np.s_[:, ::-1]),
        "one_col": (np.array([5, 6], np.float32), 2, 3, 1, True, np.s_[:, 2]),
        "last_col": (np.array(7, np.float32), -1, OPEN_END, 1, True, np.s_[:, -1]),
        "reversed_to_minus_one": (np.array([1, 2, 3, 4], np.float32), OPEN_END, -1, -1, False, np.s_[:, ::-1]),
        "reversed_broadcast": (np.array([[1], [2]], np.float32), OPEN_END, -1, -1, False, np.s_[:, ::-1]),
        "reversed_to_zero": (np.array([7, 8], np.float32), 1, -1, -1, False, np.s_[:, 1::-1]),
        "reversed_from_end": (np.array([[1, 2]], np.float32), -2, -4, -1, False, np.s_[:, -2:-4:-1]),
        "none_axis": (np.array([[[1, 2]], [[3, 4]]], np.float32), 1, 3, 1, False, np.s_[:, None, 1:3], [1]),
        "none_broadcast": (np.array([[[1, 2]]], np.float32), 1, 3, 1, False, np.s_[:, None, 1:3], [1]),
        "none_after_one_col": (np.array([[5], [6]], np.float32), 2, 3, 1, True, np.s_[:, 2, None], [2]),
    }
    for name, (v, s, e, st, decrease, index, *none) in cases.items():
        ref = data.copy()
        ref[index] = v
        refs[name] = (set_value_tensor(p, x, feed(p, feeds, name + "_v", v), bound(p, [s]), bound(p, [e]), bound(p, [st]),
                                       [2, 4], decrease=[1] if decrease else [], none=none[0] if none else []), ref)
    # A reversed slice whose end or step is known only at run time.
    ref = data.copy()
    ref[:, 2::-1] = np.array([1, 2, 3], np.float32)
    for name, end, step in (("runtime_end", feed(p, feeds, "end", np.array([-1])), bound(p, [-1])),
                            ("runtime_step", bound(p, [-1]), feed(p, feeds, "step", np.array([-1])))):
        refs[name] = (set_value_tensor(p, x, feed(p, feeds, name + "_v", np.array([1, 2, 3], np.float32)), bound(p, [2]),
                                       end, step, [2, 4]), ref)
    ref = data.copy()
    ref[:, 1:3] = np.array([[1, 2]], np.float32)
    refs["runtime_step_forward"] = (set_value_tensor(p, x, feed(p, feeds, "fwd_v", np.array([[1, 2]], np.float32)),
                                                     bound(p, [1]), bound(p, [3]), feed(p, feeds, "fwd_step", np.array([1])),
                                                     [2, 4]), ref)
    # Rank 3, bounds known only at run time (int32 start), values broadcast over the trailing axis.
    cube = np.zeros((2, 5, 3), np.float32)
    ref = cube.copy()
    ref[:, 1:4:2] = np.array([[1], [2]], np.float32)
    refs["runtime_bounds"] = (set_value_tensor(p, feed(p, feeds, "cube", cube), feed(p, feeds, "cv", np.array([[1], [2]], np.float32)),
                                               feed(p, feeds, "start", np.array([1], np.int32)), bound(p, [4]),
                                               bound(p, [2]), [2, 5, 3]), ref)
    # Bounds given as lists of one-value tensors (combines), the end fed, over a batch declared -1.
    ref = data.copy()
    ref[:, 1:3] = np.array([[1, 2]], np.float32)
    feeds["end_listed"], feeds["x_batch"] = np.array(3, np.int64), data
    refs["listed_bounds"] = (set_value_tensor(p, p.data("x_batch", "f32", [-1, 4]),
                                              feed(p, feeds, "lv", np.array([[1, 2]], np.float32)),
                                              listed(p, [1]), listed(p, ["end_listed"]), listed(p, [1]), [-1, 4]), ref)
    # No axes: the whole tensor, values broadcast to its shape.
    refs["whole"] = (set_value_tensor(p, x, feed(p, feeds, "all", np.array([1, 2, 3, 4], np.float32)),
                                      bound(p, [0]), bound(p, [0]), bound(p, [1]), [2, 4], axes=()),
                     np.broadcast_to(feeds["all"], (2, 4)))
    # x[None] = v: the values carry the inserted leading axis.
    ref = data.copy()
    ref[None] = np.array([[[1, 2, 3, 4]]], np.float32)
    refs["whole_none"] = (set_value_tensor(p, x, feed(p, feeds, "all_none", np.array([[[1, 2, 3, 4]]], np.float32)),
                                           bound(p, [0]), bound(p, [0]), bound(p, [1]), [2, 4], axes=(), none=[0]), ref)
    run_all(p, feeds, refs, opset, tmp)


def test_set_value_with_tensor_refusals(tmp):
    p = Program()
    x = p.data("x", "f32", [2, 4])
    p.fetch(set_value_tensor(p, x, p.data("v", "f32", [2]), bound(p, [1]), bound(p, [3]), bound(p, [1]), [2, 4],
                             decrease=[1]))
    assert "set_value_with_tensor_ decrease_axes=[1] requires a single indexed position" in refused(p, 17, tmp)
    assert "set_value_with_tensor_ requires opset >= 11, but target opset is 10" in refused(p, 10, tmp)
    # x[:, None, 1:3] = v: the inserted axis of the values must have size 1.
    p = Program()
    x = p.data("x", "f32", [2, 4])
    p.fetch(set_value_tensor(p, x, p.data("v", "f32", [2, 3, 2]), bound(p, [1]), bound(p, [3]), bound(p, [1]), [2, 4],
                             none=[1]))
    assert ("set_value_with_tensor_: values of shape [2, 3, 2] do not broadcast to the written block [2, 1, 2]"
            in refused(p, 17, tmp / "none"))
    # A constant step of 0 is refused whatever the other bounds are.
    p = Program()
    x = p.data("x", "f32", [2, 4])
    p.fetch(set_value_tensor(p, x, p.data("v", "f32", [2, 1]), p.data("s", "i64", [1]), bound(p, [3]), bound(p, [0]),
                             [2, 4]))
    assert "set_value_with_tensor_ step cannot be zero" in refused(p, 17, tmp / "zero")
    # One start, end and step for the one axis written: a bound of two values, fed or folded,
    # would make a model that fails on every input.
    for opset in (17, 21):
        p = Program()
        x = p.data("x", "f32", [-1, 4])
        p.fetch(set_value_tensor(p, x, p.data("v", "f32", [2, 1]), p.data("s", "i64", [2]), bound(p, [3]),
                                 bound(p, [1]), [-1, 4]))
        assert ("set_value_with_tensor_: starts (value 3) holds 2 values, but axes [1] take one"
                in refused(p, opset, tmp / f"fed{opset}"))
        p = Program()
        x = p.data("x", "f32", [-1, 4])
        p.fetch(set_value_tensor(p, x, p.data("v", "f32", [2, 1]), bound(p, [1]), bound(p, [3, 4]),
                                 bound(p, [1]), [-1, 4]))
        assert "set_value_with_tensor_: ends (value 4) holds 2 values" in refused(p, opset, tmp / f"folded{opset}")
