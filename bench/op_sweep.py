"""Single-operator sweep: every operator the converter names, with its input varied one thing at a
time (rank 0, an empty dim, a -1 batch fed 3 and 0 rows, each element type, negative axes).

Each case is classified as a clean refusal (exit 1, one "Error:" line naming the operator), a
good model (full ONNX check at opset 17, runs in ONNX Runtime, gives the shape and element type
Paddle gives, and its values where numpy computes them), or a finding (anything else).

    KESTRO_BIN=build/kestro /usr/bin/python3 bench/op_sweep.py [name-filter] [-v]
"""

from __future__ import annotations

import math
import os
import sys
import tempfile
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "e2e"))
from harness import (Program, a_array, a_bool, a_dtype, a_f32, a_i32, a_i64, a_str,  # noqa: E402
                     check, convert, np_dtype, run, weights_for_program, word_of_np)

OPSET = 17
FLOATS = {"f16", "f32", "f64"}
UNDEF = {"#": "1.a_dtype", "D": "undefined"}


def ax(neg, a, nd):
    """Axis a, or the same axis counted from the back."""
    return a - nd if neg and nd else a


# Each operator: (builder, numpy reference, flags). The builder gets the program, the input ids
# (x and a nonzero companion y of the same type), the declared dims, `neg` and the output types;
# the reference gets the arrays and `neg` and gives Paddle's outputs. Flags: "float" (Paddle takes
# floats only: other types may be refused or give a valid model), "nd2"/"nd4" (rank needed).
def unary(name, fn, float_only=True, **attrs):
    return (lambda p, x, y, d, neg, outs: p.op(name, [x], attrs=attrs, outs=outs),
            lambda a, b, neg: [fn(a)], {"float"} if float_only else set())


def binary(name, fn, **attrs):
    return (lambda p, x, y, d, neg, outs: p.op(name, [x, y], attrs=attrs, outs=outs),
            lambda a, b, neg: [fn(a, b)], set())


def same(a):
    return a


def f(fn):
    """A float function kept in the input's type."""
    def g(a):
        with np.errstate(all="ignore"):
            return np.asarray(fn(a)).astype(a.dtype)
    return g


def reduce(name, fn, **extra):
    def build(p, x, y, d, neg, outs):
        axes = [ax(neg, len(d) - 1, len(d))] if d else []
        attrs = {"keepdim": a_bool(False), **extra}
        return p.op(name, [x, p.full_int_array(axes)], attrs=attrs, outs=outs)

    def ref(a, b, neg):
        axis = (a.ndim - 1,) if a.ndim else None
        with np.errstate(all="ignore"):
            r = fn(a, axis)
        return [None if r is None else np.asarray(r)]
    return build, ref, set()


def sum_ref(a, axis):
    t = np.int64 if a.dtype in (np.bool_, np.int32) else a.dtype
    return np.sum(a, axis=axis, dtype=t)


def mean_ref(a, axis):
    n = int(np.prod([a.shape[k] for k in (axis or range(a.ndim))]))
    return (np.sum(a, axis=axis) / a.dtype.type(n)).astype(a.dtype) if a.dtype.kind == "f" else \
        np.mean(a, axis=axis).astype(a.dtype)


def axis_op(name, ref_fn, attrs_fn, inputs_fn=None, flags=()):
    """An operator over one axis (the last, or from the back with neg); rank 0 uses axis 0."""
    def build(p, x, y, d, neg, outs):
        a = ax(neg, max(len(d) - 1, 0), len(d))
        ins = inputs_fn(p, x, y, a) if inputs_fn else [x]
        return p.op(name, ins, attrs=attrs_fn(a), outs=[("vec", outs)] if name.startswith("1.split") else outs)

    def ref(xa, ya, neg):
        return ref_fn(xa, ya, max(xa.ndim - 1, 0))
    return build, ref, set(flags)


def np_cumsum(a, b, axis):
    t = a.dtype
    return [np.cumsum(a.reshape(-1) if a.ndim == 0 else a, axis=axis).astype(t).reshape(a.shape)]


def topk_ref(a, b, axis):
    if a.ndim == 0:
        return [a.copy(), np.zeros((), np.int64)]
    o = np.take(np.argsort(-a.astype(np.float64), axis=axis, kind="stable"), range(1), axis=axis)
    return [np.take_along_axis(a, o, axis), o.astype(np.int64)]


def argsort_ref(a, b, axis):
    if a.ndim == 0:
        return [a.copy(), np.zeros((), np.int64)]
    o = np.argsort(a.astype(np.float64), axis=axis, kind="stable")
    return [np.take_along_axis(a, o, axis), o.astype(np.int64)]


def perm_of(d):
    return list(reversed(range(len(d))))


def tri(fn):
    return (lambda p, x, y, d, neg, outs: p.op(fn, [x], attrs={"diagonal": a_i32(0)}, outs=outs),
            lambda a, b, neg: [(np.tril if fn == "1.tril" else np.triu)(a)], {"nd2"})


OPS = {
    # elementwise, one operand
    "1.abs": unary("1.abs", np.abs, False),
    "1.ceil": unary("1.ceil", f(np.ceil)),
    "1.floor": unary("1.floor", f(np.floor)),
    "1.cos": unary("1.cos", f(np.cos)),
    "1.sin": unary("1.sin", f(np.sin)),
    "1.log": unary("1.log", f(np.log)),
    "1.sqrt": unary("1.sqrt", f(np.sqrt)),
    "1.tanh": unary("1.tanh", f(np.tanh)),
    "1.sigmoid": unary("1.sigmoid", f(lambda a: 1 / (1 + np.exp(-a.astype(np.float64))))),
    "1.relu": unary("1.relu", lambda a: np.maximum(a, 0).astype(a.dtype)),
    "1.swish": unary("1.swish", f(lambda a: a / (1 + np.exp(-a.astype(np.float64))))),
    "1.silu": unary("1.silu", f(lambda a: a / (1 + np.exp(-a.astype(np.float64))))),
    "1.hardswish": unary("1.hardswish", f(lambda a: a * np.clip(a + 3.0, 0, 6) / 6)),
    "1.hardsigmoid": unary("1.hardsigmoid", f(lambda a: np.clip(a / 6.0 + 0.5, 0, 1)),
                           slope=a_f32(1 / 6), offset=a_f32(0.5)),
    "1.gelu": unary("1.gelu", f(lambda a: 0.5 * a * (1 + np.vectorize(math.erf)(a / np.sqrt(2)))),
                    approximate=a_bool(False)),
    "1.leaky_relu": unary("1.leaky_relu", f(lambda a: np.where(a > 0, a, a * 0.1)), negative_slope=a_f32(0.1)),
    "1.assign": unary("1.assign", same, False),
    "1.share_data": unary("1.share_data", same, False),
    "1.logical_not": (lambda p, x, y, d, neg, outs: p.op("1.logical_not", [x], outs=outs),
                      lambda a, b, neg: [np.logical_not(a)], set()),
    "1.bitwise_not": (lambda p, x, y, d, neg, outs: p.op("1.bitwise_not", [x], outs=outs),
                      lambda a, b, neg: [~a if a.dtype.kind in "iub" else None], {"int"}),
    "1.cast": (lambda p, x, y, d, neg, outs: p.op("1.cast", [x], attrs={"dtype": a_dtype("f32")}, outs=outs),
               lambda a, b, neg: [a.astype(np.float32)], set()),
    "1.cast_i64": (lambda p, x, y, d, neg, outs: p.op("1.cast", [x], attrs={"dtype": a_dtype("i64")}, outs=outs),
                   lambda a, b, neg: [a.astype(np.int64)], set()),
    "1.pow": unary("1.pow", f(lambda a: np.power(a.astype(np.float64), 2)), False, y=a_f32(2.0)),
    "1.scale": (lambda p, x, y, d, neg, outs: p.op("1.scale", [x, p.full([1], 2.0)],
                                                   attrs={"bias": a_f32(1.0), "bias_after_scale": a_bool(True)},
                                                   outs=outs),
                lambda a, b, neg: [(a * 2 + 1).astype(a.dtype)], {"nobool"}),
    "1.clip": (lambda p, x, y, d, neg, outs: p.op("1.clip", [x, p.full([1], -1.0), p.full([1], 1.0)], outs=outs),
               lambda a, b, neg: [np.clip(a, -1, 1).astype(a.dtype)
                                  if a.dtype not in (np.bool_, np.uint8, np.int8, np.int16) else None], set()),
    "1.dropout": (lambda p, x, y, d, neg, outs: p.op("1.dropout", [x, None, p.full([1], 0.5)],
                                                     attrs={"is_test": True, "mode": "upscale_in_train",
                                                            "seed": 0, "fix_seed": False},
                                                     outs=outs + [("ui8", [-1])])[0],
                  lambda a, b, neg: [a], {"float"}),
    "1.full_like": (lambda p, x, y, d, neg, outs: p.op("1.full_like", [x, p.full([1], 3.0)],
                                                       attrs={"dtype": a_dtype("f32"), "place": {"#": "1.a_place", "D": [0, 0, ""]}},
                                                       outs=outs),
                    lambda a, b, neg: [np.full(a.shape, 3, np.float32)], set()),
    "1.softmax": axis_op("1.softmax", lambda a, b, k: [f(lambda v: np.exp(v - v.max(axis=k, keepdims=True)) /
                                                         np.exp(v - v.max(axis=k, keepdims=True)).sum(axis=k, keepdims=True))(a)
                                                       if a.ndim else np.ones((), a.dtype)],
                         lambda k: {"axis": a_i32(k)}, flags={"float"}),
    "1.tril": tri("1.tril"),
    "1.triu": tri("1.triu"),
    # elementwise, two operands (y is never zero)
    "1.add": binary("1.add", lambda a, b: (a + b).astype(a.dtype)),
    "1.subtract": binary("1.subtract", lambda a, b: None if a.dtype == np.bool_ else (a - b).astype(a.dtype)),
    "1.multiply": binary("1.multiply", lambda a, b: (a * b).astype(a.dtype)),
    "1.divide": binary("1.divide", lambda a, b: (a / b).astype(a.dtype) if a.dtype.kind == "f" else
                       np.empty(a.shape, a.dtype)),
    "1.floor_divide": binary("1.floor_divide", lambda a, b: np.floor_divide(a, b).astype(a.dtype)
                             if a.dtype != np.bool_ else None),
    "1.remainder": binary("1.remainder", lambda a, b: np.mod(a, b).astype(a.dtype) if a.dtype != np.bool_ else None),
    "1.elementwise_pow": binary("1.elementwise_pow", lambda a, b: np.power(a, b).astype(a.dtype)
                                if a.dtype.kind == "f" else np.empty(a.shape, a.dtype)),
    "1.equal": binary("1.equal", lambda a, b: a == b),
    "1.not_equal": binary("1.not_equal", lambda a, b: a != b),
    "1.greater_than": binary("1.greater_than", lambda a, b: a > b),
    "1.greater_equal": binary("1.greater_equal", lambda a, b: a >= b),
    "1.less_than": binary("1.less_than", lambda a, b: a < b),
    "1.less_equal": binary("1.less_equal", lambda a, b: a <= b),
    "1.logical_and": binary("1.logical_and", np.logical_and),
    "1.logical_or": binary("1.logical_or", np.logical_or),
    "1.bitwise_and": binary("1.bitwise_and", lambda a, b: (a & b) if a.dtype.kind in "iub" else None),
    "1.where": (lambda p, x, y, d, neg, outs: p.op("1.where", [p.op("1.greater_than", [x, y],
                                                                     outs=[("bool", d)]), x, y], outs=outs),
                lambda a, b, neg: [np.where(a > b, a, b)], set()),
    "1.matmul": (lambda p, x, y, d, neg, outs: p.op("1.matmul", [x, y], attrs={"transpose_x": False,
                                                                               "transpose_y": True}, outs=outs),
                 lambda a, b, neg: [np.matmul(a, np.swapaxes(b, -1, -2)).astype(a.dtype)], {"nd2", "float"}),
    # reductions and sorting
    "1.sum": reduce("1.sum", sum_ref, dtype=UNDEF),
    "1.mean": reduce("1.mean", lambda a, axis: None if a.dtype == np.bool_ else mean_ref(a, axis)),
    "1.max": reduce("1.max", lambda a, axis: np.max(a, axis=axis) if a.size else None),
    "1.min": reduce("1.min", lambda a, axis: np.min(a, axis=axis) if a.size else None),
    "1.any": axis_op("1.any", lambda a, b, k: [np.any(a, axis=k if a.ndim else None)],
                     lambda k: {"axis": [k], "keepdim": False}),
    "1.all": axis_op("1.all", lambda a, b, k: [np.all(a, axis=k if a.ndim else None)],
                     lambda k: {"axis": [k], "keepdim": False}),
    "1.argmax": axis_op("1.argmax", lambda a, b, k: [np.argmax(a, axis=k if a.ndim else None).astype(np.int64)
                                                     if a.size else np.zeros(a.shape[:-1], np.int64)],
                        lambda k: {"keepdims": a_bool(False), "flatten": a_bool(False), "dtype": a_dtype("i64")},
                        lambda p, x, y, k: [x, p.full([1], k, "i64")]),
    "1.topk": axis_op("1.topk", topk_ref, lambda k: {"axis": k, "largest": a_bool(True), "sorted": a_bool(True)},
                      lambda p, x, y, k: [x, p.full([1], 1, "i32")]),
    "1.argsort": axis_op("1.argsort", argsort_ref,
                         lambda k: {"axis": k, "descending": a_bool(False), "stable": a_bool(True)}),
    "1.cumsum": axis_op("1.cumsum", np_cumsum,
                        lambda k: {"flatten": a_bool(False), "exclusive": a_bool(False), "reverse": a_bool(False)},
                        lambda p, x, y, k: [x, p.full([1], k, "i64")]),
    "1.flip": axis_op("1.flip", lambda a, b, k: [np.flip(a, k) if a.ndim else a],
                      lambda k: {"axis": a_array([a_i32(k)])}),
    # shapes and layout
    "1.transpose": (lambda p, x, y, d, neg, outs: p.op("1.transpose", [x], attrs={"perm": a_array(
                        [a_i32(ax(neg, q, len(d))) for q in perm_of(d)])}, outs=outs),
                    lambda a, b, neg: [np.transpose(a)], set()),
    "1.flatten": (lambda p, x, y, d, neg, outs: p.op("1.flatten", [x], attrs={
                      "start_axis": ax(neg, min(1, max(len(d) - 1, 0)), len(d)), "stop_axis": -1}, outs=outs),
                  lambda a, b, neg: [a.reshape(a.shape[:1] + (-1,)) if a.ndim > 1 else a.reshape(-1)], set()),
    "1.squeeze": axis_op("1.squeeze", lambda a, b, k: [a], lambda k: {},
                         lambda p, x, y, k: [x, p.full_int_array([])]),
    "1.unsqueeze": (lambda p, x, y, d, neg, outs: p.op("1.unsqueeze", [x, p.full_int_array([-1 if neg else 0])],
                                                       outs=outs),
                    lambda a, b, neg: [np.expand_dims(a, -1 if neg else 0)], set()),
    "1.reshape": (lambda p, x, y, d, neg, outs: p.op("1.reshape", [x, p.full_int_array([-1])], outs=outs),
                  lambda a, b, neg: [a.reshape(-1)], set()),
    "1.shape": (lambda p, x, y, d, neg, outs: p.op("1.shape", [x], outs=outs),
                lambda a, b, neg: [np.array(a.shape, np.int32)], set()),
    "1.shape64": (lambda p, x, y, d, neg, outs: p.op("1.shape64", [x], outs=outs),
                  lambda a, b, neg: [np.array(a.shape, np.int64)], set()),
    "1.tile": (lambda p, x, y, d, neg, outs: p.op("1.tile", [x, p.full_int_array([2])], outs=outs),
               lambda a, b, neg: [np.tile(a, 2)], set()),
    "1.expand": (lambda p, x, y, d, neg, outs: p.op("1.expand", [x, p.full_int_array([2] + [-1] * len(d))],
                                                    outs=outs),
                 lambda a, b, neg: [np.broadcast_to(a, (2,) + a.shape).copy()], set()),
    "1.roll": (lambda p, x, y, d, neg, outs: p.op("1.roll", [x, p.full_int_array([1])],
                                                  attrs={"axis": [a_i64(ax(neg, 0, len(d)))]} if d else {"axis": []},
                                                  outs=outs),
               lambda a, b, neg: [np.roll(a, 1, 0) if a.ndim else a], set()),
    "1.concat": axis_op("1.concat", lambda a, b, k: [np.concatenate([a, b], k)], lambda k: {},
                        lambda p, x, y, k: [p.combine([x, y]), p.full([1], k, "i32")]),
    "1.stack": axis_op("1.stack", lambda a, b, k: [np.stack([a, b], k)], lambda k: {"axis": k if k >= 0 else k - 1},
                       lambda p, x, y, k: [p.combine([x, y])]),
    "1.split_with_num": axis_op("1.split_with_num", lambda a, b, k: [a], lambda k: {"num": 1},
                                lambda p, x, y, k: [x, p.full([1], k, "i32")]),
    "1.unbind": axis_op("1.unbind", lambda a, b, k: [np.take(a, 0, 0)] if a.ndim and a.shape[0] == 1 else None,
                        lambda k: {"axis": a_i32(0)}),
    "1.gather": axis_op("1.gather", lambda a, b, k: [np.take(a, [0], k)], lambda k: {},
                        lambda p, x, y, k: [x, p.full_int_array([0]), p.full([1], k, "i64")]),
    "1.index_select": axis_op("1.index_select", lambda a, b, k: [np.take(a, [0], k)], lambda k: {"axis": a_i32(k)},
                              lambda p, x, y, k: [x, p.full_int_array([0])]),
    "1.repeat_interleave": axis_op("1.repeat_interleave", lambda a, b, k: [np.repeat(a, 2, k) if a.ndim else
                                                                           np.repeat(a, 2)],
                                   lambda k: {"axis": k, "repeats": 2}),
    "1.one_hot": (lambda p, x, y, d, neg, outs: p.op("1.one_hot", [y, p.full([1], 4, "i32")], outs=outs),
                  lambda a, b, neg: [np.eye(4, dtype=np.float32)[b]] if b.dtype.kind in "iu" else None,
                  {"int"}),
    "1.einsum": (lambda p, x, y, d, neg, outs: p.op("1.einsum", [p.combine([x])],
                                                    attrs={"equation": a_str("...->...")},
                                                    outs=outs + [("vec", [("f32", [])])] * 2)[0],
                 lambda a, b, neg: [a], {"float"}),
}


def last_slice(a):
    return a[..., :1] if a.ndim else None


def layer_norm_ref(a):
    if a.ndim == 0:
        return None
    w = a.astype(np.float64)
    m, v = w.mean(-1, keepdims=True), w.var(-1, keepdims=True)
    with np.errstate(all="ignore"):
        return ((w - m) / np.sqrt(v + 1e-5)).astype(a.dtype)


OPS.update({
    "1.slice": (lambda p, x, y, d, neg, outs: p.op("1.slice", [x, p.full_int_array([0]), p.full_int_array([1])], attrs={
                    "axes": [ax(neg, len(d) - 1, len(d))], "infer_flags": [1], "decrease_axis": a_array([])}, outs=outs),
                lambda a, b, neg: [last_slice(a)], set()),
    "1.strided_slice": (lambda p, x, y, d, neg, outs: p.op("1.strided_slice", [x] + [p.full_int_array([v]) for v in (0, 1, 1)],
                                                           attrs={"axes": [ax(neg, len(d) - 1, len(d))], "decrease_axis": []},
                                                           outs=outs),
                        lambda a, b, neg: [last_slice(a)], set()),
    "1.take_along_axis": axis_op("1.take_along_axis", lambda a, b, k: [np.take_along_axis(a, np.zeros_like(a, np.int64)[..., :1], k)]
                                 if a.ndim else None, lambda k: {"axis": a_i32(k)},
                                 lambda p, x, y, k: [x, p.op("1.full_like", [p.op("1.slice", [x, p.full_int_array([0]), p.full_int_array([1])],
                                                                                  attrs={"axes": [k], "infer_flags": [1], "decrease_axis": a_array([])},
                                                                                  outs=[None]), p.full([1], 0.0)],
                                                             attrs={"dtype": a_dtype("i64"), "place": {"#": "1.a_place", "D": [0, 0, ""]}},
                                                             outs=[None])]),
    "1.layer_norm": (lambda p, x, y, d, neg, outs: p.op("1.layer_norm", [x, None, None], attrs={
                         "epsilon": a_f32(1e-5), "begin_norm_axis": a_i32(ax(neg, max(len(d) - 1, 0), len(d)))},
                         outs=outs + [("f32", [-1]), ("f32", [-1])])[0],
                     lambda a, b, neg: [layer_norm_ref(a)], {"float"}),
    "1.meshgrid": (lambda p, x, y, d, neg, outs: p.split(p.op("1.meshgrid", [p.combine([x, y])], outs=[("vec", outs)]), outs),
                   lambda a, b, neg: list(np.meshgrid(a, b, indexing="ij")) if a.ndim <= 1 else None, set()),
    "1.split": axis_op("1.split", lambda a, b, k: [a], lambda k: {},
                       lambda p, x, y, k: [x, p.full_int_array([-1]), p.full([1], k, "i32")], flags={"vec"}),
    "1.pad": (lambda p, x, y, d, neg, outs: p.op("1.pad", [x, p.full([1], 0.0)], attrs={"paddings": [a_i32(1)] * (2 * len(d))},
                                                 outs=outs),
              lambda a, b, neg: [np.pad(a, 1)], set()),
    "1.linear_v2": (lambda p, x, y, d, neg, outs: p.op("1.linear_v2", [x, p.full([d[-1] if d else 1, 2], 1.0, p.type_of(x)[0]),
                                                                        p.full([2], 1.0, p.type_of(x)[0])], outs=outs),
                    lambda a, b, neg: [(a.astype(np.float64).sum(-1, keepdims=True).repeat(2, -1) + 1).astype(a.dtype)]
                    if a.ndim else None, {"float"}),
})

def first_row(p, x, d):
    """An int64 index of x's shape but one element along the first axis, all zeros."""
    return p.op("1.full_like", [p.op("1.slice", [x, p.full_int_array([0]), p.full_int_array([1])],
                                     attrs={"axes": [0], "infer_flags": [1], "decrease_axis": a_array([])}, outs=[None]),
                                p.full([1], 0.0)],
                attrs={"dtype": a_dtype("i64"), "place": {"#": "1.a_place", "D": [0, 0, ""]}}, outs=[None])


OPS.update({
    "1.gather_nd": (lambda p, x, y, d, neg, outs: p.op("1.gather_nd", [x, p.full_int_array([0])], outs=outs),
                    lambda a, b, neg: [a[0]] if a.ndim else None, set()),
    "1.put_along_axis": (lambda p, x, y, d, neg, outs: p.op("1.put_along_axis", [x, first_row(p, x, d), p.op(
                                                                "1.slice", [y, p.full_int_array([0]), p.full_int_array([1])],
                                                                attrs={"axes": [0], "infer_flags": [1], "decrease_axis": a_array([])},
                                                                outs=[None])],
                                                            attrs={"axis": 0, "reduce": a_str("assign"),
                                                                   "include_self": a_bool(True)}, outs=outs),
                         lambda a, b, neg: None if a.ndim == 0 or a.shape[0] == 0 else
                         [np.concatenate([b[:1], a[1:]])], set()),
    "1.bmm": (lambda p, x, y, d, neg, outs: p.op("1.bmm", [x, p.op("1.transpose", [y], attrs={"perm": a_array(
                  [a_i32(q) for q in (0, 2, 1)])}, outs=[None]) if len(d) == 3 else y], outs=outs),
              lambda a, b, neg: [np.matmul(a, np.swapaxes(b, -1, -2)).astype(a.dtype)] if a.ndim == 3 else None,
              {"float"}),
    "1.repeat_interleave_with_tensor_index": axis_op(
        "1.repeat_interleave_with_tensor_index", lambda a, b, k: [np.repeat(a, 2, 0)] if a.ndim else None,
        lambda k: {"axis": 0},
        lambda p, x, y, k: [x, p.op("1.full_like", [p.op("1.shape64", [x], outs=[None]), p.full([1], 2.0)],
                                    attrs={"dtype": a_dtype("i64"), "place": {"#": "1.a_place", "D": [0, 0, ""]}},
                                    outs=[None])]),
    "1.full_with_tensor": (lambda p, x, y, d, neg, outs: p.op("1.full_with_tensor", [p.full([], 2.0, p.type_of(x)[0]),
                                                                                      p.op("1.shape64", [x], outs=[None])],
                                                              attrs={"dtype": a_dtype(p.type_of(x)[0])}, outs=outs),
                           lambda a, b, neg: [np.full(a.shape, 2, a.dtype)], set()),
})
OPS["1.split_with_num"] = OPS["1.split_with_num"][:2] + ({"vec"},)
del OPS["1.unbind"]  # as many outputs as rows: its own tests cover it

# 4-D image operators: their own base shape.
IMG = {
    "1.pool2d": (lambda p, x, y, d, neg, outs: p.op("1.pool2d", [x, p.full_int_array([2, 2])], attrs={
                     "strides": [a_i32(2), a_i32(2)], "paddings": [a_i32(0), a_i32(0)], "ceil_mode": False,
                     "exclusive": True, "data_format": "NCHW", "pooling_type": "max", "global_pooling": False,
                     "adaptive": False, "padding_algorithm": "EXPLICIT"}, outs=outs),
                 lambda a, b, neg: [(a.reshape(a.shape[0], a.shape[1], 2, 2, 2, 2).max(axis=(3, 5)) if a.size else
                                     np.zeros(a.shape[:2] + (a.shape[2] // 2, a.shape[3] // 2), a.dtype))
                                    if a.ndim == 4 else None], {"float", "nd4"}),
    "1.batch_norm_": (lambda p, x, y, d, neg, outs: p.op("1.batch_norm_", [x] + [p.full([2], v) for v in (0, 1, 1, 0)],
                                                         attrs={"is_test": True, "momentum": 0.9, "epsilon": 1e-5,
                                                                "data_format": "NCHW", "use_global_stats": True,
                                                                "trainable_statistics": False},
                                                         outs=outs + [("f32", [2])] * 4 + [("ui8", [-1])])[0],
                      lambda a, b, neg: [(a / np.sqrt(1 + 1e-5)).astype(a.dtype)], {"float", "nd4"}),
    "1.nearest_interp": (lambda p, x, y, d, neg, outs: p.op("1.nearest_interp", [x, None, None], attrs={
                             "data_format": "NCHW", "out_d": -1, "out_h": 8, "out_w": 8, "scale": [],
                             "interp_method": "nearest", "align_corners": False, "align_mode": 1}, outs=outs),
                         lambda a, b, neg: [a.repeat(2, 2).repeat(2, 3)] if a.ndim == 4 else None, {"float", "nd4"}),
    "1.conv2d": (lambda p, x, y, d, neg, outs: p.op("1.conv2d", [x, p.full([2, 2, 1, 1], 1.0, p.type_of(x)[0])],
                                                    attrs={"strides": [1, 1], "paddings": [0, 0], "dilations": [1, 1],
                                                           "groups": 1, "data_format": "NCHW",
                                                           "padding_algorithm": "EXPLICIT"}, outs=outs),
                 lambda a, b, neg: [np.repeat(a.sum(axis=1, keepdims=True), 2, 1).astype(a.dtype)]
                 if a.ndim == 4 else None, {"float", "nd4"}),
}


def feed(word, shape, rng, nonzero=False):
    dt = np_dtype(word)
    if dt == np.bool_:
        return np.ones(shape, dt) if nonzero else rng.integers(0, 2, shape).astype(dt)
    if dt.kind in "iu":
        lo = 1 if nonzero else (0 if dt.kind == "u" else -3)
        return rng.integers(lo, 4, shape).astype(dt)
    v = rng.uniform(-2, 2, shape)
    return (np.abs(v) + 0.5 if nonzero else v).astype(dt)


VARIANTS = [("base", "f32", [2, 3, 4], None), ("rank0", "f32", [], None), ("empty", "f32", [2, 0, 4], None),
            ("emptyax", "f32", [2, 3, 0], None),
            ("batch3", "f32", [-1, 3, 4], 3), ("batch0", "f32", [-1, 3, 4], 0), ("neg", "f32", [2, 3, 4], None),
            ("inplace", "f32", [2, 3, 4], None)] + \
           [(w, w, [2, 3, 4], None) for w in ("f16", "f64", "i8", "i16", "i32", "i64", "ui8", "bool")]


IMG.update({
    "1.bilinear_interp": (lambda p, x, y, d, neg, outs: p.op("1.bilinear_interp", [x, None, None], attrs={
                              "data_format": "NCHW", "out_d": -1, "out_h": 4, "out_w": 4, "scale": [],
                              "interp_method": "bilinear", "align_corners": False, "align_mode": 1}, outs=outs),
                          lambda a, b, neg: [a.copy()] if a.ndim == 4 and a.shape[2:] == (4, 4) else None,
                          {"float", "nd4"}),
    "1.group_norm": (lambda p, x, y, d, neg, outs: p.op("1.group_norm", [x, None, None], attrs={
                         "epsilon": 1e-5, "groups": 2, "data_format": "NCHW"},
                         outs=outs + [("f32", [-1, 2])] * 2)[0],
                     lambda a, b, neg: [layer_norm_ref(a.reshape(a.shape[0], a.shape[1], -1)).reshape(a.shape)]
                     if a.ndim == 4 else None, {"float", "nd4"}),
    "1.depthwise_conv2d": (lambda p, x, y, d, neg, outs: p.op("1.depthwise_conv2d", [x, p.full([2, 1, 1, 1], 2.0, p.type_of(x)[0])],
                                                              attrs={"strides": [1, 1], "paddings": [0, 0], "dilations": [1, 1],
                                                                     "groups": 2, "data_format": "NCHW",
                                                                     "padding_algorithm": "EXPLICIT"}, outs=outs),
                           lambda a, b, neg: [(a * 2).astype(a.dtype)] if a.ndim == 4 else None, {"float", "nd4"}),
    "1.pad3d": (lambda p, x, y, d, neg, outs: p.op("1.pad3d", [p.op("1.unsqueeze", [x, p.full_int_array([2])],
                                                                    outs=[(p.type_of(x)[0], d[:2] + [1] + d[2:])])
                                                               if len(d) == 4 else x, p.full_int_array([1, 1, 0, 0, 0, 0])], attrs={
                    "mode": "constant", "pad_value": 0.0, "data_format": "NCDHW"}, outs=outs),
                lambda a, b, neg: [np.pad(a.reshape(a.shape[:2] + (1,) + a.shape[2:]), [(0, 0)] * 4 + [(1, 1)])]
                if a.ndim == 4 else None, {"nd4"}),
})


def img_dims(dims):
    return {3: [1, 2, 4, 4], 0: []}.get(len(dims)) if 0 not in dims else [1, 2, 0, 4]


def run_case(name, variant):
    try:
        return _run_case(name, variant)
    except Exception as e:  # a fault of the sweep itself, not of the converter
        return name, variant[0], "skip", f"sweep: {type(e).__name__}: {e}"


def _run_case(name, variant):
    vname, word, dims, batch = variant
    build, ref, flags = {**OPS, **IMG}[name]
    if vname == "inplace":
        build0, base = build, name

        def build(p, x, y, d, neg, outs):  # the builder writes the operator's name: rename it
            r = build0(p, x, y, d, neg, outs)
            for o in p.ops:
                if o.get("#") == base:
                    o["#"] = base + "_"
            return r
    if name in IMG:
        dims = img_dims(dims) if len(dims) else []
        if dims and dims[0] == -1 or batch is not None:
            dims = [-1, 2, 4, 4]
    if name in ("1.one_hot",) and word in FLOATS:
        word = "i64" if vname in ("base", "f16", "f64", "rank0", "empty", "batch3", "batch0", "neg") else word
    neg = vname == "neg"
    if vname == "inplace":  # the in-place name computes what the operator computes
        name = name + "_"
    rng = np.random.default_rng(0)
    shape = [batch if d == -1 else d for d in dims]
    xa, ya = feed(word, shape, rng), feed(word, shape, rng, nonzero=True)
    try:
        with np.errstate(all="ignore"):
            exp = ref(xa, ya, neg)
    except Exception:
        exp = None
    if exp is not None and any(e is None for e in exp):
        exp = None
    lenient = exp is None or ("float" in flags and word not in FLOATS) or \
        ("int" in flags and word in FLOATS) or ("nobool" in flags and word == "bool") or \
        ("nd2" in flags and len(dims) < 2) or ("nd4" in flags and len(dims) != 4) or \
        ("f32only" in flags and word != "f32")
    # declared output types: a -1 wherever the output follows the batch
    if exp is not None:
        decl = [list(e.shape) for e in exp]
        if batch is not None:
            try:
                other = ref(feed(word, [5] + shape[1:], rng), feed(word, [5] + shape[1:], rng, True), neg)
                decl = [[-1 if u != v else u for u, v in zip(e.shape, o.shape)] for e, o in zip(exp, other)]
            except Exception:
                pass
        outs = [(word_of_np(e.dtype), dd) for e, dd in zip(exp, decl)]
    else:
        outs = [(word, dims)]
    p = Program()
    x, y = p.data("x", word, dims), p.data("y", word, dims)
    try:
        ids = build(p, x, y, dims, neg, outs)
    except Exception as e:
        return name, vname, "skip", f"builder: {e}"
    ids = ids if isinstance(ids, list) else [ids]
    if "vec" in flags and name != "1.meshgrid":
        ids = p.split(ids[0], outs)
    for k, i in enumerate(ids[:len(outs)]):
        p.fetch(i, f"out{k}")
    with tempfile.TemporaryDirectory(prefix="sweep-") as td:
        out = Path(td) / "m.onnx"
        doc = p.to_json()
        r = convert(p, weights_for_program(doc), out, opset=OPSET)
        err = r.stderr.strip()
        if r.returncode == 1:
            lines = err.splitlines()
            bare = name[2:].split("_i64")[0].rstrip("_")
            if len(lines) == 1 and lines[0].startswith("Error: ") and bare.split("_")[0] in lines[0]:
                return name, vname, "refused", lines[0]
            return name, vname, "finding", f"unclean refusal: {err[:300]}"
        if r.returncode != 0:
            return name, vname, "finding", f"exit {r.returncode}: {err[:300]}"
        try:
            check(out)
        except Exception as e:
            # Without a reference the declared output type is a guess: a clash with it alone
            # (at the fetch's Identity) says nothing about the converter.
            if exp is None and "op_type:Identity" in str(e) and str(e).count("op_type:") == 1:
                return name, vname, "valid", "(no reference)"
            return name, vname, "finding", f"invalid model: {str(e)[:300]}"
        try:
            got = run(out, {"x": xa, "y": ya})
        except Exception as e:
            return name, vname, "finding", f"ORT: {str(e)[:300]}"
        if lenient:
            return name, vname, "valid", "(lenient)"
        for k, e in enumerate(exp):
            g = got.get(f"out{k}")
            if g is None:
                return name, vname, "finding", f"out{k} missing"
            if g.shape != e.shape or g.dtype != e.dtype:
                return name, vname, "finding", f"out{k}: got {g.dtype}{list(g.shape)}, Paddle {e.dtype}{list(e.shape)}"
            if name in ("1.divide", "1.elementwise_pow") and e.dtype.kind != "f":
                continue
            tol = 2e-2 if e.dtype == np.float16 else 1e-4
            if e.dtype.kind == "f":
                ok = np.allclose(g.astype(np.float64), e.astype(np.float64), rtol=tol, atol=tol, equal_nan=True)
            else:
                ok = np.array_equal(g, e)
            if not ok:
                return name, vname, "finding", f"out{k} values differ: got {g.ravel()[:6]}, Paddle {e.ravel()[:6]}"
        return name, vname, "valid", ""


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("-")]
    verbose = "-v" in sys.argv
    names = [n for n in {**OPS, **IMG} if not args or any(a in n for a in args)]
    cases = [(n, v) for n in names for v in VARIANTS
             if v[0] == "inplace" and not n.endswith("_") and n != "1.cast_i64" or
             v[0] not in ("neg", "inplace") or n in ("1.transpose", "1.flatten", "1.unsqueeze", "1.roll", "1.sum", "1.mean",
                                        "1.max", "1.min") or n in OPS and OPS[n][0].__code__.co_name == "build"]
    totals = {}
    with ProcessPoolExecutor(int(os.environ.get("SWEEP_JOBS", "4"))) as pool:
        for name, vname, kind, msg in pool.map(run_case, *zip(*cases)):
            totals[kind] = totals.get(kind, 0) + 1
            if kind == "finding" or verbose:
                print(f"{kind:8} {name:22} {vname:7} {msg}")
    print(f"cases {len(cases)}: " + ", ".join(f"{k} {v}" for k, v in sorted(totals.items())))


if __name__ == "__main__":
    main()
