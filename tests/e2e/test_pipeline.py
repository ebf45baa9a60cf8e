"""The whole pipeline through the built binary: program in, ONNX model out, checked with onnx and
run in ONNX Runtime against numpy values of PaddlePaddle's semantics."""

import json
import subprocess
from pathlib import Path

import numpy as np
import pytest

from harness import (Program, a_array, a_bool, a_dtype, a_f32, a_f64, a_i32, a_i64, a_str, check, convert, convert_check_run,
                     a_intarray, a_place, kestro_bin, np_dtype, program_json, run, tt, weight_record, weights_bytes, write_weights)
import paddle_ref

LOW_AND_DEFAULT = [10, 17]
RNG = np.random.default_rng(1234)


def assert_header(model, opset):
    assert model.ir_version == 8
    assert model.producer_name == "kestro"
    assert model.producer_version == "0.1.2"
    assert [(i.domain, i.version) for i in model.opset_import] == [("", opset)]
    assert model.graph.name == "Orvane_Model"
    assert not model.metadata_props and not model.doc_string and not model.functions
    assert not model.graph.value_info


def assert_clean_success(r):
    assert r.returncode == 0, r.stderr
    assert r.stdout == "" and r.stderr == "", "nothing is printed without RUST_LOG"


def sigmoid(x):
    return 1.0 / (1.0 + np.exp(-x))


# ------------------------------------------------------------------------------------------------
# The model envelope

@pytest.mark.parametrize("opset", [None, 10, 13, 17, 21])
def test_model_envelope(tmp, opset):
    # A program without a fetch would give a model without outputs, which no runtime loads.
    out = tmp / "m.onnx"
    r = convert(program_json([]), b"", out, opset=opset)
    assert r.returncode == 1 and not out.exists()
    assert r.stderr == "Error: the program has no fetch: the model would have no outputs\n"

    p = Program()
    p.fetch(p.data("x", "f32", [2]), "out")
    assert_clean_success(convert(p, b"", out, opset=opset))
    model = check(out)
    target = 17 if opset is None else opset
    assert_header(model, target)
    assert [n.op_type for n in model.graph.node] == ["Identity"] and len(model.graph.initializer) == 0
    data = out.read_bytes()
    # ir_version, producer name and version come first, the graph next, the opset entry last.
    assert data.startswith(bytes.fromhex("0808 1206") + b"kestro" + bytes.fromhex("1a05") + b"0.1.2" + b"\x3a")
    assert data.endswith(bytes([0x42, 0x02, 0x10, target]))


# ------------------------------------------------------------------------------------------------
# Small models, at the lowest opset their operators allow and at the default

@pytest.mark.parametrize("opset", LOW_AND_DEFAULT)
def test_data_relu_fetch(tmp, opset):
    p = Program()
    x = p.data("x", "f32", [-1, 3])
    y = p.op("1.relu", [x], outs=[("f32", [-1, 3])])
    p.fetch(y, "out")
    xs = RNG.standard_normal((4, 3)).astype(np.float32)
    out = tmp / "m.onnx"
    assert_clean_success(convert(p, None, out, opset=opset))
    model = check(out)
    assert_header(model, opset)
    (inp,) = model.graph.input
    assert inp.name == "x" and inp.type.tensor_type.elem_type == 1
    dims = inp.type.tensor_type.shape.dim
    assert [d.HasField("dim_value") for d in dims] == [False, True] and dims[1].dim_value == 3
    assert [n.op_type for n in model.graph.node] == ["Relu", "Identity"]
    assert [o.name for o in model.graph.output] == ["out"]
    res = run(out, {"x": xs})
    np.testing.assert_array_equal(res["out"], np.maximum(xs, 0))


@pytest.mark.parametrize("opset", LOW_AND_DEFAULT)
@pytest.mark.parametrize("packed,reorder", [(False, False), (True, False), (False, True)],
                         ids=["dims-unpacked", "dims-packed", "sigmoid-listed-first"])
def test_linear_sigmoid_with_weight_file(tmp, opset, packed, reorder):
    # Declared w before b: the records must be paired by byte-sorted name (b first), not by
    # declaration order, or the shapes would not match.
    p = Program()
    w = p.param("linear_0.w_0", "f32", [4, 3])
    b = p.param("linear_0.b_0", "f32", [3])
    x = p.data("x", "f32", [-1, 4])
    mm = p.op("1.matmul", [x, w], attrs={"transpose_x": False, "transpose_y": False},
              outs=[("f32", [-1, 3])])
    s = p.op("1.add", [mm, b], outs=[("f32", [-1, 3])])
    y = p.op("1.sigmoid", [s], outs=[("f32", [-1, 3])])
    p.fetch(y, "prob")
    if reorder:
        # A program that lists a reader before the producers of what it reads: the model
        # still has to list every node after them.
        p.ops.insert(p.ops.index(next(o for o in p.ops if o["#"] == "1.matmul")), p.ops.pop(-2))
    ws = {"linear_0.w_0": RNG.standard_normal((4, 3)).astype(np.float32),
          "linear_0.b_0": RNG.standard_normal(3).astype(np.float32)}
    wpath = write_weights(tmp / "w.pdiparams", ws, packed=packed)
    xs = RNG.standard_normal((5, 4)).astype(np.float32)
    res = convert_check_run(p, wpath, {"x": xs}, opset=opset, tmp=tmp)
    ref = sigmoid(xs.astype(np.float64) @ ws["linear_0.w_0"] + ws["linear_0.b_0"])
    np.testing.assert_allclose(res["prob"], ref, rtol=1e-5, atol=1e-6)

    # The weights travel as initializers holding the file's bytes.
    model = check(tmp / f"opset{opset}" / "model.onnx")
    inits = {t.name: t for t in model.graph.initializer}
    for name, arr in ws.items():
        assert inits[name].raw_data == arr.tobytes()


CONV_CASES = {
    # name: (op, in channels, out channels, groups, strides, dilations)
    "grouped": ("1.conv2d", 4, 6, 2, [1, 1], [1, 1]),
    "strided-dilated": ("1.conv2d", 3, 2, 1, [2, 1], [1, 2]),
    "depthwise": ("1.depthwise_conv2d", 4, 4, 4, [1, 1], [1, 1]),
    # Backend hints ONNX has no attribute for are left out; whole floats become integers.
    "backend-hints": ("1.conv2d", 3, 2, 1, [1, 1], [1, 1],
                      {"use_cudnn": True, "exhaustive_search": False, "workspace_size_MB": 512}),
    "float-strides": ("1.conv2d", 3, 2, 1, [2, 1], [1, 1], {"strides": a_array([a_f32(2.0), a_f32(1.0)])}),
    # Integers written as whole floats under integer tags: groups 2.0 is group 2, not ONNX's 1.
    "whole-float-groups": ("1.conv2d", 4, 6, 2, [1, 1], [1, 1], {"groups": a_i32(2.0)}),
    "whole-float-depthwise": ("1.depthwise_conv2d", 4, 4, 4, [1, 1], [1, 1], {"groups": a_i64(4.0)}),
    "whole-float-strides": ("1.conv2d", 3, 2, 1, [2, 1], [1, 1], {"strides": a_array([a_i32(2.0), a_i32(1.0)])}),
    # Integer slope and offset: HardSigmoid takes float alpha and beta, so they become floats.
    "integer-hardsigmoid": ("1.conv2d", 3, 2, 1, [1, 1], [1, 1], {}, (1, 0)),
}


@pytest.mark.parametrize("opset", LOW_AND_DEFAULT)
@pytest.mark.parametrize("case", list(CONV_CASES))
def test_conv2d_hardsigmoid_generic(tmp, opset, case):
    op, cin, cout, groups, strides, dilations, *extra = CONV_CASES[case]
    h, wd = 7, 6
    p = Program()
    w = p.param("conv2d_0.w_0", "f32", [cout, cin // groups, 3, 3])
    x = p.data("x", "f32", [-1, cin, h, wd])
    c = p.op(op, [x, w], attrs={
        "strides": [a_i32(s) for s in strides], "paddings": [a_i32(1), a_i32(2)],
        "padding_algorithm": "EXPLICIT", "groups": a_i32(groups),
        "dilations": [a_i32(d) for d in dilations], "data_format": "NCHW",
        "struct_name": "/Net/Conv2D/", **(extra[0] if extra else {})}, outs=[("f32", [-1, cout, -1, -1])])
    slope, offset = extra[1] if len(extra) > 1 else (0.2, 0.5)
    typed = lambda v: a_i32(v) if isinstance(v, int) else a_f32(v)
    y = p.op("1.hardsigmoid", [c], attrs={"slope": typed(slope), "offset": typed(offset)},
             outs=[("f32", [-1, cout, -1, -1])])
    p.fetch(y, "out")
    wv = RNG.standard_normal((cout, cin // groups, 3, 3)).astype(np.float32)
    xs = RNG.standard_normal((2, cin, h, wd)).astype(np.float32)
    res = convert_check_run(p, {"conv2d_0.w_0": wv}, {"x": xs}, opset=opset, tmp=tmp)
    conv = paddle_ref.conv2d(xs.astype(np.float64), wv, strides, [1, 2], dilations, groups)
    np.testing.assert_allclose(res["out"], np.clip(slope * conv + offset, 0, 1), rtol=1e-5, atol=1e-5)

    model = check(tmp / f"opset{opset}" / "model.onnx")
    conv_node = next(n for n in model.graph.node if n.op_type == "Conv")
    attrs = {a.name: a for a in conv_node.attribute}
    assert list(attrs["pads"].ints) == [1, 2, 1, 2]
    assert attrs["group"].i == groups
    assert list(attrs["strides"].ints) == strides
    assert not {"data_format", "padding_algorithm", "groups", "paddings", "struct_name", "use_cudnn"} & attrs.keys()


# name: (names of extra graph inputs, fetch names, the graph outputs expected)
FETCH_NAMES = {
    "two-fetches-one-name": ([], ["out", "out"], ["out", "out_1"]),
    # The counter goes on where the last fetch of the name left it and skips taken names.
    "suffix-taken-by-an-input": (["out_1"], ["out", "out", "out", "out"],
                                 ["out", "out_2", "out_3", "out_4"]),
}


@pytest.mark.parametrize("opset", LOW_AND_DEFAULT)
@pytest.mark.parametrize("case", list(FETCH_NAMES))
def test_two_fetches_with_one_name(tmp, opset, case):
    inputs, names, expected = FETCH_NAMES[case]
    p = Program()
    x = p.data("x", "f32", [2, 3])
    for name in inputs:
        p.data(name, "f32", [1])
    a = p.op("1.relu", [x], outs=[("f32", [2, 3])])
    b = p.op("1.sigmoid", [x], outs=[("f32", [2, 3])])
    for k, name in enumerate(names):
        p.fetch(a if k % 2 == 0 else b, name)
    out = tmp / "m.onnx"
    r = convert(p, None, out, opset=opset, env={"RUST_LOG": "warn"})
    assert r.returncode == 0, r.stderr
    assert f"fetch output name 'out' collides; renamed to '{expected[1]}'" in r.stderr
    model = check(out)
    assert [o.name for o in model.graph.output] == expected
    xs = RNG.standard_normal((2, 3)).astype(np.float32)
    feeds = {"x": xs}
    feeds.update({name: np.zeros(1, np.float32) for name in inputs})
    res = run(out, feeds)
    assert list(res) == expected
    for k, name in enumerate(expected):
        if k % 2 == 0:
            np.testing.assert_array_equal(res[name], np.maximum(xs, 0))
        else:
            # ONNX Runtime's float32 sigmoid is an approximation a few units in the last place off.
            np.testing.assert_allclose(res[name], sigmoid(xs.astype(np.float64)), rtol=1e-5)


def dropout_program(mode, p_value=0.2, nested=False):
    """out = dropout(x); `nested`: two ifs down (c and c2 hold), reading x and p from the main graph,
    where the inner branch hands on the mask too, as a branch yields every value it makes."""
    p = Program()
    x = p.data("x", "f32", [-1, 8])
    prob = p.full([1], p_value, "f32")
    attrs = {"is_test": True}
    if mode is not None:
        attrs["mode"] = a_str(mode)
    attrs.update({"seed": a_i32(0), "fix_seed": a_bool(False)})
    at = p
    if nested:
        then, other, at, inner_else = p.block(), p.block(), p.block(), p.block()
    y, mask = at.op("1.dropout", [x, 0, prob], attrs=attrs, outs=[("f32", [-1, 8]), ("ui8", [-1, 8])])
    if nested:
        at.yield_([y, mask])
        inner_else.yield_([x, inner_else.op("1.cast", [x], attrs={"dtype": a_dtype("ui8")}, outs=[("ui8", [-1, 8])])])
        inner = then.op("1.if", [p.data("c2", "bool", [1])], outs=[("f32", [-1, 8]), ("ui8", [-1, 8])],
                        regions=[at, inner_else])
        then.yield_([inner[0]])
        other.yield_([x])
        y = p.op("1.if", [p.data("c", "bool", [1])], outs=[("f32", [-1, 8])], regions=[then, other])
    p.fetch(y, "out")
    return p


@pytest.mark.parametrize("opset", LOW_AND_DEFAULT + [21])
@pytest.mark.parametrize("mode,factor,nested", [
    (None, 1.0, False),                      # the default mode scales at training time only
    ("upscale_in_train", 1.0, False),
    ("downgrade_in_infer", 1.0 - np.float32(0.2), False),
    ("upscale_in_train", 1.0, True),
    ("downgrade_in_infer", 1.0 - np.float32(0.2), True),
])
def test_dropout_at_inference(tmp, opset, mode, factor, nested):
    for batch in (1, 2, 3) if nested else (3,):
        xs = RNG.standard_normal((batch, 8)).astype(np.float32)
        feeds = {"x": xs, "c2": np.array([True]), "c": np.array([True])} if nested else {"x": xs}
        res = convert_check_run(dropout_program(mode, nested=nested), None, feeds, opset=opset, tmp=tmp)
        np.testing.assert_allclose(res["out"], xs * factor, rtol=1e-6)


def test_conversion_is_deterministic(tmp):
    p = Program()
    w = p.param("w", "f32", [4, 4])
    x = p.data("x", "f32", [-1, 4])
    a = p.op("1.add", [x, w], outs=[("f32", [-1, 4])])
    y = p.op("1.relu", [a], outs=[("f32", [-1, 4])])
    p.fetch(y, "out")
    p.fetch(a, "out")
    # Megabytes of program text: through a pipe it arrives in many reads.
    p.fetch(p.op("1.assign_value_", [], attrs={"shape": a_array([a_i32(100_000)]), "dtype": a_dtype("i32"),
                                               "values": a_array([a_i32(k) for k in range(100_000)])},
                 outs=[("i32", [100_000])]), "big")
    ws = {"w": np.arange(16, dtype=np.float32).reshape(4, 4)}
    files = []
    for k in range(2):
        out = tmp / f"m{k}.onnx"
        assert_clean_success(convert(p, ws, out))
        files.append(out.read_bytes())
    assert files[0] == files[1]
    # The same program through a pipe.
    write_weights(tmp / "w.pdiparams", ws)
    r = subprocess.run([str(kestro_bin()), "/dev/stdin", str(tmp / "w.pdiparams"), str(tmp / "piped.onnx")],
                       input=json.dumps(p.to_json()).encode(), capture_output=True, timeout=300)
    assert r.returncode == 0, r.stderr.decode()
    assert (tmp / "piped.onnx").read_bytes() == files[0]


# ------------------------------------------------------------------------------------------------
# Bad inputs: a reported error (exit 1, "Error: ", no file), never a crash

def relu_ops():
    """data x -> relu -> fetch out, as raw operator objects to be damaged by the tests."""
    p = Program()
    x = p.data("x", "f32", [2, 3])
    y = p.op("1.relu", [x], outs=[("f32", [2, 3])])
    p.fetch(y, "out")
    return p.to_json()


def damaged(path_and_value):
    doc = relu_ops()
    ops = doc["program"]["regions"][0]["blocks"][0]["ops"]
    path_and_value(doc, ops)
    return doc


VALID_TEXT = json.dumps(relu_ops())


def with_escape(old, new):
    """VALID_TEXT with `old` replaced by `new` (which holds one \\u escape or more), and the
    surrogate refusal at the first escape's position."""
    text = VALID_TEXT.replace(old, new, 1)
    return text.encode(), f"Error: The surrogate pair in string is invalid. at line 1 column {text.index(chr(92) + 'u') + 1}\n"


def conv_doc(**attrs):
    """data x -> conv2d (3x3, one channel) -> fetch, with the attributes overridden."""
    p = Program()
    w = p.param("w", "f32", [1, 1, 3, 3])
    x = p.data("x", "f32", [1, 1, 5, 5])
    base = {"strides": [a_i32(1), a_i32(1)], "paddings": [a_i32(0), a_i32(0)], "groups": a_i32(1),
            "dilations": [a_i32(1), a_i32(1)], "padding_algorithm": "EXPLICIT", "data_format": "NCHW"}
    p.fetch(p.op("1.conv2d", [x, w], attrs={**base, **attrs}, outs=[("f32", [1, 1, -1, -1])]), "out")
    return p.to_json()


def one_op_doc(name, dtype, attrs=None, n_in=1, raw=None, out=None):
    """data x -> one operator over n_in copies of x (its output declared `out`, else as x) -> fetch."""
    p = Program()
    x = p.data("x", dtype, [2, 3])
    p.fetch(p.op(name, [x] * n_in, attrs=attrs, outs=[out or (dtype, [2, 3])], raw=raw), "out")
    return p.to_json()


def layer_norm_doc(outs):
    """data x [2, 3, 2], flat scale and bias [6] -> layer_norm over the last two axes -> fetch."""
    p = Program()
    x, scale, bias = p.data("x", "f32", [2, 3, 2]), p.data("scale", "f32", [6]), p.data("bias", "f32", [6])
    y = p.op("1.layer_norm", [x, scale, bias], attrs={"epsilon": a_f32(1e-5), "begin_norm_axis": a_i32(1)}, outs=outs)
    p.fetch(y[0], "out")
    return p.to_json()


def hardsigmoid_attrs(*entries):
    return {"A": [{"N": n, "AT": v} for n, v in entries]}


def cycle(d, ops):
    # relu reads the output of an abs that reads relu's own output.
    ops.insert(2, {"#": "1.abs", "I": [{"%": 2}], "O": [{"%": 7, "TT": ops[1]["O"][0]["TT"]}]})
    ops[1]["I"] = [{"%": 7}]
# An unused one-element constant whose value id 99 has no name of its own.
FULL_99 = {"#": "1.full", "I": [], "O": [{"%": 99, "TT": tt("f32", [1])}],
           "A": [{"N": "shape", "AT": {"#": "1.a_intarray", "D": [1]}},
                 {"N": "value", "AT": {"#": "0.a_f64", "D": 1.0}},
                 {"N": "dtype", "AT": {"#": "1.a_dtype", "D": "float32"}}]}

def contradicting(build, fetched=()):
    """A program whose one operator contradicts its declared types or dims: build(p) -> output id,
    fetched as declared, or as `fetched` (dtype, dims)."""
    p = Program()
    p.fetch(build(p), "out", *fetched)
    return p.to_json()


def f32_x(p, dims=(2, 3)):
    return p.data("x", "f32", list(dims))


def batch_norm_of(p, channels, stats, mean_type="f32"):
    x = p.data("x", "f32", [2, channels, 4, 4])
    ins = [x] + [p.param(n, mean_type if n == "mean" else "f32", [stats]) for n in ("mean", "var", "scale", "bias")]
    return p.op("1.batch_norm_", ins, attrs={"is_test": True, "momentum": 0.9, "epsilon": 1e-5, "data_format": "NCHW"},
                outs=[("f32", [2, channels, 4, 4])])


def reshaped_at_run_time(p, declared):
    # Dims only the program declares: the target shape comes at run time.
    return p.op("1.reshape", [p.data("x", "f32", [2, 4]), p.data("s", "i64", [2])], outs=[("f32", declared)])


def bmm_in_a_branch(p):
    x, y, c = p.data("x", "f32", [2, 2, 3]), p.data("y", "f32", [2, 4, 2]), p.data("c", "bool", [1])
    then, other = p.block(), p.block()
    then.yield_([then.op("1.bmm", [x, y], outs=[("f32", [2, 2, 2])])])
    other.yield_([other.full([2, 2, 2], 1.0)])
    return p.op("1.if", [c], outs=[("f32", [2, 2, 2])], regions=[then, other])


def declared_twice(p):
    x = p.data("x", "f32", [1, 4])
    w = p.param("linear_0.w_0", "f32", [4, 3])
    b = p.param("linear_0.w_0", "f32", [3])
    return p.op("1.add", [p.op("1.matmul", [x, w], outs=[("f32", [1, 3])]), b], outs=[("f32", [1, 3])])


def untyped_abs_into(name):
    """data x int64 -> abs, its output declared without a type -> `name` (with a float32 f) declared float32."""
    def build(p):
        y = p.op("1.abs", [p.data("x", "i64", [2, 3])], outs=[None])
        return p.op(name, [y, p.data("f", "f32", [2, 3])] if name == "1.add" else [y], outs=[("f32", [2, 3])])
    return contradicting(build)


DEEP = '{"program": {"regions": [{"blocks": [{"ops": [{"#": "0.x", "deep": '
DEEP_IN_A_REGION = ('{"program": {"regions": [{"blocks": [{"ops": [{"#": "1.if", "regions": [{"blocks": [{"ops": '
                    '[{"#": "0.x", "deep": ')


def untyped_if_of_full(p, dims):
    """An `if` that yields a full of `dims` from either branch, its result written without a type."""
    then, other = p.block(), p.block()
    then.yield_([then.full(dims, 0.25)])
    other.yield_([other.full(dims, 0.5)])
    return p.op("1.if", [p.data("c", "bool", [1])], outs=[None], regions=[then, other])


MUST_FAIL = {
    # name: (program bytes or document, substring of the message)
    # One name, one initializer: a second declaration of other dims would feed the bias the matrix.
    "parameter-declared-twice-with-other-dims": (
        contradicting(declared_twice),
        "Error: parameter 'linear_0.w_0' is declared as float32 [4, 3] and again as float32 [3]\n"),
    # Two declarations and nothing computed between them: the refusal names both declarers.
    "fetch-declares-otherwise-than-a-declared-only-value": (
        contradicting(lambda p: reshaped_at_run_time(p, [4, 2]), ("f32", [8, 1])),
        "fetch declares its output out as float32 [8, 1], but operator reshape declares value 3 as float32 [4, 2]"),
    # The cast computes its operand's dims: its own declaration is the one refused, not the fetch's.
    "cast-declared-otherwise-than-its-operand": (
        contradicting(lambda p: p.op("1.cast", [reshaped_at_run_time(p, [8])], attrs={"dtype": a_dtype("bool")},
                                     outs=[("bool", [7])]), ("bool", [8])),
        "cast declares its output 4 as bool [7], but computes bool [8]"),
    # Paddle fills known sizes only, and takes a perm of every dim.
    "full-of-a-negative-dim": (
        contradicting(lambda p: p.op("1.full", attrs={"shape": a_intarray([2, -1]), "value": a_f64(1.0),
                                                      "dtype": a_dtype("f32"), "place": a_place(1)},
                                     outs=[("f32", [2, 3])])),
        "Error: full: shape [2, -1] has a negative dim, which Paddle refuses\n"),
    "transpose-without-a-perm": (
        contradicting(lambda p: p.op("1.transpose", [f32_x(p, [2, 3, 2])], outs=[("f32", [2, 6])])),
        "Error: transpose perm [] is not a permutation of the 3 dims of its input\n"),
    "gather-nd-of-more-coordinates-than-dims": (
        contradicting(lambda p: p.op("1.gather_nd", [f32_x(p), p.data("i", "i64", [3])], outs=[("f32", [])])),
        "Error: gather_nd: index rows of 3 coordinates exceed the rank 2 of x\n"),
    "truncated": (VALID_TEXT[: len(VALID_TEXT) // 2].encode(), None),
    "invalid-syntax": (b'{"program": {"regions": [}', None),
    "trailing-garbage": (VALID_TEXT.encode() + b" x", None),
    "empty-file": (b"", None),
    "not-utf8-text": (b"\xff\xfe\x00", None),
    # Files that are no JSON program are named as such, not as a stray byte of one.
    "weight-file-as-program": (weight_record(np.ones((2, 3), np.float32)),
                               "model.json' is not a JSON program (it starts with binary data)\n"),
    "old-binary-program": (b"\n\x9c\x01\n\x08\x08\x00\x10\xff\xff\xff\xff\x0f" + bytes(40),
                           "is not a JSON program (it starts with binary data)\n"),
    "utf16-program": (("\ufeff" + VALID_TEXT).encode("utf-16-le"),
                      "is not a JSON program (it starts with a UTF-16 byte order mark; it must be UTF-8)\n"),
    # A UTF-8 byte order mark is skipped: positions count from the text after it.
    "invalid-after-utf8-bom": (b'\xef\xbb\xbf{"program": x', "Invalid value. at line 1 column 13\n"),
    # A surrogate escape without its pair would put bytes that are not UTF-8 into a name or
    # a message: a high one without a low one after it, and a low one without a high one
    # before it, are refused alike.
    "unpaired-high-surrogate-in-operator-name": with_escape('"1.relu"', '"1.relu\\ud800"'),
    "high-surrogate-before-another-high": with_escape('"D": "out"', '"D": "out\\ud800\\udbff"'),
    "lone-low-surrogate-in-operator-name": with_escape('"1.relu"', '"1.relu\\udc00"'),
    "lone-low-surrogate-in-attribute-string": with_escape('"D": "out"', '"D": "out\\udfff"'),
    "lone-low-surrogate-in-value-name": with_escape('"D": "x"', '"D": "x\\udc00"'),
    "two-low-surrogates": with_escape('"D": "out"', '"D": "out\\udc00\\udc00"'),
    "too-deep": ((DEEP + "[" * 130 + "]" * 130 + "}]}]}]}}").encode(),
                 f"Error: recursion limit exceeded: JSON nested deeper than 128 levels at line 1 column {len(DEEP) + 121}\n"),
    # Each level of regions has its own JSON levels besides the 128: an operator in an if's
    # region holds as deep a value as one of the top block.
    "too-deep-in-a-region": ((DEEP_IN_A_REGION + "[" * 121 + "]" * 121 + "}]}]}]}]}]}]}}").encode(),
                             "Error: recursion limit exceeded: JSON nested deeper than 128 levels at line 1 column "
                             f"{len(DEEP_IN_A_REGION) + 121}\n"),
    "absurdly-deep": (b"[" * 1_000_000, None),
    "ops-an-object": (damaged(lambda d, ops: d["program"]["regions"][0]["blocks"][0].update(ops={"0": ops[0]})),
                      "Could not find ops array in JSON under /program/regions/0/blocks/0/ops"),
    "blocks-a-string": (damaged(lambda d, ops: d["program"]["regions"][0].update(blocks="b")),
                        "Could not find ops array"),
    "top-level-array": ([relu_ops()], "Could not find ops array"),
    # Of a repeated key only the first member counts, even when a later one holds the ops.
    "program-key-repeated": (('{"program": {}, ' + VALID_TEXT[1:]).encode(), "Could not find ops array"),
    "ops-key-repeated": (VALID_TEXT.replace('"ops": [', '"ops": {}, "ops": [', 1).encode(),
                         "Could not find ops array"),
    # An operator lists its operands and results; read as anything else, a node would lose
    # its output (written without one) or its operands.
    "O-a-string": (damaged(lambda d, ops: ops[1].update(O="tensor")), 'Outputs ("O") not a list in op: {"#":"1.relu"'),
    "fetch-input-id-a-string": (damaged(lambda d, ops: ops[2]["I"][0].update({"%": "3"})),
                                "fetch op has no input; cannot produce graph output"),
    "fetch-I-a-string": (damaged(lambda d, ops: ops[2].update(I="x")), 'Inputs ("I") not a list in op: {"#":"1.fetch"'),
    **{f"{name}-at-{opset}": (doc, message, opset) for opset in (17, 18) for name, doc, message in [
        ("O-an-object", damaged(lambda d, ops: ops[1].update(O=ops[1]["O"][0])), 'Outputs ("O") not a list in op: {"#":"1.relu"'),
        ("O-an-object-of-an-unread-operator",
         damaged(lambda d, ops: ops.insert(1, {"#": "1.relu", "I": [{"%": 1}], "O": {"%": 9, "TT": tt("f32", [2, 3])}})),
         'Outputs ("O") not a list in op: {"#":"1.relu","I":[{"%":1}],"O":{"%":9,'),
        ("I-an-object", damaged(lambda d, ops: ops[1].update(I=ops[1]["I"][0])), 'Inputs ("I") not a list in op: {"#":"1.relu"'),
    ]},
    "data-output-id-a-string": (damaged(lambda d, ops: ops[0]["O"][0].update({"%": "1"})),
                                "Missing output ID in op"),
    "fetch-undefined-negative-id": (damaged(lambda d, ops: ops[2]["I"][0].update({"%": -3})),
                                    "Undefined value id -3"),
    "unsupported-element-type": (damaged(lambda d, ops: ops[0]["O"][0]["TT"]["D"][0].update({"#": "0.t_bf16"})),
                                 "Unsupported Paddle element type: 0.t_bf16"),
    "unknown-operator": (damaged(lambda d, ops: ops[1].update({"#": "1.foo_"})), "Unsupported operator: foo"),
    # Only the dialect's one prefix is taken off: "1.1.nearest_interp" names no operator.
    "double-dialect-prefix": (damaged(lambda d, ops: ops[1].update({"#": "1.1.relu"})), "Error: Unsupported operator: 1.relu\n"),
    "double-dialect-prefix-interp": (
        contradicting(lambda p: p.op("1.1.nearest_interp", [p.data("x", "f32", [1, 1, 2, 2]), None, None, None],
                                     attrs={"out_h": 4, "out_w": 4, "interp_method": "nearest"}, outs=[("f32", [1, 1, 4, 4])])),
        "Error: Unsupported operator: 1.nearest_interp\n"),
    # An operator of an unknown dialect is skipped; a reader of what it would have made is
    # told which operator that was.
    "reads-a-skipped-operator": (damaged(lambda d, ops: (
        ops.insert(1, {"#": "7.custom_op", "I": [{"%": 1}], "O": [{"%": 7, "TT": ops[1]["O"][0]["TT"]}]}),
        ops[2]["I"][0].update({"%": 7}))),
        "operator relu (output 2) reads value 7, which operator 7.custom_op was to make; that operator's dialect is "
        "unknown, so it was skipped\n"),
    # Models no runtime loads: refused with the operator and the problem named.
    "no-fetch": (damaged(lambda d, ops: ops.pop()), "the program has no fetch: the model would have no outputs"),
    "untyped-output": (damaged(lambda d, ops: [e.pop("TT", None) for o in ops[1:] for e in o["O"] + o["I"]]),
                       "has no element type"),
    "cycle": (damaged(cycle), "the program's operators form a cycle through operator relu (output 2)"),
    # A declaration that contradicts the value it describes would be copied into the model.
    "fetch-declares-another-type": (damaged(lambda d, ops: ops[2]["O"][0]["TT"]["D"].__setitem__(0, {"#": "0.t_i64"})),
                                    "fetch declares its output out as int64 [2, 3], but computes float32 [2, 3]"),
    # An operator's output declared otherwise than the operator computes it: its consumers
    # would be lowered against the declaration.
    # (a data without attributes, so that only its output entry says what it feeds)
    "relu-of-another-type": (damaged(lambda d, ops: (ops[0].update(A=[]),
                                                     ops[0]["O"][0]["TT"]["D"].__setitem__(0, {"#": "0.t_i32"}))),
                             "relu declares its output 2 as float32 [2, 3], but computes int32 [2, 3]"),
    "add-declares-float64": (one_op_doc("1.add", "f32", n_in=2, out=("f64", [2, 3])),
                             "add declares its output 2 as float64 [2, 3], but computes float32 [2, 3]"),
    "equal-declares-float32": (one_op_doc("1.equal", "i64", n_in=2, out=("f32", [2, 3])),
                               "equal declares its output 2 as float32 [2, 3], but computes bool [2, 3]"),
    "scale-declares-int32": (one_op_doc("1.scale", "f32", attrs={"scale": 2.0, "bias": 1.0}, out=("i32", [2, 3])),
                             "scale declares its output 2 as int32 [2, 3], but computes float32 [2, 3]"),
    # Types ONNX has no tensor of are never what a lowering computes.
    **{f"add-declares-{word}-at-{opset}": (
        one_op_doc("1.add", "f32", n_in=2, out={"#": "0.t_dtensor", "D": [{"#": f"0.t_{word}"}, [2, 3], "NCHW", [], 0]}),
        f"add declares its output 2 as {name} [2, 3], but computes float32 [2, 3]", opset)
       for opset in (17, 18) for word, name in (("c64", "complex64"), ("bf16", "bfloat16"), ("c128", "complex128"))},
    # So are the values a split's list is unpacked into.
    **{f"split-piece-declares-{word}-at-{opset}": (
        contradicting(lambda p: p.split(
            p.op("1.split_with_num", [f32_x(p), p.full([1], 1, "i32")], attrs={"num": a_i32(3)},
                 outs=[("vec", [("f32", [2, 1])] * 3)]),
            [("f32", [2, 1]), {"#": "0.t_dtensor", "D": [{"#": f"0.t_{word}"}, [2, 1], "NCHW", [], 0]}, ("f32", [2, 1])])[0]),
        f"split_with_num declares its output 5 as {name} [2, 1], but computes float32 [2, 1]", opset)
       for opset in (17, 21) for word, name in (("c64", "complex64"), ("i64", "int64"))},
    "remainder-declares-int32": (one_op_doc("1.remainder", "i64", n_in=2, out=("i32", [2, 3])),
                                 "remainder declares its output 2 as int32 [2, 3], but computes int64 [2, 3]"),
    # At opset 18 no library check follows: the lowering itself compares.
    "bitwise_not-declares-bool": (one_op_doc("1.bitwise_not", "i8", out=("bool", [2, 3])),
                                  "bitwise_not declares its output 2 as bool [2, 3], but computes int8 [2, 3]", 18),
    "bitwise_and-declares-int64": (one_op_doc("1.bitwise_and", "i32", n_in=2, out=("i64", [2, 3])),
                                   "bitwise_and declares its output 2 as int64 [2, 3], but computes int32 [2, 3]", 18),
    # Every lowering's nodes are typed as they are written, at every opset: a declared output
    # type is held to what they compute, not only where a lowering compares it itself.
    "any-declares-uint8": (one_op_doc("1.any", "bool", attrs={"keepdim": False}, out=("ui8", [])),
                           "any declares its output 2 as uint8 [], but computes bool []"),
    "any-declares-uint8-at-18": (one_op_doc("1.any", "bool", attrs={"keepdim": False}, out=("ui8", [])),
                                 "any declares its output 2 as uint8 [], but computes bool []", 18),
    "swish-declares-int64": (one_op_doc("1.swish", "f16", out=("i64", [2, 3])),
                             "swish declares its output 2 as int64 [2, 3], but computes float16 [2, 3]", 18),
    "not_equal-declares-int64": (one_op_doc("1.not_equal", "f32", n_in=2, out=("i64", [2, 3])),
                                 "not_equal declares its output 2 as int64 [2, 3], but computes bool [2, 3]", 18),
    "tril-declares-int32": (one_op_doc("1.tril", "f32", attrs={"diagonal": 0}, out=("i32", [2, 3])),
                            "tril declares its output 2 as int32 [2, 3], but computes float32 [2, 3]", 18),
    "leaky_relu-declares-int64": (one_op_doc("1.leaky_relu", "f32", attrs={"negative_slope": 0.1}, out=("i64", [2, 3])),
                                  "leaky_relu declares its output 2 as int64 [2, 3], but computes float32 [2, 3]", 18),
    # A value declared without a type is typed by its node: what reads it is held to that.
    "sigmoid-of-an-untyped-int64": (untyped_abs_into("1.sigmoid"),
                                    "sigmoid: its ONNX Sigmoid node takes int64 as its input 0, which must be floating-point"),
    "sigmoid-of-an-untyped-int64-at-18": (untyped_abs_into("1.sigmoid"),
                                          "sigmoid: its ONNX Sigmoid node takes int64 as its input 0, which must be "
                                          "floating-point", 18),
    "add-of-an-untyped-int64": (untyped_abs_into("1.add"),
                                "add: its ONNX Add node takes int64 and float32, which must have one element type"),
    "add-of-an-untyped-int64-at-18": (untyped_abs_into("1.add"),
                                      "add: its ONNX Add node takes int64 and float32, which must have one element type", 18),
    "data-declares-another-type": (damaged(lambda d, ops: ops[0]["O"][0]["TT"]["D"].__setitem__(0, {"#": "0.t_f16"})),
                                   "data declares its output x as float16 [2, 3], but its dtype attribute is float32"),
    "data-declares-another-shape": (damaged(lambda d, ops: ops[0]["O"][0]["TT"]["D"].__setitem__(1, [2, 4])),
                                    "data declares its output x as float32 [2, 4], but its shape attribute is [2, 3]"),
    "relu-two-inputs": (one_op_doc("1.relu", "f32", n_in=2), "relu has 2 inputs: ONNX Relu takes at most 1 at opset 17"),
    "relu-two-outputs": (damaged(lambda d, ops: ops[1]["O"].append({"%": 9})),
                         "relu has 2 outputs: ONNX Relu gives at most 1 at opset 17"),
    "layer-norm-four-outputs": (layer_norm_doc([("f32", [2, 3, 2]), ("f32", [2]), ("f32", [2]), ("f32", [2])]),
                                "layer_norm has 4 outputs: ONNX LayerNormalization gives at most 3 at opset 17"),
    "repeated-attribute": (one_op_doc("1.hardsigmoid", "f32", raw=hardsigmoid_attrs(("slope", a_f32(0.2)), ("alpha", a_f32(0.3)))),
                           "hardsigmoid: attribute alpha is given more than once"),
    "attribute-of-another-kind": (one_op_doc("1.hardsigmoid", "f32", raw=hardsigmoid_attrs(("slope", a_str("0.2")))),
                                  "hardsigmoid: attribute alpha must be a float for ONNX HardSigmoid"),
    "fractional-attribute": (one_op_doc("1.softmax", "f32", attrs={"axis": a_f32(0.5)}),
                             "softmax: attribute axis must be an integer, got 0.5"),
    # An integer attribute that holds no integer is refused, never replaced by the default.
    "integer-attribute-as-text": (one_op_doc("1.softmax", "f32", attrs={"axis": a_str("0")}),
                                  'softmax: attribute axis must be an integer, got "0"'),
    "integer-attribute-as-list": (one_op_doc("1.flatten", "f32", attrs={"start_axis": a_array([a_i32(1)])}),
                                  'flatten: attribute start_axis must be an integer, got [{"#":"0.a_i32","D":1}]'),
    "integer-attribute-past-int64": (one_op_doc("1.softmax", "f32", attrs={"axis": a_i64(2**63)}),
                                     "softmax: attribute axis must be an integer, got 9223372036854775808"),
    "conv-groups-fractional": (conv_doc(groups=a_i32(2.5)), "conv2d: attribute groups must be an integer, got 2.5"),
    "layer-norm-axis-fractional": (one_op_doc("1.layer_norm", "f32", attrs={"begin_norm_axis": a_i32(0.5)}),
                                   "layer_norm: attribute begin_norm_axis must be an integer, got 0.5"),
    "relu-int32-at-10": (one_op_doc("1.relu", "i32"), "relu (ONNX Relu on int32) requires opset >= 14, but target opset is 10", 10),
    "relu-int64": (one_op_doc("1.relu", "i64"), "relu: ONNX Runtime has no Relu for int64 operands"),
    "sqrt-of-ints": (one_op_doc("1.sqrt", "i32"), "sqrt: ONNX Sqrt does not take int32 operands"),
    "equal-f32-at-10": (one_op_doc("1.equal", "f32", n_in=2, out=("bool", [2, 3])), "equal (ONNX Equal on float32) requires opset >= 11, but target opset is 10", 10),
    "less_equal-at-11": (one_op_doc("1.less_equal", "f32", n_in=2),
                         "less_equal (ONNX LessOrEqual) requires opset >= 12, but target opset is 11", 11),
    # Range takes single values, and float16 ones only as float32 (which the range lowering does).
    "range-f16-bounds-of-six-values": (one_op_doc("1.range", "f16", n_in=3),
                                       "range bound 0 has dims [2, 3], where one value is taken"),
    "conv-strides-fractional": (conv_doc(strides=[a_i32(1), a_f32(1.5)]),
                                "conv2d: attribute strides holds a non-integer element 1.5"),
    "conv-strides-zero": (conv_doc(strides=[a_i32(0), a_i32(1)]), "conv2d: strides [0, 1] must be positive"),
    "conv-dilations-zero": (conv_doc(dilations=[a_i32(1), a_i32(0)]), "conv2d: dilations [1, 0] must be positive"),
    "conv-negative-pads": (conv_doc(paddings=[a_i32(-1), a_i32(0)]), "conv2d: pads [-1, 0, -1, 0] must be non-negative"),
    "conv-groups-zero": (conv_doc(groups=a_i32(0)), "conv2d: groups must be positive, got 0"),
    # A 3x3 window dilated by 3 spans 7 rows of a 5-row input: Paddle finds no output position.
    **{f"conv-dilated-window-wider-than-the-input-at-{opset}": (
        conv_doc(dilations=[a_i32(3), a_i32(1)]),
        "conv2d: the filter's window [3, 3] dilated by [3, 1] is wider than the padded input 5 (input dims "
        "[1, 1, 5, 5], pads [0, 0, 0, 0]): it leaves no output position", opset) for opset in (17, 20)},
    # Operand types a node does not take together, or an output type it does not give.
    "add-of-float32-and-int64": (contradicting(lambda p: p.op("1.add", [f32_x(p), p.data("y", "i64", [2, 3])], outs=[("f32", [2, 3])])),
                                 "add: input 0 is float32 but input 1 is int64; they must have one element type"),
    "greater_equal-of-float32-and-int64": (
        contradicting(lambda p: p.op("1.greater_equal", [f32_x(p), p.data("y", "i64", [2, 3])], outs=[("bool", [2, 3])])),
        "greater_equal: input 0 is float32 but input 1 is int64; they must have one element type"),
    "multiply-of-float32-and-int64": (
        contradicting(lambda p: p.op("1.multiply", [f32_x(p), p.data("y", "i64", [2, 3])], outs=[("f32", [2, 3])])),
        "multiply: x is float32 but y is int64; they must have one element type"),
    "conv2d-float16-filter": (
        contradicting(lambda p: p.op("1.conv2d", [p.data("x", "f32", [1, 1, 5, 5]), p.data("w", "f16", [1, 1, 3, 3])],
                                     attrs={"strides": [1, 1], "paddings": [0, 0], "groups": 1, "dilations": [1, 1]},
                                     outs=[("f32", [1, 1, 3, 3])])),
        "conv2d: input 0 is float32 but input 1 is float16; they must have one element type"),
    # Attribute values Paddle rejects, where ONNX Runtime would fail only at load or run time.
    "prelu-channel-mode-of-unknown-layout": (
        contradicting(lambda p: p.op("1.prelu", [p.data("x", "f32", [1, 3, 2, 2]), p.data("a", "f32", [3])],
                                     attrs={"mode": "channel", "data_format": "CHWN"}, outs=[("f32", [1, 3, 2, 2])])),
        "prelu: data_format CHWN is none of NCHW, NHWC, NCDHW, NDHWC"),
    "prelu-slope-for-other-channels": (
        contradicting(lambda p: p.op("1.prelu", [p.data("x", "f32", [1, 3, 2, 2]), p.data("a", "f32", [3])],
                                     attrs={"mode": "channel", "data_format": "NDHWC"}, outs=[("f32", [1, 3, 2, 2])])),
        "prelu: the slope holds 3 values, but the input [1, 3, 2, 2] has 2 channels in layout NDHWC"),
    # Paddle's mode all takes one slope value; a slope no operator defines has no dims to read.
    **{f"{name}-at-{opset}": (doc, message, opset) for opset in (17, 18) for name, doc, message in [
        ("prelu-all-of-six-slopes",
         contradicting(lambda p: p.op("1.prelu", [p.data("x", "f32", [1, 3, 2, 2]), p.data("a", "f32", [2, 3])],
                                      attrs={"mode": "all", "data_format": "NCHW"}, outs=[("f32", [1, 3, 2, 2])])),
         "Error: prelu: mode all takes one slope value, got slope dims [2, 3]\n"),
        ("prelu-slope-nothing-defines",
         contradicting(lambda p: p.op("1.prelu", [p.data("x", "f32", [1, 3, 2, 2]), 77],
                                      attrs={"mode": "all", "data_format": "NCHW"}, outs=[("f32", [1, 3, 2, 2])])),
         "Error: operator prelu (output 2) reads value 77, which nothing defines in its scope\n"),
        ("prelu-channel-slope-of-unknown-dims",
         contradicting(lambda p: p.op("1.prelu", [p.data("x", "f32", [1, 3, 2]), untyped_if_of_full(p, [1, 3, 1])],
                                      attrs={"mode": "channel", "data_format": "NCHW"}, outs=[("f32", [1, 3, 2])])),
         "Error: prelu mode=channel needs the slope's dims, but value 5 has none recorded\n"),
        # Paddle reads an element slope flat, one value per element of x without its batch axis,
        # and a channel slope along a channel axis that a 1-D input lacks.
        ("prelu-element-slope-of-another-count",
         contradicting(lambda p: p.op("1.prelu", [p.data("x", "f32", [-1, 3, 2]), p.data("a", "f32", [5])],
                                      attrs={"mode": "element", "data_format": "NCHW"}, outs=[("f32", [-1, 3, 2])])),
         "Error: prelu: mode element takes one slope value per element of an input row [3, 2] (6), got slope dims [5]\n"),
        ("prelu-element-slope-that-does-not-broadcast",
         contradicting(lambda p: p.op("1.prelu", [p.data("x", "f32", [2, -1, 2]), p.data("a", "f32", [3])],
                                      attrs={"mode": "element", "data_format": "NCHW"}, outs=[("f32", [2, -1, 2])])),
         "Error: prelu: mode element takes one slope value per element of an input row [-1, 2], got slope dims [3]\n"),
        ("prelu-channel-slope-of-a-1-d-input",
         contradicting(lambda p: p.op("1.prelu", [p.data("x", "f32", [3]), p.data("a", "f32", [3])],
                                      attrs={"mode": "channel", "data_format": "NCHW"}, outs=[("f32", [3])])),
         "Error: prelu: mode channel needs an input with a channel axis, but the input has dims [3] and the slope [3]\n"),
        ("prelu-element-slope-of-unknown-dims",
         contradicting(lambda p: p.op("1.prelu", [p.data("x", "f32", [1, 3, 2]), untyped_if_of_full(p, [1, 3, 2])],
                                      attrs={"mode": "element", "data_format": "NCHW"}, outs=[("f32", [1, 3, 2])])),
         "Error: prelu mode=element needs the slope's dims, but value 5 has none recorded\n"),
    ]},
    "prelu-unknown-mode": (
        contradicting(lambda p: p.op("1.prelu", [p.data("x", "f32", [1, 3, 2, 2]), p.data("a", "f32", [3])],
                                     attrs={"mode": "max", "data_format": "NCHW"}, outs=[("f32", [1, 3, 2, 2])])),
        "prelu: mode max is none of all, channel, element"),
    "layer_norm-scale-for-other-dims": (
        contradicting(lambda p: p.op("1.layer_norm", [p.data("x", "f32", [2, 3, 4]), p.data("s", "f32", [12]),
                                                      p.data("b", "f32", [12])],
                                     attrs={"epsilon": 1e-5, "begin_norm_axis": 2},
                                     outs=[("f32", [2, 3, 4]), ("f32", [-1]), ("f32", [-1])])[0]),
        "layer_norm: scale 2 holds 12 values, but from begin_norm_axis 2 the input [2, 3, 4] has 4 to normalise"),
    # Normalised from axis 0 of [-1, 3, 4]: a multiple of 12 values for any batch, never 4.
    "layer_norm-scale-for-no-batch-17": (
        contradicting(lambda p: p.op("1.layer_norm", [p.data("x", "f64", [-1, 3, 4]), p.param("s", "f64", [4])],
                                     attrs={"epsilon": 1e-5, "begin_norm_axis": 0},
                                     outs=[("f64", [-1, 3, 4]), ("f64", [-1]), ("f64", [-1])])[0]),
        "Error: layer_norm: scale 2 holds 4 values, but from begin_norm_axis 0 the input [-1, 3, 4] has a multiple "
        "of 12 to normalise\n", 17),
    # Normalised from axis 0 of [-1, 3, 4]: a multiple of 12 values for any batch, never 4.
    "layer_norm-scale-for-no-batch-18": (
        contradicting(lambda p: p.op("1.layer_norm", [p.data("x", "f64", [-1, 3, 4]), p.param("s", "f64", [4])],
                                     attrs={"epsilon": 1e-5, "begin_norm_axis": 0},
                                     outs=[("f64", [-1, 3, 4]), ("f64", [-1]), ("f64", [-1])])[0]),
        "Error: layer_norm: scale 2 holds 4 values, but from begin_norm_axis 0 the input [-1, 3, 4] has a multiple "
        "of 12 to normalise\n", 18),
    "layer_norm-bias-not-1-D": (
        contradicting(lambda p: p.op("1.layer_norm", [p.data("x", "f32", [2, 3, 2]), p.data("s", "f32", [6]),
                                                      p.data("b", "f32", [1, 3, 2])],
                                     attrs={"epsilon": 1e-5, "begin_norm_axis": 1},
                                     outs=[("f32", [2, 3, 2]), ("f32", [-1]), ("f32", [-1])])[0]),
        "layer_norm: bias 3 must be 1-D, but has dims [1, 3, 2]"),
    "repeat_interleave-negative-repeats": (
        contradicting(lambda p: p.op("1.repeat_interleave", [p.data("x", "f32", [2, 3])], attrs={"axis": 1, "repeats": -1},
                                     outs=[("f32", [2, -1])])),
        "repeat_interleave: repeats -1 is negative"),
    "conv2d-filter-for-other-channels": (
        contradicting(lambda p: p.op("1.conv2d", [p.data("x", "f32", [1, 2, 5, 5]), p.data("w", "f32", [1, 3, 3, 3])],
                                     attrs={"strides": [1, 1], "paddings": [0, 0], "groups": 1, "dilations": [1, 1]},
                                     outs=[("f32", [1, 1, 3, 3])])),
        "conv2d: x has 2 channels, but the filter dims [1, 3, 3, 3] with 1 groups take 3"),
    "relu-declared-float64": (contradicting(lambda p: p.op("1.relu", [f32_x(p)], outs=[("f64", [2, 3])])),
                              "relu declares its output 2 as float64 [2, 3], but computes float32 [2, 3]"),
    "batch_norm-declared-float64": (
        contradicting(lambda p: p.op("1.batch_norm_", [p.data("x", "f32", [1, 2, 2, 2])] + [p.data(n, "f32", [2]) for n in "mvsb"],
                                     attrs={"is_test": True}, outs=[("f64", [1, 2, 2, 2])])),
        "batch_norm_ declares its output 6 as float64 [1, 2, 2, 2], but computes float32 [1, 2, 2, 2]"),
    "hardswish-of-int64-at-13": (contradicting(lambda p: p.op("1.hardswish", [p.data("x", "i64", [2, 3])], outs=[("i64", [2, 3])])),
                                 "hardswish: x is int64, but it must be one of float32, float16, float64", 13),
    "prelu-float16-slope": (
        contradicting(lambda p: p.op("1.prelu", [p.data("x", "f32", [1, 3, 2, 2]), p.data("a", "f16", [3])],
                                     attrs={"data_format": "NCHW", "mode": "channel"}, outs=[("f32", [1, 3, 2, 2])])),
        "prelu: x is float32 but alpha is float16; they must have one element type"),
    "matmul-of-float32-and-float64": (
        contradicting(lambda p: p.op("1.matmul", [f32_x(p), p.data("y", "f64", [3, 2])], outs=[("f32", [2, 2])])),
        "matmul: x is float32 but y is float64; they must have one element type"),
    # Known dims that the emitted node cannot take.
    "add-dims-that-cannot-broadcast": (contradicting(lambda p: p.op("1.add", [f32_x(p), p.data("y", "f32", [4])], outs=[("f32", [2, 3])])),
                                       "add: operand dims [2, 3] and [4] cannot broadcast"),
    "matmul-inner-dims-differ": (contradicting(lambda p: p.op("1.matmul", [f32_x(p), p.data("y", "f32", [4, 2])], outs=[("f32", [2, 2])])),
                                 "matmul: x dims [2, 3] and y dims [4, 2] do not line up (3 against 4)"),
    "matmul-inner-dims-differ-after-transpose": (
        contradicting(lambda p: p.op("1.matmul", [f32_x(p), p.data("y", "f32", [3, 2])], attrs={"transpose_y": True},
                                     outs=[("f32", [2, 3])])),
        "matmul: x dims [2, 3] and y dims [3, 2] do not line up (3 against 2) after the transposes"),
    "matmul-batch-dims-cannot-broadcast": (
        contradicting(lambda p: p.op("1.matmul", [p.data("x", "f32", [2, 2, 3]), p.data("y", "f32", [3, 3, 2])],
                                     outs=[("f32", [2, 2, 2])])),
        "matmul: operand dims [2, 2, 3] and [3, 3, 2] cannot broadcast"),
    # A product declared with other dims than it has: its consumer is held to the dims it has.
    **{f"matmul-of-a-product-declared-with-other-dims-at-{opset}": (
        contradicting(lambda p: p.op("1.matmul", [p.op("1.matmul", [f32_x(p), p.data("y", "f32", [3, 2])], outs=[("f32", [2, 5])]),
                                                  p.data("z", "f32", [5, 4])], outs=[("f32", [2, 4])])),
        "matmul: x dims [2, 2] and y dims [5, 4] do not line up (2 against 5)", opset) for opset in (17, 18)},
    # The same inside a branch, where no checker of the library looks at 18 and above.
    **{f"bmm-in-a-branch-inner-dims-differ-at-{opset}": (
        contradicting(bmm_in_a_branch), "bmm: x dims [2, 2, 3] and y dims [2, 4, 2] do not line up (3 against 4)", opset)
       for opset in (17, 18)},
    "reshape-target-below-minus-one": (
        contradicting(lambda p: p.op("1.reshape", [f32_x(p), p.full_int_array([-2, 3])], outs=[("f32", [2, 3])])),
        "reshape: shape [-2, 3] holds -2, below -1"),
    "reshape-target-two-minus-ones": (
        contradicting(lambda p: p.op("1.reshape", [f32_x(p), p.full_int_array([-1, -1])], outs=[("f32", [-1, -1])])),
        "reshape: shape [-1, -1] has more than one -1"),
    "reshape-target-of-another-size": (
        contradicting(lambda p: p.op("1.reshape", [f32_x(p), p.full_int_array([4, -1])], outs=[("f32", [4, -1])])),
        "reshape: shape [4, -1] cannot hold the 6 elements of input dims [2, 3]"),
    # An unknown batch copied by the 0 stands on both sides: the other sizes still disagree.
    "flatten-stop-axis-outside-the-rank-17": (
        contradicting(lambda p: p.op("1.flatten", [f32_x(p, [2, 2, 3])], attrs={"start_axis": a_i32(1), "stop_axis": a_i32(7)},
                                     outs=[("f32", [2, 6])])),
        "Error: flatten: stop_axis 7 is outside [-3, 3) for an input of rank 3\n", 17),
    "flatten-stop-axis-outside-the-rank-21": (
        contradicting(lambda p: p.op("1.flatten", [f32_x(p, [2, 2, 3])], attrs={"start_axis": a_i32(1), "stop_axis": a_i32(-4)},
                                     outs=[("f32", [2, 6])])),
        "Error: flatten: stop_axis -4 is outside [-3, 3) for an input of rank 3\n", 21),
    "reshape-target-of-another-size-with-a-copied-batch-17": (
        contradicting(lambda p: p.op("1.reshape", [p.data("x", "f32", [-1, 6]), p.full_int_array([0, 3, 3])],
                                     outs=[("f32", [-1, 3, 3])])),
        "Error: reshape: shape [0, 3, 3] cannot hold the elements of input dims [-1, 6]\n", 17),
    "reshape-target-of-another-size-with-a-copied-batch-18": (
        contradicting(lambda p: p.op("1.reshape", [p.data("x", "f32", [-1, 6]), p.full_int_array([0, -1, 4])],
                                     outs=[("f32", [-1, -1, 4])])),
        "Error: reshape: shape [0, -1, 4] cannot hold the elements of input dims [-1, 6]\n", 18),
    "squeeze-axis-past-the-rank": (
        contradicting(lambda p: p.op("1.squeeze", [p.data("x", "f32", [1, 3]), p.full_int_array([2])], outs=[("f32", [3])])),
        "squeeze: axis 2 is outside [-2, 2) for an input of rank 2"),
    "softmax-axis-past-the-rank": (contradicting(lambda p: p.op("1.softmax", [f32_x(p)], attrs={"axis": 2}, outs=[("f32", [2, 3])])),
                                   "softmax: axis 2 is outside [-2, 2) for an input of rank 2"),
    "concat-axis-below-minus-rank": (
        contradicting(lambda p: p.op("1.concat", [p.combine([f32_x(p), p.full([2, 3], 1.0)]), p.full([1], -3, "i32")],
                                     outs=[("f32", [4, 3])])),
        "concat: axis -3 is outside [-2, 2) for an input of rank 2"),
    "concat-of-float32-and-float16": (
        contradicting(lambda p: p.op("1.concat", [p.combine([f32_x(p), p.data("y", "f16", [2, 3])]), p.full([1], 0, "i32")],
                                     outs=[("f32", [4, 3])])),
        "concat: input 0 is float32 but input 1 is float16; they must have one element type"),
    "stack-axis-past-the-rank": (
        contradicting(lambda p: p.op("1.stack", [p.combine([f32_x(p), p.full([2, 3], 1.0)])], attrs={"axis": 3},
                                     outs=[("f32", [2, 3, 2])])),
        "stack: axis 3 is outside [-3, 3) for an input of rank 3"),
    "split-axis-past-the-rank": (
        contradicting(lambda p: p.split(p.op("1.split_with_num", [f32_x(p), p.full([1], 2, "i32")], attrs={"num": 2},
                                             outs=[("vec", [("f32", [2, 3])] * 2)]), [("f32", [2, 3])] * 2)[0]),
        "split_with_num: axis 2 is outside [-2, 2) for an input of rank 2"),
    "topk-axis-past-the-rank": (
        contradicting(lambda p: p.op("1.topk", [f32_x(p), p.full([1], 1, "i32")], attrs={"axis": 2},
                                     outs=[("f32", [2, 1]), ("i64", [2, 1])])[0]),
        "topk: axis 2 is outside [-2, 2) for an input of rank 2"),
    "max-axis-past-the-rank": (
        contradicting(lambda p: p.op("1.max", [f32_x(p), p.full_int_array([2])], attrs={"keepdim": False}, outs=[("f32", [2])])),
        "max: axis 2 is outside [-2, 2) for an input of rank 2"),
    "max-of-bool": (
        contradicting(lambda p: p.op("1.max", [p.data("x", "bool", [2, 3]), p.full_int_array([1])], attrs={"keepdim": False},
                                     outs=[("bool", [2])])),
        "max: x is bool, which it does not reduce"),
    "einsum-term-of-another-rank": (
        contradicting(lambda p: p.op("1.einsum", [p.combine([p.data("x", "f32", [2, 3, 4]), p.data("y", "f32", [4, 5])])],
                                     attrs={"equation": "ij,jk->ik"}, outs=[("f32", [2, 5])])),
        "einsum: term ij of equation ij,jk->ik names 2 dims, but operand 0 has rank 3"),
    "einsum-terms-for-fewer-operands": (
        contradicting(lambda p: p.op("1.einsum", [p.combine([f32_x(p), p.data("y", "f32", [3, 2])])],
                                     attrs={"equation": "ij->ji"}, outs=[("f32", [3, 2])])),
        "einsum: equation ij->ji has 1 operand terms, but 2 operands are given"),
    "batch_norm-statistics-of-another-length": (
        contradicting(lambda p: batch_norm_of(p, 3, 5)),
        "batch_norm_: mean has dims [5], but it must hold one value for each of the 3 channels"),
    "batch_norm-statistics-of-two-types": (
        contradicting(lambda p: batch_norm_of(p, 3, 3, mean_type="f16")),
        "batch_norm: its ONNX BatchNormalization node takes float16 and float32, which must have one element type", 18),
    "slice-axis-past-the-rank": (
        contradicting(lambda p: p.op("1.slice", [f32_x(p), p.full_int_array([0]), p.full_int_array([1])],
                                     attrs={"axes": [2], "infer_flags": [1], "decrease_axis": []}, outs=[("f32", [2, 3])])),
        "slice: axis 2 is outside [-2, 2) for an input of rank 2"),
    "slice-starts-for-more-axes": (
        contradicting(lambda p: p.op("1.slice", [f32_x(p), p.full_int_array([0, 0]), p.full_int_array([1])],
                                     attrs={"axes": [0], "infer_flags": [1], "decrease_axis": []}, outs=[("f32", [1, 3])])),
        "slice: starts holds 2 values for 1 axes"),
    "slice-float16-starts": (
        contradicting(lambda p: p.op("1.slice", [f32_x(p), p.data("s", "f16", [1]), p.full_int_array([1])],
                                     attrs={"axes": [0], "infer_flags": [1], "decrease_axis": []}, outs=[("f32", [1, 3])])),
        "slice: starts is float16, but it must be one of int32, int64"),
    # What Paddle refuses itself: a decreased axis the slice leaves other than one element of,
    # sections that do not cover the axis they split, an integer remainder by 0.
    **{f"{name}-at-{opset}": (program, message, opset) for opset in (17, 21) for name, program, message in [
        ("slice-decreasing-an-axis-its-swapped-bounds-empty",
         contradicting(lambda p: p.op("1.slice", [f32_x(p), p.full_int_array([2]), p.full_int_array([1])],
                                      attrs={"axes": [1], "infer_flags": [1], "decrease_axis": [a_i64(1)]},
                                      outs=[("f32", [2])])),
         "slice: decrease_axis 1 holds 0 elements after slicing, not 1"),
        ("slice-decreasing-an-axis-of-two-elements",
         contradicting(lambda p: p.op("1.slice", [f32_x(p), p.full_int_array([0]), p.full_int_array([-1])],
                                      attrs={"axes": [1], "infer_flags": [1], "decrease_axis": [a_i64(-1)]},
                                      outs=[("f32", [2])])),
         "slice: decrease_axis -1 holds 2 elements after slicing, not 1"),
        # Bounds counted from the end, the end before the start: empty whatever the batch.
        ("slice-decreasing-an-open-axis-its-bounds-empty",
         contradicting(lambda p: p.op("1.slice", [f32_x(p, [-1, 3]), p.full_int_array([-1]), p.full_int_array([-2])],
                                      attrs={"axes": [0], "infer_flags": [1], "decrease_axis": [a_i64(0)]},
                                      outs=[("f32", [3])])),
         "slice: decrease_axis 0 holds 0 elements after slicing, not 1"),
        ("strided_slice-decreasing-an-axis-of-two-elements",
         contradicting(lambda p: p.op("1.strided_slice", [f32_x(p, [2, 6])] + [p.full_int_array([v]) for v in (0, 6, 3)],
                                      attrs={"axes": [1], "decrease_axis": [1]}, outs=[("f32", [2])])),
         "strided_slice: decrease_axis 1 holds 2 elements after slicing, not 1"),
        ("strided_slice-decreasing-an-axis-its-backward-step-empties",
         contradicting(lambda p: p.op("1.strided_slice", [f32_x(p, [-1, 6])] + [p.full_int_array([v]) for v in (1, 4, -1)],
                                      attrs={"axes": [-1], "decrease_axis": [-1]}, outs=[("f32", [-1])])),
         "strided_slice: decrease_axis -1 holds 0 elements after slicing, not 1"),
        ("strided_slice-of-a-step-0",
         contradicting(lambda p: p.op("1.strided_slice", [f32_x(p)] + [p.full_int_array([v]) for v in (0, 3, 0)],
                                      attrs={"axes": [1], "decrease_axis": []}, outs=[("f32", [2, 3])])),
         "strided_slice: the step of axis 1 is 0"),
        # -1 and 1 name one axis of a rank-2 input.
        ("slice-naming-an-axis-twice",
         contradicting(lambda p: p.op("1.slice", [f32_x(p), p.full_int_array([0, 1]), p.full_int_array([2, 3])],
                                      attrs={"axes": [-1, 1], "infer_flags": [1, 1], "decrease_axis": []},
                                      outs=[("f32", [2, 2])])),
         "slice: axis 1 is named twice in axes [-1, 1]"),
        ("strided_slice-naming-an-axis-twice",
         contradicting(lambda p: p.op("1.strided_slice", [f32_x(p)] + [p.full_int_array([a, a]) for a in (0, 2, 1)],
                                      attrs={"axes": [0, -2], "decrease_axis": []}, outs=[("f32", [2, 3])])),
         "strided_slice: axis -2 is named twice in axes [0, -2]"),
        ("floor_divide-of-int64-by-a-constant-0",
         contradicting(lambda p: p.op("1.floor_divide", [p.data("x", "i64", [3]), p.full_int_array([2, 0, 3])],
                                      outs=[("i64", [3])])),
         "floor_divide: integer division by zero (the divisor, value 2, holds 0)"),
        ("floor_divide-of-int32-by-a-constant-0",
         contradicting(lambda p: p.op("1.floor_divide", [p.data("x", "i32", [-1, 3]), p.full([], 0, "i32")],
                                      outs=[("i32", [-1, 3])])),
         "floor_divide: integer division by zero (the divisor, value 2, holds 0)"),
        ("split-sections-short-of-the-axis",
         contradicting(lambda p: p.split(p.op("1.split", [f32_x(p), p.full_int_array([1, 1]), p.full([1], 1, "i32")],
                                              outs=[("vec", [("f32", [2, 1])] * 2)]), [("f32", [2, 1])] * 2)[0]),
         "split: sections [1, 1] do not add up to the size 3 of axis 1"),
        ("split-sections-past-the-axis",
         contradicting(lambda p: p.split(p.op("1.split", [f32_x(p), p.full_int_array([1, 3]), p.full([1], -1, "i32")],
                                              outs=[("vec", [("f32", [2, 1]), ("f32", [2, 3])])]),
                                         [("f32", [2, 1]), ("f32", [2, 3])])[0]),
         "split: sections [1, 3] do not add up to the size 3 of axis -1"),
        ("split-sections-with-a-minus-1-past-the-axis",
         contradicting(lambda p: p.split(p.op("1.split", [f32_x(p), p.full_int_array([2, -1, 2]), p.full([1], 1, "i32")],
                                              outs=[("vec", [("f32", [2, 2]), ("f32", [2, 1]), ("f32", [2, 2])])]),
                                         [("f32", [2, 2]), ("f32", [2, 1]), ("f32", [2, 2])])[0]),
         "split: sections [2, -1, 2] exceed the size 3 of axis 1"),
        ("split_with_num-of-an-axis-it-does-not-divide",
         contradicting(lambda p: p.split(p.op("1.split_with_num", [f32_x(p), p.full([1], 1, "i32")], attrs={"num": a_i32(2)},
                                              outs=[("vec", [("f32", [2, 2]), ("f32", [2, 1])])]),
                                         [("f32", [2, 2]), ("f32", [2, 1])])[0]),
         "split_with_num: the size 3 of axis 1 does not split into 2 equal pieces"),
        ("remainder-of-int64-by-a-constant-0",
         contradicting(lambda p: p.op("1.remainder", [p.data("x", "i64", [3]), p.full_int_array([2, 0, 3])],
                                      outs=[("i64", [3])])),
         "remainder: integer division by zero (the divisor, value 2, holds 0)"),
        ("remainder-of-int32-by-a-constant-0",
         contradicting(lambda p: p.op("1.remainder", [p.data("x", "i32", [2, 3]), p.full([], 0, "i32")],
                                      outs=[("i32", [2, 3])])),
         "remainder: integer division by zero (the divisor, value 2, holds 0)"),
    ]},
    "strided_slice-axis-past-the-rank": (
        contradicting(lambda p: p.op("1.strided_slice", [f32_x(p)] + [p.full_int_array([v]) for v in (0, 1, 1)],
                                     attrs={"axes": [4]}, outs=[("f32", [2, 3])])),
        "strided_slice: axis 4 is outside [-2, 2) for an input of rank 2"),
    "argsort-axis-past-the-rank": (
        contradicting(lambda p: p.op("1.argsort", [f32_x(p)], attrs={"axis": 2}, outs=[("f32", [2, 3]), ("i64", [2, 3])])[0]),
        "argsort: axis 2 is outside [-2, 2) for an input of rank 2"),
    "sum-axis-past-the-rank": (
        contradicting(lambda p: p.op("1.sum", [f32_x(p), p.full_int_array([-3])], attrs={"keepdim": False}, outs=[("f32", [2])])),
        "sum: axis -3 is outside [-2, 2) for an input of rank 2"),
    # roll and set_value_ say it in words of their own.
    "roll-axis-past-the-rank": (
        contradicting(lambda p: p.op("1.roll", [f32_x(p), p.full_int_array([1])], attrs={"axis": a_array([a_i64(2)])},
                                     outs=[("f32", [2, 3])])),
        "Error: roll axis 2 out of range for rank 2\n"),
    "roll-axis-below-minus-rank": (
        contradicting(lambda p: p.op("1.roll", [f32_x(p), p.full_int_array([1, 1])],
                                     attrs={"axis": a_array([a_i64(1), a_i64(-3)])}, outs=[("f32", [2, 3])])),
        "Error: roll axis -3 out of range for rank 2\n", 21),
    "set_value-block-past-the-rank": (
        contradicting(lambda p: p.op("1.set_value_", [f32_x(p)] + [p.full_int_array(v) for v in ([0, 0], [1, 1], [1, 1])],
                                     attrs={"axes": a_array([a_i64(1), a_i64(2)]), "decrease_axes": a_array([]),
                                            "none_axes": a_array([]), "shape": a_array([a_i64(1)]),
                                            "values": a_array([a_f64(1.0)])}, outs=[("f32", [2, 3])])),
        "Error: set_value_: axis 2 out of range for rank 2\n", 18),
    "linear-weight-rows-differ": (
        contradicting(lambda p: p.op("1.linear_v2", [f32_x(p), p.data("w", "f32", [4, 5]), p.data("b", "f32", [5])],
                                     outs=[("f32", [2, 5])])),
        "linear_v2: x dims [2, 3] and y dims [4, 5] do not line up (3 against 4)"),
    **{f"linear-bias-for-other-features-at-{opset}": (
        contradicting(lambda p: p.op("1.linear_v2", [f32_x(p), p.data("w", "f32", [3, 4]), p.data("b", "f32", [5])],
                                     outs=[("f32", [2, 4])])),
        "linear_v2: bias dims [5] do not broadcast against [2, 4], the dims of x times weight", opset)
      for opset in (17, 18)},
    "pow-declared-int64": (contradicting(lambda p: p.op("1.pow", [f32_x(p)], attrs={"y": 2.0}, outs=[("i64", [2, 3])])),
                           "pow declares its output 2 as int64 [2, 3], but computes float32"),
    "scale-declared-int8": (contradicting(lambda p: p.op("1.scale", [f32_x(p), p.full([1], 2.0)], attrs={"bias": 0.0},
                                                         outs=[("i8", [2, 3])])),
                            "scale declares its output 3 as int8 [2, 3], but computes float32 [2, 3]"),
    "expand-of-a-dim-that-is-not-1": (
        contradicting(lambda p: p.op("1.expand", [f32_x(p), p.full_int_array([2, 4])], outs=[("f32", [2, 4])])),
        "expand: x dims [2, 3] cannot expand to shape [2, 4]"),
    "group_norm-scale-of-another-length": (
        contradicting(lambda p: p.op("1.group_norm", [p.data("x", "f32", [2, 4, 3, 3]), p.data("s", "f32", [5]),
                                                      p.data("b", "f32", [5])],
                                     attrs={"epsilon": 1e-5, "groups": 2, "data_format": "NCHW"},
                                     outs=[("f32", [2, 4, 3, 3])])),
        "group_norm: scale has dims [5], but it must hold one value for each of the 4 channels"),
    "not_equal-of-float32-and-int64": (
        contradicting(lambda p: p.op("1.not_equal", [f32_x(p), p.data("y", "i64", [2, 3])], outs=[("bool", [2, 3])])),
        "not_equal: x is float32 but y is int64; they must have one element type"),
    "floor_divide-dims-that-cannot-broadcast": (
        contradicting(lambda p: p.op("1.floor_divide", [f32_x(p), p.data("y", "f32", [4])], outs=[("f32", [2, 3])])),
        "floor_divide: operand dims [2, 3] and [4] cannot broadcast"),
    "take_along_axis-indices-of-another-rank": (
        contradicting(lambda p: p.op("1.take_along_axis", [f32_x(p), p.data("i", "i64", [2])], attrs={"axis": 0},
                                     outs=[("f32", [2, 3])])),
        "take_along_axis: indices have rank 1, but they must have the rank 2 of x"),
    "bilinear_interp-of-a-matrix": (
        contradicting(lambda p: p.op("1.bilinear_interp", [f32_x(p), None, None, None],
                                     attrs={"out_h": 4, "out_w": 4, "interp_method": "bilinear"}, outs=[("f32", [4, 4])])),
        "bilinear_interp takes a rank-4 input, got rank 2"),
    "nearest_interp-of-int64": (
        contradicting(lambda p: p.op("1.nearest_interp", [p.data("x", "i64", [1, 1, 2, 2]), None, None, None],
                                     attrs={"out_h": 4, "out_w": 4, "interp_method": "nearest"}, outs=[("i64", [1, 1, 4, 4])])),
        "nearest_interp: x is int64, but it must be one of float32, float16, float64, uint8, int8, int32"),
    "grid_sample-float16-grid": (
        contradicting(lambda p: p.op("1.grid_sample", [p.data("x", "f32", [1, 1, 2, 2]), p.data("g", "f16", [1, 2, 2, 2])],
                                     attrs={"mode": "bilinear", "padding_mode": "zeros", "align_corners": True},
                                     outs=[("f32", [1, 1, 2, 2])])),
        "grid_sample: x is float32 but grid is float16; they must have one element type"),
    # Words the sampler does not know: ONNX Runtime refuses them.
    "grid_sample-mode-not-paddle's": (
        contradicting(lambda p: p.op("1.grid_sample", [p.data("x", "f32", [1, 1, 2, 2]), p.data("g", "f32", [1, 2, 2, 2])],
                                     attrs={"mode": "linear", "padding_mode": "zeros", "align_corners": True},
                                     outs=[("f32", [1, 1, 2, 2])])),
        'Error: grid_sample: mode "linear" is not one of bilinear, nearest, bicubic\n', 20),
    "grid_sample-padding_mode-not-paddle's": (
        contradicting(lambda p: p.op("1.grid_sample", [p.data("x", "f32", [1, 1, 2, 2]), p.data("g", "f32", [1, 2, 2, 2])],
                                     attrs={"mode": "nearest", "padding_mode": "reflect"}, outs=[("f32", [1, 1, 2, 2])])),
        'Error: grid_sample: padding_mode "reflect" is not one of zeros, border, reflection\n'),
    # An absent operand (%0) or a value named "" where the operator needs a value would be an
    # empty node input, which ONNX reads as an omitted optional one.
    "pool2d-of-an-absent-operand": (
        contradicting(lambda p: p.op("1.pool2d", [None, p.full_int_array([2, 2])],
                                     attrs={"pooling_type": "max", "strides": [1, 1], "paddings": [0, 0]},
                                     outs=[("f32", [1, 1, 2, 2])])),
        "Error: pool2d: x (operand 0) is absent (%0), where pool2d needs a value\n"),
    "grid_sample-of-an-absent-grid": (
        contradicting(lambda p: p.op("1.grid_sample", [p.data("x", "f32", [1, 1, 2, 2]), None],
                                     attrs={"mode": "bilinear"}, outs=[("f32", [1, 1, 2, 2])])),
        "Error: grid_sample: grid (operand 1) is absent (%0), where grid_sample needs a value\n"),
    "concat-of-a-list-with-an-absent-value": (
        contradicting(lambda p: p.op("1.concat", [p.combine([f32_x(p), None]), p.full([1], 0, "i32")],
                                     outs=[("f32", [4, 3])])),
        "Error: concat: a value it reads is absent (%0), where concat needs a value\n"),
    "matmul-of-a-parameter-named-empty": (
        contradicting(lambda p: p.op("1.matmul", [f32_x(p), p.param("", "f32", [3, 2])], outs=[("f32", [2, 2])])),
        'Error: matmul: operand 1 (value 2) has an empty name, which ONNX reads as no value\n'),
    "relu-of-a-parameter-named-empty": (
        contradicting(lambda p: p.op("1.relu", [p.param("", "f32", [2, 3])], outs=[("f32", [2, 3])])),
        'Error: relu: operand 0 (value 1) has an empty name, which ONNX reads as no value\n'),
    # A target shape is a list of sizes, one per output dim.
    "reshape-shape-of-rank-2": (
        contradicting(lambda p: p.op("1.reshape", [f32_x(p), p.data("s", "i64", [2, 1])], outs=[("f32", [-1, -1])])),
        "Error: reshape: shape (value 2) has dims [2, 1], but it must be 1-D: one size per output dim\n"),
    "reshape-shape-of-rank-0": (
        contradicting(lambda p: p.op("1.reshape_", [f32_x(p), p.data("s", "i64", [])], outs=[("f32", [6])])),
        "Error: reshape: shape (value 2) has dims [], but it must be 1-D: one size per output dim\n"),
    "expand-shape-of-rank-0": (
        contradicting(lambda p: p.op("1.expand", [f32_x(p), p.data("s", "i32", [])], outs=[("f32", [2, 3])])),
        "Error: expand: shape (value 2) has dims [], but it must be 1-D: one size per output dim\n"),
    "cast-declared-of-another-type": (
        contradicting(lambda p: p.op("1.cast", [f32_x(p)], attrs={"dtype": a_dtype("int32")}, outs=[("i64", [2, 3])])),
        "cast declares its output 2 as int64 [2, 3], but computes int32"),
    # Paddle's dropout takes floating-point x, and one of its two modes.
    "dropout-of-int64": (
        contradicting(lambda p: p.op("1.dropout", [p.data("x", "i64", [2, 3]), None, p.full([1], 0.5)],
                                     attrs={"is_test": True, "mode": a_str("downgrade_in_infer")},
                                     outs=[("i64", [2, 3]), ("ui8", [2, 3])])[0]),
        "dropout: x is int64, but it must be one of float16, bfloat16, float32, float64"),
    "dropout-of-an-unknown-mode": (
        contradicting(lambda p: p.op("1.dropout", [f32_x(p), None, p.full([1], 0.5)],
                                     attrs={"is_test": True, "mode": a_str("upscale_in_infer")},
                                     outs=[("f32", [2, 3]), ("ui8", [2, 3])])[0]),
        "dropout mode upscale_in_infer is neither upscale_in_train nor downgrade_in_infer"),
    "dropout-declared-int64": (
        contradicting(lambda p: p.op("1.dropout", [f32_x(p), None], attrs={"p": 0.5, "is_test": True},
                                     outs=[("i64", [2, 3]), ("ui8", [2, 3])])[0]),
        "dropout declares its output 2 as int64 [2, 3], but computes float32 [2, 3]"),
    "full_like-declared-of-another-type": (
        contradicting(lambda p: p.op("1.full_like", [f32_x(p), p.full([1], 1.0)], attrs={"dtype": a_dtype("float32")},
                                     outs=[("i64", [2, 3])])),
        "full_like declares its output 3 as int64 [2, 3], but computes float32"),
    "assign-declared-of-another-type": (contradicting(lambda p: p.op("1.assign", [f32_x(p)], outs=[("i64", [2, 3])])),
                                        "assign declares its output 2 as int64 [2, 3], but computes float32 [2, 3]"),
    "conv2d_transpose-of-int32": (
        contradicting(lambda p: p.op("1.conv2d_transpose", [p.data("x", "i32", [1, 1, 2, 2]), p.data("w", "i32", [1, 1, 3, 3])],
                                     attrs={"strides": [1, 1], "paddings": [0, 0], "dilations": [1, 1], "groups": 1},
                                     outs=[("i32", [1, 1, 4, 4])])),
        "conv2d_transpose: x is int32, but it must be one of float32, float16, float64"),
    "arange-declared-of-another-type": (
        contradicting(lambda p: p.op("1.arange", [p.full([1], 0, "i64"), p.full([1], 5, "i64"), p.full([1], 1, "i64")],
                                     attrs={"dtype": a_dtype("int64")}, outs=[("f32", [5])])),
        "arange declares its output 4 as float32 [5], but computes int64"),
    "concat-dims-that-differ-outside-the-axis": (
        contradicting(lambda p: p.op("1.concat", [p.combine([f32_x(p), p.data("y", "f32", [2, 4])]), p.full([1], 0, "i32")],
                                     outs=[("f32", [4, 3])])),
        "concat: input dims [2, 3] and [2, 4] do not match outside axis 0"),
    "stack-dims-that-differ": (
        contradicting(lambda p: p.op("1.stack", [p.combine([f32_x(p), p.data("y", "f32", [2, 4])])], attrs={"axis": 0},
                                     outs=[("f32", [2, 2, 3])])),
        "stack: input dims [2, 3] and [2, 4] do not match"),
    # Program text in a message: control characters escaped, long renderings cut short.
    "operator-name-with-control-characters": (damaged(lambda d, ops: ops[1].update({"#": "1.\x1b[2Jfoo\x00bar"})),
                                              "Unsupported operator: \\x1b[2Jfoo\\x00bar\n"),
    # So are C1 controls and bidirectional overrides, which make a terminal show another name.
    "operator-name-with-c1-and-bidi-controls": (
        damaged(lambda d, ops: ops[1].update({"#": "1.\u202eoof\u0085x\u2066y\u200f\u061cz"})),
        "Unsupported operator: \\u{202e}oof\\u{85}x\\u{2066}y\\u{200f}\\u{61c}z\n"),
    "huge-operator-without-output-id": (damaged(lambda d, ops: (ops[0]["O"][0].update({"%": "1"}),
                                                                ops.__setitem__(0, {"pad": "x" * 100_000, **ops[0]}))),
                                        'Missing output ID in op: {"pad":"' + "x" * 248 + "...\n"),
    # A program name equal to a generated one (here the initializer of an unused constant)
    # would be settled in favour of one of the two, silently, even when nothing reads it.
    "unused-parameter-named-like-a-generated-value": (
        damaged(lambda d, ops: ops.__setitem__(slice(0, 0), [
            {"#": "p", "A": [0, 1, 1, "tensor_99"], "O": {"%": 98, "TT": tt("f32", [1])}},
            FULL_99])),
        "parameter tensor_99 has the name of a value the conversion defines"),
    "input-named-like-a-generated-value": (
        damaged(lambda d, ops: (ops[0]["A"][0]["AT"].update(D="tensor_99"), ops.insert(1, FULL_99))),
        "graph input tensor_99 has the name of a value the conversion defines"),
    # 2^28 float64 values pass the per-operator element cap but not the program's byte limit,
    # which is checked before anything is allocated (the constant is not even used).
    "constant-past-the-program-byte-limit": (
        damaged(lambda d, ops: ops.insert(0, {
            "#": "1.full", "I": [], "O": [{"%": 99, "TT": tt("f64", [2**28])}],
            "A": [{"N": "shape", "AT": {"#": "1.a_intarray", "D": [2**28]}},
                  {"N": "value", "AT": {"#": "0.a_f64", "D": 1.0}},
                  {"N": "dtype", "AT": {"#": "1.a_dtype", "D": "float64"}}]})),
        "1.full would materialize 2147483648 more bytes from the program's numbers, past the "
        "limit of 1073741824 bytes for a whole program"),
}


# Operators given operands their Paddle operator does not take, lacking one it needs, or given
# one of a rank Paddle refuses: each refused by name before a node reads it (extra operands were
# dropped or read as inputs of another meaning; the ranks made models ONNX Runtime refuses).
def _of_signature(build):
    p = Program()
    message = build(p)
    return p.to_json(), message


def _extra_operand(name, n_in, dtype="f32", out="f32", attrs=None, dims=(2, 3)):
    def build(p):
        x = p.data("x", dtype, list(dims))
        p.fetch(p.op(f"1.{name}", [x] * n_in, attrs=attrs, outs=[(out, list(dims))]), "out")
        return f"{name} has {n_in} operand{'' if n_in == 1 else 's'}, but it takes " + {
            "multiply": "2 (x, y)", "remainder": "2 (x, y)", "not_equal": "2 (x, y)", "cast": "1 (x)",
            "squeeze": "2 (x, axis)"}[name]
    return build


def _filled_from_an_operand(name):
    def build(p):
        x = p.data("x", "f32", [2])
        attrs = ({"shape": a_intarray([2]), "value": a_f64(1.0), "dtype": a_dtype("f32"), "place": a_place(1)}
                 if name == "full" else {"value": a_array([a_i64(2)]), "dtype": a_dtype("i64"), "place": a_place(1)})
        p.fetch(p.op(f"1.{name}", [x], attrs=attrs, outs=[("f32" if name == "full" else "i64", [2 if name == "full" else 1])]))
        return f"{name} has 1 operand, but it takes 0"
    return build


def _pool2d_of_three(p):
    x, k = p.data("x", "f32", [1, 1, 4, 4]), p.full_int_array([2, 2])
    p.fetch(p.op("1.pool2d", [x, k, k], attrs={"pooling_type": "max"}, outs=[("f32", [1, 1, 2, 2])]))
    return "pool2d has 3 operands, but it takes 2 (x, kernel_size)"


def _if_of_two(p):
    x, c = p.data("x", "f32", [2]), p.data("c", "bool", [1])
    then, other = p.block(), p.block()
    then.yield_([x])
    other.yield_([x])
    p.fetch(p.op("1.if", [c, x], outs=[("f32", [2])], regions=[then, other]))
    return "if has 2 operands, but it takes 1 (cond)"


def _if_on_two_conditions(p):
    # ONNX's If, like Paddle's, takes one condition: two would fail every run.
    x, c = p.data("x", "f32", [2]), p.data("c", "bool", [2])
    then, other = p.block(), p.block()
    then.yield_([x])
    other.yield_([x])
    p.fetch(p.op("1.if", [c], outs=[("f32", [2])], regions=[then, other]))
    return f"if: cond (value {c}) has dims [2], but it must hold one value: a tensor of one element"


def _multiply_of_three_in_a_branch(p):
    # A region's operators are held to their signatures as the main block's are.
    x, c = p.data("x", "f32", [2]), p.data("c", "bool", [1])
    then, other = p.block(), p.block()
    then.yield_([then.op("1.multiply", [x, x, x], outs=[("f32", [2])])])
    other.yield_([x])
    p.fetch(p.op("1.if", [c], outs=[("f32", [2])], regions=[then, other]))
    return "multiply has 3 operands, but it takes 2 (x, y)"


def _conv2d_transpose_of_rank(rank):
    def build(p):
        x, w = p.data("x", "f32", [1] * rank), p.data("w", "f32", [1, 1, 3, 3])
        p.fetch(p.op("1.conv2d_transpose", [x, w, p.full_int_array([])], attrs={"strides": [a_i32(1)] * 2},
                     outs=[("f32", [1, 1, 3, 3])]))
        return f"conv2d_transpose takes a rank-4 input, got rank {rank}"
    return build


def _grid_sample_of_a_rank_10_grid(p):
    x, grid = p.data("x", "f32", [1, 1, 2, 2]), p.data("grid", "f32", [1] * 9 + [2])
    p.fetch(p.op("1.grid_sample", [x, grid], outs=[("f32", [1, 1, 1, 1])]))
    return "grid_sample takes a grid of rank 4 to 5, got rank 10"


def _grid_sample_of_five_coordinates(p):
    x, grid = p.data("x", "f32", [1, 1, 2, 2]), p.data("grid", "f32", [1, 2, 2, 5])
    p.fetch(p.op("1.grid_sample", [x, grid], outs=[("f32", [1, 1, 2, 2])]))
    return f"grid_sample: grid (value {grid}) has dims [1, 2, 2, 5], but a grid of rank 4 holds 2 coordinates in its last dim"


def _pad3d_of_a_paddings_matrix(p):
    # Paddle's paddings are one list of six; a matrix in its place became a Concat that does not load.
    x, paddings = p.data("x", "f32", [1, 1, 1, 2, 3]), p.data("paddings", "i32", [2, 3])
    p.fetch(p.op("1.pad3d", [x, paddings], attrs={"mode": "constant", "data_format": "NCDHW"},
                 outs=[("f32", [-1, -1, -1, -1, -1])]))
    return "pad3d takes a rank-1 paddings, got rank 2"


def _index_of_rank_2(name, dims):
    def build(p):
        x, index = p.data("x", "f32", [3, 4]), p.data("index", "i64", dims)
        p.fetch(p.op(f"1.{name}", [x, index], outs=[("f32", [2, 4])]))
        return (f"{name}: index (value {index}) has dims {dims}, but it must be "
                f"{'1-D' if name == 'index_select' else '0-D, 1-D'} or [N, 1]")
    return build


def _cumsum_of_a_later_axis(p):
    x = p.data("x", "f32", [2, 3])
    y = p.op("1.cumsum", [x, x], attrs={"flatten": False, "exclusive": False, "reverse": False},
             outs=[("f32", [2, 3])])
    axis = p.full([], 1, "i64")
    p.ops[-2]["I"][1] = {"%": axis}
    p.fetch(y)
    return f"cumsum reads value {axis} before any operator defines it (full defines it later)"


def _reshape_of_a_list_of_lists(p):
    # Paddle reads each element of a shape list as one number: a list in its place is none.
    inner = p.combine([p.full_int_array([3])])
    shape = p.combine([inner])
    p.fetch(p.op("1.reshape", [f32_x(p), shape], outs=[("f32", [6])]))
    return (f"reshape: shape (value {shape}) is a list of lists (its element {inner} is a list), but each element "
            "of the list must hold one value")


# The operators' own words for a missing, surplus or non-constant operand, wherever the
# count falls short of what they name (none included).
def _tile_of_one(p):
    p.fetch(p.op("1.tile", [f32_x(p)], outs=[("f32", [2, 3])]))
    return "tile missing inputs"


def _pad3d_of_none(p):
    p.fetch(p.op("1.pad3d", [], attrs={"mode": "constant", "data_format": "NCDHW"}, outs=[("f32", [1, 1, 1, 1, 1])]))
    return "pad3d missing paddings input"


def _conv2d_transpose_of(n):
    def build(p):
        x, w = p.data("x", "f32", [1, 1, 2, 2]), p.data("w", "f32", [1, 1, 3, 3])
        p.fetch(p.op("1.conv2d_transpose", ([x, w, p.full_int_array([]), p.data("b", "f32", [1])])[:n],
                     attrs={"strides": [a_i32(1)] * 2, "paddings": [a_i32(0)] * 2, "dilations": [a_i32(1)] * 2,
                            "groups": 1}, outs=[("f32", [1, 1, 4, 4])]))
        return ("ConvTranspose with bias as 4th input is not supported; use a separate Add node for bias" if n == 4
                else "conv2d_transpose missing input/filter tensors")
    return build


def _concat_of_one(p):
    p.fetch(p.op("1.concat", [p.combine([f32_x(p)])], outs=[("f32", [2, 3])]))
    return "Concat op missing enough inputs"


def _set_value_of_three(p):
    p.fetch(p.op("1.set_value_", [f32_x(p), p.full_int_array([0]), p.full_int_array([1])],
                 attrs={"axes": a_array([a_i64(1)])}, outs=[("f32", [2, 3])]))
    return "set_value_ missing inputs"


def _linear_v2_of_four(p):
    x, w = f32_x(p), p.data("w", "f32", [3, 4])
    p.fetch(p.op("1.linear_v2", [x, w, p.data("b", "f32", [4]), p.data("c", "f32", [4])], outs=[("f32", [2, 4])]))
    return "linear_v2 has 4 operands, but it takes 2 or 3 (x, weight, bias)"


def _run_time(name):
    # The operand that must be known at conversion, fed instead.
    def build(p):
        x = f32_x(p)
        if name == "gather":
            p.fetch(p.op("1.gather", [x, p.data("i", "i64", [2]), p.data("axis", "i64", [])], outs=[("f32", [2, 3])]))
            return "gather requires constant axis input"
        if name == "concat":
            axis = p.data("axis", "i32", [])
            p.fetch(p.op("1.concat", [p.combine([x, x]), axis], outs=[("f32", [4, 3])]))
            return f"concat: missing axis constant for id {axis}"
        if name == "roll":
            p.fetch(p.op("1.roll", [x, p.data("shifts", "i64", [1])], attrs={"axis": a_array([a_i64(0)])},
                         outs=[("f32", [2, 3])]))
            return "roll currently requires constant shifts"
        p.fetch(p.op("1.multinomial", [x, p.data("n", "i32", [])], attrs={"replacement": True}, outs=[("i64", [2, 1])]))
        return "multinomial requires constant sample size"
    return build


def _max_over_an_absent_axis(p):
    # Read as left off, the axis would reduce over every axis, where Paddle refuses.
    p.fetch(p.op("1.max", [f32_x(p), None], attrs={"keepdim": False}, outs=[("f32", [])]))
    return "max: axis (operand 1) is absent (%0), where max needs a value"


def _meshgrid_of_a_matrix(p):
    lst = p.op("1.meshgrid", [p.combine([p.data("a", "f32", [3]), f32_x(p)])], outs=[("vec", [("f32", [3, 2])] * 2)])
    p.fetch(p.split(lst, [("f32", [3, 2])] * 2)[0])
    return "meshgrid takes an input of rank 0 to 1, got rank 2"


def _nms3_of_0d_scores(p):
    outs = p.op("1.multiclass_nms3", [p.data("boxes", "f32", [1, 4, 4]), p.data("scores", "f32", []), None],
                attrs={"background_label": -1, "score_threshold": 0.1, "nms_top_k": 10, "keep_top_k": 5,
                       "nms_threshold": 0.5, "normalized": True, "nms_eta": 1.0},
                outs=[("f32", [-1, 6]), ("i32", [-1, 1]), ("i32", [1])])
    p.fetch(outs[0])
    return "multiclass_nms3 takes a scores of rank 2 to 3, got rank 0"


def _linear_v2_bias_of_two_dims(p):
    # Paddle's bias is [out_features]: [2, 5] does not broadcast against x times weight, [2, 4].
    x, w = f32_x(p), p.data("w", "f32", [3, 4])
    p.fetch(p.op("1.linear_v2", [x, w, p.data("b", "f32", [2, 5])], outs=[("f32", [2, 4])]))
    return "linear_v2: bias dims [2, 5] do not broadcast against [2, 4], the dims of x times weight"


def _dropout_of_two_probabilities(p):
    rate = p.data("p", "f32", [2])
    p.fetch(p.op("1.dropout", [f32_x(p), None, rate], attrs={"is_test": True, "mode": a_str("upscale_in_train")},
                 outs=[("f32", [2, 3]), ("ui8", [2, 3])])[0])
    return f"dropout: p (value {rate}) has dims [2], but it must hold one value: a tensor of one element"


def _set_value_with_tensor_of_int64_into_float32(p):
    x = p.data("x", "f32", [2, 3])
    p.fetch(p.op("1.set_value_with_tensor_", [x, p.data("v", "i64", [2, 1]), p.full_int_array([0]),
                                               p.full_int_array([1]), p.full_int_array([1])],
                 attrs={"axes": a_array([a_i64(1)]), "decrease_axes": a_array([]), "none_axes": a_array([])},
                 outs=[("f32", [2, 3])]))
    return "set_value_with_tensor: values is int64 but x is float32; they must have one element type"


def _set_value_with_tensor_of_three(p):
    # With axes [1] the bounds are the operator's to ask for, after the axes it takes.
    x = p.data("x", "f32", [2, 3])
    p.fetch(p.op("1.set_value_with_tensor_", [x, p.data("v", "f32", [2, 1]), p.full_int_array([0])],
                 attrs={"axes": a_array([a_i64(1)]), "decrease_axes": a_array([]), "none_axes": a_array([])},
                 outs=[("f32", [2, 3])]))
    return "set_value_with_tensor_ axes=[1] expects data, values, starts, ends, steps"


def _batch_norm_of_six(p):
    # The general count names the operator as the program writes it.
    x = p.data("x", "f32", [2, 3, 4, 4])
    stats = [p.param(n, "f32", [3]) for n in ("mean", "var", "scale", "bias", "extra")]
    p.fetch(p.op("1.batch_norm_", [x] + stats,
                 attrs={"is_test": True, "momentum": 0.9, "epsilon": 1e-5, "data_format": "NCHW"},
                 outs=[("f32", [2, 3, 4, 4])]))
    return "batch_norm_ has 6 operands, but it takes 5 (x, mean, variance, scale, bias)"


def _cumsum_of_a_later_int32_declared_float64(p):
    # Read whole, the value may come later (the graph is sorted); its type is known once it
    # does, and the declaration is held to it as when it comes first.
    x = p.data("x", "i32", [2, 3])
    y = p.op("1.cumsum", [x, p.full([], 1, "i64")], attrs={"flatten": False, "exclusive": False, "reverse": False},
             outs=[("f64", [2, 3])])
    later = p.op("1.relu", [x], outs=[("i32", [2, 3])])
    p.ops[-2]["I"][0] = {"%": later}
    p.fetch(y)
    return f"cumsum declares its output {y} as float64 [2, 3], but computes int32 [2, 3]"


for _opset in (17, 21):
    for _name, _build in {
        "multiply-of-three": _extra_operand("multiply", 3),
        "cast-of-two": _extra_operand("cast", 2, out="f64", attrs={"dtype": a_dtype("f64")}),
        "remainder-of-three": _extra_operand("remainder", 3),
        "not_equal-of-three": _extra_operand("not_equal", 3, out="bool"),
        "squeeze-without-axis": _extra_operand("squeeze", 1, dims=(1, 3)),
        "full-of-an-operand": _filled_from_an_operand("full"),
        "full_int_array-of-an-operand": _filled_from_an_operand("full_int_array"),
        "pool2d-of-three": _pool2d_of_three,
        "if-of-two": _if_of_two,
        "if-on-two-conditions": _if_on_two_conditions,
        "multiply-of-three-in-a-branch": _multiply_of_three_in_a_branch,
        "conv2d_transpose-of-rank-0": _conv2d_transpose_of_rank(0),
        "conv2d_transpose-of-rank-9": _conv2d_transpose_of_rank(9),
        "conv2d_transpose-of-rank-10": _conv2d_transpose_of_rank(10),
        "grid_sample-grid-of-rank-10": _grid_sample_of_a_rank_10_grid,
        "grid_sample-grid-of-five-coordinates": _grid_sample_of_five_coordinates,
        "index_select-of-a-matrix-index": _index_of_rank_2("index_select", [2, 3]),
        "gather-of-gather_nd-operands": _index_of_rank_2("gather", [2, 2]),
        "cumsum-of-a-later-axis": _cumsum_of_a_later_axis,
        "reshape-of-a-list-of-lists": _reshape_of_a_list_of_lists,
        "pad3d-of-a-paddings-matrix": _pad3d_of_a_paddings_matrix,
        "tile-of-one": _tile_of_one,
        "pad3d-of-none": _pad3d_of_none,
        "conv2d_transpose-of-one": _conv2d_transpose_of(1),
        "conv2d_transpose-of-four": _conv2d_transpose_of(4),
        "concat-of-one": _concat_of_one,
        "set_value_-of-three": _set_value_of_three,
        "linear_v2-of-four": _linear_v2_of_four,
        "gather-of-a-run-time-axis": _run_time("gather"),
        "concat-of-a-run-time-axis": _run_time("concat"),
        "roll-of-run-time-shifts": _run_time("roll"),
        "multinomial-of-a-run-time-count": _run_time("multinomial"),
        "max-over-an-absent-axis": _max_over_an_absent_axis,
        "meshgrid-of-a-matrix": _meshgrid_of_a_matrix,
        "multiclass_nms3-of-0-d-scores": _nms3_of_0d_scores,
        "linear_v2-bias-of-two-dims": _linear_v2_bias_of_two_dims,
        "dropout-of-two-probabilities": _dropout_of_two_probabilities,
        "set_value_with_tensor_-of-int64-into-float32": _set_value_with_tensor_of_int64_into_float32,
        "set_value_with_tensor_-of-three-with-axes-1": _set_value_with_tensor_of_three,
        "batch_norm_-of-six": _batch_norm_of_six,
        "cumsum-of-a-later-int32-declared-float64": _cumsum_of_a_later_int32_declared_float64,
    }.items():
        MUST_FAIL[f"{_name}-{_opset}"] = (*_of_signature(_build), _opset)


# Below its lowest opset an operator converts in no form: that answers before its operands do
# (none given, or shifts computed when the model runs).
def _gated(name, lowest, opset):
    def build(p):
        p.fetch(p.op(f"1.{name}", [], outs=[("f32", [2, 3])]))
        return f"{name} requires opset >= {lowest}, but target opset is {opset}"
    return build


def _roll_of_run_time_shifts_gated(p):
    _run_time("roll")(p)
    return "roll requires opset >= 11, but target opset is 10"


for _name, _lowest, _opset in (("roll", 11, 10), ("multiclass_nms3", 11, 10), ("grid_sample", 16, 15),
                               ("set_value_with_tensor_", 11, 10), ("einsum", 12, 11), ("tril", 14, 13)):
    MUST_FAIL[f"{_name}-of-none-at-{_opset}"] = (*_of_signature(_gated(_name, _lowest, _opset)), _opset)
MUST_FAIL["roll-of-run-time-shifts-at-10"] = (*_of_signature(_roll_of_run_time_shifts_gated), 10)


def assert_reported_error(r, out, expected=None):
    assert not r.crashed, f"crashed with {r.returncode}: {r.stderr[-2000:]}"
    assert r.returncode == 1, f"exit {r.returncode}: {r.stderr[-2000:]}"
    assert r.stderr.startswith("Error: "), r.stderr[-2000:]
    assert "Sanitizer" not in r.stderr
    assert r.stdout == ""
    if expected is not None:
        assert expected in r.stderr
    assert not out.exists(), "a failed conversion leaves no output file"


@pytest.mark.parametrize("case", list(MUST_FAIL))
def test_bad_program_is_reported(tmp, case):
    program, expected, *opset = MUST_FAIL[case]
    out = tmp / "m.onnx"
    r = convert(program, None, out, opset=opset[0] if opset else None)
    assert_reported_error(r, out, expected)


def split_of_a_conv2d_declared_7x7(p):
    y = p.op("1.conv2d", [p.data("x", "f32", [-1, 2, 7, 7]), p.full([8, 2, 3, 3], 0.5)],
             attrs={"strides": [a_i32(1)] * 2, "paddings": [a_i32(0)] * 2, "padding_algorithm": "EXPLICIT",
                    "groups": a_i32(1), "dilations": [a_i32(1)] * 2, "data_format": "NCHW"},
             outs=[("f32", [-1, 8, 7, 7])])
    pieces = p.op("1.split", [y, p.full_int_array([2, -1]), p.full([1], 2, "i32")],
                  outs=[("vec", [("f32", [-1, 8, 2, 7]), ("f32", [-1, 8, 5, 7])])])
    return p.split(pieces, [("f32", [-1, 8, 2, 7]), ("f32", [-1, 8, 5, 7])])[1]


def max_pool_2x2_declared_6x6(p):
    return p.op("1.pool2d", [p.data("x", "f32", [1, 2, 6, 6]), p.full_int_array([2, 2])],
                attrs={"strides": [a_i32(2)] * 2, "paddings": [a_i32(0)] * 2, "ceil_mode": False, "exclusive": True,
                       "data_format": "NCHW", "pooling_type": "max", "global_pooling": False, "adaptive": False,
                       "padding_algorithm": "EXPLICIT"},
                outs=[("f32", [1, 2, 6, 6])])


def split_of_a_conv2d_transpose_declared_5x5(p):
    # A 3x3 filter by stride 2 over [-1, 1, 3, 4] gives [-1, 2, 7, 9]; declared 5x5, the -1
    # section of the width would be 3 where it is 7.
    y = p.op("1.conv2d_transpose", [p.data("x", "f32", [-1, 1, 3, 4]), p.full([1, 2, 3, 3], 0.5), p.full_int_array([])],
             attrs={"strides": [a_i32(2)] * 2, "paddings": [a_i32(0)] * 2, "output_padding": [],
                    "padding_algorithm": "EXPLICIT", "groups": a_i32(1), "dilations": [a_i32(1)] * 2,
                    "data_format": "NCHW"},
             outs=[("f32", [-1, 2, 5, 5])])
    pieces = p.op("1.split", [y, p.full_int_array([2, -1]), p.full([1], 3, "i32")],
                  outs=[("vec", [("f32", [-1, 2, 5, 2]), ("f32", [-1, 2, 5, 3])])])
    return p.split(pieces, [("f32", [-1, 2, 5, 2]), ("f32", [-1, 2, 5, 3])])[1]


def transposed_conv3x3_by_2_of_halves(x):
    # Each input element spreads 0.5 * x over a 3x3 block at twice its position; both output
    # channels are alike.
    b, _, h, w = x.shape
    out = np.zeros((b, 2 * h + 1, 2 * w + 1), np.float32)
    for i in range(h):
        for j in range(w):
            out[:, 2 * i:2 * i + 3, 2 * j:2 * j + 3] += 0.5 * x[:, 0, i, j][:, None, None]
    return np.repeat(out[:, None], 2, axis=1)


def split_of_a_reshape_copying_an_unknown_dim(p):
    # [-1, 2, 6] to [0, -1, 3]: the 0 copies the unknown batch, so the -1 is 12 / 3 = 4,
    # declared 3; the split's -1 section reads the computed 4.
    y = p.op("1.reshape", [p.data("x", "f32", [-1, 2, 6]), p.full_int_array([0, -1, 3])], outs=[("f32", [-1, 3, 4])])
    pieces = p.op("1.split", [y, p.full_int_array([1, -1]), p.full([1], 1, "i32")],
                  outs=[("vec", [("f32", [-1, 1, 4]), ("f32", [-1, 2, 4])])])
    return p.split(pieces, [("f32", [-1, 1, 4]), ("f32", [-1, 2, 4])])[1]


def conv3x3_of_halves(x):
    # Eight output channels, each the sum of every 3x3 window over both channels, halved.
    windows = np.lib.stride_tricks.sliding_window_view(x, (3, 3), axis=(2, 3)).sum(axis=(1, 4, 5)) / 2
    return np.repeat(windows[:, None], 8, axis=1).astype(np.float32)


# Declared dims that differ from what the operator computes, and nothing else: Paddle's exporter
# writes such declarations around control flow, and Paddle runs them. The model describes each
# value by what the operators compute (a fetch too), and gives Paddle's values. The last rows
# declare nothing otherwise: an operator is listed before the data it reads.
def put_along_axis_ref(x, i, v, axis):
    out = x.copy()
    np.put_along_axis(out, i, v, axis)
    return out


def listed_before_its_data(in_a_branch):
    """relu of x [-1, 3] (in a branch of an if, which scales x by 2 in the other), listed
    before the data of x: a graph input is defined wherever the program lists it."""
    p = Program()
    x = p.data("x", "f32", [-1, 3])
    if in_a_branch:
        then, other = p.block(), p.block()
        then.yield_([then.op("1.relu", [x], outs=[("f32", [-1, 3])])])
        other.yield_([other.op("1.scale", [x, other.full([1], 2.0)], attrs={"bias": 0.0, "bias_after_scale": True},
                               outs=[("f32", [-1, 3])])])
        y = p.op("1.if", [p.data("c", "bool", [1])], outs=[("f32", [-1, 3])], regions=[then, other])
    else:
        y = p.op("1.relu", [x], outs=[("f32", [-1, 3])])
    p.fetch(y, "out")
    p.ops.insert(len(p.ops) - 2, p.ops.pop(0))
    return p.to_json()


X23 = np.array([[-1.5, 0.0, 2.0], [3.25, -0.5, 1.0]], np.float32)
SETTLED = {
    # name: (program, feeds, expected outputs from the feeds)
    "fetch-declares-another-dim": (damaged(lambda d, ops: ops[2]["O"][0]["TT"]["D"].__setitem__(1, [2, 4])),
                                   {"x": X23}, lambda f: np.maximum(f["x"], 0)),
    "fetch-declares-another-rank": (damaged(lambda d, ops: ops[2]["O"][0]["TT"]["D"].__setitem__(1, [6])),
                                    {"x": X23}, lambda f: np.maximum(f["x"], 0)),
    "fetched-value-declares-another-dim": (damaged(lambda d, ops: ops[1]["O"][0]["TT"]["D"].__setitem__(1, [3, 3])),
                                           {"x": X23}, lambda f: np.maximum(f["x"], 0)),
    # (a data without attributes, so that only its output entry says what it feeds)
    "relu-of-another-rank": (damaged(lambda d, ops: (ops[0].update(A=[]), ops[0]["O"][0]["TT"]["D"].__setitem__(1, [6]))),
                             {"input_1": X23.reshape(6)}, lambda f: np.maximum(f["input_1"], 0)),
    "add-declares-another-dim": (one_op_doc("1.add", "f32", n_in=2, out=("f32", [3, 3])),
                                 {"x": X23}, lambda f: f["x"] + f["x"]),
    "less-than-declares-another-dim": (one_op_doc("1.less_than", "f32", n_in=2, out=("bool", [2, 2])),
                                       {"x": X23}, lambda f: np.zeros((2, 3), bool)),
    "relu-of-an-operand-of-other-dims": (contradicting(lambda p: p.op("1.relu", [p.data("x", "f32", [2, 4])], outs=[("f32", [2, 3])])),
                                         {"x": np.arange(-4, 4, dtype=np.float32).reshape(2, 4)}, lambda f: np.maximum(f["x"], 0)),
    "add-declared-with-other-dims": (
        contradicting(lambda p: p.op("1.add", [f32_x(p), p.data("y", "f32", [1, 3])], outs=[("f32", [1, 3])])),
        {"x": X23, "y": np.array([[10, 20, 30]], np.float32)}, lambda f: f["x"] + f["y"]),
    "transpose-declared-with-other-dims": (
        contradicting(lambda p: p.op("1.transpose", [f32_x(p)], attrs={"perm": [1, 0]}, outs=[("f32", [2, 3])])),
        {"x": X23}, lambda f: f["x"].T),
    "reshape-target-against-declared-output": (
        contradicting(lambda p: p.op("1.reshape", [p.data("x", "f32", [-1, 6]), p.full_int_array([0, 2, 3])],
                                     outs=[("f32", [-1, 3, 2])])),
        {"x": np.arange(18, dtype=np.float32).reshape(3, 6)}, lambda f: f["x"].reshape(3, 2, 3)),
    # Paddle leaves an axis that is not 1 alone.
    "squeeze-of-a-dim-that-is-not-1": (
        contradicting(lambda p: p.op("1.squeeze", [f32_x(p), p.full_int_array([0])], outs=[("f32", [3])])),
        {"x": X23}, lambda f: f["x"]),
    # A 3x3 window over 7x7 gives 5x5, declared 7x7; the split reads the computed 5 rows.
    "conv2d-declared-with-other-dims-then-split": (
        contradicting(split_of_a_conv2d_declared_7x7), {"x": np.arange(98, dtype=np.float32).reshape(1, 2, 7, 7) - 40},
        lambda f: conv3x3_of_halves(f["x"])[:, :, 2:]),
    # [2, 3] x [3, 4] declared [4, 2]; its transpose, declared [2, 4], is [4, 2].
    "matmul-declared-with-other-dims-then-transpose": (
        contradicting(lambda p: p.op("1.transpose", [p.op("1.matmul", [f32_x(p), p.data("y", "f32", [3, 4])],
                                                          attrs={"transpose_x": False, "transpose_y": False},
                                                          outs=[("f32", [4, 2])])],
                                     attrs={"perm": [1, 0]}, outs=[("f32", [2, 4])])),
        {"x": X23, "y": np.arange(12, dtype=np.float32).reshape(3, 4)}, lambda f: (f["x"] @ f["y"]).T),
    "matmul-transposed-declared-with-other-dims": (
        contradicting(lambda p: p.op("1.matmul", [f32_x(p), p.data("y", "f32", [4, 3])],
                                     attrs={"transpose_x": False, "transpose_y": True}, outs=[("f32", [4, 2])])),
        {"x": X23, "y": np.arange(12, dtype=np.float32).reshape(4, 3)}, lambda f: f["x"] @ f["y"].T),
    # 2x2 windows by 2 over 6x6 give 3x3, declared 6x6; the reshape's 0s copy the computed dims.
    "pool2d-declared-with-other-dims-then-reshape": (
        contradicting(lambda p: p.op("1.reshape", [max_pool_2x2_declared_6x6(p), p.full_int_array([0, 0, -1])],
                                     outs=[("f32", [1, 2, 36])])),
        {"x": np.arange(72, dtype=np.float32).reshape(1, 2, 6, 6)},
        lambda f: f["x"].reshape(1, 2, 3, 2, 3, 2).max(axis=(3, 5)).reshape(1, 2, 9)),
    # The reshape's -1 stands for 6 / 3 = 2, declared open; the transpose reads it.
    "reshape-inferred-dim-then-transpose": (
        contradicting(lambda p: p.op("1.transpose", [p.op("1.reshape", [f32_x(p), p.full_int_array([3, -1])],
                                                          outs=[("f32", [-1, -1])])],
                                     attrs={"perm": [1, 0]}, outs=[("f32", [3, 3])])),
        {"x": X23}, lambda f: f["x"].reshape(3, 2).T),
    # A mean over axis 1 of [2, 3] is [2], declared [3]; a sum over every axis is 0-D, declared [1, 1].
    "mean-declared-with-other-dims": (
        contradicting(lambda p: p.op("1.mean", [f32_x(p), p.full_int_array([1])], attrs={"keepdim": False},
                                     outs=[("f32", [3])])),
        {"x": X23}, lambda f: f["x"].mean(axis=1)),
    "sum-declared-with-other-dims": (
        contradicting(lambda p: p.op("1.sum", [f32_x(p), p.full_int_array([])],
                                     attrs={"keepdim": False, "dtype": a_dtype("f32")}, outs=[("f32", [1, 1])])),
        {"x": X23}, lambda f: np.asarray(f["x"].sum(), np.float32)),
    # Dims 1 to 2 of [2, 3, 2] merge into 6, declared 7: the reshape is to [2, 6].
    "flatten-declared-with-other-dims": (
        contradicting(lambda p: p.op("1.flatten", [f32_x(p, [2, 3, 2])], attrs={"start_axis": a_i32(1), "stop_axis": a_i32(2)},
                                     outs=[("f32", [2, 7])])),
        {"x": np.arange(12, dtype=np.float32).reshape(2, 3, 2)}, lambda f: f["x"].reshape(2, 6)),
    # Rows -2 to the end of [3, 4] (the end past the axis held to it) and column 1 dropped: [2],
    # declared [3]; the unsqueeze reads the computed 2.
    "slice-declared-with-other-dims-then-unsqueeze": (
        contradicting(lambda p: p.op("1.unsqueeze", [p.op("1.slice", [f32_x(p, [3, 4]), p.full_int_array([-2, 1]),
                                                                      p.full_int_array([99, 2])],
                                                          attrs={"axes": [a_i64(0), a_i64(1)], "infer_flags": [a_i64(1)] * 2,
                                                                 "decrease_axis": [a_i64(1)]},
                                                          outs=[("f32", [3])]), p.full_int_array([0])],
                                     outs=[("f32", [1, 3])])),
        {"x": np.arange(12, dtype=np.float32).reshape(3, 4)}, lambda f: f["x"][-2:, 1][None]),
    # [2, 3] tiled [2, 1, 2] is [2, 2, 6], declared [2, 2, 3]; the flatten merges the computed dims.
    "tile-declared-with-other-dims-then-flatten": (
        contradicting(lambda p: p.op("1.flatten", [p.op("1.tile", [f32_x(p), p.full_int_array([2, 1, 2])],
                                                        outs=[("f32", [2, 2, 3])])],
                                     attrs={"start_axis": a_i32(1), "stop_axis": a_i32(2)}, outs=[("f32", [2, 6])])),
        {"x": X23}, lambda f: np.tile(f["x"], (2, 1, 2)).reshape(2, 12)),
    # Declarations that once reached the model unchecked (ONNX's checker refused them at the
    # graph output): each operator's computed dims now win.
    "pool2d-declared-larger-than-it-pools": (
        contradicting(lambda p: p.op("1.pool2d", [p.data("x", "f32", [1, 1, 4, 4]), p.full_int_array([2, 2])],
                                     attrs={"strides": [2, 2], "paddings": [0, 0], "pooling_type": "max",
                                            "data_format": "NCHW", "padding_algorithm": "EXPLICIT",
                                            "ceil_mode": False, "exclusive": True, "global_pooling": False,
                                            "adaptive": False},
                                     outs=[("f32", [1, 1, 3, 3])])),
        {"x": np.arange(16, dtype=np.float32).reshape(1, 1, 4, 4)},
        lambda f: f["x"].reshape(1, 1, 2, 2, 2, 2).max(axis=(3, 5))),
    "argmax-without-keepdims-declared-keeping-the-axis": (
        contradicting(lambda p: p.op("1.argmax", [f32_x(p), p.full_int_array([1])],
                                     attrs={"keepdims": False, "flatten": False, "dtype": a_dtype("i64")},
                                     outs=[("i64", [2, 1])])),
        {"x": X23}, lambda f: f["x"].argmax(axis=1)),
    "tile-declared-wider-than-it-repeats": (
        contradicting(lambda p: p.op("1.tile", [f32_x(p), p.full_int_array([2, 2])], outs=[("f32", [4, 7])])),
        {"x": X23}, lambda f: np.tile(f["x"], (2, 2))),
    # Rows [2, 0, 2] of [2, 3] along axis 0: [3, 3], declared [2, 3]; the transpose reads the 3 rows.
    "gather-declared-with-other-dims-then-transpose": (
        contradicting(lambda p: p.op("1.transpose", [p.op("1.gather", [f32_x(p), p.data("i", "i64", [3]),
                                                                       p.full([1], 0, "i64")],
                                                          outs=[("f32", [2, 3])])],
                                     attrs={"perm": [1, 0]}, outs=[("f32", [3, 2])])),
        {"x": X23, "i": np.array([1, 0, 1], np.int64)}, lambda f: f["x"][f["i"]].T),
    # Ids [2, 2] into a [5, 3] table: [2, 2, 3], declared [2, 3].
    "embedding-declared-with-other-dims": (
        contradicting(lambda p: p.op("1.embedding", [p.data("ids", "i64", [2, 2]), f32_x(p, [5, 3])],
                                     attrs={"padding_idx": a_i64(-1), "sparse": False}, outs=[("f32", [2, 3])])),
        {"ids": np.array([[4, 0], [2, 2]], np.int64), "x": np.arange(15, dtype=np.float32).reshape(5, 3)},
        lambda f: f["x"][f["ids"]]),
    # A cast of [8] declared [7], fetched as [8]: the cast computes [8].
    "cast-declared-with-other-dims": (
        contradicting(lambda p: p.op("1.cast", [p.op("1.relu", [f32_x(p, [8])], outs=[("f32", [8])])],
                                     attrs={"dtype": a_dtype("bool")}, outs=[("bool", [7])])),
        {"x": np.linspace(-2, 2, 8, dtype=np.float32)}, lambda f: np.maximum(f["x"], 0) != 0),
    # Activations keep x's dims, [2, 4], declared [2, 3].
    "leaky-relu-of-an-operand-of-other-dims": (
        contradicting(lambda p: p.op("1.leaky_relu", [f32_x(p, [2, 4])], outs=[("f32", [2, 3])])),
        {"x": np.arange(-4, 4, dtype=np.float32).reshape(2, 4)},
        lambda f: np.where(f["x"] > 0, f["x"], np.float32(0.01) * f["x"])),
    "prelu-of-an-operand-of-other-dims": (
        contradicting(lambda p: p.op("1.prelu", [f32_x(p, [2, 4]), p.data("a", "f32", [1])],
                                     attrs={"mode": "all", "data_format": "NCHW"}, outs=[("f32", [2, 3])])),
        {"x": np.arange(-4, 4, dtype=np.float32).reshape(2, 4), "a": np.array([0.5], np.float32)},
        lambda f: np.where(f["x"] > 0, f["x"], f["a"] * f["x"])),
    # Elementwise lowerings of their own give x's dims, or the operands' broadcast.
    "clip-of-an-operand-of-other-dims": (
        contradicting(lambda p: p.op("1.clip", [f32_x(p, [2, 4]), p.full([1], -1.0), p.full([1], 1.0)],
                                     outs=[("f32", [2, 3])])),
        {"x": np.arange(-4, 4, dtype=np.float32).reshape(2, 4) / 2}, lambda f: np.clip(f["x"], -1, 1)),
    "flip-declared-with-other-dims": (
        contradicting(lambda p: p.op("1.flip", [f32_x(p)], attrs={"axis": [a_i32(0)]}, outs=[("f32", [3, 2])])),
        {"x": X23}, lambda f: f["x"][::-1]),
    "multiply-declared-with-other-dims": (
        contradicting(lambda p: p.op("1.multiply", [f32_x(p), p.data("y", "f32", [1, 3])], outs=[("f32", [1, 3])])),
        {"x": X23, "y": np.array([[10, 20, 30]], np.float32)}, lambda f: f["x"] * f["y"]),
    "not-equal-declared-with-other-dims": (
        contradicting(lambda p: p.op("1.not_equal", [f32_x(p), p.data("y", "f32", [1, 3])], outs=[("bool", [2, 2])])),
        {"x": X23, "y": np.array([[-1.5, 1, 1]], np.float32)}, lambda f: f["x"] != f["y"]),
    # The two largest of each column of [3, 5] along axis 0: [2, 5], declared [3, 2].
    "topk-along-another-axis-than-declared": (
        contradicting(lambda p: p.op("1.topk", [f32_x(p, [3, 5]), p.full([1], 2, "i32")],
                                     attrs={"axis": a_i32(0), "largest": True, "sorted": True},
                                     outs=[("f32", [3, 2]), ("i64", [3, 2])])[0]),
        {"x": np.array([[3, 1, 4, 1, 5], [9, 2, 6, 5, 3], [5, 8, 9, 7, 0]], np.float32)},
        lambda f: -np.sort(-f["x"], axis=0)[:2]),
    # Columns of [2, 3] each twice: [2, 6], declared [2, 9].
    "repeat-interleave-declared-with-other-dims": (
        contradicting(lambda p: p.op("1.repeat_interleave", [f32_x(p)], attrs={"axis": a_i32(1), "repeats": a_i32(2)},
                                     outs=[("f32", [2, 9])])),
        {"x": X23}, lambda f: np.repeat(f["x"], 2, axis=1)),
    # An empty axis list reduces every axis: with keepdim [1, 1], declared [2, 1].
    "any-over-an-empty-axis-list-declared-per-row": (
        contradicting(lambda p: p.op("1.any", [p.data("x", "bool", [2, 3])], attrs={"axis": [], "keepdim": True},
                                     outs=[("bool", [2, 1])])),
        {"x": np.array([[False, False, True], [False, False, False]])}, lambda f: f["x"].any(keepdims=True)),
    # Axes fed at run time, kept: x's rank, declared [-1].
    "sum-over-run-time-axes-kept-declared-of-lower-rank": (
        contradicting(lambda p: p.op("1.sum", [f32_x(p), p.data("axis", "i64", [1])],
                                     attrs={"keepdim": True, "dtype": a_dtype("f32")}, outs=[("f32", [-1])])),
        {"x": X23, "axis": np.array([1], np.int64)}, lambda f: f["x"].sum(axis=1, keepdims=True)),
    # Filter [2, 2, 3, 2] in 2 groups: 4 channels, declared 2; each pair reads its one channel.
    "conv2d-transpose-in-groups-declared-with-other-channels": (
        contradicting(lambda p: p.op("1.conv2d_transpose", [p.data("x", "f32", [1, 2, 3, 4]), p.full([2, 2, 3, 2], 0.5),
                                                            p.full_int_array([])],
                                     attrs={"strides": [a_i32(1)] * 2, "paddings": [a_i32(0)] * 2, "output_padding": [],
                                            "padding_algorithm": "EXPLICIT", "groups": a_i32(2),
                                            "dilations": [a_i32(1)] * 2, "data_format": "NCHW"},
                                     outs=[("f32", [-1, 2, -1, -1])])),
        {"x": np.arange(24, dtype=np.float32).reshape(1, 2, 3, 4) - 10},
        lambda f: np.repeat(0.5 * np.lib.stride_tricks.sliding_window_view(
            np.pad(f["x"], ((0, 0), (0, 0), (2, 2), (1, 1))), (3, 2), axis=(2, 3)).sum(axis=(4, 5)),
            2, axis=1).astype(np.float32)),
    # The spatial dims of a transposed convolution as it computes them, for every batch.
    "conv2d-transpose-declared-with-other-spatial-dims-then-split": (
        contradicting(split_of_a_conv2d_transpose_declared_5x5),
        [{"x": np.arange(12 * b, dtype=np.float32).reshape(b, 1, 3, 4) - 5} for b in (1, 3)],
        lambda f: transposed_conv3x3_by_2_of_halves(f["x"])[..., 2:]),
    "reshape-copying-an-unknown-dim-beside-a-minus-1-then-split": (
        contradicting(split_of_a_reshape_copying_an_unknown_dim),
        [{"x": np.arange(12 * b, dtype=np.float32).reshape(b, 2, 6)} for b in (1, 2, 3)],
        lambda f: f["x"].reshape(-1, 4, 3)[:, 1:]),
    # Three coordinates into [2, 3, 4] pick one element: 0-D, declared [2, 3, 3].
    "gather-nd-of-full-coordinates-declared-with-other-dims": (
        contradicting(lambda p: p.op("1.gather_nd", [f32_x(p, [2, 3, 4]), p.data("i", "i64", [3])],
                                     outs=[("f32", [2, 3, 3])])),
        {"x": np.arange(24, dtype=np.float32).reshape(2, 3, 4), "i": np.array([1, 2, 3], np.int64)},
        lambda f: np.asarray(f["x"][1, 2, 3])),
    # x [-1, 3] plus y [3] has x's rows, whatever their count: declared [4, 3], fed 1 to 3 rows.
    "add-declaring-a-size-its-operands-leave-open": (
        contradicting(lambda p: p.op("1.add", [p.data("x", "f32", [-1, 3]), p.data("y", "f32", [3])],
                                     outs=[("f32", [4, 3])])),
        [{"x": np.arange(3 * b, dtype=np.float32).reshape(b, 3), "y": np.array([10, 20, 30], np.float32)}
         for b in (1, 2, 3)],
        lambda f: f["x"] + f["y"]),
    # Four classes over indices [2, 3] give [2, 3, 4], declared [2, 3, 5]; the transpose reads them.
    "one-hot-declared-with-other-dims-then-transpose": (
        contradicting(lambda p: p.op("1.transpose", [p.op("1.one_hot", [p.data("i", "i64", [2, 3]), p.full([1], 4, "i64")],
                                                          outs=[("f32", [2, 3, 5])])],
                                     attrs={"perm": [2, 0, 1]}, outs=[("f32", [5, 2, 3])])),
        {"i": np.array([[0, 1, 3], [3, 2, 0]], np.int64)},
        lambda f: np.eye(4, dtype=np.float32)[f["i"]].transpose(2, 0, 1)),
    # Counts fed at run time still fix the rank: [2, 3] tiled by three counts is of rank 3,
    # declared [2, 3]; the transpose reverses the three axes.
    "tile-by-run-time-counts-declared-of-lower-rank-then-transpose": (
        contradicting(lambda p: p.op("1.transpose", [p.op("1.tile", [f32_x(p), p.data("r", "i64", [3])],
                                                          outs=[("f32", [2, 3])])],
                                     attrs={"perm": [2, 1, 0]}, outs=[("f32", [-1, -1, -1])])),
        {"x": X23, "r": np.array([2, 1, 2], np.int64)}, lambda f: np.tile(f["x"], (2, 1, 2)).transpose(2, 1, 0)),
    # Normalising [-1, 3] over its last axis keeps [-1, 3], declared [-1, 4], for every batch.
    "layer-norm-declared-with-other-dims-then-transpose": (
        contradicting(lambda p: p.op("1.transpose", [p.op("1.layer_norm", [p.data("x", "f32", [-1, 3]), p.data("s", "f32", [3]),
                                                                           p.data("b", "f32", [3])],
                                                          attrs={"epsilon": a_f32(1e-5), "begin_norm_axis": a_i32(1)},
                                                          outs=[("f32", [-1, 4]), ("f32", [-1]), ("f32", [-1])])[0]],
                                     attrs={"perm": [1, 0]}, outs=[("f32", [4, -1])])),
        # (rows of one value each, so that the result is the bias exactly)
        [{"x": np.repeat(np.arange(b, dtype=np.float32), 3).reshape(b, 3), "s": np.array([1, 2, 3], np.float32),
          "b": np.array([0, 1, 0], np.float32)} for b in (1, 3)],
        lambda f: (((f["x"] - f["x"].mean(1, keepdims=True)) / np.sqrt(f["x"].var(1, keepdims=True) + np.float32(1e-5)))
                   * f["s"] + f["b"]).T.astype(np.float32)),
    # Values put into [2, 3] leave it [2, 3], declared [2, 1] as the indices.
    "put-along-axis-declared-as-its-indices": (
        contradicting(lambda p: p.op("1.put_along_axis", [f32_x(p), p.data("i", "i64", [2, 1]), p.data("v", "f32", [2, 1])],
                                     attrs={"axis": a_i32(1), "reduce": "assign", "include_self": True},
                                     outs=[("f32", [2, 1])])),
        {"x": X23, "i": np.array([[0], [2]], np.int64), "v": np.array([[7], [8]], np.float32)},
        lambda f: put_along_axis_ref(f["x"], f["i"], f["v"], 1)),
    # In its block or in a branch of an if (batch 2 of the open dim).
    "relu-listed-before-its-data": (listed_before_its_data(False), {"x": X23}, lambda f: np.maximum(f["x"], 0)),
    "if-branch-listed-before-its-data": (
        listed_before_its_data(True), [{"c": np.array([c]), "x": X23} for c in (True, False)],
        lambda f: np.maximum(f["x"], 0) if f["c"][0] else f["x"] * np.float32(2)),
}



@pytest.mark.parametrize("opset", [17, 21])
@pytest.mark.parametrize("case", list(SETTLED))
def test_dims_declared_otherwise_give_way(tmp, case, opset):
    program, feeds, want = SETTLED[case]
    out = tmp / "m.onnx"
    r = convert(program, None, out, opset=opset)
    assert r.returncode == 0, r.stderr
    (described,) = check(out).graph.output
    # (a list of feeds: one run each, batches where the program leaves the batch open)
    for f in feeds if isinstance(feeds, list) else [feeds]:
        (got,) = run(out, f).values()
        expected = want(f)
        assert got.dtype == expected.dtype and got.shape == expected.shape
        # The model describes its output by what is computed: ONNX Runtime refuses a result whose
        # dims contradict the description.
        dims = [d.dim_value if d.HasField("dim_value") else -1 for d in described.type.tensor_type.shape.dim]
        assert len(dims) == got.ndim and all(d < 0 or d == g for d, g in zip(dims, got.shape)), (dims, got.shape)
        np.testing.assert_array_equal(got, expected)


def test_unread_operator_of_an_unknown_dialect_is_skipped_with_a_warning(tmp):
    # Nothing reads what it would have made: the model converts, and the skip is said.
    doc = damaged(lambda d, ops: ops.insert(
        1, {"#": "7.custom_op", "I": [{"%": 1}], "O": [{"%": 7, "TT": ops[1]["O"][0]["TT"]}]}))
    out = tmp / "m.onnx"
    r = convert(doc, None, out, env={"RUST_LOG": "warn"})
    assert r.returncode == 0, r.stderr
    assert r.stderr.count("] Skipped operator 7.custom_op: its dialect is unknown, so it is not converted\n") == 1
    assert [n.op_type for n in check(out).graph.node] == ["Relu", "Identity"]


# Damage that the converter may accept (it skips what it cannot read) or refuse, but never by
# crashing: a success must still be a loadable file.
MAY_FAIL = {
    "op-not-an-object": lambda d, ops: ops.insert(1, 5),
    "op-null": lambda d, ops: ops.insert(1, None),
    "name-a-number": lambda d, ops: ops[1].update({"#": 7}),
    "A-a-string": lambda d, ops: ops[0].update(A="x"),
    "attr-entry-a-number": lambda d, ops: ops[0]["A"].insert(0, 3),
    "AT-a-string": lambda d, ops: ops[0]["A"][0].update(AT="x"),
    "TT-a-number": lambda d, ops: ops[0]["O"][0].update(TT=3),
    "D-a-string": lambda d, ops: ops[0]["O"][0]["TT"].update(D="f32"),
    "D-empty": lambda d, ops: ops[0]["O"][0]["TT"].update(D=[]),
    "dims-not-integers": lambda d, ops: ops[0]["O"][0]["TT"]["D"].__setitem__(1, [2.5, "x", None, {}]),
    "dims-huge": lambda d, ops: ops[0]["O"][0]["TT"]["D"].__setitem__(1, [2**63 - 1, 18446744073709551615]),
    "relu-input-id-a-string": lambda d, ops: ops[1]["I"][0].update({"%": "1"}),
    "relu-input-entry-a-number": lambda d, ops: ops[1].update(I=[1]),
    "relu-id-a-float": lambda d, ops: ops[1]["I"][0].update({"%": 1.0}),
    "relu-id-huge": lambda d, ops: ops[1]["I"][0].update({"%": 2**64 - 1}),
    "O-an-object": lambda d, ops: ops[1].update(O=ops[1]["O"][0]),
    "regions-a-string": lambda d, ops: ops[1].update(regions="r"),
    "regions-with-junk": lambda d, ops: ops[1].update(regions=[1, {"blocks": 2}, {"blocks": [{"ops": 3, "args": 4}]}]),
    "param-without-output": lambda d, ops: ops.insert(0, {"#": "p", "A": [0, 1, 1, "w"], "O": "x"}),
}


@pytest.mark.parametrize("case", list(MAY_FAIL))
def test_damaged_program_never_crashes(tmp, case):
    import onnx

    out = tmp / "m.onnx"
    r = convert(damaged(MAY_FAIL[case]), None, out)
    assert not r.crashed, f"crashed with {r.returncode}: {r.stderr[-2000:]}"
    assert "Sanitizer" not in r.stderr
    if r.returncode == 0:
        onnx.load(str(out))
    else:
        assert_reported_error(r, out)


# ------------------------------------------------------------------------------------------------
# Weight files

WEIGHT_TYPES = [  # dtype word, ONNX code
    ("bool", 9), ("i8", 3), ("ui8", 2), ("i16", 5), ("i32", 6), ("i64", 7),
    ("f16", 10), ("f32", 1), ("f64", 11),
]


def test_every_weight_type_travels_byte_exact(tmp):
    # Each parameter is fetched, so the model hands every weight back and the runtime sees it
    # with its own element type. A bfloat16 parameter is declared but unused: its record must
    # still be there and be skipped correctly for the records after it to pair up.
    p = Program()
    ws = {}
    for k, (word, _) in enumerate(WEIGHT_TYPES):
        shape = [2, k + 1]
        p.fetch(p.param(f"w_{word}", word, shape), f"out_{word}")
        vals = RNG.integers(0, 2, shape) if word == "bool" else RNG.integers(-100, 100, shape)
        ws[f"w_{word}"] = (vals / 8 if word.startswith("f") else vals).astype(np_dtype(word))
    p.param("w_bf16", "bf16", [3])
    bf16 = np.array([0x3F80, 0xC000, 0x7F80], np.uint16)  # 1, -2, inf
    records = [weight_record(vartype=22, dims=[3], data=bf16.tobytes()) if n == "w_bf16"
               else weight_record(ws[n]) for n in sorted([*ws, "w_bf16"], key=str.encode)]
    out = tmp / "m.onnx"
    assert_clean_success(convert(p, b"".join(records), out))
    model = check(out)
    for t in model.graph.initializer:
        if t.name in ws:  # a fetched parameter may also have become a constant of another name
            code = dict(WEIGHT_TYPES)[t.name[2:]]
            assert t.data_type == code and t.raw_data == ws[t.name].tobytes()
    res = run(out, {})
    for word, _ in WEIGHT_TYPES:
        got, want = res[f"out_{word}"], ws[f"w_{word}"]
        assert got.dtype == want.dtype
        np.testing.assert_array_equal(got, want)


def one_param_program(dims=(2, 3), word="f32"):
    p = Program()
    w = p.param("w", word, list(dims))
    x = p.data("x", word, list(dims))
    p.fetch(p.op("1.add", [x, w], outs=[(word, list(dims))]), "out")
    return p


GOOD = weight_record(np.ones((2, 3), np.float32))

BAD_WEIGHTS = {
    # name: (file bytes, substring of the message)
    "empty": (b"", "Weight count mismatch: loaded 0 tensors for 1 parameters"),
    "two-records": (GOOD + GOOD, "more tensors than discovered parameters (extra tensor at index 1)"),
    "lod": (weight_record(np.ones((2, 3), np.float32), lod_level=1), "LoD tensors not supported"),
    # Files of other kinds in the weights' place: what they are not, and what they start with.
    "a-yaml-file": (b"Global:\n  model_name: PP-OCRv5\n",
                    "model.pdiparams' is not a .pdiparams weight file (the first record's header is the "
                    'text "Global:\\x0a  model_name")\n'),
    "the-program": (json.dumps(one_param_program().to_json()).encode(),
                    'is not a .pdiparams weight file (the first record\'s header is the text "{'),
    "a-git-lfs-pointer": (b"version https://git-lfs.github.com/spec/v1\noid sha256:0\nsize 9\n",
                          'is not a .pdiparams weight file (the first record\'s header is the text "version https://git-")'),
    "gzip-data": (bytes.fromhex("1f8b0800000000000003") + bytes(30),
                  "is not a .pdiparams weight file (the first record's header is 1f 8b 08 00 00 00 00 00 ..., "
                  "not version 0)\n"),
    "trailing-3-bytes": (GOOD + b"\0\0\0", f"Truncated .pdiparams header at byte {len(GOOD)}"),
    "cut-in-lod": (GOOD[:10], "Truncated LoD header at byte 4"),
    "cut-in-desc-size": (GOOD[:18], "Truncated tensor desc size at byte 16"),
    "negative-desc-size": (weight_record(np.ones((2, 3), np.float32), desc_size=-1),
                           "Invalid tensor desc size -1 at byte 16"),
    "desc-size-past-end": (weight_record(np.ones((2, 3), np.float32), desc_size=2**31 - 1),
                           "Truncated tensor desc: need 2147483647 bytes at byte 20"),
    "data-cut-short": (GOOD[:-1], "Truncated tensor data for parameter index 0: need 24 bytes at byte"),
    "negative-dim": (weight_record(vartype=5, dims=[-2, 3], data=b""), "Invalid negative tensor dim -2"),
    "count-overflow": (weight_record(vartype=5, dims=[2**62, 2**62], data=b""), "Tensor element count overflow"),
    "byte-size-overflow": (weight_record(vartype=5, dims=[2**61, 2], data=b""), "Tensor byte size overflow"),
    "over-size-limit": (weight_record(vartype=5, dims=[2**31 + 1], data=b""), "exceeds soft limit 8589934592"),
    "complex64": (weight_record(vartype=23, dims=[2, 3], data=bytes(48)), "Unsupported data_type: Complex64"),
    "shape-mismatch": (weight_record(np.ones((3, 2), np.float32)),
                       "Weight tensor 'w' shape mismatch: expected [2, 3] from model metadata, got [3, 2]"),
    "dtype-mismatch": (weight_record(np.ones((2, 3), np.float64)),
                       "Weight tensor 'w' dtype mismatch: expected float32 from model metadata, got float64"),
    "many-dims": (weight_record(vartype=5, dims=[1] * 100_000, data=bytes(4)),
                  "expected [2, 3] from model metadata, got [" + "1, " * 85 + "...\n"),
    "garbage-desc": (weight_record(desc=b"\xff\xff\xff", data=b""), None),
    "desc-length-past-desc": (weight_record(desc=b"\x08\x05\x12\x7f\x02", data=b""), None),
    "bf16-for-f32": (weight_record(vartype=22, dims=[2, 3], data=bytes(12)),
                     "Weight tensor 'w' dtype mismatch: expected float32 from model metadata, got bfloat16"),
    "bf16-for-untyped": (weight_record(vartype=22, dims=[2, 3], data=bytes(12)),
                         "Weight tensor 'w' is bfloat16, but the program does not declare it so", "untyped"),
    "f32-for-bf16": (GOOD, "Weight tensor 'w' dtype mismatch: expected bfloat16 from model metadata, got float32",
                     "bf16-unused"),
    # Endless streams fail at their first record (a bool scalar, or a LoD level that is not 0),
    # not after reading gigabytes.
    "endless-zeros": (Path("/dev/zero"), "Weight tensor 'w' dtype mismatch: expected float32 from model metadata, got bool"),
    "endless-random": (Path("/dev/urandom"), "'/dev/urandom' is not a .pdiparams weight file"),
}


def other_param_program(kind):
    """w declared as bf16 and unused, or declared without an element type and added to x."""
    p = Program()
    if kind == "bf16-unused":
        p.param("w", "bf16", [2, 3])
        return p
    w = p.param("w", "f32", [2, 3])
    del p.params[-1]["O"]["TT"]["D"][0]["#"]
    x = p.data("x", "f32", [2, 3])
    p.fetch(p.op("1.add", [x, w], outs=[("f32", [2, 3])]), "out")
    return p


@pytest.mark.parametrize("case", list(BAD_WEIGHTS))
def test_bad_weight_file_is_reported(tmp, case):
    data, expected, *program = BAD_WEIGHTS[case]
    out = tmp / "m.onnx"
    r = convert(other_param_program(program[0]) if program else one_param_program(), data, out)
    assert_reported_error(r, out, expected)


def test_weights_pair_by_byte_order_not_declaration(tmp):
    # Declared c, a, B: byte order is B, a, c (upper case first). Different shapes make a wrong
    # pairing fail the shape check; the values show which record went where.
    p = Program()
    shapes = {"c": [1], "a": [2], "B": [3]}
    fetched = {n: p.param(n, "f32", s) for n, s in shapes.items()}
    for n, vid in fetched.items():
        p.fetch(vid, "out_" + n)
    ws = {n: np.arange(len(n) * 10, len(n) * 10 + s[0], dtype=np.float32) + ord(n[0]) for n, s in shapes.items()}
    out = tmp / "m.onnx"
    assert_clean_success(convert(p, weights_bytes(ws), out))
    res = run(out, {})
    for n in shapes:
        np.testing.assert_array_equal(res["out_" + n], ws[n])
