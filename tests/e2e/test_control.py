"""if and while with their subgraphs, any/all and one-hot through the built binary, checked with
onnx and run in ONNX Runtime against numpy values of PaddlePaddle's documented semantics."""

import itertools
import json
import math

import numpy as np
import pytest

from harness import Program, a_bool, a_dtype, a_f32, a_f64, a_i32, a_intarray, a_place, check, convert, run

UNDEFINED = {"#": "1.a_dtype", "D": "undefined"}


def convert_and_check(p, opset, tmp):
    out = tmp / f"opset{opset}" / "model.onnx"
    r = convert(p, None, out, opset=opset)
    assert r.returncode == 0, f"conversion failed (exit {r.returncode}):\n{r.stderr}"
    check(out)
    return out


def add(b, x, y, dtype="f32", dims=(1,)):
    return b.op("1.add", [x, y], outs=[(dtype, list(dims))])


def less(b, x, y, dims=(1,)):
    return b.op("1.less_than", [x, y], outs=[("bool", list(dims))])


# ------------------------------------------------------------------------------------------------
# if

@pytest.mark.parametrize("opset", [10, 11, 17])
def test_if_branches_and_outer_values(tmp, opset):
    # A value with two elements in one branch and three in the other needs opset 11.
    if opset < 11:
        r = convert(if_program(True), None, tmp / "varying.onnx", opset=opset)
        assert r.returncode == 1 and not (tmp / "varying.onnx").exists()
        assert "if branches yield value 4 with shapes [2] and [3], which requires opset >= 11, but " \
               "target opset is 10" in r.stderr
    varying = opset >= 11
    p = if_program(varying)
    model = convert_and_check(p, opset, tmp)

    xs = np.array([1.0, 2.0], np.float32)
    for cond, cond2 in ((True, True), (True, False), (False, True)):
        got = run(model, {"x": xs, "c": np.array([cond]), "c2": np.array([cond2])})
        if cond:
            want = [xs, xs + 1, xs, xs if cond2 else xs + 10, xs]
        else:
            want = [xs * 2, xs * 2, xs, xs * 2, np.full(3, 4.0, np.float32)]
        for k, w in enumerate(want[:5 if varying else 4]):
            np.testing.assert_array_equal(got[f"o{k}"], w, err_msg=f"o{k} cond={cond},{cond2}")


def if_program(varying):
    p = Program()
    x = p.data("x", "f32", [2])
    c = p.data("c", "bool", [1])
    c2 = p.data("c2", "bool", [1])

    then = p.block()
    # A nested if whose then-branch and the enclosing then-branch both hand an outer value to
    # their first output: both copies are named after the branch and the position.
    inner_then, inner_else = p.block(), p.block()
    inner_then.yield_([x])
    inner_else.yield_([add(inner_else, x, inner_else.full([1], 10.0), dims=[2])])
    nested = then.op("1.if", [c2], outs=[("f32", [2])], regions=[inner_then, inner_else])
    then.yield_([x, add(then, x, then.full([1], 1.0), dims=[2]), x, nested] + ([x] if varying else []))

    other = p.block()
    doubled = other.op("1.multiply", [x, other.full([1], 2.0)], outs=[("f32", [2])])
    other.yield_([doubled, doubled, x, doubled] + ([other.full([3], 4.0)] if varying else []))

    outs = p.op("1.if", [c], outs=[("f32", [2])] * 4 + ([("f32", [-1])] if varying else []), regions=[then, other])
    for k, v in enumerate(outs):
        p.fetch(v, f"o{k}")
    return p


# ------------------------------------------------------------------------------------------------
# while

@pytest.mark.parametrize("opset", [10, 17])
def test_while_counter_with_carried_values(tmp, opset):
    p = Program()
    x = p.data("x", "f32", [2])
    t0 = p.data("t0", "f32", [2])
    i0 = p.data("i0", "i64", [1])
    s0 = p.data("s0", "f32", [1])
    k0 = p.data("k0", "i64", [1])
    m0 = p.data("m0", "f32", [2])
    limit = p.full([1], 5, "i64")
    c0 = less(p, i0, limit)

    body = p.block()
    # The first argument carries no type of its own: it still takes its place among the body
    # inputs, typed from the value carried into it.
    t = body.arg(None)
    i = body.arg("i64", [1])
    s = body.arg("f32", [1])
    k = body.arg("i64", [1])
    body.arg("f32", [2])
    i1 = add(body, i, body.full([1], 1, "i64"), "i64")
    s1 = add(body, s, body.op("1.cast", [i], attrs={"dtype": a_dtype("f32")}, outs=[("f32", [1])]))
    t1 = add(body, t, t, dims=[2])
    # The next condition reads the main graph's limit; k passes through; m takes an outer value.
    body.yield_([less(body, i1, limit), t1, i1, s1, k, x])

    outs = p.op("1.while", [c0, t0, i0, s0, k0, m0],
                outs=[("f32", [2]), ("i64", [1]), ("f32", [1]), ("i64", [1]), ("f32", [2])],
                regions=[body])
    for name, v in zip(("t", "i", "s", "k", "m"), outs):
        p.fetch(v, name)
    model = convert_and_check(p, opset, tmp)

    xs, ts, ms = (np.array(v, np.float32) for v in ([1, 2], [0.5, -1], [9, 9]))
    base = {"x": xs, "t0": ts, "s0": np.array([0], np.float32), "k0": np.array([7]), "m0": ms}
    got = run(model, {**base, "i0": np.array([0])})
    np.testing.assert_array_equal(got["i"], [5])
    np.testing.assert_array_equal(got["s"], [10])  # 0 + 1 + 2 + 3 + 4
    np.testing.assert_array_equal(got["t"], ts * 32)
    np.testing.assert_array_equal(got["k"], [7])
    np.testing.assert_array_equal(got["m"], xs)
    # A condition false from the start runs no iteration: every value comes out as it went in.
    got = run(model, {**base, "i0": np.array([9])})
    for name, want in (("i", [9]), ("s", [0]), ("t", ts), ("k", [7]), ("m", ms)):
        np.testing.assert_array_equal(got[name], want, err_msg=name)


@pytest.mark.parametrize("opset", [10, 13, 17])
def test_while_over_rows_with_nested_if(tmp, opset):
    """Sums the rows of x one per iteration, and counts the even iterations with an if."""
    p = Program()
    x = p.data("x", "f32", [4, 3])
    n = p.full([1], 4, "i64")
    two = p.full([1], 2, "i64")
    zero = p.full([1], 0, "i64")
    i0 = p.full([1], 0, "i64")
    acc0 = p.full([1, 3], 0.0)
    evens0 = p.full([1], 0.0)

    body = p.block()
    i = body.arg("i64", [1])
    acc = body.arg("f32", [1, 3])
    evens = body.arg("f32", [1])
    row = body.op("1.index_select", [x, i], attrs={"axis": a_i32(0)}, outs=[("f32", [1, 3])])
    acc1 = add(body, acc, row, dims=[1, 3])
    even = body.op("1.equal", [body.op("1.remainder", [i, two], outs=[("i64", [1])]), zero],
                   outs=[("bool", [1])])
    yes, no = p.block(), p.block()
    yes.yield_([add(yes, evens, yes.full([1], 1.0))])
    no.yield_([evens])  # the loop body's argument, an outer value of the branch
    evens1 = body.op("1.if", [even], outs=[("f32", [1])], regions=[yes, no])
    i1 = add(body, i, body.full([1], 1, "i64"), "i64")
    body.yield_([less(body, i1, n), i1, acc1, evens1])

    _, acc_out, evens_out = p.op("1.while", [less(p, i0, n), i0, acc0, evens0],
                                 outs=[("i64", [1]), ("f32", [1, 3]), ("f32", [1])], regions=[body])
    p.fetch(acc_out, "acc")
    p.fetch(evens_out, "evens")
    model = convert_and_check(p, opset, tmp)

    xs = np.arange(12, dtype=np.float32).reshape(4, 3) - 5
    got = run(model, {"x": xs})
    np.testing.assert_array_equal(got["acc"], xs.sum(axis=0, keepdims=True))
    np.testing.assert_array_equal(got["evens"], [2])  # iterations 0 and 2


@pytest.mark.parametrize("opset", [10, 17])
def test_nested_while_carrying_the_same_outer_value(tmp, opset):
    """The inner loop starts from the same main-graph value at the same position as the outer
    loop, and reads the outer loop's argument: the two arguments must stay distinct."""
    p = Program()
    a0 = p.data("a0", "f32", [1])
    zero = p.full([1], 0, "i64")
    one = p.full([1], 1, "i64")
    two = p.full([1], 2, "i64")
    three = p.full([1], 3, "i64")

    outer = p.block()
    acc = outer.arg("f32", [1])
    i = outer.arg("i64", [1])
    inner = p.block()
    a = inner.arg("f32", [1])
    j = inner.arg("i64", [1])
    j1 = add(inner, j, one, "i64")
    inner.yield_([less(inner, j1, two), add(inner, a, acc), j1])
    ra, _ = outer.op("1.while", [less(outer, zero, two), a0, zero],
                     outs=[("f32", [1]), ("i64", [1])], regions=[inner])
    i1 = add(outer, i, one, "i64")
    outer.yield_([less(outer, i1, three), ra, i1])

    result, _ = p.op("1.while", [less(p, zero, three), a0, zero],
                     outs=[("f32", [1]), ("i64", [1])], regions=[outer])
    p.fetch(result, "out")
    model = convert_and_check(p, opset, tmp)

    want = 1.0
    for _ in range(3):  # each outer iteration: acc <- a0 + 2 * acc
        want = 1.0 + 2 * want
    got = run(model, {"a0": np.array([1.0], np.float32)})
    np.testing.assert_array_equal(got["out"], [want])


# ------------------------------------------------------------------------------------------------
# Regions that contradict the values they carry or give: refused with both types named, never
# written as a model no runtime loads. A program that keeps fewer results than the node gives
# still converts.

def counting_while(arg="i64", step="i64", out="i64", cond_dims=(1,), kept=2, typed_next=True, untyped_next=None):
    """i counts 0, 1, 2 while s adds 2.0 each time; one declaration changed per keyword (untyped_next: s's next
    value is s cast to that type, declared without a type)."""
    p = Program()
    i0, s0 = p.data("i0", "i64", [1]), p.data("s0", "f32", [1])
    limit = p.full([1], 3, "i64")
    body = p.block()
    i, s = body.arg(arg, [1]), body.arg("f32", [1])
    i1 = counted = add(body, i, body.full([1], 1, "i64"), arg)
    if step != arg:  # the next value cast to another type: the add and the comparison stay consistent
        i1 = body.op("1.cast", [i1], attrs={"dtype": a_dtype(step)}, outs=[(step, [1])])
    s1 = body.op("1.add", [s, body.full([1], 2.0)], outs=[("f32", [1]) if typed_next else None])
    if untyped_next:
        s1 = body.op("1.cast", [s], attrs={"dtype": a_dtype(untyped_next)}, outs=[None])
    # A condition of another rank compares values of that rank, so the comparison is consistent.
    a, b = (counted, limit) if cond_dims == (1,) else (body.full(list(cond_dims), 1, "i64"), body.full(list(cond_dims), 3, "i64"))
    cond = body.op("1.less_than", [a, b], outs=[("bool", list(cond_dims)) if typed_next else None])
    body.yield_([cond, i1, s1])
    outs = p.op("1.while", [less(p, i0, limit), i0, s0], outs=[(out, [1]), ("f32", [1])][:kept], regions=[body])
    p.fetch(outs if kept == 1 else outs[0], "i")
    if kept == 2:
        p.fetch(outs[1], "s")
    return p, {"i0": i0, "i1": i1, "s1": s1, "i": outs if kept == 1 else outs[0]}


def choosing_if(then_dtype="f32", out_dims=(2,), kept=2, cond_dtype="bool", cond_dims=(1,)):
    """then: x + 1 (and x); else: x * 2 (and x)."""
    p = Program()
    x, c = p.data("x", "f32", [2]), p.data("c", cond_dtype, list(cond_dims))
    then, other = p.block(), p.block()
    y = add(then, x, then.full([1], 1.0), "f32", dims=[2])
    if then_dtype != "f32":  # cast, so that the add itself stays consistent
        y = then.op("1.cast", [y], attrs={"dtype": a_dtype(then_dtype)}, outs=[(then_dtype, [2])])
    then.yield_([y, x])
    other.yield_([other.op("1.multiply", [x, other.full([1], 2.0)], outs=[("f32", [2])]), x])
    outs = p.op("1.if", [c], outs=[("f32", list(out_dims)), ("f32", [2])][:kept], regions=[then, other])
    p.fetch(outs if kept == 1 else outs[0], "y")
    return p, {"y": outs if kept == 1 else outs[0], "c": c}


def while_with_a_product(declared, use):
    """A while body whose i * i is declared `declared`, then added to s, or the condition of an if."""
    p = Program()
    i0, s0 = p.data("i0", "i64", [1]), p.data("s0", "f32", [1])
    limit = p.full([1], 3, "i64")
    body = p.block()
    i, s = body.arg("i64", [1]), body.arg("f32", [1])
    i1 = add(body, i, body.full([1], 1, "i64"), "i64")
    m = body.op("1.multiply", [i, i], outs=[(declared, [1])])
    if use == "add":
        s1 = add(body, s, m)
    else:
        then, other = body.block(), body.block()
        then.yield_([add(then, s, then.full([1], 1.0))])
        other.yield_([s])
        s1 = body.op("1.if", [m], outs=[("f32", [1])], regions=[then, other])
    body.yield_([less(body, i1, limit), i1, s1])
    outs = p.op("1.while", [less(p, i0, limit), i0, s0], outs=[("i64", [1]), ("f32", [1])], regions=[body])
    p.fetch(outs[1], "s")
    return p, {"m": m}


# Control flow nested as deep as ONNX Runtime loads a model (31 levels), and one level more.

def nested_ifs(depth, beyond=0, innermost=None, dims=(2,)):
    """depth ifs on c, each in the then-branch of the one around it: y = x + depth when c, else
    x - 1. The innermost add holds a member nested `beyond` JSON levels deep, which nothing reads,
    and adds to innermost(block, x) where given, of x's dims, instead of x."""
    p = Program()
    x, c = p.data("x", "f32", list(dims)), p.data("c", "bool", [1])

    def level(b, k):
        then, other = b.block(), b.block()
        deep = 1
        for _ in range(beyond if k == depth else 0):
            deep = [deep]
        inner = level(then, k + 1) if k < depth else innermost(then, x) if innermost else x
        then.yield_([then.op("1.add", [inner, then.full([1], 1.0)], outs=[("f32", list(dims))],
                             raw={"deep": deep} if k == depth and beyond else None)])
        other.yield_([add(other, x, other.full([1], -1.0), dims=dims)])
        return b.op("1.if", [c], outs=[("f32", list(dims))], regions=[then, other])

    p.fetch(level(p, 1), "y")
    return p


def nested_whiles(depth):
    """depth whiles, each in the body of the one around it, each running once and adding 1: x + depth."""
    p = Program()
    x = p.data("x", "f32", [-1])
    zero, one = p.full([1], 0, "i64"), p.full([1], 1, "i64")

    def level(b, k, start):
        body = b.block()
        a, i = body.arg("f32", [-1]), body.arg("i64", [1])
        inner = level(body, k + 1, a) if k < depth else a
        i1 = add(body, i, one, "i64")
        body.yield_([less(body, i1, one), add(body, inner, body.full([1], 1.0), dims=[-1]), i1])
        result, _ = b.op("1.while", [less(b, zero, one), start, zero], outs=[("f32", [-1]), ("i64", [1])],
                         regions=[body])
        return result

    p.fetch(level(p, 1, x), "y")
    return p


def sorted_rows(b, x, op):
    """x of [-1, 3] sorted along its rows, largest first, by topk of all three or by argsort."""
    if op == "topk":
        return b.op("1.topk", [x, b.full([1], 3, "i32")], attrs={"axis": -1, "largest": a_bool(True),
                                                                "sorted": a_bool(True)},
                    outs=[("f32", [-1, 3]), ("i64", [-1, 3])])[0]
    return b.op("1.argsort", [x], attrs={"axis": -1, "descending": a_bool(True), "stable": a_bool(True)},
                outs=[("f32", [-1, 3]), ("i64", [-1, 3])])[0]


def pixel_nms_in_nested_ifs(depth):
    """nested_ifs of x [-1, 6] around a multiclass_nms3 of pixel boxes, whose suppression is a
    loop of its own; with the id of its first output."""
    made = {}

    def nms(b, _):
        made["nms"] = b.op("1.multiclass_nms3", [b.full([1, 3, 4], 1.0), b.full([1, 2, 3], 0.5), None],
                           attrs={"score_threshold": a_f32(0.25), "nms_top_k": a_i32(10), "keep_top_k": a_i32(100),
                                  "nms_threshold": a_f32(0.5), "normalized": a_bool(False), "nms_eta": a_f32(1.0),
                                  "background_label": a_i32(-1)},
                           outs=[("f32", [-1, 6]), ("i32", [-1, 1]), ("i32", [-1])])[0]
        return made["nms"]

    return nested_ifs(depth, innermost=nms, dims=(-1, 6)), made


def too_deep(p):
    """The program and, for the refusal, the column of the "regions" array of its 32nd nested level
    (the program's own regions come first in its one-line text)."""
    text, at = json.dumps(p.to_json()), -1
    for _ in range(33):
        at = text.index('"regions": [', at + 1)
    return p, {"column": at + len('"regions": [')}


REGION_CONTRADICTIONS = {
    # name: (program and its ids, the message given those ids)
    # Where an operator of the region is the first to contradict its own operands, it is named.
    "while-arg-of-another-type": (lambda: counting_while(arg="i32"),
                                  "add: input 0 is int32 but input 1 is int64; they must have one element type"),
    "while-yields-another-type": (lambda: counting_while(step="f32"),
                                  "while body takes carried value {i0} as int64 [1], but yields its next value as "
                                  "float32 [1]"),
    "while-output-of-another-type": (lambda: counting_while(out="f64"),
                                     "while declares its output {i} as float64 [1], but computes int64 [1]"),
    "if-condition-not-bool": (lambda: choosing_if(cond_dtype="i32"),
                              "if condition {c} is int32, but a branch condition must be bool"),
    "if-branches-of-two-types": (lambda: choosing_if(then_dtype="i64"),
                                 "if branches yield value 0 as int64 [2] and float32 [2]"),
    # A body's nodes are typed as they are written: ONNX Runtime refuses at load, at every
    # opset, a body node of the wrong operand types that ONNX's checker lets pass.
    "while-body-product-declared-float32": (lambda: while_with_a_product("f32", "add"),
                                            "multiply declares its output {m} as float32 [1], but computes int64 [1]"),
    "while-body-if-condition-computed-int64": (lambda: while_with_a_product("bool", "if"),
                                               "multiply declares its output {m} as bool [1], but computes int64 [1]"),
    # A yielded value without a type of its own is described as its carried value, which
    # must be what it computes.
    "while-yields-an-untyped-int64": (lambda: counting_while(untyped_next="i64"),
                                      "while body yields value {s1} as float32, but computes int64"),
    # ONNX Runtime reads no model of 32 levels.
    **{f"{name}-nested-32-deep": (lambda build=build: too_deep(build(32)),
                                  "regions nested deeper than 31 levels at line 1 column {column} (ONNX Runtime "
                                  "loads no model nested deeper)") for name, build in (("ifs", nested_ifs),
                                                                                          ("whiles", nested_whiles))},
    # An operator whose lowering builds a subgraph of its own (here the suppression loop of pixel
    # boxes) in the deepest region: its graph would be the 32nd level.
    "pixel-nms-in-ifs-nested-31-deep": (lambda: pixel_nms_in_nested_ifs(31),
                                        "operator multiclass_nms3 (output {nms}) builds a subgraph in regions "
                                        "nested 31 levels deep, and graphs nest at most 31 levels (ONNX's checker "
                                        "reads no model nested deeper)"),
}


@pytest.mark.parametrize("case", list(REGION_CONTRADICTIONS))
def test_region_contradicting_its_values_is_refused(tmp, case):
    build, message = REGION_CONTRADICTIONS[case]
    p, ids = build()
    for opset in (11, 17, 18):
        out = tmp / f"{opset}.onnx"
        r = convert(p, None, out, opset=opset)
        assert (r.returncode, r.stderr.strip()) == (1, "Error: " + message.format(**ids))
        assert not out.exists()


# Paddle's exporter widens declarations around control flow, and Paddle runs the programs: a
# loop's initial value is declared with the loop's type, a branch that does not define a value
# yields a placeholder declared with the other branch's type, branches give one result two
# ranks. The model describes each value by what holds on every path, and gives Paddle's values.

def full_declared_as(b, value, dims, dtype="f32"):
    """A 0-D full whose output is declared with `dims`."""
    return b.op("1.full", attrs={"shape": a_intarray([]), "value": a_f64(value), "dtype": a_dtype(dtype),
                                 "place": a_place(1)}, outs=[(dtype, list(dims))])


def loop_from_scalars():
    """acc, b and c start as 0-D values (a full, a scale, an assign) declared [-1, 8]; each of the
    n iterations adds x to acc and to b and multiplies c by x."""
    p = Program()
    x, n = p.data("x", "f32", [-1, 8]), p.data("n", "i64", [1])
    acc0 = full_declared_as(p, 0.0, [-1, 8])
    b0 = p.op("1.scale", [p.full([], 1.0)], attrs={"scale": 2.0, "bias": 0.5, "bias_after_scale": True},
              outs=[("f32", [-1, 8])])
    c0 = p.op("1.assign", [p.full([], 5.0)], outs=[("f32", [-1, 8])])
    zero = p.full([1], 0, "i64")
    body = p.block()
    i, acc, b, c = body.arg("i64", [1]), body.arg("f32", [-1, 8]), body.arg("f32", [-1, 8]), body.arg("f32", [-1, 8])
    i1 = add(body, i, body.full([1], 1, "i64"), "i64")
    body.yield_([less(body, i1, n), i1, add(body, acc, x, dims=[-1, 8]), add(body, b, x, dims=[-1, 8]),
                 body.op("1.multiply", [c, x], outs=[("f32", [-1, 8])])])
    outs = p.op("1.while", [less(p, zero, n), zero, acc0, b0, c0],
                outs=[("i64", [1])] + [("f32", [-1, 8])] * 3, regions=[body])
    for name, v in zip(("acc", "b", "c"), outs[1:]):
        p.fetch(v, name)
    return p


def loop_from_scalars_ref(x, n):
    acc, b, c = np.float32(0), np.float32(2.5), np.float32(5)
    for _ in range(int(n[0])):
        acc, b, c = acc + x, b + x, c * x
    return {"acc": acc, "b": b, "c": c}


def loop_result_scaled():
    """acc starts as a 0-D 3.0 declared [-1, 8] and adds x n times; its result then goes through
    lowerings that build constants of their own: scale by attributes and by a [1] factor, gelu,
    full_like with a [1] fill. Each keeps the result's dims, 0-D after no iteration."""
    p = Program()
    x, n = p.data("x", "f32", [-1, 8]), p.data("n", "i64", [1])
    zero = p.full([1], 0, "i64")
    body = p.block()
    i, acc = body.arg("i64", [1]), body.arg("f32", [-1, 8])
    i1 = add(body, i, body.full([1], 1, "i64"), "i64")
    body.yield_([less(body, i1, n), i1, add(body, acc, x, dims=[-1, 8])])
    _, acc = p.op("1.while", [less(p, zero, n), zero, full_declared_as(p, 3.0, [-1, 8])],
                  outs=[("i64", [1]), ("f32", [-1, 8])], regions=[body])
    wide = [("f32", [-1, 8])]
    p.fetch(p.op("1.scale", [acc], attrs={"scale": 2.0, "bias": 0.5, "bias_after_scale": False}, outs=wide), "scaled")
    p.fetch(p.op("1.scale", [acc, p.full([1], 3.0)], attrs={"bias": 1.0, "bias_after_scale": True}, outs=wide),
            "by_tensor")
    p.fetch(p.op("1.gelu", [acc], attrs={"approximate": False}, outs=wide), "gelu")
    p.fetch(p.op("1.full_like", [acc, p.full([1], 2.5)], attrs={"place": a_place(1)}, outs=wide), "like")
    return p


def loop_result_scaled_ref(x, n):
    acc = np.float32(3)
    for _ in range(int(n[0])):
        acc = acc + x
    erf = np.vectorize(math.erf, otypes=[np.float64])
    return {"scaled": ((acc + np.float32(0.5)) * np.float32(2)).astype(np.float32),
            "by_tensor": (acc * np.float32(3) + np.float32(1)).astype(np.float32),
            "gelu": (0.5 * acc * (1 + erf(acc / math.sqrt(2)))).astype(np.float32),
            "like": np.full(np.shape(acc), 2.5, np.float32)}


def loop_with_branch_of_other_dims(rank, open_arg=False):
    """acc starts as x0 [3]; each of the n iterations, when c holds, a branch yields acc joined to
    itself (declared [6]) or, with `rank`, acc unsqueezed (declared [1, 3]); else acc as it is.
    `open_arg`: the argument is declared [-1], the list joined declared one tensor of 3."""
    p = Program()
    x0, n, c = p.data("x0", "f32", [3]), p.data("n", "i64", [1]), p.data("c", "bool", [1])
    zero = p.full([1], 0, "i64")
    body = p.block()
    i, acc = body.arg("i64", [1]), body.arg("f32", [-1] if open_arg else [3])
    then, other = p.block(), p.block()
    if rank:
        then.yield_([then.op("1.unsqueeze", [acc, then.full_int_array([0])], outs=[("f32", [1, 3])])])
    else:
        pair = then.op("0.combine", [acc, acc], outs=[("f32", [3])]) if open_arg else then.combine([acc, acc])
        then.yield_([then.op("1.concat", [pair, then.full([1], 0, "i32")], outs=[("f32", [6])])])
    other.yield_([acc])
    nxt = body.op("1.if", [c], outs=[("f32", [1, 3] if rank else [6])], regions=[then, other])
    i1 = add(body, i, body.full([1], 1, "i64"), "i64")
    body.yield_([less(body, i1, n), i1, nxt])
    p.fetch(p.op("1.while", [less(p, zero, n), zero, x0], outs=[("i64", [1]), ("f32", [3])], regions=[body])[1], "acc")
    return p


def loop_joining_its_initial_value():
    """acc starts as x0 [1, 2] and each of the n iterations joins x0, read from the main graph, to
    it, and makes w: acc beside zeros of its own dims (a full_like, the shape read at run time).
    The argument is declared as x0 is, the next value [-1, 2]: from the second iteration on,
    acc is longer than its declaration."""
    p = Program()
    x0, n = p.data("x0", "f32", [1, 2]), p.data("n", "i64", [1])
    zero = p.full([1], 0, "i64")
    body = p.block()
    i, acc, _ = body.arg("i64", [1]), body.arg("f32", [1, 2]), body.arg("f32", [-1, 4])
    zeros = body.op("1.full_like", [acc, body.full([1], 0.0)], attrs={"place": a_place(1)}, outs=[("f32", [1, 2])])
    w = body.op("1.concat", [body.combine([acc, zeros]), body.full([1], 1, "i32")], outs=[("f32", [-1, 4])])
    joined = body.op("1.concat", [body.combine([acc, x0]), body.full([1], 0, "i32")], outs=[("f32", [-1, 2])])
    i1 = add(body, i, body.full([1], 1, "i64"), "i64")
    body.yield_([less(body, i1, n), i1, joined, w])
    outs = p.op("1.while", [less(p, zero, n), zero, x0, p.full([1, 4], -1.0)],
                outs=[("i64", [1]), ("f32", [-1, 2]), ("f32", [-1, 4])], regions=[body])
    p.fetch(outs[1], "acc")
    p.fetch(outs[2], "w")
    return p


def loop_joining_its_initial_value_ref(x0, k):
    acc, w = x0, np.full((1, 4), -1.0, np.float32)
    for _ in range(k):
        acc, w = np.concatenate([acc, x0]), np.concatenate([acc, np.zeros_like(acc)], axis=1)
    return {"acc": acc, "w": w}


def loop_with_branch_runs(rank):
    x0 = np.array([1.5, -2.0, 0.25], np.float32)
    runs = []
    for k, c in itertools.product((0, 1, 3), (True, False)):
        acc = x0
        for _ in range(k):
            acc = (acc[None] if rank else np.concatenate([acc, acc])) if c else acc
        runs.append(({"x0": x0, "n": np.array([k]), "c": np.array([c])}, {"acc": acc}))
    return runs


def placeholder_if():
    """then: x * 2; else: a 0-D placeholder declared [2, 3], as the exporter writes for a value
    the branch does not define."""
    p = Program()
    x, c = p.data("x", "f32", [2, 3]), p.data("c", "bool", [1])
    then, other = p.block(), p.block()
    then.yield_([then.op("1.multiply", [x, then.full([1], 2.0)], outs=[("f32", [2, 3])])])
    other.yield_([full_declared_as(other, -1.0, [2, 3])])
    p.fetch(p.op("1.if", [c], outs=[("f32", [2, 3])], regions=[then, other]), "y")
    return p


def ranks_if():
    """then: a 0-D 7; else: x + 1 of dims [-1, 3]; the result declared [-1, 3]."""
    p = Program()
    x, c = p.data("x", "f32", [-1, 3]), p.data("c", "bool", [1])
    then, other = p.block(), p.block()
    then.yield_([then.full([], 7.0)])
    other.yield_([add(other, x, other.full([1], 1.0), dims=[-1, 3])])
    p.fetch(p.op("1.if", [c], outs=[("f32", [-1, 3])], regions=[then, other]), "y")
    return p


def loop_with_scalar_condition():
    """The body hands on its condition as a 0-D value, where a [1] one enters: i counts to 3."""
    p = Program()
    i0, limit = p.data("i0", "i64", [1]), p.full([1], 3, "i64")
    body = p.block()
    i = body.arg("i64", [1])
    i1 = add(body, i, body.full([1], 1, "i64"), "i64")
    cond = body.op("1.all", [less(body, i1, limit)], attrs={"axis": [], "keepdim": False}, outs=[("bool", [])])
    body.yield_([cond, i1])
    p.fetch(p.op("1.while", [less(p, i0, limit), i0], outs=[("i64", [1])], regions=[body]), "i")
    return p


def loop_with_rank2_condition():
    """The condition enters and is handed on as [1, 1]: Paddle reads its one element. i counts to 3."""
    p = Program()
    i0, limit = p.data("i0", "i64", [1]), p.full([1], 3, "i64")
    body = p.block()
    i = body.arg("i64", [1])
    i1 = add(body, i, body.full([1], 1, "i64"), "i64")
    cond = body.op("1.unsqueeze", [less(body, i1, limit), body.full_int_array([0])], outs=[("bool", [1, 1])])
    body.yield_([cond, i1])
    entry = p.op("1.unsqueeze", [less(p, i0, limit), p.full_int_array([0])], outs=[("bool", [1, 1])])
    p.fetch(p.op("1.while", [entry, i0], outs=[("i64", [1])], regions=[body]), "i")
    return p


def if_on_a_sum():
    """y = x * 2 when sum(x) > c, else x + 1, for x of any length (ONNX's shape inference used to
    crash on the model at opsets 14-17)."""
    p = Program()
    x, c = p.data("x", "f32", [-1]), p.data("c", "f32", [])
    total = p.op("1.sum", [x, p.full_int_array([])], attrs={"keepdim": a_bool(False), "dtype": UNDEFINED},
                 outs=[("f32", [])])
    then, other = p.block(), p.block()
    then.yield_([then.op("1.multiply", [x, then.full([1], 2.0)], outs=[("f32", [-1])])])
    other.yield_([add(other, x, other.full([1], 1.0), dims=[-1])])
    cond = p.op("1.greater_than", [total, c], outs=[("bool", [])])
    p.fetch(p.op("1.if", [cond], outs=[("f32", [-1])], regions=[then, other]), "y")
    return p


def if_on_a_sum_ref(x, c):
    return {"y": x * 2 if x.sum() > c else x + 1}


def thrice_untyped(b, v):
    """v * 3 by a scale whose output the program leaves untyped: only the model's nodes type it."""
    return b.op("1.scale", [v], attrs={"scale": 3.0, "bias": 0.0, "bias_after_scale": True}, outs=[None])


def loop_remainder_of_an_untyped_value():
    """acc starts as x and each of the n iterations makes it remainder(acc * 3, -0.75), the
    product untyped."""
    p = Program()
    x, n = p.data("x", "f32", [-1]), p.data("n", "i64", [1])
    zero = p.full([1], 0, "i64")
    body = p.block()
    i, acc = body.arg("i64", [1]), body.arg("f32", [-1])
    nxt = body.op("1.remainder", [thrice_untyped(body, acc), body.full([1], -0.75)], outs=[("f32", [-1])])
    i1 = add(body, i, body.full([1], 1, "i64"), "i64")
    body.yield_([less(body, i1, n), i1, nxt])
    p.fetch(p.op("1.while", [less(p, zero, n), zero, x], outs=[("i64", [1]), ("f32", [-1])], regions=[body])[1], "acc")
    return p


def if_remainder_of_an_untyped_value(op="1.remainder"):
    """then: op(x * 3, 0.75), the product untyped; else: x."""
    p = Program()
    x, c = p.data("x", "f32", [-1]), p.data("c", "bool", [1])
    then, other = p.block(), p.block()
    then.yield_([then.op(op, [thrice_untyped(then, x), then.full([1], 0.75)], outs=[("f32", [-1])])])
    other.yield_([x])
    p.fetch(p.op("1.if", [c], outs=[("f32", [-1])], regions=[then, other]), "y")
    return p


def paddle_float_remainder(a, b):
    # Paddle's kernel: fmod, then a nonzero remainder of the other sign than the divisor moves
    # by one divisor (the divisor's sign, as x - y * floor(x / y)).
    r = np.fmod(a, b)
    return np.where((r != 0) & ((r < 0) != (b < 0)), r + b, r).astype(a.dtype)


def loop_remainder_ref(x, k):
    for _ in range(k):
        x = paddle_float_remainder(x * np.float32(3), np.float32(-0.75))
    return {"acc": x}


XR = np.array([1.25, -2.5, 0.0, 7.0, -0.25, np.nan], np.float32)


def loop_reading_a_cast_pair(src, via):
    """A value cast `src` -> `via` -> `src` outside the loop (a pair ONNX Runtime removes itself when it
    loads a model) is added n times to acc, which starts as x; an if in the body reads it too."""
    p = Program()
    x, n, c = p.data("x", src, [-1, 2]), p.data("n", "i64", [1]), p.data("c", "bool", [1])
    wide = p.op("1.cast", [x], attrs={"dtype": a_dtype(via)}, outs=[(via, [-1, 2])])
    back = p.op("1.cast", [wide], attrs={"dtype": a_dtype(src)}, outs=[(src, [-1, 2])])
    zero = p.full([1], 0, "i64")
    body = p.block()
    i, acc = body.arg("i64", [1]), body.arg(src, [-1, 2])
    then, other = p.block(), p.block()
    then.yield_([add(then, acc, back, src, [-1, 2])])
    other.yield_([back])
    i1 = add(body, i, body.full([1], 1, "i64"), "i64")
    body.yield_([less(body, i1, n), i1, body.op("1.if", [c], outs=[(src, [-1, 2])], regions=[then, other])])
    p.fetch(p.op("1.while", [less(p, zero, n), zero, x], outs=[("i64", [1]), (src, [-1, 2])], regions=[body])[1], "acc")
    return p


def loop_reading_a_cast_pair_runs(dtype):
    runs = []
    for batch, k, c in ((1, 0, True), (2, 2, True), (3, 3, False)):
        x = (np.arange(batch * 2) - 2).astype(dtype).reshape(batch, 2)
        runs.append(({"x": x, "n": np.array([k]), "c": np.array([c])}, {"acc": x * (k + 1) if c else x}))
    return runs


# Regions nested in regions, each branch and body yielding values of the graphs around it (which
# the model copies inside the subgraph) as well as its own: every name the model writes must stay
# unique along each chain of enclosing graphs, which ONNX Runtime holds a model to as it loads.

class NestedRegions:
    """A program of x (f32 [-1]) and conditions c0, c1 whose regions nest as `kinds` says, one
    letter a level, outermost first ("i": an if, "w": a while running n times), or at random from
    `seed` where kinds is None; with a numpy reference of every value it fetches."""

    def __init__(self, seed, kinds=None):
        self.rng, self.kinds, self.p = np.random.default_rng(seed), kinds, Program()
        x = self.p.data("x", "f32", [-1])
        self.conds = [self.p.data(f"c{k}", "bool", [1]) for k in range(2)]
        vals = self.block_values(self.p, 0, [(x, lambda ctx: ctx["x"])])
        self.fetched = vals[-3:]
        for k, (v, _) in enumerate(self.fetched):
            self.p.fetch(v, f"y{k}")

    def reference(self, feeds):
        ctx = dict(feeds)
        return {f"y{k}": f(ctx) for k, (_, f) in enumerate(self.fetched)}

    def pick(self, vals):
        return vals[int(self.rng.integers(len(vals)))]

    def block_values(self, b, depth, visible, nest=True):
        (v, f), k = self.pick(visible), float(self.rng.integers(1, 9))
        vals = visible + [(add(b, v, b.full([1], k), dims=[-1]), lambda ctx: f(ctx) + np.float32(k))]
        kind = "" if not nest else (self.kinds[depth] if depth < len(self.kinds) else "") if self.kinds is not None \
            else self.rng.choice(["i", "w", ""], p=[0.45, 0.3, 0.25]) if depth < 5 else ""
        return vals + (self.if_values(b, depth + 1, vals) if kind == "i" else
                       self.while_values(b, depth + 1, vals) if kind == "w" else [])

    def if_values(self, b, depth, outer):
        ci, nesting = int(self.rng.integers(2)), int(self.rng.integers(2))  # one branch holds the next level
        blocks = [b.block(), b.block()]
        picks = []
        for j, blk in enumerate(blocks):
            vs = self.block_values(blk, depth, outer, nest=j == nesting)
            chosen = [self.pick(outer)] + [self.pick(vs) for _ in range(2)] + [self.pick(outer)]
            blk.yield_([v for v, _ in chosen])
            picks.append([f for _, f in chosen])
        outs = b.op("1.if", [self.conds[ci]], outs=[("f32", [-1])] * 4, regions=blocks)
        key = f"c{ci}"
        return [(o, lambda ctx, k=k: picks[0][k](ctx) if ctx[key][0] else picks[1][k](ctx))
                for k, o in enumerate(outs)]

    def while_values(self, b, depth, outer):
        (start, f0), n = self.pick(outer), int(self.rng.integers(1, 3))
        zero, limit = b.full([1], 0, "i64"), b.full([1], n, "i64")
        body = b.block()
        a, i = body.arg("f32", [-1]), body.arg("i64", [1])
        (nxt, fn) = self.pick(self.block_values(body, depth, outer + [(a, lambda ctx: ctx[a])]))
        i1 = add(body, i, body.full([1], 1, "i64"), "i64")
        body.yield_([less(body, i1, limit), nxt, i1])
        result, _ = b.op("1.while", [less(b, zero, limit), start, zero], outs=[("f32", [-1]), ("i64", [1])],
                         regions=[body])

        def run_loop(ctx):
            value = f0(ctx)
            for _ in range(n):
                value = fn({**ctx, a: value})
            return value
        return [(result, run_loop)]


def if_without_results(in_loop):
    """y = x + 2, beside an if whose branches yield nothing (the then-branch holds a value nobody
    reads): at the top level, or in the body of a while adding 1 twice."""
    p = Program()
    x, c = p.data("x", "f32", [-1]), p.data("c", "bool", [1])
    b = p.block() if in_loop else p
    then, other = b.block(), b.block()
    add(then, x, then.full([1], 5.0), dims=[-1])
    then.yield_([])
    other.yield_([])
    b.op("1.if", [c], outs=[], regions=[then, other])
    if not in_loop:
        p.fetch(add(p, x, p.full([1], 2.0), dims=[-1]), "y")
        return p
    zero, two = p.full([1], 0, "i64"), p.full([1], 2, "i64")
    a, i = b.arg("f32", [-1]), b.arg("i64", [1])
    i1 = add(b, i, b.full([1], 1, "i64"), "i64")
    b.yield_([less(b, i1, two), add(b, a, b.full([1], 1.0), dims=[-1]), i1])
    p.fetch(p.op("1.while", [less(p, zero, two), x, zero], outs=[("f32", [-1]), ("i64", [1])], regions=[b])[0], "y")
    return p

def nested_regions_runs(seed, kinds=None):
    g = NestedRegions(seed, kinds)
    xs = np.array([1.5, -2.0, 0.25], np.float32)
    return [({"x": x, "c0": np.array([c0]), "c1": np.array([c1])},
             g.reference({"x": x, "c0": np.array([c0]), "c1": np.array([c1])}))
            for x, c0, c1 in ((xs, True, True), (xs, True, False), (xs, False, True), (xs[:0], True, True))]


X3 = np.array([[1.5, -2.0, 0.25], [3.0, 0.5, -1.0]], np.float32)
X8 = np.linspace(-2, 2, 24, dtype=np.float32).reshape(3, 8)
REGION_WIDENINGS = {
    # name: (program, opsets, [(feeds, expected outputs)])
    "loop-from-scalars": (loop_from_scalars, (10, 11, 17),
                          [({"x": X8, "n": np.array([k])}, loop_from_scalars_ref(X8, [k])) for k in (0, 1, 3)]),
    "loop-result-scaled": (loop_result_scaled, (10, 11, 13, 17, 21),
                           [({"x": X8 + 2, "n": np.array([k])}, loop_result_scaled_ref(X8 + 2, [k])) for k in (0, 1, 3)]),
    "loop-joining-its-initial-value": (loop_joining_its_initial_value, (10, 11, 13, 17, 21),
                                       [({"x0": X3[:1, :2], "n": np.array([k])}, loop_joining_its_initial_value_ref(X3[:1, :2], k))
                                        for k in (0, 1, 3)]),
    "loop-branch-growing": (lambda: loop_with_branch_of_other_dims(False), (11, 13, 17, 21),
                            loop_with_branch_runs(False)),
    "loop-branch-growing-from-an-open-argument": (lambda: loop_with_branch_of_other_dims(False, open_arg=True),
                                                  (10, 17, 20), loop_with_branch_runs(False)),
    "loop-branch-of-another-rank": (lambda: loop_with_branch_of_other_dims(True), (11, 13, 17, 21),
                                    loop_with_branch_runs(True)),
    "if-placeholder": (placeholder_if, (11, 17), [({"x": X3, "c": np.array([True])}, {"y": X3 * 2}),
                                                   ({"x": X3, "c": np.array([False])}, {"y": np.float32(-1)})]),
    "if-branches-of-two-ranks": (ranks_if, (11, 17), [({"x": X3, "c": np.array([True])}, {"y": np.float32(7)}),
                                                      ({"x": X3, "c": np.array([False])}, {"y": X3 + 1})]),
    # A result declared [3] where both branches give [2].
    "if-output-of-another-dim": (lambda: choosing_if(out_dims=(3,))[0], (10, 11, 17),
                                 [({"x": X3[0, :2], "c": np.array([True])}, {"y": X3[0, :2] + 1}),
                                  ({"x": X3[0, :2], "c": np.array([False])}, {"y": X3[0, :2] * 2})]),
    # Paddle branches on the one element of a condition of any rank.
    "if-on-a-condition-of-rank-2": (lambda: choosing_if(cond_dims=(1, 1))[0], (17, 21),
                                    [({"x": X3[0, :2], "c": np.array([[c]])}, {"y": X3[0, :2] + 1 if c else X3[0, :2] * 2})
                                     for c in (True, False)]),
    "while-condition-of-rank-2": (loop_with_rank2_condition, (17, 21),
                                  [({"i0": np.array([k])}, {"i": np.array([max(k, 3)])}) for k in (0, 2, 5)]),
    "if-on-a-sum": (if_on_a_sum, tuple(range(13, 19)),
                    [({"x": x, "c": np.float32(c)}, if_on_a_sum_ref(x, c))
                     for x, c in ((X3[1], 2.0), (X3[1], 2.5), (np.zeros(0, np.float32), 0.0))]),
    # A remainder of floats whose type only the model's nodes give (an untyped product) is
    # Paddle's float remainder, in a loop body and in a branch.
    "loop-remainder-of-an-untyped-value": (loop_remainder_of_an_untyped_value, (17, 21),
                                           [({"x": x, "n": np.array([k])}, loop_remainder_ref(x, k))
                                            for x, k in ((XR, 1), (XR, 2), (XR[:0], 1))]),
    "if-remainder-of-an-untyped-value": (if_remainder_of_an_untyped_value, (17, 21),
                                         [({"x": XR, "c": np.array([True])},
                                           {"y": paddle_float_remainder(XR * np.float32(3), np.float32(0.75))}),
                                          ({"x": XR, "c": np.array([False])}, {"y": XR})]),
    "if-floor_divide-of-an-untyped-value": (lambda: if_remainder_of_an_untyped_value("1.floor_divide"), (17, 21),
                                            [({"x": x, "c": np.array([True])},
                                              {"y": np.floor(x * np.float32(3) / np.float32(0.75))})
                                             for x in (XR, XR[:1], XR[:0])]
                                            + [({"x": XR, "c": np.array([False])}, {"y": XR})]),
    "while-condition-of-another-rank": (loop_with_scalar_condition, (10, 17),
                                        [({"i0": np.array([k])}, {"i": np.array([max(k, 3)])}) for k in (0, 2, 5)]),
    # As deep as ONNX Runtime loads, the innermost operator holding JSON nested as deep as the
    # 128 levels a program may take beyond its regions' own.
    "ifs-nested-31-deep": (lambda: nested_ifs(31, beyond=120), (17, 21),
                           [({"x": X3[0, :2], "c": np.array([c])}, {"y": X3[0, :2] + 31 if c else X3[0, :2] - 1})
                            for c in (True, False)]),
    # topk and argsort of rows known at run time, none included (ONNX Runtime's TopK would crash
    # on those), add no graph level of their own in the deepest region.
    **{f"{op}-in-ifs-nested-31-deep": (lambda op=op: nested_ifs(31, innermost=lambda b, x: sorted_rows(b, x, op),
                                                                dims=(-1, 3)), (17, 21),
                                       [({"x": x, "c": np.array([c])}, {"y": -np.sort(-x, axis=1) + 31 if c else x - 1})
                                        for x in (X3, X3[:0]) for c in (True, False)])
       for op in ("topk", "argsort")},
    "whiles-nested-31-deep": (lambda: nested_whiles(31), (17, 21),
                              [({"x": x}, {"y": x + 31}) for x in (X3[1], X3[0, :1], np.zeros(0, np.float32))]),
    # Outer values handed on at several positions by regions nested in regions.
    **{f"{name}-handing-on-outer-values": (lambda kinds=kinds: NestedRegions(0, kinds).p, (10, 17, 21),
                                           nested_regions_runs(0, kinds))
       for name, kinds in (("ifs-2-deep", "ii"), ("ifs-3-deep", "iii"), ("ifs-31-deep", "i" * 31),
                           ("if-in-a-while-body", "wi"), ("while-in-an-if-branch", "iw"))},
    **{f"random-nested-regions-{seed}": (lambda seed=seed: NestedRegions(seed).p, (17, 21), nested_regions_runs(seed))
       for seed in range(8)},
    # An if without results changes nothing: the model leaves it out.
    **{name: (lambda in_loop=in_loop: if_without_results(in_loop), (17, 21),
              [({"x": x, "c": np.array([c])}, {"y": x + 2}) for x in (X3[1], X3[1, :0]) for c in (True, False)])
       for name, in_loop in (("if-without-results", False), ("if-without-results-in-a-while-body", True))},
    # Regions reading the result of a cast and its exact inverse get the value itself.
    "loop-reading-a-float-cast-pair": (lambda: loop_reading_a_cast_pair("f32", "f64"), (10, 17, 21),
                                       loop_reading_a_cast_pair_runs(np.float32)),
    "loop-reading-an-int-cast-pair": (lambda: loop_reading_a_cast_pair("i32", "i64"), (17, 19),
                                      loop_reading_a_cast_pair_runs(np.int32)),
}


@pytest.mark.parametrize("case", list(REGION_WIDENINGS))
def test_region_declarations_widened_by_the_exporter(tmp, case):
    build, opsets, runs = REGION_WIDENINGS[case]
    for opset in opsets:
        model = convert_and_check(build(), opset, tmp)
        for feeds, want in runs:
            got = run(model, feeds)
            for name, w in want.items():
                w = np.asarray(w)
                assert got[name].shape == w.shape and got[name].dtype == w.dtype, (opset, name, got[name])
                np.testing.assert_allclose(got[name], w, rtol=1e-6, err_msg=f"opset {opset} {name} {feeds}")
    if opsets[0] == 11:  # a result of two shapes: If merges its branches' shapes strictly before 11
        r = convert(build(), None, tmp / "10.onnx", opset=10)
        assert r.returncode == 1 and "requires opset >= 11, but target opset is 10" in r.stderr


@pytest.mark.parametrize("opset", [10, 17])
def test_region_results_kept_in_part(tmp, opset):
    # The loop's and the branches' second results are not kept: the nodes still give them.
    p, _ = counting_while(kept=1)
    got = run(convert_and_check(p, opset, tmp / "while"), {"i0": np.array([0]), "s0": np.array([0], np.float32)})
    np.testing.assert_array_equal(got["i"], [3])
    # A next condition and value without declared types: the body's outputs take the types their
    # places need (bool, the argument's) and leave their shapes open instead of claiming scalars.
    p, _ = counting_while(typed_next=False)
    got = run(convert_and_check(p, opset, tmp / "untyped"), {"i0": np.array([0]), "s0": np.array([1], np.float32)})
    np.testing.assert_array_equal(got["s"], [7])
    p, _ = choosing_if(kept=1)
    model = convert_and_check(p, opset, tmp / "if")
    xs = np.array([1.0, 2.5], np.float32)
    for cond, want in ((True, xs + 1), (False, xs * 2)):
        np.testing.assert_array_equal(run(model, {"x": xs, "c": np.array([cond])})["y"], want)


# ------------------------------------------------------------------------------------------------
# any, all, one_hot

@pytest.mark.parametrize("opset", [10, 17, 18])
def test_any_all(tmp, opset):
    p = Program()
    b = p.data("b", "bool", [2, 3])
    f = p.data("f", "f32", [2, 2])
    e = p.data("e", "bool", [2, 0])
    z = p.data("z", "f32", [0])
    s = p.data("s", "i32", [])
    cases = {
        "any_row": ("1.any", b, {"axis": [1], "keepdim": False}, [2]),
        "any_row_keep": ("1.any", b, {"axis": [1], "keepdim": True}, [2, 1]),
        "all_every": ("1.all", b, {"axis": [], "keepdim": False}, []),
        "all_last": ("1.all", b, {"axis": [-1], "keepdim": False}, [2]),
        # Non-boolean inputs: any non-zero element counts as true, fractions included.
        "all_float": ("1.all", f, {"axis": [0], "keepdim": False}, [2]),
        "any_float": ("1.any", f, {"keepdim": False}, []),
        # Over nothing: any is false, all is true.
        "any_empty_rows": ("1.any", e, {"axis": [1], "keepdim": False}, [2]),
        "any_empty": ("1.any", z, {"keepdim": False}, []),
        "all_empty_rows": ("1.all", e, {"axis": [-1], "keepdim": False}, [2]),
        # A rank-0 input.
        "any_scalar": ("1.any", s, {"axis": [], "keepdim": False}, []),
        "all_scalar": ("1.all", s, {"keepdim": False}, []),
        # Axis 0 and -1 name a rank-0 value itself.
        "any_scalar_axis": ("1.any", s, {"axis": [0], "keepdim": True}, []),
        "all_scalar_axis": ("1.all", s, {"axis": [-1], "keepdim": False}, []),
    }
    for name, (op, x, attrs, dims) in cases.items():
        p.fetch(p.op(op, [x], attrs=attrs, outs=[("bool", dims)]), name)
    model = convert_and_check(p, opset, tmp)

    bs = np.array([[0, 1, 0], [0, 0, 0]], bool)
    fs = np.array([[0.5, -2.0], [0.0, 0.25]], np.float32)
    es, zs = np.zeros((2, 0), bool), np.zeros(0, np.float32)
    ss = np.array(-3, np.int32)
    got = run(model, {"b": bs, "f": fs, "e": es, "z": zs, "s": ss})
    want = {"any_row": bs.any(1), "any_row_keep": bs.any(1, keepdims=True), "all_every": np.array(bs.all()),
            "all_last": bs.all(-1), "all_float": fs.astype(bool).all(0), "any_float": np.array(fs.astype(bool).any()),
            "any_empty_rows": es.any(1), "any_empty": np.array(zs.astype(bool).any()),
            "all_empty_rows": es.all(-1), "any_scalar": np.array(True), "all_scalar": np.array(True),
            "any_scalar_axis": np.array(True), "all_scalar_axis": np.array(True)}
    for name, w in want.items():
        assert got[name].dtype == np.bool_, name
        np.testing.assert_array_equal(got[name], w, err_msg=name)


@pytest.mark.parametrize("opset", [11, 13, 17, 21])
def test_one_hot(tmp, opset):
    p = Program()
    v = p.data("v", "i64", [3])
    m = p.data("m", "i32", [2, 1])
    d = p.data("d", "i32", [1])
    three = p.full([1], 3, "i32")
    p.fetch(p.op("1.one_hot", [v, three], outs=[("f32", [3, 3])]), "const_depth")
    p.fetch(p.op("1.one_hot", [m, three], outs=[("i64", [2, 1, 3])]), "matrix_i64")
    p.fetch(p.op("1.one_hot", [v, d], outs=[("f32", [3, -1])]), "tensor_depth")
    # A count of any rank holding one element is that count.
    p.fetch(p.op("1.one_hot", [v, p.data("d11", "i64", [1, 1])], outs=[("f32", [3, -1])]), "rank2_depth")
    model = convert_and_check(p, opset, tmp)

    vs, ms = np.array([0, 2, 1]), np.array([[1], [0]], np.int32)
    got = run(model, {"v": vs, "m": ms, "d": np.array([4], np.int32), "d11": np.array([[5]], np.int64)})
    np.testing.assert_array_equal(got["rank2_depth"], np.eye(5, dtype=np.float32)[vs])
    np.testing.assert_array_equal(got["const_depth"], np.eye(3, dtype=np.float32)[vs])
    assert got["matrix_i64"].dtype == np.int64
    np.testing.assert_array_equal(got["matrix_i64"], np.eye(3, dtype=np.int64)[ms])
    np.testing.assert_array_equal(got["tensor_depth"], np.eye(4, dtype=np.float32)[vs])


def test_one_hot_refused_below_opset_11(tmp):
    p = Program()
    v = p.data("v", "i64", [3])
    p.fetch(p.op("1.one_hot", [v, p.full([1], 3, "i32")], outs=[("f32", [3, 3])]), "out")
    r = convert(p, None, tmp / "model.onnx", opset=10)
    assert r.returncode == 1
    assert "Error: one_hot requires opset >= 11, but target opset is 10" in r.stderr
    assert not (tmp / "model.onnx").exists()
