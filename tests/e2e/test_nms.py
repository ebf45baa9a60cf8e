"""Multiclass non-maximum suppression through the built binary, checked with onnx and run in ONNX
Runtime against a numpy rendering of PaddlePaddle's documented multiclass_nms3: per class, the
candidates above the score threshold in descending score, greedy suppression above the IoU
threshold, an optional cap over all classes by score, and the rows ordered by class."""

import numpy as np
import pytest

from harness import Program, a_bool, a_f32, a_i32, convert_check_run

DEFAULTS = {"score_threshold": 0.25, "nms_top_k": 10, "keep_top_k": 100, "nms_threshold": 0.5,
            "normalized": True, "nms_eta": 1.0, "background_label": -1}


def typed(attrs):
    return {k: a_bool(v) if isinstance(v, bool) else a_i32(v) if isinstance(v, int) else a_f32(v)
            for k, v in attrs.items()}


def iou(a, b, normalized):
    """Paddle's overlap: boxes apart give 0; without normalization both edges count."""
    if b[0] > a[2] or b[2] < a[0] or b[1] > a[3] or b[3] < a[1]:
        return 0.0
    one = 0.0 if normalized else 1.0

    def area(r):
        if r[2] < r[0] or r[3] < r[1]:
            return 0.0
        return (r[2] - r[0] + one) * (r[3] - r[1] + one)

    w = min(a[2], b[2]) - max(a[0], b[0]) + one
    h = min(a[3], b[3]) - max(a[1], b[1]) + one
    inter = w * h
    return inter / (area(a) + area(b) - inter)


def paddle_nms(boxes, scores, score_threshold, nms_top_k, keep_top_k, nms_threshold,
               normalized=True, **_):
    """boxes [1, M, 4], scores [1, C, M] -> (out [k, 6], index [k, 1] int32, rois_num [1])."""
    bx, sc = boxes[0].astype(np.float64), scores[0]
    kept = {}  # class -> kept box indices, best first
    for c in range(sc.shape[0]):
        order = np.argsort(-sc[c], kind="stable")
        cand = [i for i in order if sc[c, i] > np.float32(score_threshold)]
        if nms_top_k > -1:
            cand = cand[:nms_top_k]
        sel = []
        for i in cand:
            if all(iou(bx[i], bx[j], normalized) <= np.float32(nms_threshold) for j in sel):
                sel.append(i)
        kept[c] = sel
    pairs = [(sc[c, i], c, i) for c in sorted(kept) for i in kept[c]]
    if keep_top_k > -1 and len(pairs) > keep_top_k:
        order = sorted(range(len(pairs)), key=lambda k: -pairs[k][0])[:keep_top_k]
        kept = {}
        for k in order:
            kept.setdefault(pairs[k][1], []).append(pairs[k][2])
    rows = [(c, i) for c in sorted(kept) for i in kept[c]]
    out = np.array([[c, sc[c, i], *boxes[0, i]] for c, i in rows], np.float32).reshape(-1, 6)
    index = np.array([[i] for _, i in rows], np.int32).reshape(-1, 1)
    return out, index, np.array([len(rows)], np.int32)


def nms_program(cases, m, c):
    """One program with a multiclass_nms3 per attribute set, all over the same boxes and scores;
    case k's outputs are fetched as out{k}, index{k}, rois{k}."""
    p = Program()
    b = p.data("boxes", "f32", [1, m, 4])
    s = p.data("scores", "f32", [-1, c, m])
    for k, attrs in enumerate(cases):
        o = p.op("1.multiclass_nms3", [b, s, None], attrs=typed(attrs),
                 outs=[("f32", [-1, 6]), ("i32", [-1, 1]), ("i32", [-1])])
        p.fetch(o[0], f"out{k}")
        p.fetch(o[1], f"index{k}")
        p.fetch(o[2], f"rois{k}")
    return p


def check_case(got, k, expected):
    out, index, rois = expected
    assert got[f"out{k}"].dtype == np.float32 and got[f"index{k}"].dtype == np.int32
    assert got[f"rois{k}"].dtype == np.int32
    np.testing.assert_allclose(got[f"out{k}"], out, rtol=0, atol=1e-6, err_msg=f"case {k}")
    np.testing.assert_array_equal(got[f"index{k}"], index, err_msg=f"case {k}")
    np.testing.assert_array_equal(got[f"rois{k}"], rois, err_msg=f"case {k}")


# Four boxes, two classes: b1 overlaps b0 (IoU 81/119), b3 equals b0.
B = [[0, 0, 10, 10], [1, 1, 11, 11], [20, 20, 30, 30], [0, 0, 10, 10]]
SMALL_BOXES = np.array([B], np.float32)
SMALL_SCORES = np.array([[[.9, .8, .3, .1], [.2, .7, .6, .95]]], np.float32)


def rows(*entries):
    return np.array([[c, s, *B[i]] for c, s, i in entries], np.float32)


# (attribute changes, detections as (class, score, box), hand-worked from Paddle's rules)
SMALL_CASES = [
    ({}, [(0, .9, 0), (0, .3, 2), (1, .95, 3), (1, .6, 2)]),
    # The cap keeps .95, .9 and .6 over both classes, then the rows go back to class order.
    ({"keep_top_k": 3}, [(0, .9, 0), (1, .95, 3), (1, .6, 2)]),
    ({"nms_top_k": 1}, [(0, .9, 0), (1, .95, 3)]),
    # Negative limits mean no limit at all.
    ({"nms_top_k": -1}, [(0, .9, 0), (0, .3, 2), (1, .95, 3), (1, .6, 2)]),
    ({"keep_top_k": -1}, [(0, .9, 0), (0, .3, 2), (1, .95, 3), (1, .6, 2)]),
    ({"keep_top_k": -5, "nms_top_k": -3}, [(0, .9, 0), (0, .3, 2), (1, .95, 3), (1, .6, 2)]),
    # keep_top_k 0 is a cap that keeps nothing.
    ({"keep_top_k": 0}, []),
    # Nothing above the score threshold, with and without a cap.
    ({"score_threshold": 0.99}, []),
    ({"score_threshold": 0.99, "keep_top_k": -1}, []),
    # A looser IoU threshold keeps b1 beside b0 (IoU .68).
    ({"nms_threshold": 0.7, "keep_top_k": -1},
     [(0, .9, 0), (0, .8, 1), (0, .3, 2), (1, .95, 3), (1, .7, 1), (1, .6, 2)]),
]


@pytest.mark.parametrize("opset", [11, 12, 13, 17])
def test_hand_worked_detections(tmp, opset):
    cases = [dict(DEFAULTS, **change) for change, _ in SMALL_CASES]
    got = convert_check_run(nms_program(cases, 4, 2), None,
                            {"boxes": SMALL_BOXES, "scores": SMALL_SCORES}, opset=opset, tmp=tmp)
    for k, (_, expected) in enumerate(SMALL_CASES):
        out = rows(*expected).reshape(-1, 6)
        index = np.array([[i] for _, _, i in expected], np.int32).reshape(-1, 1)
        check_case(got, k, (out, index, np.array([len(expected)], np.int32)))
    # The hand values agree with the reference used for the random cases below.
    for k, (change, _) in enumerate(SMALL_CASES):
        check_case(got, k, paddle_nms(SMALL_BOXES, SMALL_SCORES, **dict(DEFAULTS, **change)))


def random_detections(m, c, seed, pixels):
    rng = np.random.default_rng(seed)
    xy = rng.integers(0, 40, size=(m, 2)) if pixels else rng.uniform(0, 0.8, size=(m, 2))
    wh = rng.integers(1, 12, size=(m, 2)) if pixels else rng.uniform(0.02, 0.25, size=(m, 2))
    boxes = np.concatenate([xy, xy + wh], axis=1).astype(np.float32)[None]
    # Distinct scores, so that no order rests on how ties are broken.
    scores = (rng.permutation(c * m).reshape(1, c, m) / (c * m) + 0.01).astype(np.float32)
    return boxes, scores


RANDOM_CASES = [
    {"keep_top_k": 100, "nms_top_k": 1000, "nms_threshold": 0.3, "score_threshold": 0.2},
    {"keep_top_k": 7, "nms_top_k": 1000, "nms_threshold": 0.45, "score_threshold": 0.05},
    # Paddle caps the candidates of a class before suppression, ONNX the boxes it keeps; here
    # none of each class's best three is suppressed, so both keep the same rows.
    {"keep_top_k": -1, "nms_top_k": 3, "nms_threshold": 0.6, "score_threshold": 0.5},
    {"keep_top_k": 12, "nms_top_k": -1, "nms_threshold": 0.2, "score_threshold": 0.0},
]


@pytest.mark.parametrize("pixels", [False, True], ids=["normalized", "pixels"])
def test_random_detections_match_paddle(tmp, pixels):
    """Normalized boxes, and integer pixel boxes whose widths count both edges."""
    boxes, scores = random_detections(40, 3, seed=11 if pixels else 5, pixels=pixels)
    cases = [dict(DEFAULTS, **c, normalized=not pixels) for c in RANDOM_CASES]
    got = convert_check_run(nms_program(cases, 40, 3), None, {"boxes": boxes, "scores": scores},
                            opset=17, tmp=tmp)
    for k, attrs in enumerate(cases):
        check_case(got, k, paddle_nms(boxes, scores, **attrs))
        assert len(got[f"out{k}"]) > 0
