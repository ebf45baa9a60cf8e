"""Meshgrid, flip, cumulative sum, einsum and transpose through the binary, run in ONNX Runtime against numpy
values of PaddlePaddle's semantics."""

import numpy as np
import pytest

from harness import Program, a_array, a_bool, a_i32, a_i64, a_str, assert_refused, convert_check_run, np_dtype


def fetch_all(p, refs, feeds, opset, tmp):
    for name, (v, _) in refs.items():
        p.fetch(v, name)
    res = convert_check_run(p, {}, feeds, opset=opset, tmp=tmp)
    for name, (_, ref) in refs.items():
        assert res[name].shape == ref.shape, name
        np.testing.assert_array_equal(res[name], ref, err_msg=name)


def meshgrid(p, ids, dtype, dims):
    lst = p.op("1.meshgrid", [p.combine(ids)], outs=[("vec", [(dtype, dims)] * len(ids))])
    return p.split(lst, [(dtype, dims)] * len(ids))


# Unsqueeze takes its axes as an attribute below 13 and as an input from 13 on.
@pytest.mark.parametrize("opset", [10, 13, 17])
def test_meshgrid(tmp, opset):
    p, refs = Program(), {}
    feeds = {"a": np.array([1, 2, 3], np.float32), "b": np.array([4, 5], np.float32),
             "c": np.array(7, np.float32), "i": np.array([9, 8, 7, 6], np.int64)}
    xs = {n: p.data(n, "i64" if n == "i" else "f32", list(v.shape)) for n, v in feeds.items()}

    # Two 1-D inputs, "ij" indexing.
    outs = meshgrid(p, [xs["a"], xs["b"]], "f32", [3, 2])
    ga, gb = np.meshgrid(feeds["a"], feeds["b"], indexing="ij")
    refs.update({"ab0": (outs[0], ga), "ab1": (outs[1], gb)})
    # A rank-0 input stands for one element along its axis.
    outs = meshgrid(p, [xs["a"], xs["c"], xs["b"]], "f32", [3, 1, 2])
    for k, g in enumerate(np.meshgrid(feeds["a"], feeds["c"].reshape(1), feeds["b"], indexing="ij")):
        refs[f"acb{k}"] = (outs[k], g)
    # One input: the result is the input itself (an Unsqueeze with no axes).
    (single,) = meshgrid(p, [xs["i"]], "i64", [4])
    refs["single"] = (single, feeds["i"])
    fetch_all(p, refs, feeds, opset, tmp)


@pytest.mark.parametrize("opset", [10, 17])
def test_flip(tmp, opset):
    p, refs = Program(), {}
    x = np.arange(1, 7, dtype=np.float32).reshape(2, 3)
    n = (1 << 20) + 3  # long enough to reverse with a step -1 Slice instead of an index list
    feeds = {"x": x, "v": np.arange(24, dtype=np.int32).reshape(2, 3, 4),
             "w": (np.arange(n) % 251 - 125).astype(np.int8)}
    xi, vi, wi = p.data("x", "f32", [2, 3]), p.data("v", "i32", [2, 3, 4]), p.data("w", "i8", [n])

    def flip(src, axis, dims, dtype="f32"):
        attrs = {} if axis is None else {"axis": axis}
        return p.op("1.flip", [src], attrs=attrs, outs=[(dtype, dims)])

    refs["last"] = (flip(xi, a_array([a_i32(-1)]), [2, 3]), x[:, ::-1])
    refs["both"] = (flip(xi, a_array([a_i32(0), a_i32(1)]), [2, 3]), x[::-1, ::-1])
    refs["named_twice"] = (flip(xi, a_array([a_i32(-1), a_i32(1)]), [2, 3]), x[:, ::-1])  # flipped once
    refs["default"] = (flip(xi, None, [2, 3]), x[::-1])
    refs["empty"] = (flip(xi, a_array([]), [2, 3]), x)  # Paddle flips nothing
    refs["rank3"] = (flip(vi, a_array([a_i64(2), a_i64(-3)]), [2, 3, 4], "i32"), feeds["v"][::-1, :, ::-1])
    # A size-1 axis, and dims known only from the flip's own declared output.
    one = p.op("1.unsqueeze", [xi, p.full_int_array([0])], outs=[None])
    refs["declared"] = (flip(one, a_array([a_i32(0), a_i32(2)]), [1, 2, 3]), x[None, :, ::-1])
    refs["long"] = (flip(wi, a_array([a_i32(0)]), [n], "i8"), feeds["w"][::-1])
    fetch_all(p, refs, feeds, opset, tmp)


def np_cumsum(x, axis, exclusive, reverse):
    y = np.flip(x, axis) if reverse else x
    c = np.cumsum(y, axis=axis, dtype=x.dtype)
    if exclusive:
        c = c - y
    return np.flip(c, axis) if reverse else c


@pytest.mark.parametrize("opset", [11, 17, 18, 21])
def test_cumsum(tmp, opset):
    p, refs = Program(), {}
    x = np.array([[1, 2, 3, 4], [5, -6, 7, 8]], np.float32)
    feeds = {"x": x, "n": x.astype(np.int32), "h": x.astype(np.float16), "s": np.array(-7, np.int32)}
    xf, xn, xh = p.data("x", "f32", [2, 4]), p.data("n", "i32", [2, 4]), p.data("h", "f16", [2, 4])
    xs = p.data("s", "i32", [])
    # The axis arrives as a tensor: [1]-shaped int64, or rank-0 int32.
    # Paddle reads an axis of any rank that holds one element: [1, 1] int64 fed at run time.
    axes = {-1: p.full([1], -1, "i64"), 0: p.full([], 0, "i32"), 1: p.data("a", "i64", [1, 1])}
    feeds["a"] = np.array([[1]], np.int64)
    for axis, axis_id in axes.items():
        for exclusive in (False, True):
            for reverse in (False, True):
                attrs = {"flatten": a_bool(False), "exclusive": a_bool(exclusive), "reverse": a_bool(reverse)}
                for src, name, dtype in ((xf, "x", "f32"), (xn, "n", "i32")):
                    y = p.op("1.cumsum", [src, axis_id], attrs=attrs, outs=[(dtype, [2, 4])])
                    refs[f"{name}_{axis}_{int(exclusive)}{int(reverse)}"] = \
                        (y, np_cumsum(feeds[name], axis, exclusive, reverse))
                if axis == 1:
                    continue
                # A single value sums as a one-element row, and stays rank 0.
                y = p.op("1.cumsum", [xs, axis_id], attrs=attrs, outs=[("i32", [])])
                refs[f"scalar_{axis}_{int(exclusive)}{int(reverse)}"] = \
                    (y, np_cumsum(feeds["s"].reshape(1), 0, exclusive, reverse).reshape(()))
    if opset >= 14:  # CumSum takes float16 from 14 on
        y = p.op("1.cumsum", [xh, axes[-1]], attrs={"reverse": a_bool(True)}, outs=[("f16", [2, 4])])
        refs["half"] = (y, np_cumsum(feeds["h"], -1, False, True))
    fetch_all(p, refs, feeds, opset, tmp)
    # A single value has no axis 1.
    p = Program()
    p.fetch(p.op("1.cumsum", [p.data("s", "f32", []), p.full([1], 1, "i64")], outs=[("f32", [])]))
    assert_refused(p, opset, "cumsum axis 1 is outside a rank-0 input, which takes 0 or -1", tmp)
    # The axis is one value; two are not one axis, whatever their rank.
    p = Program()
    p.fetch(p.op("1.cumsum", [p.data("x", "f32", [2, 3]), p.data("axis", "i64", [1, 2])], outs=[("f32", [2, 3])]))
    assert_refused(p, opset, "cumsum: axis (value 2) has dims [1, 2], but it must hold one value: "
                             "a tensor of one element", tmp)


@pytest.mark.parametrize("opset", [12, 17])
def test_einsum(tmp, opset):
    p, refs = Program(), {}
    rng = np.random.default_rng(3)
    shapes = {"a": (2, 3), "b": (3, 4), "c": (4, 2), "s": (3, 3), "t": (2, 2, 3)}
    feeds = {n: rng.integers(-4, 5, shape).astype(np.float32) for n, shape in shapes.items()}
    ids = {n: p.data(n, "f32", list(v.shape)) for n, v in feeds.items()}

    def einsum(eq, names, dims):
        operand = p.combine([ids[n] for n in names]) if len(names) > 1 else ids[names[0]]
        # PIR's einsum also outputs its inner caches and the operands' shapes.
        y = p.op("1.einsum", [operand], attrs={"equation": a_str(eq)},
                 outs=[("f32", dims), ("vec", [("f32", [])]), ("vec", [("f32", [])])])[0]
        refs[f"e{len(refs)}"] = (y, np.einsum(eq, *[feeds[n] for n in names]).astype(np.float32))

    einsum("ij,jk->ik", ["a", "b"], [2, 4])
    einsum("ij,jk,kl->il", ["a", "b", "c"], [2, 2])
    einsum("ij,jk", ["a", "b"], [2, 4])  # implicit output
    einsum("ii->i", ["s"], [3])  # a single plain operand, no combine
    einsum("...ij->...ji", ["t"], [2, 3, 2])
    fetch_all(p, refs, feeds, opset, tmp)
    # Paddle's einsum computes in floating point; ONNX Runtime has no int8 Einsum.
    p = Program()
    ops = p.combine([p.data("a", "f32", [2, 3]), p.data("b", "i8", [3, 4])])
    p.fetch(p.op("1.einsum", [ops], attrs={"equation": a_str("ij,jk->ik")},
                 outs=[("f32", [2, 4]), ("vec", [("f32", [])]), ("vec", [("f32", [])])])[0])
    assert_refused(p, opset, "einsum does not take int8 inputs, only floating-point values", tmp)


# dtype, declared dims of an input fed as [2, 3, 4], perm (Paddle counts a negative entry
# from the end)
TRANSPOSES = [
    ("f32", [2, 3, 4], [-1, 0, 1]),
    ("f16", [-1, 3, 4], [0, -1, -2]),
    ("i32", [2, -1, 4], [2, 0, 1]),
    ("f64", [2, 3, 4], [-3, -2, -1]),
]


@pytest.mark.parametrize("opset", [10, 17])
def test_transpose(tmp, opset):
    p, refs, feeds = Program(), {}, {}
    for k, (dtype, dims, perm) in enumerate(TRANSPOSES):
        feeds[f"x{k}"] = np.arange(24).reshape(2, 3, 4).astype(np_dtype(dtype))
        x = p.data(f"x{k}", dtype, dims)
        out = [dims[q] for q in perm]
        y = p.op("1.transpose", [x], attrs={"perm": a_array([a_i32(q) for q in perm])}, outs=[(dtype, out)])
        refs[f"t{k}"] = (y, np.transpose(feeds[f"x{k}"], [q % 3 for q in perm]))
    fetch_all(p, refs, feeds, opset, tmp)
