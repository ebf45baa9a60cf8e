"""The finishing passes seen from outside: what the written model keeps of wasteful patterns, and
that a graph refused by validation writes nothing."""

import numpy as np
import pytest

from harness import Program, check, convert, convert_check_run

RNG = np.random.default_rng(7)


def op_types(model):
    return [n.op_type for n in model.graph.node]


def converted(p, weights, tmp, feeds, opset=None):
    """Converts, checks and runs; returns (model, outputs)."""
    outs = convert_check_run(p, weights, feeds, opset=opset, tmp=tmp)
    tag = f"opset{opset}" if opset is not None else "default"
    return check(tmp / tag / "model.onnx"), outs


def dropout(p, x, dims):
    prob = p.full([1], 0.1)
    out, _mask = p.op("1.dropout", [x, None, prob],
                      attrs={"is_test": True, "mode": "upscale_in_train", "seed": 0, "fix_seed": False},
                      outs=[("f32", dims), ("ui8", dims)])
    return out


def test_dropout_chain_vanishes_and_equal_constants_merge(tmp):
    p = Program()
    x = p.data("x", "f32", [2, 3])
    r = p.op("1.relu", [dropout(p, dropout(p, x, [2, 3]), [2, 3])], outs=[("f32", [2, 3])])
    s = p.op("1.add", [r, p.full([1], 2.0)], outs=[("f32", [2, 3])])
    y = p.op("1.multiply", [s, p.full([1], 2.0)], outs=[("f32", [2, 3])])
    p.fetch(y, "out")
    xs = RNG.standard_normal((2, 3)).astype(np.float32)
    model, outs = converted(p, None, tmp, {"x": xs})
    assert op_types(model) == ["Relu", "Add", "Mul", "Identity"]
    assert list(model.graph.node[0].input) == ["x"]
    # The dropout probabilities are gone, the two equal constants are one.
    (init,) = model.graph.initializer
    assert [n.op_type for n in model.graph.node if init.name in n.input] == ["Add", "Mul"]
    np.testing.assert_allclose(outs["out"], (np.maximum(xs, 0) + 2) * 2, rtol=1e-6)


def test_unused_parameter_disappears_and_parameter_output_becomes_constant(tmp):
    p = Program()
    p.param("unused_w", "f32", [4])
    w = p.param("w", "f32", [2, 2])
    x = p.data("x", "f32", [2, 2])
    y = p.op("1.relu", [x], outs=[("f32", [2, 2])])
    p.fetch(y, "out")
    p.fetch(w, "w")
    ws = {"unused_w": np.arange(4, dtype=np.float32),
          "w": np.array([[1.5, -2], [0.25, 8]], dtype=np.float32)}
    xs = RNG.standard_normal((2, 2)).astype(np.float32)
    model, outs = converted(p, ws, tmp, {"x": xs})
    assert len(model.graph.initializer) == 0
    const = model.graph.node[-1]
    assert const.op_type == "Constant" and list(const.output) == ["w"] and not const.input
    assert const.attribute[0].name == "value" and const.attribute[0].t.raw_data == ws["w"].tobytes()
    np.testing.assert_array_equal(outs["w"], ws["w"])
    np.testing.assert_array_equal(outs["out"], np.maximum(xs, 0))


@pytest.mark.parametrize("opset", [11, 17])
def test_squeeze_pair_and_cast_pair_collapse(tmp, opset):
    p = Program()
    x = p.data("x", "f32", [2, 3])
    u = p.op("1.unsqueeze", [x, p.full_int_array([1])], outs=[("f32", [2, 1, 3])])
    s = p.op("1.squeeze", [u, p.full_int_array([1])], outs=[("f32", [2, 3])])
    to_f64 = {"dtype": {"#": "1.a_dtype", "D": "float64"}}
    a = p.op("1.cast", [s], attrs=to_f64, outs=[("f64", [2, 3])])
    b = p.op("1.cast", [a], attrs=to_f64, outs=[("f64", [2, 3])])
    p.fetch(b, "out")
    xs = RNG.standard_normal((2, 3)).astype(np.float32)
    model, outs = converted(p, None, tmp, {"x": xs}, opset=opset)
    assert op_types(model) == ["Cast", "Identity"]
    assert list(model.graph.node[0].input) == ["x"]
    assert len(model.graph.initializer) == 0
    np.testing.assert_array_equal(outs["out"], xs.astype(np.float64))


def _undefined_input(p, x):
    y = p.op("1.relu", [x], outs=[("f32", [2])])
    p.ops[-1]["I"] = [{"%": 99}]
    return y, f"operator relu (output {y}) reads value 99, which nothing defines in its scope"


def _double_producer(p, x):
    y = p.op("1.relu", [x], outs=[("f32", [2])])
    p.op("1.abs", [x], outs=[("f32", [2])])
    p.ops[-1]["O"][0]["%"] = y
    return y, f"value {y} is produced twice, the second time by operator abs (output {y})"


def _redefined_input(p, x):
    # An operator writing over the value id of a graph input would define "x" twice.
    p.op("1.relu", [x], outs=[("f32", [2])])
    p.ops[-1]["O"][0]["%"] = x
    y = p.op("1.abs", [x], outs=[("f32", [2])])
    return y, f"value {x} (x) is produced by operator relu (output {x}) but is also a graph input or initializer"


def _cycle(p, x):
    # relu reads abs, which reads relu: no order of the two is valid and no runtime runs it.
    a = p.op("1.relu", [x], outs=[("f32", [2])])
    b = p.op("1.abs", [a], outs=[("f32", [2])])
    p.ops[-2]["I"] = [{"%": b}]
    return b, f"the program's operators form a cycle through operator relu (output {a})"


@pytest.mark.parametrize("make", [_undefined_input, _double_producer, _redefined_input, _cycle],
                         ids=["undefined", "double-producer", "redefined-input", "cycle"])
@pytest.mark.parametrize("existing", [False, True], ids=["no-file", "existing-file"])
def test_validation_failure_writes_nothing(tmp, make, existing):
    p = Program()
    x = p.data("x", "f32", [2])
    y, message = make(p, x)
    p.fetch(y, "out")
    out = tmp / "m.onnx"
    if existing:
        out.write_bytes(b"previous model")
    r = convert(p, None, out)
    assert r.returncode == 1
    assert r.stderr == f"Error: {message}\n"
    if existing:
        assert out.read_bytes() == b"previous model"
    else:
        assert not out.exists()
