"""Constant tensors, cast and clip, squeeze/unsqueeze, flatten, split, stack and concat through the
binary, run in ONNX Runtime against numpy values of PaddlePaddle's semantics."""

import numpy as np
import pytest

from harness import (Program, assert_refused, a_array, a_dtype, a_f64, a_i32, a_i64, a_intarray, a_place,
                     convert_check_run, np_dtype, word_of_np)


def arange(shape, dtype=np.float32):
    return np.arange(int(np.prod(shape))).reshape(shape).astype(dtype)


def run_outputs(p, feeds, refs, opset, tmp):
    for name, (v, ref) in refs.items():
        if p.type_of(v) is None:  # an untyped output: declare the graph output from the reference
            p.fetch(v, name, word_of_np(ref.dtype), list(ref.shape))
        else:
            p.fetch(v, name)
    res = convert_check_run(p, {}, feeds, opset=opset, tmp=tmp)
    for name, (_, ref) in refs.items():
        np.testing.assert_array_equal(res[name], ref, err_msg=name)


def int_array(p, values):
    return p.op("1.full_int_array", attrs={"value": a_array([a_i64(v) for v in values]), "dtype": a_dtype("i64"),
                                           "place": a_place(1)}, outs=[("i64", [len(values)])])


FILLS = [("f32", 1.5), ("f64", -2.25), ("f16", 0.5), ("i64", -7), ("i32", 9), ("i16", -3), ("i8", 5),
         ("ui8", 200), ("bool", 1),
         # Non-finite fills travel as text, under "D" or "VD".
         ("f32", {"#": "0.a_f64", "D": "nan"}), ("f32", {"#": "0.a_f64", "VD": "-Inf"}),
         ("f16", {"#": "0.a_f64", "D": " +inf "}),
         # The value converts as Paddle's fill converts it: toward zero, keeping the low bits
         # of an integer, to the nearest float (65520 is past float16's largest), NaN true.
         ("i32", 2.7, 2), ("i32", -2.7, -2), ("i8", 300, 44), ("ui8", -1, 255), ("i16", 40000.9, -25536),
         ("f16", 65520, np.inf), ("f32", 1e39, np.inf), ("bool", {"#": "0.a_f64", "D": "nan"}, True),
         ("bool", 0.25, True)]


@pytest.mark.parametrize("opset", [10, 11, 13, 17, 21])
def test_constants(tmp, opset):
    p, refs = Program(), {}
    # Megabytes of program text in one operator: the operators after it are read from the
    # text that stays once the reader has given back what it will not read again.
    big = np.arange(150_000, dtype=np.int32) * 7 - 500_000
    refs["big"] = (p.op("1.assign_value_", [], attrs={"shape": a_array([a_i32(big.size)]), "dtype": a_dtype("i32"),
                                                      "values": a_array([a_i32(int(v)) for v in big])},
                        outs=[("i32", [big.size])]), big)
    for k, (dtype, value, *stored) in enumerate(FILLS):
        f = p.op("1.full", attrs={"shape": a_intarray([2, 3]), "dtype": a_dtype(dtype), "place": a_place(1),
                                  "value": value if isinstance(value, dict) else a_f64(float(value))},
                 outs=[(dtype, [2, 3])])
        fill = stored[0] if stored else \
            {"nan": np.nan, "-Inf": -np.inf, " +inf ": np.inf}[value.get("D", value.get("VD"))] \
            if isinstance(value, dict) else value
        refs[f"full{k}"] = (f, np.full((2, 3), fill, np_dtype(dtype)))
    # Integers are kept whole, also where a double would round them (past 2^53).
    exact = [3, -4, 2**63 - 1, 2**53 + 1, -(2**63 - 1), 2**63 - 2, -(2**63)]
    refs["ints"] = (int_array(p, exact), np.array(exact, np.int64))
    refs["assigned_ints"] = (p.op("1.assign_value_", [], attrs={
        "shape": a_array([a_i32(len(exact))]), "dtype": a_dtype("i64"), "values": a_array([a_i64(v) for v in exact])},
        outs=[("i64", [len(exact)])]), np.array(exact, np.int64))
    # Long lists are read from the program text, each element as the short lists read it:
    # plain numbers, integers wrapping into int32, the largest integers, exponents.
    long_ints = [(k * 7919) % 5000 - 2500 for k in range(3000)] + [2**31, -(2**31) - 1] + exact
    refs["long_plain_i32"] = (p.op("1.full_int_array", attrs={"value": {"#": "0.a_array", "D": long_ints},
                                                             "dtype": a_dtype("i32"), "place": a_place(1)},
                                   outs=[("i32", [len(long_ints)])]),
                              np.array(long_ints, np.int64).astype(np.int32))
    refs["long_wrapped_i64"] = (int_array(p, long_ints), np.array(long_ints, np.int64))
    refs["long_in_place"] = (p.op("1.full_int_array_", attrs={"value": {"#": "0.a_array", "D": long_ints},
                                                              "dtype": a_dtype("i64"), "place": a_place(1)},
                                  outs=[("i64", [len(long_ints)])]), np.array(long_ints, np.int64))
    floats = [2.7, -1.0, 300.5, 1e2, -0.0, 5e-1] * 200
    refs["long_floats_ui8"] = (p.op("1.assign_value_", [], attrs={
        "shape": a_array([a_i32(len(floats))]), "dtype": a_dtype("ui8"), "values": a_array([a_f64(v) for v in floats])},
        outs=[("ui8", [len(floats)])]), (np.trunc(floats).astype(np.int64) % 256).astype(np.uint8))
    refs["long_floats_f32"] = (p.op("1.assign_value_", [], attrs={
        "shape": a_array([a_i32(2), a_i32(len(floats) // 2)]), "dtype": a_dtype("f32"),
        "values": {"#": "0.a_array", "D": floats}},
        outs=[("f32", [2, len(floats) // 2])]), np.array(floats, np.float32).reshape(2, -1))
    # Plain and wrapped elements in one list: read from the document, with the same values.
    mixed = [1.5 if k % 2 else a_f64(-2.5) for k in range(1200)]
    refs["long_mixed_f64"] = (p.op("1.assign_value_", [], attrs={
        "shape": a_array([a_i32(1200)]), "dtype": a_dtype("f64"), "values": {"#": "0.a_array", "D": mixed}},
        outs=[("f64", [1200])]), np.array([1.5 if k % 2 else -2.5 for k in range(1200)], np.float64))
    x = p.data("x", "i32", [2, 2])
    av = p.op("1.assign_value_", [x], attrs={"shape": a_array([a_i32(2), a_i32(2)]), "dtype": a_dtype("i32"),
                                             "values": a_array([a_i32(v) for v in (1, 2, 3, 4)])},
              outs=[("i32", [2, 2])])
    refs["assigned"] = (p.op("1.add", [x, av], outs=[("i32", [2, 2])]), np.array([[11, 22], [33, 44]]))
    # Values written as floats take the element type as a cast does: toward zero, wrapping.
    refs["assigned_floats"] = (p.op("1.assign_value_", [], attrs={
        "shape": a_array([a_i32(3)]), "dtype": a_dtype("ui8"), "values": a_array([a_f64(2.7), a_f64(-1.0), a_f64(300.5)])},
        outs=[("ui8", [3])]), np.array([2, 255, 44], np.uint8))
    long_exact = exact * 400
    refs["long_assigned_ints"] = (p.op("1.assign_value_", [], attrs={
        "shape": a_array([a_i32(len(long_exact))]), "dtype": a_dtype("i64"),
        "values": {"#": "0.a_array", "D": [a_i64(v) for v in long_exact]}},
        outs=[("i64", [len(long_exact)])]), np.array(long_exact, np.int64))
    run_outputs(p, {"x": np.array([[10, 20], [30, 40]], np.int32)}, refs, opset, tmp)


@pytest.mark.parametrize("opset", [10, 17])
def test_cast(tmp, opset):
    p, refs = Program(), {}
    feeds = {"f": np.array([1.7, -1.7, 2.5, -0.0, 0.5], np.float32), "i": np.array([1, -2, 2048, 0, 7], np.int64),
             "b": np.array([True, False, True, True, False])}
    xs = {name: p.data(name, word, [5]) for name, word in (("f", "f32"), ("i", "i64"), ("b", "bool"))}
    # Paddle truncates toward zero from float to integer, and any non-zero is true. The
    # in-place form is the same cast.
    for name, src, dst in [("1.cast", "f", "i32"), ("1.cast", "f", "bool"), ("1.cast", "i", "f16"),
                           ("1.cast", "i", "i32"), ("1.cast", "b", "f32"), ("1.cast_", "f", "i64"),
                           ("1.cast_", "i", "bool")]:
        y = p.op(name, [xs[src]], attrs={"dtype": a_dtype(dst)}, outs=[(dst, [5])])
        refs[f"{name[2:]}_{src}_{dst}"] = (y, feeds[src].astype(np_dtype(dst)))
    run_outputs(p, feeds, refs, opset, tmp)


@pytest.mark.parametrize("opset", [10, 11, 12, 17, 21])
def test_clip(tmp, opset):
    p, refs, feeds = Program(), {}, {}
    lo, hi = p.full([1], -0.5), p.full([1], 1.0)  # float32 [1]-shaped bounds, as exports write them
    for dtype in ("f32", "f16"):
        feeds[dtype] = np.array([[-2, -0.5, 0], [0.25, 1, 3]], np_dtype(dtype))
        y = p.op("1.clip", [p.data(dtype, dtype, [2, 3]), lo, hi], outs=[(dtype, [2, 3])])
        refs[f"const_{dtype}"] = (y, np.clip(feeds[dtype], -0.5, 1.0))
    # Tensor bounds of another element type, [1]-shaped and rank 0; integers need opset 12.
    for dtype, bdtype, lowest in (("f32", "f64", 11), ("i32", "i64", 12), ("i16", "i32", 12)):
        if opset >= lowest:
            x, tlo, thi = p.data(f"x{dtype}", dtype, [6]), p.data(f"lo{dtype}", bdtype, [1]), p.data(f"hi{dtype}", bdtype, [])
            feeds.update({f"x{dtype}": np.array([-3, -1, 0, 1, 2, 5], np_dtype(dtype)),
                          f"lo{dtype}": np.array([-1], np_dtype(bdtype)), f"hi{dtype}": np.array(2, np_dtype(bdtype))})
            refs[f"tensor_{dtype}"] = (p.op("1.clip", [x, tlo, thi], outs=[(dtype, [6])]),
                                       np.clip(feeds[f"x{dtype}"], -1, 2))
    # Bounds of any rank holding one element: folded [1, 1] ones, and ones fed as [1, 1, 1].
    feeds["xr"] = np.array([[-3, -1, 0], [1, 2, 5]], np.float32)
    xr = p.data("xr", "f32", [2, 3])
    refs["rank2_bounds"] = (p.op("1.clip", [xr, p.full([1, 1], -1.0), p.full([1, 1], 2.0)], outs=[("f32", [2, 3])]),
                            np.clip(feeds["xr"], -1.0, 2.0))
    if opset >= 11:
        feeds.update(lor=np.array([[[-0.5]]], np.float32), hir=np.array([[[1.5]]], np.float32))
        refs["rank3_fed_bounds"] = (p.op("1.clip", [xr, p.data("lor", "f32", [1, 1, 1]), p.data("hir", "f32", [1, 1, 1])],
                                         outs=[("f32", [2, 3])]), np.clip(feeds["xr"], -0.5, 1.5))
    # An absent bound (%0) is no bound.
    feeds["xa"] = np.array([-3, -1, 0, 1, 2, 5], np.float32)
    xa = p.data("xa", "f32", [6])
    refs["absent_max"] = (p.op("1.clip", [xa, lo, None], outs=[("f32", [6])]), np.maximum(feeds["xa"], -0.5))
    refs["absent_min"] = (p.op("1.clip", [xa, None, hi], outs=[("f32", [6])]), np.minimum(feeds["xa"], 1.0))
    refs["absent_bounds"] = (p.op("1.clip", [xa, None, None], outs=[("f32", [6])]), feeds["xa"])
    if opset >= 12:  # in place on int32, with float32 bounds that truncate to -1 and 2
        feeds["xi"] = np.array([-3, -1, 0, 1, 2, 5], np.int32)
        refs["inplace_i32"] = (p.op("1.clip_", [p.data("xi", "i32", [6]), p.full([1], -1.5), p.full([1], 2.5)],
                                    outs=[("i32", [6])]), np.clip(feeds["xi"], -1, 2))
    run_outputs(p, feeds, refs, opset, tmp)


def paddle_unsqueeze(x, axes):
    """Paddle inserts the axes one at a time, in order; a negative one counts from the end of
    the rank reached so far, plus one."""
    for a in axes:
        x = np.expand_dims(x, a + x.ndim + 1 if a < 0 else a)
    return x


# name, declared dims of a [2, 3] input, axes
UNSQUEEZES = [
    ("unsqueeze", [2, 3], [-1, 0]),
    ("unsqueeze_out_of_order", [2, 3], [2, 0]),
    ("unsqueeze_repeated", [2, 3], [1, 1]),
    ("unsqueeze_negative_repeated", [-1, 3], [-1, -1]),
    ("unsqueeze_mixed_signs", [-1, 3], [0, -1, 1]),
    ("unsqueeze_descending", [2, -1], [2, 1, 0]),
    ("unsqueeze_nothing", [2, 3], []),
]


@pytest.mark.parametrize("opset", [10, 13, 17, 18])
def test_squeeze_unsqueeze_flatten(tmp, opset):
    p, refs, feeds = Program(), {}, {}
    xs = arange([2, 1, 3, 1])
    x = p.data("x", "f32", [2, 1, 3, 1])
    dyn = p.data("dyn", "f32", [-1, 1, 3])
    feeds.update({"x": xs, "dyn": arange([2, 1, 3])})
    # Listed size-1 axes go, or every size-1 axis for an empty list (what squeeze(x) exports).
    for name, src, axes, out in (("explicit", x, [1], [2, 3, 1]), ("negative", x, [-1], [2, 1, 3]),
                                 ("empty", x, [], [2, 3]), ("empty_dynamic", dyn, [], [-1, 3])):
        refs[f"squeeze_{name}"] = (p.op("1.squeeze", [src, int_array(p, axes)], outs=[("f32", out)]),
                                   np.squeeze(feeds["dyn" if src == dyn else "x"], axis=tuple(axes) or None))
    y = p.data("y", "f32", [2, 3])
    feeds["y"] = arange([2, 3])
    for name, dims, axes in UNSQUEEZES:
        src = y if -1 not in dims else p.data(f"{name}_in", "f32", dims)
        if src != y:
            feeds[f"{name}_in"] = arange([2, 3])
        ref = paddle_unsqueeze(feeds["y"], axes)
        # The declared output keeps the input's unknown dim unknown.
        declared = list(paddle_unsqueeze(np.zeros([max(d, 0) for d in dims]), axes).shape)
        declared = [d if d > 0 else -1 for d in declared]
        refs[name] = (p.op("1.unsqueeze", [src, int_array(p, axes)], outs=[("f32", declared)]), ref)
    if opset >= 13:  # axes only known at run time, int64 or int32
        feeds["axes"] = np.array([0, 2], np.int64)
        refs["unsqueeze_tensor"] = (p.op("1.unsqueeze", [y, p.data("axes", "i64", [2])], outs=[("f32", [-1] * 4)]),
                                    feeds["y"].reshape(1, 2, 1, 3))
        feeds["axes32"] = np.array([-1], np.int32)
        refs["unsqueeze_tensor_i32"] = (p.op("1.unsqueeze", [y, p.data("axes32", "i32", [1])], outs=[("f32", [-1] * 3)]),
                                        feeds["y"].reshape(2, 3, 1))
        # Repeated and negative axes at run time: one dim per entry, in order, as Paddle inserts
        # them; one axis as a 0-D value.
        for name, dims, axes in (("repeated", [2, 3], [1, 1, -1]), ("repeated_open_batch", [-1, 3], [0, -1, 0, 2]),
                                 ("0d", [-1, 3], -1)):
            batch = 1 if -1 in dims else 2
            feeds[f"unsqueeze_{name}_in"], feeds[f"unsqueeze_{name}_axes"] = arange([batch, 3]), np.array(axes, np.int32)
            refs[f"unsqueeze_tensor_{name}"] = (
                p.op("1.unsqueeze", [p.data(f"unsqueeze_{name}_in", "f32", dims),
                                     p.data(f"unsqueeze_{name}_axes", "i32", list(np.shape(axes)))],
                     outs=[("f32", [-1] * (2 + np.size(axes)))]),
                paddle_unsqueeze(arange([batch, 3]), np.atleast_1d(axes)))
        feeds["squeeze32"] = np.array([1], np.int32)
        refs["squeeze_tensor_i32"] = (p.op("1.squeeze", [x, p.data("squeeze32", "i32", [1])], outs=[("f32", [-1] * 3)]),
                                      xs.reshape(2, 3, 1))
        # Axes named at run time of an input with no dim of 1: Paddle leaves every named dim alone.
        feeds["squeeze_none"] = np.array([1, 1, 1], np.int32)
        refs["squeeze_tensor_no_unit_dim"] = (p.op("1.squeeze", [y, p.data("squeeze_none", "i32", [3])],
                                                   outs=[("f32", [-1] * 3)]), feeds["y"])
        # A single value squeezed along axis 0, named at run time: it stays itself.
        feeds["one"], feeds["axis0"] = np.array(2.5, np.float32), np.array([0], np.int64)
        refs["squeeze_rank0_tensor_axis"] = (p.op("1.squeeze", [p.data("one", "f32", []), p.data("axis0", "i64", [1])],
                                                  outs=[("f32", [])]), feeds["one"])
        # One axis as a 0-D value, which Squeeze reads as a list of one.
        feeds["squeeze0"] = np.array(-1, np.int64)
        refs["squeeze_tensor_rank0"] = (p.op("1.squeeze", [x, p.data("squeeze0", "i64", [])], outs=[("f32", [-1] * 3)]),
                                        xs.reshape(2, 1, 3))
        # Axes named at run time of dims known only at run time: a named dim goes only where it
        # is 1 (Paddle leaves the others), whatever rank is declared; an empty list names every dim.
        feeds["axis_b"], feeds["axes_b"], feeds["no_axes"] = np.array(0), np.array([-1, 0, 1], np.int32), np.zeros(0, np.int64)
        runtime_axes = {"axis_b": p.data("axis_b", "i64", []), "axes_b": p.data("axes_b", "i32", [3]),
                        "no_axes": p.data("no_axes", "i64", [0])}
        for batch in (1, 2, 3):
            for dims, data in (([-1, 3], arange([batch, 3])), ([-1, 1, -1], arange([batch, 1, 2 - batch // 3 * 2]) > 2)):
                name = f"sq{len(dims)}_b{batch}"
                feeds[name] = data
                v = p.data(name, word_of_np(data.dtype), dims)
                for axes_name, axes in runtime_axes.items():
                    named = [int(a) % data.ndim for a in np.atleast_1d(feeds[axes_name])] or range(data.ndim)
                    want = data.reshape([d for k, d in enumerate(data.shape) if not (k in named and d == 1)])
                    refs[f"squeeze_runtime_{name}_{axes_name}"] = (
                        p.op("1.squeeze", [v, axes], outs=[(word_of_np(data.dtype), [-1] * (len(dims) - 1))]), want)
    # A shape or axes given as a list of one-value tensors (a combine), which Paddle reads element
    # by element: constants, int32 and int64, 0-D and [1], and values fed at run time.
    feeds.update(rows=np.array(2, np.int64), at=np.array([3], np.int32), batch6=arange([2, 6]))
    batch6, rows = p.data("batch6", "f32", [-1, 6]), p.data("rows", "i64", [])
    listed = p.combine([rows, p.full([], 3, "i32"), p.full([1], -1, "i64")])
    refs["reshape_listed_at_run_time"] = (p.op("1.reshape", [batch6, listed], outs=[("f32", [-1, 3, -1])]),
                                          feeds["batch6"].reshape(2, 3, 2))
    listed = p.combine([p.full([], 0, "i64"), p.full([1], 2, "i32"), p.full([], 3, "i64")])
    refs["reshape_listed"] = (p.op("1.reshape", [batch6, listed], outs=[("f32", [-1, 2, 3])]),
                              feeds["batch6"].reshape(2, 2, 3))
    # The same list read inside both branches of an if, then after it.
    listed = p.combine([rows, p.full([], -1, "i64")])
    branches = [p.block(), p.block()]
    for b in branches:
        b.yield_([b.op("1.reshape", [batch6, listed], outs=[("f32", [-1, -1])])])
    feeds["take"] = np.array([False])
    refs["reshape_listed_in_a_branch"] = (p.op("1.if", [p.data("take", "bool", [1])], outs=[("f32", [-1, -1])],
                                               regions=branches), feeds["batch6"].reshape(2, 6))
    refs["reshape_listed_after_a_branch"] = (p.op("1.reshape", [batch6, listed], outs=[("f32", [-1, -1])]),
                                             feeds["batch6"].reshape(2, 6))
    refs["unsqueeze_listed"] = (p.op("1.unsqueeze", [y, p.combine([p.full([], 2, "i64"), p.full([1], 0, "i32")])],
                                     outs=[("f32", [1, 2, 1, 3])]), paddle_unsqueeze(feeds["y"], [2, 0]))
    if opset >= 13:
        listed = p.combine([p.full([], 0, "i64"), p.data("at", "i32", [1])])
        refs["unsqueeze_listed_at_run_time"] = (p.op("1.unsqueeze", [y, listed], outs=[("f32", [-1] * 4)]),
                                                paddle_unsqueeze(feeds["y"], [0, 3]))
    # A shape held in an int32 tensor: ONNX Reshape takes an int64 shape only.
    feeds["shape32"] = np.array([3, -1], np.int32)
    refs["reshape_int32_shape"] = (p.op("1.reshape", [y, p.data("shape32", "i32", [2])], outs=[("f32", [-1, -1])]),
                                   feeds["y"].reshape(3, 2))
    z = p.data("z", "f32", [-1, 3, -1, 5])
    feeds["z"] = arange([2, 3, 4, 5])
    for name, start, stop, out, ref in (("middle", 1, 2, [-1, 12, -1], None), ("static", 1, 2, [2, 12, 5], None),
                                        ("start0", 0, -1, [-1], [-1]), ("to_end", 2, -1, None, [2, 3, 20]),
                                        # Axes written as whole floats are those axes.
                                        ("whole_floats", 1.0, 2.0, [-1, 12, -1], None)):
        f = p.op("1.flatten", [z], attrs={"start_axis": start, "stop_axis": stop}, outs=[("f32", out) if out else None])
        refs[f"flatten_{name}"] = (f, feeds["z"].reshape(ref or [2, 12, 5]))
    # Paddle's shape gives int32, shape64 int64; ONNX Shape gives int64 only.
    for name, word, np_type in (("shape", "i32", np.int32), ("shape64", "i64", np.int64)):
        refs[name] = (p.op(f"1.{name}", [z], outs=[(word, [4])]), np.array([2, 3, 4, 5], np_type))
    # An empty dim in a target: Reshape's allowzero from opset 14, a broadcast below it.
    feeds.update(ze=np.zeros((2, 3, 0, 2), np.float32), zs=np.zeros((2, 3, 0), np.float32),
                 zb=np.zeros((0, 3, 4), np.float32), zb4=np.zeros((0, 3, 4, 2), np.float32), ze2=np.zeros((2, 3, 0, 2), np.float32))
    for name, src, dims, start, stop, out in (("empty_runtime", "ze", [-1, 3, -1, 2], 1, 2, [-1, -1, 2]),
                                              # An unknown batch beside a declared empty dim.
                                              ("empty_declared_batch", "ze2", [-1, 3, 0, 2], 2, 3, [-1, 3, 0]),
                                              ("empty_declared", "zs", [2, 3, 0], 1, 2, [2, 0]),
                                              ("empty_batch_tail", "zb", [-1, 3, -1], 1, -1, [-1, -1]),
                                              ("empty_batch_tail2", "zb4", [-1, 3, -1, 2], 2, -1, [-1, 3, -1])):
        f = p.op("1.flatten", [p.data(src, "f32", dims)], attrs={"start_axis": start, "stop_axis": stop},
                 outs=[("f32", out)])
        shape = feeds[src].shape
        stop %= len(shape)
        refs[f"flatten_{name}"] = (f, feeds[src].reshape(shape[:start] + (int(np.prod(shape[start:stop + 1])),)
                                                         + shape[stop + 1:]))
    run_outputs(p, feeds, refs, opset, tmp)


@pytest.mark.parametrize("opset", [10, 13, 17, 18])
def test_split_stack_concat(tmp, opset):
    p, refs = Program(), {}
    xs = arange([2, 6])
    x = p.data("x", "f32", [-1, 6])
    # Sections as int64, with a -1 for the rest, and as int32 (Split reads int64 only).
    for name, sections, sizes, dtype in (("sections", [1, 2, 3], [1, 2, 3], "i64"), ("rest", [2, -1], [2, 4], "i64"),
                                         ("sections_i32", [4, 2], [4, 2], "i32")):
        lst = p.op("1.split", [x, p.full_int_array(sections, dtype), p.full([1], -1, "i32")],
                   outs=[("vec", [("f32", [-1, n]) for n in sizes])])
        for k, (v, ref) in enumerate(zip(p.split(lst, [("f32", [-1, n]) for n in sizes]),
                                         np.split(xs, np.cumsum(sizes)[:-1], axis=1))):
            refs[f"{name}{k}"] = (v, ref)
    # Sections of any rank, which Paddle reads flattened: [[3, 3]], and one 0-D section.
    for name, sections, sizes in (("sections_1x2", p.full([1, 2], 3, "i64"), [3, 3]),
                                  ("sections_0d", p.full([], 6, "i32"), [6])):
        lst = p.op("1.split", [x, sections, p.full([1], 1, "i32")], outs=[("vec", [("f32", [-1, n]) for n in sizes])])
        for k, (v, ref) in enumerate(zip(p.split(lst, [("f32", [-1, n]) for n in sizes]),
                                         np.split(xs, np.cumsum(sizes)[:-1], axis=1))):
            refs[f"{name}{k}"] = (v, ref)
    feeds = {"x": xs}
    if opset >= 13:  # sections known only at run time, of any rank, flattened
        feeds["fed_1x2"], feeds["fed_0d"] = np.array([[2, -1]], np.int32), np.array(6, np.int64)
        for name, sections, sizes in (("fed_1x2", p.data("fed_1x2", "i32", [1, 2]), [2, 4]),
                                      ("fed_0d", p.data("fed_0d", "i64", []), [6])):
            lst = p.op("1.split", [x, sections, p.full([1], 1, "i32")], outs=[("vec", [("f32", [-1, -1])] * len(sizes))])
            for k, (v, ref) in enumerate(zip(p.split(lst, [("f32", [-1, -1])] * len(sizes)),
                                             np.split(xs, np.cumsum(sizes)[:-1], axis=1))):
                refs[f"split_{name}{k}"] = (v, ref)
    if opset >= 13:  # sections known only at run time: a -1 among them takes the rest of the axis
        c = p.data("c", "bool", [1])
        then, other = p.block(), p.block()
        then.yield_([then.full_int_array([-1, 1, 2], "i32")])
        other.yield_([other.full_int_array([2, 1, 3], "i32")])
        from_if = p.op("1.if", [c], outs=[("i32", [3])], regions=[then, other])
        feeds["c"] = np.array([True])
        runtime_splits = [("from_if", x, xs, -1, from_if, [-1, 1, 2])]
        for batch in (1, 2, 3):  # along the batch axis, whose size only the feed tells
            feeds[f"xb{batch}"], feeds[f"fed{batch}"] = arange([batch, 6]) - 5, np.array([batch - 1, -1, 1])
            runtime_splits.append((f"fed{batch}", p.data(f"xb{batch}", "f32", [-1, 6]), feeds[f"xb{batch}"], 0,
                                   p.data(f"fed{batch}", "i64", [3]), feeds[f"fed{batch}"]))
        for name, src, whole, axis, sections, given in runtime_splits:
            sizes = np.array(given)
            sizes[sizes == -1] = whole.shape[axis] - (sizes.sum() + 1)
            lst = p.op("1.split", [src, sections, p.full([1], axis, "i32")],
                       outs=[("vec", [("f32", [-1, -1])] * 3)])
            for k, (v, ref) in enumerate(zip(p.split(lst, [("f32", [-1, -1])] * 3),
                                             np.split(whole, np.cumsum(sizes)[:-1], axis=axis))):
                refs[f"split_{name}{k}"] = (v, ref)
    lst = p.op("1.split_with_num", [x, p.full([1], 1, "i32")], attrs={"num": 3}, outs=[("vec", [("f32", [-1, 2])] * 3)])
    for k, (v, ref) in enumerate(zip(p.split(lst, [("f32", [-1, 2])] * 3), np.split(xs, 3, axis=1))):
        refs[f"num{k}"] = (v, ref)
    a, b = p.data("a", "f32", [2, 2]), p.data("b", "f32", [2, 2])
    av, bv = arange([2, 2]), arange([2, 2]) + 10
    pair = p.combine([a, b])
    refs["stacked"] = (p.op("1.stack", [pair], attrs={"axis": -1}, outs=[("f32", [2, 2, 2])]), np.stack([av, bv], -1))
    refs["joined"] = (p.op("1.concat", [pair, p.full([1], -2, "i32")], outs=[("f32", [4, 2])]),
                      np.concatenate([av, bv], -2))
    run_outputs(p, {**feeds, "a": av, "b": bv}, refs, opset, tmp)


def refused_fill(p):
    p.fetch(p.full([1 << 20, 1 << 20], 1.0))


def refused_clip(p):
    p.fetch(p.op("1.clip", [p.data("x", "f32", [3]), p.data("lo", "f32", [1]), None], outs=[("f32", [3])]))


def refused_cast_nan(p):
    # A NaN has no integer value: the conversion leaves it undefined.
    nan = p.op("1.full", attrs={"shape": a_intarray([1]), "dtype": a_dtype("f32"), "place": a_place(1),
                                "value": {"#": "0.a_f64", "D": "nan"}}, outs=[("f32", [1])])
    p.fetch(p.op("1.cast", [nan], attrs={"dtype": a_dtype("i32")}, outs=[("i32", [1])]))


def refused_full_range(p):
    # 3e9 lies past the 32 bits that a float converts through.
    p.fetch(p.full([2], 3e9, "ui8"))


def refused_unsqueeze(p):
    # The second insertion counts against rank 3: axis 4 lies past it.
    p.fetch(p.op("1.unsqueeze", [p.data("x", "f32", [2, 3]), int_array(p, [0, 4])], outs=[("f32", [-1] * 4)]))


def refused_clip_of_bool(p):
    p.fetch(p.op("1.clip", [p.data("x", "bool", [3]), p.full([1], 0.0), p.full([1], 1.0)], outs=[("bool", [3])]))


def refused_expand_to_a_matrix_shape(p):
    # A target shape is a list of sizes; a [2, 1] tensor gives an Expand no runtime runs.
    p.fetch(p.op("1.expand", [p.data("x", "f32", [1, 3]), p.data("s", "i64", [2, 1])], outs=[("f32", [-1, -1])]))


def full_declared(dtype, dims):
    # A consumer is lowered against the declaration, not against what full writes.
    def build(p):
        p.fetch(p.op("1.full", attrs={"shape": a_intarray([2, 3]), "value": a_f64(1.0), "dtype": a_dtype("f32"),
                                      "place": a_place(1)}, outs=[(dtype, dims)]))
    return build


def full_int_array_declared(dtype, dims):
    def build(p):
        p.fetch(p.op("1.full_int_array", attrs={"value": a_array([a_i64(2), a_i64(3)]), "dtype": a_dtype("i32"),
                                                "place": a_place(1)}, outs=[(dtype, dims)]))
    return build


def eye_of_a_count_declared_open(p):
    # full writes one value, shape [1], declared [-1]: eye takes it as the one count it is.
    n = p.op("1.full", attrs={"shape": a_intarray([1]), "value": a_f64(3.0), "dtype": a_dtype("i64"),
                              "place": a_place(1)}, outs=[("i64", [-1])])
    p.fetch(p.op("1.eye", [n, n], attrs={"dtype": a_dtype("f32"), "place": a_place(1)}, outs=[("f32", [-1, -1])]))


def full_without_dtype_declared(dtype):
    # Without a dtype full makes int64 values, which a float32 consumer would be given.
    def build(p):
        p.fetch(p.op("1.full", attrs={"shape": a_intarray([2, 3]), "value": a_f64(1.0), "place": a_place(1)},
                     outs=[(dtype, [2, 3])]))
    return build


def refused_one_value_of_six(name):
    # Paddle reads a clip bound or a fill value as one number.
    def build(p):
        dtype = "i64" if name == "1.one_hot" else "f32"  # so is a class count
        x, six = p.data("x", dtype, [2, 3]), p.data("six", dtype, [2, 3])
        operands = {"1.clip": [x, six, p.full([1], 1.0)], "1.full_like": [x, six], "1.full_with_tensor": [six, int_array(p, [2, 3])],
                    "1.one_hot": [x, six]}
        p.fetch(p.op(name, operands[name], outs=[("f32", [2, 3])]))
    return build


def refused_axes_of_rank_2(name):
    # One axis is 0-D, a list of axes 1-D; Squeeze and Unsqueeze read no other.
    def build(p):
        p.fetch(p.op(name, [p.data("x", "f32", [1, 3]), p.data("axes", "i64", [1, 1])], outs=[("f32", [-1, -1])]))
    return build


def unsqueeze_declared_a_rank_short(p):
    p.fetch(p.op("1.unsqueeze", [p.data("x", "f32", [2, 3]), int_array(p, [0])], outs=[("f32", [2, 3])]))


def strided_slice_declared_3_wide_then_split(p):
    # Steps of 3 over 6 columns leave 2, declared 3: the split's -1 section is what remains of 2.
    x = p.data("x", "f32", [-1, 6])
    s = p.op("1.strided_slice", [x, int_array(p, [0]), int_array(p, [6]), int_array(p, [3])],
             attrs={"axes": [1], "decrease_axis": []}, outs=[("f32", [-1, 3])])
    pieces = p.op("1.split", [s, int_array(p, [1, -1]), p.full([1], 1, "i32")],
                  outs=[("vec", [("f32", [-1, 1]), ("f32", [-1, 2])])])
    p.fetch(p.split(pieces, [("f32", [-1, 1]), ("f32", [-1, 2])])[1])


def squeeze_of_ones_by_an_axis_at_run_time(rank, declared):
    # Whichever axis the run time names, it is a dim of 1, which Paddle removes.
    def build(p):
        p.fetch(p.op("1.squeeze", [p.data("x", "f32", [1] * rank), p.data("axis", "i64", [])], outs=[("f32", declared)]))
    return build


def stack_declared(dtype, dims):
    def build(p):
        pair = p.combine([p.data("a", "i32", []), p.data("b", "i32", [])])
        p.fetch(p.op("1.stack", [pair], attrs={"axis": 0}, outs=[(dtype, dims)]))
    return build


def concat_declared(dtype, dims):
    def build(p):
        pair = p.combine([p.data("a", "f32", [2, 3]), p.data("b", "f32", [-1, 3])])
        p.fetch(p.op("1.concat", [pair, p.full([1], -2, "i32")], outs=[(dtype, dims)]))
    return build


def refused_range(p):
    # Range takes single values; a limit of three would make no model.
    bounds = [p.full([1], 0, "i64"), p.data("ends", "i64", [3]), p.full([1], 1, "i64")]
    p.fetch(p.op("1.range", bounds, outs=[("i64", [-1])]))


def refused_split_unpacked_apart(p):
    # Two sections, three values: Split would be given more outputs than pieces.
    x = p.data("x", "f32", [2, 6])
    lst = p.op("1.split", [x, p.full_int_array([2, 4]), p.full([1], 1, "i32")], outs=[("vec", [("f32", [2, 2]), ("f32", [2, 4])])])
    p.fetch(p.split(lst, [("f32", [2, 2]), ("f32", [2, 4]), ("f32", [2, 4])])[0])


def refused_split_of_fed_sections_unpacked_apart(p):
    # Three sections fed as [1, 3], two values: their count is known though their sizes are not.
    x = p.data("x", "f32", [-1, 6])
    lst = p.op("1.split", [x, p.data("s", "i64", [1, 3]), p.full([1], 1, "i32")], outs=[("vec", [("f32", [-1, -1])] * 2)])
    p.fetch(p.split(lst, [("f32", [-1, -1])] * 2)[0])


def refused_split_with_num_unpacked_apart(p):
    x = p.data("x", "f32", [2, 6])
    lst = p.op("1.split_with_num", [x, p.full([1], 1, "i32")], attrs={"num": 3}, outs=[("vec", [("f32", [2, 2])] * 3)])
    p.fetch(p.split(lst, [("f32", [2, 2])] * 2)[0])


def refused_unbind_unpacked_apart(p):
    # Three elements along the axis, four values.
    lst = p.op("1.unbind", [p.data("x", "f32", [2, 3])], attrs={"axis": a_i32(-1)}, outs=[("vec", [("f32", [2])] * 3)])
    p.fetch(p.split(lst, [("f32", [2])] * 4)[0])


def refused_listed_shape(element):
    """A reshape whose shape lists `element` and 6: Paddle takes each element as one int32 or int64."""
    def build(p):
        x = p.data("x", "f32", [4, 6])
        p.fetch(p.op("1.reshape", [x, p.combine([element(p), p.full([], 6, "i64")])], outs=[("f32", [4, 6])]))
    return build


@pytest.mark.parametrize("build,opset,message", [
    (refused_unbind_unpacked_apart, 13, "unbind makes 3 pieces along axis -1, but its list is unpacked into 4 values"),
    (refused_split_unpacked_apart, 13, "split makes 2 pieces, but its list is unpacked into 3 values"),
    *[(refused_split_of_fed_sections_unpacked_apart, opset, "split makes 3 pieces, but its list is unpacked into 2 values")
      for opset in (17, 21)],
    (refused_split_with_num_unpacked_apart, 17, "split_with_num makes 3 pieces, but its list is unpacked into 2 values"),
    (refused_fill, 17, "1.full initializer shape [1048576, 1048576] has more than 268435456 elements"),
    (refused_clip, 10, "clip with tensor bounds requires opset >= 11, but target opset is 10"),
    (refused_clip_of_bool, 17, "clip: x is bool, but it must be a number type"),
    # A fourth operand would be a fourth Clip input, which no runtime loads.
    *[(lambda p: p.fetch(p.op("1.clip", [p.data("x", "f32", [3]), p.full([1], 0.0), p.full([1], 1.0), p.full([1], 2.0)],
                               outs=[("f32", [3])])), opset, "clip has 4 operands, but it takes 1 to 3 (x, min, max)")
      for opset in (17, 21)],
    (refused_unsqueeze, 17, "unsqueeze: axis 4 is outside the rank 3 it is inserted into"),
    (refused_expand_to_a_matrix_shape, 17,
     "expand: shape (value 2) has dims [2, 1], but it must be 1-D: one size per output dim"),
    (full_declared("i64", [2, 3]), 17, "full declares its output 1 as int64 [2, 3], but computes float32 [2, 3]"),
    (full_int_array_declared("i64", [2]), 17, "full_int_array declares its output 1 as int64 [2], but computes int32 [2]"),
    (stack_declared("i64", [2]), 17, "stack declares its output 4 as int64 [2], but computes int32 [2]"),
    (concat_declared("i64", [-1, 3]), 17, "concat declares its output 5 as int64 [-1, 3], but computes float32 [-1, 3]"),
    (refused_range, 17, "range bound 1 has dims [3], where one value is taken"),
    (refused_range, 10, "range requires opset >= 11, but target opset is 10"),
    (refused_cast_nan, 17, "cannot cast non-finite constant NaN to int32"),
    (refused_full_range, 17, "full value 3000000000 is out of range for uint8"),
    *[(build, opset, message) for opset in (17, 18) for build, message in [
        (full_without_dtype_declared("f32"), "full declares its output 1 as float32 [2, 3], but without a dtype "
                                             "attribute it makes int64 values"),
        (refused_one_value_of_six("1.clip"), "clip: min (value 2) has dims [2, 3], but it must hold one value: a tensor of one element"),
        (refused_one_value_of_six("1.full_like"),
         "full_like: value (value 2) has dims [2, 3], but it must hold one value: a tensor of one element"),
        (refused_one_value_of_six("1.full_with_tensor"),
         "full_with_tensor: value (value 2) has dims [2, 3], but it must hold one value: a tensor of one element"),
        (refused_one_value_of_six("1.one_hot"),
         "one_hot: num_classes (value 2) has dims [2, 3], but it must hold one value: a tensor of one element"),
        (refused_axes_of_rank_2("1.squeeze"),
         "squeeze: axis (value 2) has dims [1, 1], but it must be 0-D or 1-D: one axis or a list of axes"),
        (lambda p: p.fetch(p.op("1.squeeze", [p.data("x", "f32", []), int_array(p, [3])], outs=[("f32", [])])),
         "squeeze axis 3 is outside a rank-0 input, which takes 0 or -1"),
        (refused_axes_of_rank_2("1.unsqueeze_"),
         "unsqueeze: axis (value 2) has dims [1, 1], but it must be 0-D or 1-D: one axis or a list of axes"),
        (refused_listed_shape(lambda p: p.full([], 4.0, "f32")),
         "reshape: shape (value 4) element 2 is float32, but it must be one of int32, int64"),
        (refused_listed_shape(lambda p: p.data("n", "i64", [2])),
         "reshape: shape (value 4) element 2 has dims [2], but each element of the list must hold one value"),
        # A fill value is one number, never a list.
        (lambda p: p.fetch(p.op("1.full_like", [p.data("x", "f32", [2]), p.combine([p.full([], 0.0)])],
                                outs=[("f32", [2])])),
         "full_like: value (value 3) is a list of values, where it takes one tensor"),
    ]],
])
def test_refusals(tmp, build, opset, message):
    p = Program()
    build(p)
    assert_refused(p, opset, message, tmp)


# Declared dims alone differ from what the operator computes (Paddle's exporter writes such around
# control flow): the value, and the graph output that fetches it, are what the operator computes.
@pytest.mark.parametrize("build,opset,feeds,want", [
    (full_declared("f32", [6]), 17, {}, np.ones((2, 3), np.float32)),
    (full_declared("f32", [2, 4]), 11, {}, np.ones((2, 3), np.float32)),
    (full_int_array_declared("i32", [1, 2]), 17, {}, np.array([2, 3], np.int32)),
    (stack_declared("i32", [1, 2]), 17, {"a": np.array(4, np.int32), "b": np.array(-5, np.int32)},
     np.array([4, -5], np.int32)),
    (concat_declared("f32", [-1, 4]), 11, {"a": arange((2, 3)), "b": -arange((1, 3))},
     np.concatenate([arange((2, 3)), -arange((1, 3))])),
    (unsqueeze_declared_a_rank_short, 17, {"x": arange((2, 3))}, arange((2, 3))[None]),
    (eye_of_a_count_declared_open, 17, {}, np.eye(3, dtype=np.float32)),
    *[(squeeze_of_ones_by_an_axis_at_run_time(rank, declared), opset,
       {"x": np.full([1] * rank, 2.5, np.float32), "axis": np.array(axis)}, np.full([1] * (rank - 1), 2.5, np.float32))
      for opset in (17, 21) for rank, declared, axis in ((1, [-1], -1), (3, [-1, -1, -1], 1))],
    *[(strided_slice_declared_3_wide_then_split, opset, {"x": arange((batch, 6))}, arange((batch, 6))[:, 3:4])
      for opset, batch in ((17, 1), (17, 3), (21, 2))],
    (eye_of_a_count_declared_open, 21, {}, np.eye(3, dtype=np.float32)),
])
def test_dims_declared_otherwise_give_way(tmp, build, opset, feeds, want):
    p = Program()
    build(p)
    (got,) = convert_check_run(p, {}, feeds, opset=opset, tmp=tmp).values()
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(got, want)
