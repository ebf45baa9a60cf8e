"""Grid sampling and multinomial sampling through the binary, run in ONNX Runtime against numpy
values of PaddlePaddle's documented semantics."""

import math

import numpy as np
import pytest

from harness import Program, a_bool, a_str, check, convert, convert_check_run, run

# ------------------------------------------------------------------------------------------------
# Grid sampling


def _reflect(c, twice_low, twice_high):
    if twice_low == twice_high:
        return 0.0
    low, span = twice_low / 2, (twice_high - twice_low) / 2
    c = abs(c - low)
    extra, flips = math.fmod(c, span), math.floor(c / span)
    return extra + low if flips % 2 == 0 else span - extra + low


def _source_index(g, size, padding, align):
    """Paddle's unnormalized sampling coordinate on one axis, after border or reflection."""
    c = (g + 1) / 2 * (size - 1) if align else ((g + 1) * size - 1) / 2
    if padding == "border":
        c = min(max(c, 0.0), size - 1.0)
    elif padding == "reflection":
        c = _reflect(c, 0, 2 * (size - 1)) if align else _reflect(c, -1, 2 * size - 1)
        c = min(max(c, 0.0), size - 1.0)
    return c


def grid_sample_ref(x, grid, mode="bilinear", padding="zeros", align=True):
    """paddle.nn.functional.grid_sample for 4-D x [N, C, H, W] and grid [N, Ho, Wo, 2] (x, y)."""
    n, ch, h, w = x.shape
    _, ho, wo, _ = grid.shape
    out = np.zeros((n, ch, ho, wo), dtype=np.float64)

    def tap(b, yi, xi):
        if 0 <= yi < h and 0 <= xi < w:
            return x[b, :, yi, xi].astype(np.float64)
        return np.zeros(ch)

    for b in range(n):
        for i in range(ho):
            for j in range(wo):
                gx, gy = float(grid[b, i, j, 0]), float(grid[b, i, j, 1])
                cx = _source_index(gx, w, padding, align)
                cy = _source_index(gy, h, padding, align)
                if mode == "nearest":
                    out[b, :, i, j] = tap(b, int(round(cy)), int(round(cx)))
                    continue
                x0, y0 = math.floor(cx), math.floor(cy)
                fx, fy = cx - x0, cy - y0
                out[b, :, i, j] = (tap(b, y0, x0) * (1 - fx) * (1 - fy) + tap(b, y0, x0 + 1) * fx * (1 - fy)
                                   + tap(b, y0 + 1, x0) * (1 - fx) * fy + tap(b, y0 + 1, x0 + 1) * fx * fy)
    return out.astype(x.dtype)


GRID_CASES = [(mode, padding, align) for mode in ("bilinear", "nearest")
              for padding in ("zeros", "border", "reflection") for align in (True, False)]


@pytest.mark.parametrize("opset", [16, 17, 20])
def test_grid_sample_modes_paddings_and_corners(tmp, opset):
    rng = np.random.default_rng(7)
    x = rng.standard_normal((2, 3, 4, 5)).astype(np.float32)
    # Points reach beyond [-1, 1] so that every padding mode matters.
    grid = rng.uniform(-1.4, 1.4, (2, 3, 4, 2)).astype(np.float32)
    p = Program()
    xi, gi = p.data("x", "f32", list(x.shape)), p.data("grid", "f32", list(grid.shape))
    refs = {}
    for k, (mode, padding, align) in enumerate(GRID_CASES):
        y = p.op("1.grid_sample", [xi, gi],
                 attrs={"mode": a_str(mode), "padding_mode": a_str(padding), "align_corners": a_bool(align)},
                 outs=[("f32", [2, 3, 3, 4])])
        p.fetch(y, f"out{k}")
        refs[f"out{k}"] = grid_sample_ref(x, grid, mode, padding, align)
    # Without attributes Paddle samples bilinearly with zero padding and aligned corners.
    y = p.op("1.grid_sample", [xi, gi], outs=[("f32", [2, 3, 3, 4])])
    p.fetch(y, "defaults")
    refs["defaults"] = grid_sample_ref(x, grid)

    got = convert_check_run(p, None, {"x": x, "grid": grid}, opset=opset, tmp=tmp)
    for name, ref in refs.items():
        np.testing.assert_allclose(got[name], ref, rtol=1e-5, atol=1e-5, err_msg=name)


# ------------------------------------------------------------------------------------------------
# Multinomial sampling (lowered to the most probable class, repeated)


def multinomial(p, x, n, replacement=None, out_dims=None):
    count = p.full([1], n, "i64")
    attrs = {} if replacement is None else {"replacement": a_bool(replacement)}
    return p.op("1.multinomial", [x, count], attrs=attrs, outs=[("i64", out_dims)])


@pytest.mark.parametrize("opset", [10, 11, 12, 17])
def test_multinomial_picks_the_most_probable_class(tmp, opset):
    probs = np.array([[.1, .7, .2], [.5, .2, .3], [.4, .4, .2]], np.float32)
    single = np.array([.2, .1, .6, .1], np.float32)
    p = Program()
    x = p.data("x", "f32", [3, 3])
    v = p.data("v", "f32", [4])
    p.fetch(multinomial(p, x, 1, replacement=False, out_dims=[3, 1]), "one")
    p.fetch(multinomial(p, x, 3, replacement=True, out_dims=[3, 3]), "three")
    p.fetch(multinomial(p, v, 2, replacement=True, out_dims=[2]), "vector")
    r = convert(p, None, tmp / "m" / "model.onnx", opset=opset, env={"RUST_LOG": "warn"})
    assert r.returncode == 0, r.stderr
    warnings = [line for line in r.stderr.splitlines()
                if "multinomial is lowered to deterministic ArgMax" in line]
    assert len(warnings) == 1, r.stderr
    assert "WARN  kestro::converter::ops::math]" in warnings[0]

    check(tmp / "m" / "model.onnx")
    got = run(tmp / "m" / "model.onnx", {"x": probs, "v": single})
    first = np.argmax(probs, axis=-1)  # the first index on ties
    np.testing.assert_array_equal(got["one"], first[:, None])
    np.testing.assert_array_equal(got["three"], np.repeat(first[:, None], 3, axis=1))
    np.testing.assert_array_equal(got["vector"], [2, 2])
    assert got["three"].dtype == np.int64
