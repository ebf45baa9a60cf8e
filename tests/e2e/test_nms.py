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
    """Paddle's overlap, in float32 as Paddle computes it: boxes apart give 0; without
    normalization both edges count."""
    a, b = np.asarray(a, np.float32), np.asarray(b, np.float32)
    if b[0] > a[2] or b[2] < a[0] or b[1] > a[3] or b[3] < a[1]:
        return np.float32(0)
    one = np.float32(0 if normalized else 1)

    def area(r):
        if r[2] < r[0] or r[3] < r[1]:
            return np.float32(0)
        return (r[2] - r[0] + one) * (r[3] - r[1] + one)

    w = min(a[2], b[2]) - max(a[0], b[0]) + one
    h = min(a[3], b[3]) - max(a[1], b[1]) + one
    inter = w * h
    return inter / (area(a) + area(b) - inter)


def paddle_image_nms(bx, sc, score_threshold, nms_top_k, keep_top_k, nms_threshold, normalized):
    """One image: boxes [M, 4], scores [C, M] -> its rows as (class, box index)."""
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
    return [(c, i) for c in sorted(kept) for i in kept[c]]


def paddle_nms(boxes, scores, score_threshold, nms_top_k, keep_top_k, nms_threshold,
               normalized=True, **_):
    """boxes [N, M, 4], scores [N, C, M] -> (out [k, 6], index [k, 1] int32, rois_num [N] int32):
    every image on its own, the rows of image 0 first; an index counts boxes over the batch.
    A limit written as a whole float is that integer."""
    nms_top_k, keep_top_k = int(nms_top_k), int(keep_top_k)
    out, index, counts = [], [], []
    m = boxes.shape[1]
    for b in range(boxes.shape[0]):
        rows = paddle_image_nms(boxes[b], scores[b], score_threshold,
                                nms_top_k, keep_top_k, nms_threshold, normalized)
        out += [[c, scores[b, c, i], *boxes[b, i]] for c, i in rows]
        index += [[b * m + i] for _, i in rows]
        counts.append(len(rows))
    return (np.array(out, np.float32).reshape(-1, 6), np.array(index, np.int32).reshape(-1, 1),
            np.array(counts, np.int32))


def nms_program(cases, fixtures):
    """One program with a multiclass_nms3 per case, each over the boxes and scores of its
    fixture (inputs boxes_{name}, scores_{name}, the batch declared -1 where a fixture has
    several images); case k's outputs are fetched as out{k}, index{k}, rois{k}."""
    p = Program()
    inputs = {}
    for name, (boxes, scores) in fixtures.items():
        n, c, m = scores.shape
        inputs[name] = (p.data(f"boxes_{name}", "f32", [1 if n == 1 else -1, m, 4]),
                        p.data(f"scores_{name}", "f32", [-1, c, m]))
    for k, (fixture, attrs) in enumerate(cases):
        b, s = inputs[fixture]
        o = p.op("1.multiclass_nms3", [b, s, None], attrs=typed(attrs),
                 outs=[("f32", [-1, 6]), ("i32", [-1, 1]), ("i32", [-1])])
        p.fetch(o[0], f"out{k}")
        p.fetch(o[1], f"index{k}")
        p.fetch(o[2], f"rois{k}")
    return p


def feeds_of(fixtures):
    return {f"{kind}_{name}": arr for name, (boxes, scores) in fixtures.items()
            for kind, arr in (("boxes", boxes), ("scores", scores))}


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
# Image 1 has the same boxes and other scores: class 0 keeps b1 only (b3 and b0 overlap it),
# class 1 keeps b0 and b2.
PAIR_SCORES = np.concatenate([SMALL_SCORES, [[[.4, .9, .1, .85], [.3, .2, .26, .1]]]])
# Pixel boxes: g1 lies half a pixel beyond g0, so Paddle sees no overlap at all; g2 touches
# g0, which with both edges counted is an overlap of one pixel's width (IoU 1.4/2.52).
G = [[0, 0, 0.4, 0.4], [0.9, 0, 1.3, 0.4], [0.4, 0, 0.8, 0.4]]
TOUCHING = float(iou(G[0], G[2], normalized=False))
# Boxes far apart, scores tied within and across classes.
T = [[0, 0, 1, 1], [10, 10, 11, 11], [20, 20, 21, 21], [30, 30, 31, 31]]

FIXTURES = {
    "small": (SMALL_BOXES, SMALL_SCORES),
    "pair": (np.repeat(SMALL_BOXES, 2, axis=0), PAIR_SCORES.astype(np.float32)),
    "gap": (np.array([G], np.float32), np.array([[[.9, .8, .7]]], np.float32)),
    "ties": (np.array([T], np.float32), np.array([[[.5, .7, .5, .2], [.7, .5, .1, .5]]],
                                                 np.float32)),
    # Empty batches, classes and boxes.
    "no_images": (np.zeros((0, 5, 4), np.float32), np.zeros((0, 3, 5), np.float32)),
    "no_classes": (np.repeat(SMALL_BOXES, 2, axis=0), np.zeros((2, 0, 4), np.float32)),
    "no_boxes": (np.zeros((2, 0, 4), np.float32), np.zeros((2, 3, 0), np.float32)),
}

# (fixture, attribute changes, detections as (class, score, box), hand-worked from Paddle's
# rules; for a fixture of several images, one such list per image)
SMALL_CASES = [
    ("small", {}, [(0, .9, 0), (0, .3, 2), (1, .95, 3), (1, .6, 2)]),
    # The cap keeps .95, .9 and .6 over both classes, then the rows go back to class order.
    ("small", {"keep_top_k": 3}, [(0, .9, 0), (1, .95, 3), (1, .6, 2)]),
    ("small", {"nms_top_k": 1}, [(0, .9, 0), (1, .95, 3)]),
    # Limits written as whole floats are those limits, not the defaults.
    ("small", {"keep_top_k": 3.0}, [(0, .9, 0), (1, .95, 3), (1, .6, 2)]),
    ("small", {"nms_top_k": 1.0}, [(0, .9, 0), (1, .95, 3)]),
    # Negative limits mean no limit at all.
    ("small", {"nms_top_k": -1}, [(0, .9, 0), (0, .3, 2), (1, .95, 3), (1, .6, 2)]),
    ("small", {"keep_top_k": -1}, [(0, .9, 0), (0, .3, 2), (1, .95, 3), (1, .6, 2)]),
    ("small", {"keep_top_k": -5, "nms_top_k": -3},
     [(0, .9, 0), (0, .3, 2), (1, .95, 3), (1, .6, 2)]),
    # keep_top_k 0 is a cap that keeps nothing.
    ("small", {"keep_top_k": 0}, []),
    # Nothing above the score threshold, with and without a cap.
    ("small", {"score_threshold": 0.99}, []),
    ("small", {"score_threshold": 0.99, "keep_top_k": -1}, []),
    # A looser IoU threshold keeps b1 beside b0 (IoU .68).
    ("small", {"nms_threshold": 0.7, "keep_top_k": -1},
     [(0, .9, 0), (0, .8, 1), (0, .3, 2), (1, .95, 3), (1, .7, 1), (1, .6, 2)]),
    # Only the two best candidates of a class take part: b1 falls to b0 (class 0) and to b3
    # (class 1), and b2, never a candidate, is not kept either.
    ("small", {"nms_top_k": 2}, [(0, .9, 0), (1, .95, 3)]),
    # Two images, each suppressed and capped on its own; the rows of image 0 come first.
    ("pair", {}, [[(0, .9, 0), (0, .3, 2), (1, .95, 3), (1, .6, 2)],
                  [(0, .9, 1), (1, .3, 0), (1, .26, 2)]]),
    ("pair", {"keep_top_k": 3}, [[(0, .9, 0), (1, .95, 3), (1, .6, 2)],
                                 [(0, .9, 1), (1, .3, 0), (1, .26, 2)]]),
    ("pair", {"keep_top_k": 2}, [[(0, .9, 0), (1, .95, 3)], [(0, .9, 1), (1, .3, 0)]]),
    ("pair", {"keep_top_k": -1, "nms_top_k": 1}, [[(0, .9, 0), (1, .95, 3)],
                                                  [(0, .9, 1), (1, .3, 0)]]),
    ("pair", {"score_threshold": 0.5}, [[(0, .9, 0), (1, .95, 3), (1, .6, 2)], [(0, .9, 1)]]),
    ("pair", {"keep_top_k": 0}, [[], []]),
    ("gap", {"normalized": False, "nms_threshold": 0.1}, [(0, .9, 0), (0, .8, 1)]),
    # An overlap equal to the threshold does not suppress; one just above it does.
    ("gap", {"normalized": False, "nms_threshold": TOUCHING},
     [(0, .9, 0), (0, .8, 1), (0, .7, 2)]),
    ("gap", {"normalized": False, "nms_threshold": float(np.nextafter(np.float32(TOUCHING),
                                                                      np.float32(0)))},
     [(0, .9, 0), (0, .8, 1)]),
    ("gap", {"normalized": False, "nms_top_k": 1}, [(0, .9, 0)]),
    # Thresholds of exactly 1 and 0: no overlap exceeds 1, every score exceeds 0.
    ("gap", {"normalized": False, "nms_threshold": 1.0, "score_threshold": 0.0},
     [(0, .9, 0), (0, .8, 1), (0, .7, 2)]),
    ("gap", {"normalized": False, "score_threshold": 0.95}, []),
    # nms_top_k 0 leaves no candidate at all.
    ("gap", {"normalized": False, "nms_top_k": 0}, []),
    ("small", {"nms_top_k": 0}, []),
    # Equal scores: the lower box first within a class; over classes the cap takes the lower
    # class first; nms_top_k takes the lower box at its boundary.
    ("ties", {"keep_top_k": -1}, [(0, .7, 1), (0, .5, 0), (0, .5, 2), (1, .7, 0), (1, .5, 1),
                                  (1, .5, 3)]),
    ("ties", {"keep_top_k": 3}, [(0, .7, 1), (0, .5, 0), (1, .7, 0)]),
    ("ties", {"keep_top_k": 4, "normalized": False},
     [(0, .7, 1), (0, .5, 0), (0, .5, 2), (1, .7, 0)]),
    ("ties", {"nms_top_k": 2}, [(0, .7, 1), (0, .5, 0), (1, .7, 0), (1, .5, 1)]),
    ("ties", {"nms_top_k": 2, "normalized": False},
     [(0, .7, 1), (0, .5, 0), (1, .7, 0), (1, .5, 1)]),
    ("no_images", {"nms_top_k": 2}, []),
    ("no_images", {"normalized": False, "keep_top_k": -1}, []),
    ("no_classes", {"nms_top_k": 2}, [[], []]),
    ("no_classes", {"normalized": False}, [[], []]),
    ("no_boxes", {"nms_top_k": -1}, [[], []]),
    ("no_boxes", {"normalized": False, "keep_top_k": 3}, [[], []]),
    # Normalized, the touching box is no overlap and the gap none either.
    ("gap", {"nms_threshold": 0.1}, [(0, .9, 0), (0, .8, 1), (0, .7, 2)]),
]


def expected_of(fixture, expected):
    """The three outputs of hand-worked detections."""
    boxes, scores = FIXTURES[fixture]
    images = expected if len(boxes) != 1 else [expected]
    m = boxes.shape[1]
    out = [[c, s, *boxes[b, i]] for b, rows in enumerate(images) for c, s, i in rows]
    index = [[b * m + i] for b, rows in enumerate(images) for _, _, i in rows]
    return (np.array(out, np.float32).reshape(-1, 6), np.array(index, np.int32).reshape(-1, 1),
            np.array([len(rows) for rows in images], np.int32))


@pytest.mark.parametrize("opset", [11, 12, 13, 17])
def test_hand_worked_detections(tmp, opset):
    cases = [(fixture, dict(DEFAULTS, **change)) for fixture, change, _ in SMALL_CASES]
    got = convert_check_run(nms_program(cases, FIXTURES), None, feeds_of(FIXTURES), opset=opset,
                            tmp=tmp)
    for k, (fixture, _, expected) in enumerate(SMALL_CASES):
        check_case(got, k, expected_of(fixture, expected))
    # The hand values agree with the reference used for the random cases below.
    for k, (fixture, attrs) in enumerate(cases):
        check_case(got, k, paddle_nms(*FIXTURES[fixture], **attrs))


def random_detections(m, c, seed, pixels, images=1):
    rng = np.random.default_rng(seed)
    shape = (images, m, 2)
    xy = rng.integers(0, 40, size=shape) if pixels else rng.uniform(0, 0.8, size=shape)
    wh = rng.integers(1, 12, size=shape) if pixels else rng.uniform(0.02, 0.25, size=shape)
    boxes = np.concatenate([xy, xy + wh], axis=2).astype(np.float32)
    # Distinct scores, so that no order rests on how ties are broken.
    scores = np.stack([rng.permutation(c * m).reshape(c, m) for _ in range(images)])
    return boxes, (scores / (c * m) + 0.01).astype(np.float32)


RANDOM_CASES = [
    {"keep_top_k": 100, "nms_top_k": 1000, "nms_threshold": 0.3, "score_threshold": 0.2},
    {"keep_top_k": 7, "nms_top_k": 1000, "nms_threshold": 0.45, "score_threshold": 0.05},
    {"keep_top_k": -1, "nms_top_k": 3, "nms_threshold": 0.6, "score_threshold": 0.5},
    {"keep_top_k": 12, "nms_top_k": -1, "nms_threshold": 0.2, "score_threshold": 0.0},
    # Fewer candidates than suppression would keep: the limit acts before suppression.
    {"keep_top_k": 3, "nms_top_k": 5, "nms_threshold": 0.1, "score_threshold": 0.0},
]


@pytest.mark.parametrize("pixels,images", [(False, 1), (True, 1), (False, 2), (True, 3)],
                         ids=["normalized", "pixels", "normalized-2-images", "pixels-3-images"])
def test_random_detections_match_paddle(tmp, pixels, images):
    """Normalized boxes, and integer pixel boxes whose widths count both edges; one image,
    or several fed where the batch is declared -1."""
    seed = (11 if pixels else 5) + 2 * (images - 1)
    fixtures = {"random": random_detections(40, 3, seed=seed, pixels=pixels, images=images)}
    cases = [("random", dict(DEFAULTS, **c, normalized=not pixels)) for c in RANDOM_CASES]
    got = convert_check_run(nms_program(cases, fixtures), None, feeds_of(fixtures), opset=17,
                            tmp=tmp)
    counts = set()
    for k, (_, attrs) in enumerate(cases):
        expected = paddle_nms(*fixtures["random"], **attrs)
        check_case(got, k, expected)
        assert len(got[f"out{k}"]) > 0
        counts |= {tuple(expected[2])}
    # Somewhere the images keep different numbers of rows, so no image borrows another's.
    assert images == 1 or any(len(set(c)) > 1 for c in counts)
