"""Gathers, not_equal and eye through the binary, run in ONNX Runtime against numpy values of
PaddlePaddle's semantics."""

import numpy as np
import pytest

from harness import Program, a_dtype, a_i32, a_i64, assert_refused, convert_check_run, word_of_np


def run_outputs(p, feeds, refs, opset, tmp, weights=None):
    for name, (v, _) in refs.items():
        p.fetch(v, name)
    res = convert_check_run(p, weights or {}, feeds, opset=opset, tmp=tmp)
    for name, (_, ref) in refs.items():
        assert res[name].dtype == ref.dtype, name
        np.testing.assert_array_equal(res[name], ref, err_msg=name)


def paddle_embedding(ids, table, padding_idx):
    out = table[ids]
    if padding_idx >= 0:
        out[ids == padding_idx] = 0
    return out


def take_along(x, idx, axis):
    # The operator itself does not broadcast: positions on the other axes are the indices' own.
    sub = tuple(slice(None) if k == axis else slice(0, n) for k, n in enumerate(idx.shape))
    return np.take_along_axis(x[sub], idx, axis)


@pytest.mark.parametrize("opset", [10, 13, 17])
def test_gathers(tmp, opset):
    p, refs = Program(), {}
    xs = np.arange(24, dtype=np.float32).reshape(2, 3, 4) - 5
    table = np.array([[1, 1], [2, 2], [np.inf, 3], [4, 4], [5, -5]], np.float32)
    feeds = {"x": xs,
             "ids": np.array([[0, 2, 4], [2, 2, 1]], np.int64),
             "ids32": np.array([3, 0, 3], np.int32),
             "i1": np.array([2, 0, 0], np.int32),
             "i2": np.array([[1], [0]], np.int64),
             "i0": np.array(1, np.int64)}
    x = p.data("x", "f32", [2, 3, 4])
    ids, ids32 = p.data("ids", "i64", [2, 3]), p.data("ids32", "i32", [3])
    i1, i2, i0 = p.data("i1", "i32", [3]), p.data("i2", "i64", [2, 1]), p.data("i0", "i64", [])
    w = p.param("embedding_0.w_0", "f32", [5, 2])

    # Embedding: the ids come first, the table second; padding rows read as zeros even where
    # the table holds infinities there.
    for name, idv, idn, pad in (("emb", ids, "ids", -1), ("emb_pad", ids, "ids", 2),
                                ("emb_pad32", ids32, "ids32", 3)):
        shape = list(feeds[idn].shape) + [2]
        v = p.op("1.embedding", [idv, w], attrs={"padding_idx": a_i64(pad), "sparse": False},
                 outs=[("f32", shape)])
        refs[name] = (v, paddle_embedding(feeds[idn], table, pad))

    for name, axis, idx, ref in (("sel1", 1, i1, np.take(xs, feeds["i1"], 1)),
                                 ("sel_neg", -1, i1, np.take(xs, feeds["i1"], -1)),
                                 ("sel_col", 0, i2, np.take(xs, feeds["i2"][:, 0], 0))):
        shape = list(ref.shape)
        refs[name] = (p.op("1.index_select", [x, idx], attrs={"axis": a_i32(axis)}, outs=[("f32", shape)]), ref)

    # The gather axis comes from a folded [1]-shaped constant, as exports write it.
    for name, axis, idx, ref in (("g_default", None, i2, np.take(xs, feeds["i2"][:, 0], 0)),
                                 ("g1", 1, i1, np.take(xs, feeds["i1"], 1)),
                                 ("g_neg", -1, i1, np.take(xs, feeds["i1"], -1)),
                                 ("g_scalar", 2, i0, np.take(xs, 1, 2))):
        inputs = [x, idx] if axis is None else [x, idx, p.full([1], axis, "i64")]
        refs[name] = (p.op("1.gather", inputs, outs=[("f32", list(ref.shape))]), ref)

    if opset >= 11:
        # Indices may be smaller than x on the other axes; the result takes their shape.
        for axis, idx in ((2, np.array([[[3, 0, 1, 1]], [[2, 2, 0, 3]]], np.int64)),
                          (0, np.array([[[1, 0, 1, 1]], [[0, 0, 1, 0]]], np.int64))):
            feeds[f"idx{axis}"] = idx
            a = p.data(f"idx{axis}", "i64", [2, 1, 4])
            refs[f"along{axis}"] = (p.op("1.take_along_axis", [x, a], attrs={"axis": a_i32(axis)},
                                         outs=[("f32", [2, 1, 4])]), take_along(xs, idx, axis))
        # gather_nd: each index row names a slice of x; GatherND itself reads int64 only.
        for name, idx in (("nd_i32", np.array([[0, 2], [1, 0], [1, 1]], np.int32)),
                          ("nd_i64", np.array([[[1, 2, 3]], [[0, 0, 1]]], np.int64))):
            feeds[name + "_index"] = idx
            ref = xs[tuple(np.moveaxis(idx, -1, 0))]
            index = p.data(name + "_index", word_of_np(idx.dtype), list(idx.shape))
            refs[name] = (p.op("1.gather_nd", [x, index],
                               outs=[("f32", list(ref.shape))]), ref)
    run_outputs(p, feeds, refs, opset, tmp, {"embedding_0.w_0": table})


@pytest.mark.parametrize("opset", [10, 17])
def test_not_equal(tmp, opset):
    p, refs, feeds = Program(), {}, {}
    cases = [("i64", np.array([[1, 2, 3], [4, 5, 6]], np.int64), np.array([1, 0, 6], np.int64)),
             ("bool", np.array([True, False, True]), np.array([True, True, False]))]
    if opset >= 11:
        cases += [("f32", np.array([[1.5, np.nan, 0.0]], np.float32), np.array([[1.5], [np.nan]], np.float32)),
                  ("i8", np.array([-3, 4], np.int8), np.array([-3, 3], np.int8))]
    for dtype, av, bv in cases:
        a, b = p.data(f"a_{dtype}", dtype, list(av.shape)), p.data(f"b_{dtype}", dtype, list(bv.shape))
        feeds[f"a_{dtype}"], feeds[f"b_{dtype}"] = av, bv
        ref = av != bv  # NaN differs from everything, itself included
        refs[dtype] = (p.op("1.not_equal", [a, b], outs=[("bool", list(ref.shape))]), ref)
    run_outputs(p, feeds, refs, opset, tmp)


@pytest.mark.parametrize("opset", [11, 13, 17, 21])
def test_eye(tmp, opset):
    p, refs = Program(), {}
    # Exports hand both counts over as [1]-shaped float32 constants.
    for name, rows, cols, dtype, ref in (("f32", 3, 2, None, np.eye(3, 2, dtype=np.float32)),
                                         ("i64", 2, 4, "i64", np.eye(2, 4, dtype=np.int64)),
                                         ("square", 3, -1, "bool", np.eye(3, dtype=np.bool_)),
                                         ("empty", 0, 2, "f64", np.eye(0, 2))):
        attrs = {"dtype": a_dtype(dtype)} if dtype else {}
        v = p.op("1.eye", [p.full([1], rows), p.full([1], cols)], attrs=attrs,
                 outs=[(dtype or "f32", list(ref.shape))])
        refs[name] = (v, ref)
    # Counts computed at run time, as an int32 [1] tensor and an int64 scalar; a run-time
    # column count of -1 asks for a square matrix too.
    r, c, m = p.data("r", "i32", [1]), p.data("c", "i64", []), p.data("m", "i32", [1])
    refs["runtime"] = (p.op("1.eye", [r, c], attrs={"dtype": a_dtype("f16")}, outs=[("f16", [-1, -1])]),
                       np.eye(2, 3, dtype=np.float16))
    refs["runtime_square"] = (p.op("1.eye", [r, m], outs=[("f32", [-1, -1])]), np.eye(2, dtype=np.float32))
    # Counts of any rank holding one value, as Paddle reads them: [1, 1] constants, a fed [1, 1].
    refs["rank2_counts"] = (p.op("1.eye", [p.full([1, 1], 2, "i64"), p.full([1, 1, 1], 3, "i32")],
                                 outs=[("f32", [2, 3])]), np.eye(2, 3, dtype=np.float32))
    rr = p.data("rr", "i64", [1, 1])
    refs["runtime_rank2_square"] = (p.op("1.eye", [rr, m], outs=[("f32", [-1, -1])]), np.eye(3, dtype=np.float32))
    run_outputs(p, {"r": np.array([2], np.int32), "c": np.array(3, np.int64), "m": np.array([-1], np.int32),
                    "rr": np.array([[3]], np.int64)}, refs, opset, tmp)


def refused_take_along_axis(p):
    x = p.data("x", "f32", [2, 2])
    p.fetch(p.op("1.take_along_axis", [x, p.data("i", "i64", [2, 2])], attrs={"axis": a_i32(1)},
                 outs=[("f32", [2, 2])]))


def refused_not_equal(p):
    x = p.data("x", "f32", [2])
    p.fetch(p.op("1.not_equal", [x, x], outs=[("bool", [2])]))


def refused_gather_nd(p):
    x = p.data("x", "f32", [2, 2])
    p.fetch(p.op("1.gather_nd", [x, p.data("i", "i32", [1, 2])], outs=[("f32", [1])]))


def refused_gather_nd_of_rank0(p):
    x = p.data("x", "f32", [])
    p.fetch(p.op("1.gather_nd", [x, p.data("i", "i64", [1, 0])], outs=[("f32", [1])]))


def refused_take_along_axis_of_rank0(p):
    x = p.data("x", "f32", [])
    p.fetch(p.op("1.take_along_axis", [x, p.data("i", "i64", [])], attrs={"axis": a_i32(0)}, outs=[("f32", [])]))


def refused_eye(p):
    p.fetch(p.op("1.eye", [p.full([1], 2), p.full([1], 2)], outs=[("f32", [2, 2])]))


def refused_eye_of_a_matrix_count(p):
    p.fetch(p.op("1.eye", [p.full([1], 2), p.data("n", "i64", [2, 2])], outs=[("f32", [2, -1])]))


def refused_gather_float_index(p):
    x = p.data("x", "f32", [4, 3])
    p.fetch(p.op("1.gather", [x, p.data("i", "f32", [2]), p.full([1], 0, "i64")], outs=[("f32", [2, 3])]))


def refused_gather_axis(p):
    x = p.data("x", "f32", [4, 3])
    p.fetch(p.op("1.gather", [x, p.data("i", "i64", [2]), p.full([1], 2, "i64")], outs=[("f32", [4, 2])]))


def refused_index_select_float_index(p):
    x = p.data("x", "f32", [4, 3])
    p.fetch(p.op("1.index_select", [x, p.data("i", "f16", [2])], attrs={"axis": 0}, outs=[("f32", [2, 3])]))


@pytest.mark.parametrize("build,opset,message", [
    (refused_gather_float_index, 17, "gather: index is float32, but it must be one of int32, int64"),
    (refused_gather_axis, 17, "gather: axis 2 is outside [-2, 2) for an input of rank 2"),
    (refused_index_select_float_index, 17, "index_select: index is float16, but it must be one of int32, int64"),
    (refused_take_along_axis, 10, "take_along_axis requires opset >= 11, but target opset is 10"),
    (refused_not_equal, 10, "not_equal of float32 tensors requires opset >= 11, but target opset is 10"),
    (refused_eye, 10, "eye requires opset >= 11, but target opset is 10"),
    (refused_eye_of_a_matrix_count, 17, "eye: num_columns (value 2) has dims [2, 2], but it must hold one value: a tensor of one element"),
    (refused_gather_nd, 10, "gather_nd requires opset >= 11, but target opset is 10"),
    (refused_gather_nd_of_rank0, 17, "gather_nd takes a rank 1 or higher input, got rank 0"),
    (refused_take_along_axis_of_rank0, 17, "take_along_axis takes a rank 1 or higher input, got rank 0"),
])
def test_refusals(tmp, build, opset, message):
    p = Program()
    build(p)
    assert_refused(p, opset, message, tmp)
