"""Slice and strided slice through the binary, run in ONNX Runtime against numpy values of
PaddlePaddle's semantics."""

import numpy as np
import pytest

from harness import (Program, a_array, a_dtype, a_i64, a_place, check, convert, convert_check_run,
                     real_model, weights_for_program)

INT64_MAX = 2**63 - 1


def bound(p, values, dtype="i64"):
    return p.op("1.full_int_array", attrs={"value": a_array([a_i64(v) for v in values]), "dtype": a_dtype(dtype),
                                           "place": a_place(1)}, outs=[(dtype, [len(values)])])


# name: (starts, ends, axes, decrease_axis, numpy index of x [3, 6]); the slice reads decrease_axis
# only as {"D": axis} objects.
SLICES = {
    "negative_start": ([-3], [INT64_MAX], [1], [], np.s_[:, -3:]),
    "int64_max_ends": ([1, 0], [INT64_MAX, INT64_MAX], [1, 0], [], np.s_[0:, 1:]),
    "decrease": ([1], [2], [1], [a_i64(1)], np.s_[:, 1]),
    "decrease_whole_float": ([0], [1], [0], [a_i64(0.0)], np.s_[0, :]),
}
# name: (starts, ends, strides, axes, decrease_axis, bound type, numpy index of x [3, 6])
STRIDED = {
    "negative_step": ([4], [0], [-2], [1], [], "i64", np.s_[:, 4:0:-2]),
    "int32_two_axes": ([2, 5], [0, 0], [-1, -2], [0, 1], [], "i32", np.s_[2:0:-1, 5:0:-2]),
    "decrease": ([1, 1], [2, 6], [1, 2], [0, 1], [0], "i64", np.s_[1, 1:6:2]),
    # Bounds past either end are held to the axis; a step need not divide the span.
    "bounds_past_the_ends": ([10, -100], [-10, 100], [-2, 4], [1, 0], [], "i64", np.s_[-100:100:4, 10:-10:-2]),
    "decrease_backward": ([-1], [-3], [-5], [-1], [-1], "i32", np.s_[:, -1]),
}


@pytest.mark.parametrize("opset", [10, 13, 17, 21])
def test_slice_and_strided_slice(tmp, opset):
    xs = np.arange(18, dtype=np.float32).reshape(3, 6)
    p = Program()
    x = p.data("x", "f32", [3, 6])
    refs = {}
    for name, (starts, ends, axes, decrease, index) in SLICES.items():
        refs[f"slice_{name}"] = (p.op("1.slice", [x, bound(p, starts), bound(p, ends)], attrs={
            "axes": axes, "infer_flags": [1] * len(axes), "decrease_axis": a_array(decrease)},
            outs=[("f32", list(xs[index].shape))]), xs[index])
    for name, (starts, ends, strides, axes, decrease, dtype, index) in STRIDED.items():
        ins = [x] + [bound(p, v, dtype) for v in (starts, ends, strides)]
        refs[f"strided_{name}"] = (p.op("1.strided_slice", ins, attrs={"axes": axes, "decrease_axis": decrease},
                                        outs=[("f32", list(xs[index].shape))]), xs[index])
    # Starts only known at run time, int32 next to the int64 axes.
    start = p.data("start", "i32", [1])
    refs["tensor_start"] = (p.op("1.slice", [x, start, bound(p, [INT64_MAX])], attrs={"axes": [1]},
                                 outs=[("f32", [3, -1])]), xs[:, -2:])
    # Paddle reads the starts flattened, whatever their rank: a 0-D start, and one of [1, 1, 1].
    refs["slice_of_a_0d_start"] = (p.op("1.slice", [x, p.data("start_0d", "i64", []), bound(p, [4])], attrs={"axes": [1]},
                             outs=[("f32", [3, -1])]), xs[:, 1:4])
    refs["slice_of_a_start_of_ones"] = (p.op("1.slice", [x, p.data("start_of_ones", "i32", [1, 1, 1]), bound(p, [4])],
                                  attrs={"axes": [1]}, outs=[("f32", [3, -1])]), xs[:, -3:4])
    # Bounds listed as one-value tensors (a combine), which Paddle reads element by element: a
    # fed start next to a constant one, and constant ends.
    listed_starts = p.combine([p.data("start_listed", "i64", []), p.full([1], 0, "i32")])
    listed_ends = p.combine([p.full([], 5, "i64"), p.full([], 2, "i64")])
    refs["slice_of_listed_bounds"] = (p.op("1.slice", [x, listed_starts, listed_ends], attrs={"axes": [1, 0]},
                                           outs=[("f32", [2, -1])]), xs[0:2, 2:5])
    for name, (v, _) in refs.items():
        p.fetch(v, name)
    res = convert_check_run(p, {}, {"x": xs, "start": np.array([-2], np.int32), "start_0d": np.array(1, np.int64),
                                    "start_of_ones": np.array([[[-3]]], np.int32), "start_listed": np.array(2)},
                            opset=opset, tmp=tmp)
    for name, (_, ref) in refs.items():
        np.testing.assert_array_equal(res[name], ref, err_msg=name)


def test_real_recogniser_converts(tmp):
    """A real export: shape64 and slice with decrease_axis, a stack of scalars, concat, squeeze, flatten."""
    d = real_model("pp_ocrv5_mobile_rec")
    r = convert(d / "inference.json", weights_for_program(d / "inference.json"), tmp / "m.onnx")
    assert r.returncode == 0, r.stderr
    check(tmp / "m.onnx")
