"""Filled and ranged tensors (full_like, full_with_tensor, arange) and expand through the binary,
run in ONNX Runtime against numpy values of PaddlePaddle's semantics."""

import numpy as np
import pytest

from harness import Program, a_array, a_dtype, a_i64, a_place, convert_check_run


def fetch_all(p, refs, feeds, opset, tmp):
    for name, (v, _) in refs.items():
        p.fetch(v, name)
    res = convert_check_run(p, {}, feeds, opset=opset, tmp=tmp)
    for name, (_, ref) in refs.items():
        assert res[name].dtype == ref.dtype and res[name].shape == ref.shape, name
        np.testing.assert_array_equal(res[name], ref, err_msg=name)


def int_array(p, values, dtype="i64"):
    return p.op("1.full_int_array", attrs={"value": a_array([a_i64(v) for v in values]), "dtype": a_dtype(dtype),
                                           "place": a_place(1)}, outs=[(dtype, [len(values)])])


def stack(p, ids, dtype):
    return p.op("1.stack", [p.combine(ids)], attrs={"axis": 0}, outs=[(dtype, [len(ids)])])


@pytest.mark.parametrize("opset", [10, 17, 21])
def test_full_like_and_full_with_tensor(tmp, opset):
    p, refs = Program(), {}
    x = p.data("x", "f32", [2, 3])
    s = p.data("s", "f32", [])
    n = p.data("n", "i32", [])         # a rank-0 int32 shape
    dims = p.data("dims", "i64", [2])
    seven, half = p.full([1], 7.0), p.full([1], 2.5)
    place = a_place(1)
    refs["like_i64"] = (p.op("1.full_like", [x, seven], attrs={"dtype": a_dtype("i64"), "place": place},
                             outs=[("i64", [2, 3])]), np.full((2, 3), 7, np.int64))
    refs["like_keep"] = (p.op("1.full_like", [x, half], attrs={"place": place}, outs=[("f32", [2, 3])]),
                         np.full((2, 3), 2.5, np.float32))
    # A rank-0 x keeps rank 0 although the fill is [1]-shaped.
    refs["like_scalar"] = (p.op("1.full_like", [s, half], attrs={"dtype": a_dtype("f64"), "place": place},
                                outs=[("f64", [])]), np.array(2.5, np.float64))
    # A fill of any rank holding one element is that value; the result keeps x's dims.
    refs["like_fill_of_rank3"] = (p.op("1.full_like", [x, p.full([1, 1, 1], -1.5)], attrs={"place": place},
                                       outs=[("f32", [2, 3])]), np.full((2, 3), -1.5, np.float32))
    refs["with_fill_of_rank2"] = (p.op("1.full_with_tensor", [p.full([1, 1], 4.0), dims], attrs={"dtype": a_dtype("f32")},
                                       outs=[("f32", [-1, -1])]), np.full((2, 4), 4.0, np.float32))
    # Declared with other dims: the result has x's, and the fetch describes those.
    refs["like_declared_otherwise"] = (p.op("1.full_like", [x, seven], attrs={"place": place}, outs=[("f32", [3])]),
                                       np.full((2, 3), 7.0, np.float32))
    refs["with_rank0"] = (p.op("1.full_with_tensor", [half, n], attrs={"dtype": a_dtype("f32"), "place": place},
                               outs=[("f32", [-1])]), np.full(3, 2.5, np.float32))
    refs["with_dims"] = (p.op("1.full_with_tensor", [seven, dims], attrs={"dtype": a_dtype("i32"), "place": place},
                              outs=[("i32", [-1, -1])]), np.full((2, 4), 7, np.int32))
    i32_shape = int_array(p, [3, 1], "i32")
    refs["with_i32"] = (p.op("1.full_with_tensor", [seven, i32_shape], attrs={"dtype": a_dtype("bool")},
                             outs=[("bool", [3, 1])]), np.ones((3, 1), np.bool_))
    # Sizes of any rank, which Paddle reads flattened: a fed [1, 2] and a constant [1, 2]; and
    # sizes listed as one-value tensors (a combine), one fed, one 0 (an empty result).
    refs["with_dims_of_rank2"] = (p.op("1.full_with_tensor", [half, p.data("dims12", "i32", [1, 2])],
                                       attrs={"dtype": a_dtype("f32")}, outs=[("f32", [-1, -1])]),
                                  np.full((2, 3), 2.5, np.float32))
    refs["with_constant_dims_of_rank2"] = (p.op("1.full_with_tensor", [seven, p.full([1, 2], 2, "i64")],
                                                attrs={"dtype": a_dtype("i64")}, outs=[("i64", [2, 2])]),
                                           np.full((2, 2), 7, np.int64))
    listed = p.combine([n, p.full([1], 0, "i64")])
    refs["with_listed_dims"] = (p.op("1.full_with_tensor", [half, listed], attrs={"dtype": a_dtype("f32")},
                                     outs=[("f32", [-1, 0])]), np.full((3, 0), 2.5, np.float32))
    feeds = {"x": np.zeros((2, 3), np.float32), "s": np.array(0.0, np.float32), "n": np.array(3, np.int32),
             "dims": np.array([2, 4], np.int64), "dims12": np.array([[2, 3]], np.int32)}
    fetch_all(p, refs, feeds, opset, tmp)


def f32_arange(start, end, step):
    """Paddle's float32 arange: the count ceil((end - start) / step) taken in float32, then
    start + i * step."""
    start, end, step = np.float32(start), np.float32(end), np.float32(step)
    n = int(np.ceil(np.float32(end - start) / step))
    return (start + np.arange(n, dtype=np.float32) * step).astype(np.float32)


@pytest.mark.parametrize("opset", [11, 17, 21])
def test_arange(tmp, opset):
    p, refs = Program(), {}

    def arange(bounds, dtype, out_dtype, n, attrs=True, name="1.arange"):
        a = {"dtype": a_dtype(dtype), "place": a_place(1)} if attrs else {}
        return p.op(name, bounds, attrs=a, outs=[(out_dtype, [n])])

    f = [p.full([1], v) for v in (1.0, 2.0, 0.25)]
    refs["f32"] = (arange(f, "f32", "f32", 4), np.array([1, 1.25, 1.5, 1.75], np.float32))
    # Paddle counts ceil((end - start) / step) in float32: 3 elements here, where the division
    # in double gives 4; the same with an end known only at run time.
    tenth = [p.full([1], v) for v in (0.0, 0.3, 0.1)]
    refs["f32_count"] = (arange(tenth, "f32", "f32", 3), f32_arange(0.0, 0.3, 0.1))
    refs["f32_count_runtime"] = (arange([tenth[0], p.data("end", "f32", []), tenth[2]], "f32", "f32", -1),
                                 f32_arange(0.0, 0.3, 0.1))
    refs["f32_count_down"] = (arange([p.full([1], v) for v in (0.0, -0.7, -0.1)], "f32", "f32", -1),
                              f32_arange(0.0, -0.7, -0.1))
    i = [p.full([1], v, "i64") for v in (0, 10, 3)]
    refs["i64"] = (arange(i, "i64", "i64", 4), np.array([0, 3, 6, 9], np.int64))
    refs["no_dtype"] = (arange(i, "i64", "i64", 4, attrs=False), np.array([0, 3, 6, 9], np.int64))
    # Descending with rank-0 bounds, one of them a graph input.
    start = p.data("start", "f64", [])
    down = [start, p.full([], -1.0, "f64"), p.full([], -0.5, "f64")]
    refs["down"] = (arange(down, "f64", "f64", 4), np.array([1, 0.5, 0, -0.5]))
    # Range has no float16; an int32 limit among int64 bounds must not reach Range as is.
    h = [p.full([1], v, "f16") for v in (0.0, 2.0, 0.5)]
    refs["f16"] = (arange(h, "f16", "f16", 4), np.arange(0, 2, 0.5, dtype=np.float16))
    n = p.data("n", "i32", [])
    mixed = [p.full([1], 0, "i64"), n, p.full([1], 2, "i64")]
    refs["mixed"] = (arange(mixed, "i64", "i64", -1), np.array([0, 2, 4], np.int64))
    refs["empty"] = (arange([p.full([1], 5, "i32"), p.full([1], 2, "i32"), p.full([1], 1, "i32")], "i32", "i32", 0),
                     np.zeros(0, np.int32))
    # Without a "dtype", bounds of different types meet in the result's type.
    refs["mixed_no_dtype"] = (arange(mixed, "i64", "i64", -1, attrs=False), np.array([0, 2, 4], np.int64))
    # Float bounds of an int32 arange are taken as int32 first, as Paddle casts them.
    refs["f32_bounds_i32"] = (arange([p.full([1], v) for v in (1.5, 7.9, 2.2)], "i32", "i32", -1),
                              np.array([1, 3, 5], np.int32))
    # The older range: the same bounds, with or without a "dtype".
    refs["range_i64"] = (arange(i, "i64", "i64", 4, attrs=False, name="1.range"), np.array([0, 3, 6, 9], np.int64))
    refs["range_f32"] = (arange(tenth, "f32", "f32", -1, name="1.range"), f32_arange(0.0, 0.3, 0.1))
    refs["range_f64_down"] = (arange(down, "f64", "f64", -1, attrs=False, name="1.range"),
                              np.array([1, 0.5, 0, -0.5]))
    refs["range_mixed"] = (arange(mixed, "i64", "i64", -1, attrs=False, name="1.range"), np.array([0, 2, 4], np.int64))
    refs["range_i32_empty"] = (arange([p.full([1], v, "i32") for v in (3, 3, 1)], "i32", "i32", -1, attrs=False,
                                      name="1.range"), np.zeros(0, np.int32))
    refs["range_f16"] = (arange(h, "f16", "f16", -1, attrs=False, name="1.range"),
                         np.arange(0, 2, 0.5, dtype=np.float16))
    # A bound of any rank that holds one value is that value: a step declared [-1, 1, 1], and
    # constant bounds of [1, 1].
    step = p.data("step", "i64", [-1, 1, 1])
    refs["step_declared_open"] = (arange([p.full([1], 0, "i64"), p.full([1], 7, "i64"), step], "i64", "i64", -1),
                                  np.array([0, 2, 4, 6], np.int64))
    refs["bounds_of_ones"] = (arange([p.full([1, 1], v) for v in (1.0, 2.0, 0.25)], "f32", "f32", 4),
                              np.array([1, 1.25, 1.5, 1.75], np.float32))
    fetch_all(p, refs, {"start": np.array(1.0), "n": np.array(5, np.int32), "end": np.array(0.3, np.float32),
                        "step": np.array([[[2]]], np.int64)}, opset, tmp)


@pytest.mark.parametrize("opset", [10, 13, 17, 21])
def test_expand(tmp, opset):
    p, refs = Program(), {}
    col = p.data("col", "f32", [3, 1])
    row = p.data("row", "f32", [1, 3])
    vec = p.data("vec", "i32", [3])
    a = p.data("a", "i32", [])
    b = p.data("b", "i32", [])
    dims = p.data("dims", "i64", [3])
    colv, rowv, vecv = (np.array([[1], [2], [3]], np.float32), np.array([[1, 2, 3]], np.float32),
                        np.array([4, 5, 6], np.int32))

    def expand(x, shape, dtype, dims_out):
        return p.op("1.expand", [x, shape], outs=[(dtype, dims_out)])

    refs["keep_rows"] = (expand(col, int_array(p, [-1, 4]), "f32", [3, 4]), np.broadcast_to(colv, (3, 4)))
    refs["plain"] = (expand(vec, int_array(p, [2, 3]), "i32", [2, 3]), np.broadcast_to(vecv, (2, 3)))
    refs["only_keep"] = (expand(vec, int_array(p, [-1]), "i32", [3]), vecv)
    refs["leading_new"] = (expand(col, int_array(p, [2, -1, 5]), "f32", [2, 3, 5]), np.broadcast_to(colv, (2, 3, 5)))
    # An int32 constant shape: Expand reads int64 only.
    refs["i32_shape"] = (expand(vec, int_array(p, [2, 3], "i32"), "i32", [2, 3]), np.broadcast_to(vecv, (2, 3)))
    # Stacked shapes: [a, -1] builds the shape, [a, b] (no negative constant) is cast and passed on.
    minus = p.full([], -1.0, "i32")
    refs["stack_keep"] = (expand(row, stack(p, [a, minus], "i32"), "f32", [-1, 3]), np.broadcast_to(rowv, (2, 3)))
    refs["stack_plain"] = (expand(row, stack(p, [a, b], "i32"), "f32", [-1, -1]), np.broadcast_to(rowv, (2, 3)))
    refs["runtime"] = (expand(col, dims, "f32", [-1, -1, -1]), np.broadcast_to(colv, (2, 3, 2)))
    # A -1 that only the model's run sees keeps x's size there: a fed shape (int64, and int32
    # with a new leading axis) and one joined from a fed part and a constant -1.
    refs["runtime_keep"] = (expand(col, p.data("keep", "i64", [2]), "f32", [-1, -1]), np.broadcast_to(colv, (3, 4)))
    refs["runtime_keep_i32"] = (expand(col, p.data("keep32", "i32", [3]), "f32", [-1, -1, -1]),
                                np.broadcast_to(colv, (2, 3, 1)))
    refs["runtime_keep_any_length"] = (expand(col, p.data("keep_any", "i64", [-1]), "f32", [-1, -1, -1]),
                                       np.broadcast_to(colv, (2, 3, 5)))
    lead = p.data("lead", "i64", [1])
    joined = p.op("1.concat", [p.combine([lead, int_array(p, [-1])]), p.full([1], 0, "i32")], outs=[("i64", [2])])
    refs["joined_keep"] = (expand(row, joined, "f32", [-1, 3]), np.broadcast_to(rowv, (4, 3)))
    # A shape listed as one-value tensors (a combine): a fed part and a constant -1 that keeps
    # x's size, and all constants.
    refs["listed_keep"] = (expand(row, p.combine([a, minus]), "f32", [-1, 3]), np.broadcast_to(rowv, (2, 3)))
    refs["listed"] = (expand(col, p.combine([p.full([1], 2, "i64"), p.full([], -1, "i32"), p.full([], 2, "i64")]),
                             "f32", [2, 3, 2]), np.broadcast_to(colv, (2, 3, 2)))
    feeds = {"col": colv, "row": rowv, "vec": vecv, "a": np.array(2, np.int32), "b": np.array(3, np.int32),
             "dims": np.array([2, 3, 2], np.int64), "keep": np.array([-1, 4]), "keep32": np.array([2, -1, 1], np.int32),
             "lead": np.array([4]), "keep_any": np.array([2, -1, 5])}
    fetch_all(p, refs, feeds, opset, tmp)
