"""Real exported programs, end to end: converted, checked, run in ONNX Runtime and compared with
an independent numpy evaluation of the same program. Skipped when the models are not present."""

import json

import numpy as np
import pytest

from harness import check, convert, read_weights, real_model, run, weights_for_program
import paddle_ref

RNG = np.random.default_rng(7)


def check_detections(got, feeds, rerun):
    """Suppression output has no numpy reference here; check its documented form instead:
    rows of [class, score, x1, y1, x2, y2] above the score threshold, counted per image, the
    rows of image 0 first. The images fed are identical, so each image's rows must be those
    the first image gives on its own."""
    boxes, counts = got["fetch_name_0"], got["fetch_name_1"]
    images = len(feeds["image"])
    assert boxes.ndim == 2 and boxes.shape[1] == 6
    assert counts.shape == (images,) and counts.sum() == boxes.shape[0]
    alone = rerun({k: v[:1] for k, v in feeds.items()})
    assert alone["fetch_name_1"].shape == (1,) and len(alone["fetch_name_0"]) > 0
    for k, rows in enumerate(np.split(boxes, np.cumsum(counts)[:-1])):
        np.testing.assert_array_equal(rows, alone["fetch_name_0"], err_msg=f"image {k}")
    if len(boxes):
        assert np.all((boxes[:, 0] >= 0) & (boxes[:, 0] < 23) & (boxes[:, 0] == np.round(boxes[:, 0])))
        assert np.all(boxes[:, 1] >= np.float32(0.025))
        # At most keep_top_k rows per image, by class, best score first within a class.
        for rows in np.split(boxes, np.cumsum(counts)[:-1]):
            assert len(rows) <= 100
            cls, score = rows[:, 0], rows[:, 1]
            assert np.all(np.diff(cls) >= 0)
            assert np.all(np.diff(score)[np.diff(cls) == 0] <= 0)


def check_table_structure(got, feeds, rerun):
    """The table recogniser decodes step by step in a loop whose carried values start as 0-D
    values declared with the loop's type. Without a numpy reference: per step, 8 box
    coordinates in (0, 1) from a sigmoid and probabilities over 50 structure tokens that sum to
    1, for at most 501 steps; on an image of another size too."""
    for run_got in (got, rerun({"x": RNG.uniform(-1, 1, (1, 3, 320, 480)).astype(np.float32)})):
        boxes, probs = run_got["fetch_name_0"], run_got["fetch_name_1"]
        steps = boxes.shape[1]
        assert boxes.shape == (1, steps, 8) and probs.shape == (1, steps, 50) and 1 <= steps <= 501
        assert np.all((boxes > 0) & (boxes < 1)) and np.all(probs >= 0)
        np.testing.assert_allclose(probs.sum(axis=-1), 1.0, rtol=1e-5)


OUTPUT_CHECKS = {"pp_doclayout_m": check_detections, "slanet_plus": check_table_structure}

# The lowest opset each program's operators allow: Resize needs 11, LayerNormalization 17.
LOWEST = {"pp_lcnet_x0_25_textline_ori": 10, "pp_ocrv5_mobile_det": 11, "pp_ocrv5_mobile_rec": 17,
          "pp_doclayout_m": 11, "slanet_plus": 11}

# model folder -> its feeds
CASES = {
    "pp_lcnet_x0_25_textline_ori": lambda: {"x": RNG.uniform(-1, 1, (2, 3, 80, 160)).astype(np.float32)},
    "pp_ocrv5_mobile_det": lambda: {"x": RNG.uniform(-1, 1, (1, 3, 64, 96)).astype(np.float32)},
    "pp_ocrv5_mobile_rec": lambda: {"x": RNG.uniform(-1, 1, (1, 3, 48, 96)).astype(np.float32)},
    # Two identical images where the program declares its batch -1.
    "pp_doclayout_m": lambda: {
        "image": np.repeat(RNG.uniform(-1, 1, (1, 3, 640, 640)), 2, axis=0).astype(np.float32),
        "scale_factor": np.ones((2, 2), np.float32)},
    "slanet_plus": lambda: {"x": RNG.uniform(-1, 1, (1, 3, 488, 488)).astype(np.float32)},
}


@pytest.mark.parametrize("name,opset", [(n, o) for n in CASES for o in sorted({LOWEST[n], 17})])
def test_real_program(tmp, name, opset):
    folder = real_model(name)
    doc = json.loads((folder / "inference.json").read_text())
    wfile = folder / "inference.pdiparams"
    weights = read_weights(wfile, doc) if wfile.exists() else weights_for_program(doc)
    out = tmp / "model.onnx"
    r = convert(folder / "inference.json", wfile if wfile.exists() else weights, out, opset=opset)
    assert r.returncode == 0, r.stderr
    again = tmp / "again.onnx"
    assert convert(folder / "inference.json", wfile if wfile.exists() else weights, again,
                   opset=opset).returncode == 0
    assert again.read_bytes() == out.read_bytes(), "conversion is not deterministic"
    model = check(out)
    feeds = CASES[name]()
    assert [i.name for i in model.graph.input] == list(feeds)
    got = run(out, feeds)
    for k, v in got.items():
        if v.dtype.kind == "f":
            assert np.all(np.isfinite(v)), k
    if name in OUTPUT_CHECKS:
        OUTPUT_CHECKS[name](got, feeds, lambda f: run(out, f))
        return
    ref = paddle_ref.evaluate(doc, weights, feeds)
    assert list(got) == list(ref)
    for k in ref:
        np.testing.assert_allclose(got[k], ref[k], rtol=1e-3, atol=1e-4, err_msg=k)


@pytest.mark.parametrize("name,opset", [(n, o) for n in CASES for o in range(10, 22)])
def test_real_program_at_every_opset(tmp, name, opset):
    """Paddle runs these programs: each converts at every opset, or is refused only for an
    operator the opset lacks; below the lowest opset its operators allow it is refused."""
    folder = real_model(name)
    doc = json.loads((folder / "inference.json").read_text())
    wfile = folder / "inference.pdiparams"
    out = tmp / "model.onnx"
    r = convert(folder / "inference.json", wfile if wfile.exists() else weights_for_program(doc), out, opset=opset)
    if opset < LOWEST[name]:
        assert r.returncode == 1 and "requires opset" in r.stderr, r.stderr
        return
    assert r.returncode == 0 or "requires opset" in r.stderr, r.stderr
    if r.returncode == 0:
        check(out)


def test_text_line_classifier_on_its_input_size(tmp):
    """The classifier with its real weights on one 80x160 image: probabilities per row."""
    folder = real_model("pp_lcnet_x0_25_textline_ori")
    out = tmp / "model.onnx"
    r = convert(folder / "inference.json", folder / "inference.pdiparams", out)
    assert r.returncode == 0, r.stderr
    check(out)
    got = run(out, {"x": RNG.uniform(0, 1, (1, 3, 80, 160)).astype(np.float32)})
    (probs,) = got.values()
    assert probs.shape == (1, 2) and np.all(np.isfinite(probs))
    np.testing.assert_allclose(probs.sum(axis=1), 1.0, rtol=1e-5)


def test_text_detector_on_a_full_page(tmp):
    """The detector on a 640x640 page gives a finite probability map of the same size."""
    folder = real_model("pp_ocrv5_mobile_det")
    doc = json.loads((folder / "inference.json").read_text())
    out = tmp / "model.onnx"
    r = convert(folder / "inference.json", weights_for_program(doc), out)
    assert r.returncode == 0, r.stderr
    check(out)
    got = run(out, {"x": RNG.uniform(-1, 1, (1, 3, 640, 640)).astype(np.float32)})
    (prob,) = got.values()
    assert prob.shape == (1, 1, 640, 640) and np.all(np.isfinite(prob))


def pad_conv_784(op):
    paddings = next(a for a in op["A"] if a["N"] == "paddings")
    paddings["AT"]["D"][1]["D"] = 1


# A real program changed in one place, on which ONNX's shape inference died with a segmentation
# fault, or which gave a model ONNX Runtime could not load: (program, main-block operator, its
# name and first output, the change, the one line).
CHECKER_CRASHES = {
    # The layout detector's conv2d of value 784 padded [0, 1]: the library crashed on the model,
    # until the conv's computed dims (two columns wider) reached the concat that reads it.
    "conv-padded-otherwise": ("pp_doclayout_m", 643, "1.conv2d", 784, pad_conv_784,
                              "Error: concat: input dims [-1, 160, 40, 40] and [-1, 160, 40, 42] do not match "
                              "outside axis 1\n"),
    # The recogniser's conv2d of value 532 renamed conv2d_transpose: the library crashed on it
    # too, until that lowering refused a filter made for other input channels.
    "conv-renamed-conv2d_transpose": ("pp_ocrv5_mobile_rec", 521, "1.conv2d", 532,
                                      lambda op: op.update({"#": "1.conv2d_transpose"}),
                                      "Error: conv2d_transpose: the filter [120, 60, 1, 1] is for 120 input channels, "
                                      "the input [-1, 60, 1, -1] has 60\n"),
    # The recogniser's depthwise_conv2d of value 503 dilated [2, 1]: its 5x5 window then spans 9
    # rows of the 3 (7 padded) it reads, which Paddle refuses; the model, which ONNX Runtime
    # refused to load, is not written.
    "depthwise-conv-dilated-past-its-input": ("pp_ocrv5_mobile_rec", 497, "1.depthwise_conv2d", 503,
                                              lambda op: next(a for a in op["A"] if a["N"] == "dilations")
                                              ["AT"]["D"][0].update(D=2),
                                              "Error: depthwise_conv2d: the filter's window [5, 5] dilated by [2, 1] "
                                              "is wider than the padded input 7 (input dims [-1, 480, 3, -1], pads "
                                              "[2, 2, 2, 2]): it leaves no output position\n"),
}


@pytest.mark.parametrize("case", list(CHECKER_CRASHES))
def test_a_mutation_the_checker_crashed_on_is_refused_by_its_lowering(tmp, case):
    """The conversion fails with one line and writes nothing; kestro itself does not crash."""
    name, index, op_name, value, change, message = CHECKER_CRASHES[case]
    doc = json.loads((real_model(name) / "inference.json").read_text())
    op = doc["program"]["regions"][0]["blocks"][0]["ops"][index]
    assert op["#"] == op_name and op["O"][0]["%"] == value
    change(op)
    out = tmp / "model.onnx"
    r = convert(doc, weights_for_program(doc), out, opset=17)
    assert not r.crashed, r.stderr
    assert (r.returncode, r.stdout, r.stderr) == (1, "", message)
    assert not out.exists()
    assert [p.name for p in tmp.iterdir() if p.name.startswith(".")] == []
