"""A small numpy interpreter of PIR programs, following PaddlePaddle's documented inference
semantics, so that whole converted programs (real exports included) can be compared against an
independent reference. It covers the operators of the convolutional programs in the shared
models; anything else raises NotImplementedError so a test can tell "not covered" from "wrong".

Computation is in float64; compare float32 model outputs with a tolerance."""

from __future__ import annotations

import json
from pathlib import Path

import numpy as np

from harness import np_dtype


def _attrs(op) -> dict:
    out = {}
    for a in op.get("A", []) if isinstance(op.get("A"), list) else []:
        if isinstance(a, dict) and "N" in a:
            out[a["N"]] = _plain(a["AT"])
    return out


def _plain(at):
    d = at.get("D")
    if at.get("#") == "0.a_array":
        return [_plain(e) for e in d]
    return d


def _pair(v):
    return list(v) * 2 if len(v) == 1 else list(v)


def _explicit_pads(x_hw, k_hw, strides, dilations, paddings, algorithm):
    """[top, bottom, left, right] after Paddle's padding_algorithm rules."""
    if algorithm == "VALID":
        return [0, 0, 0, 0]
    if algorithm == "SAME":
        pads = []
        for size, k, s, d in zip(x_hw, k_hw, strides, dilations):
            out = -(-size // s)
            total = max((out - 1) * s + d * (k - 1) + 1 - size, 0)
            pads += [total // 2, total - total // 2]
        return pads
    p = list(paddings)
    if len(p) == 2:
        return [p[0], p[0], p[1], p[1]]
    return p  # [top, bottom, left, right]


def conv2d(x, w, strides=(1, 1), paddings=(0, 0), dilations=(1, 1), groups=1, algorithm="EXPLICIT"):
    n, c, h, wd = x.shape
    oc, cg, kh, kw = w.shape
    sh, sw = strides
    dh, dw = dilations
    t, b, l, r = _explicit_pads((h, wd), (kh, kw), strides, dilations, paddings, algorithm)
    xp = np.pad(x, ((0, 0), (0, 0), (t, b), (l, r)))
    oh = (h + t + b - dh * (kh - 1) - 1) // sh + 1
    ow = (wd + l + r - dw * (kw - 1) - 1) // sw + 1
    xg = xp.reshape(n, groups, cg, xp.shape[2], xp.shape[3])
    wg = w.reshape(groups, oc // groups, cg, kh, kw)
    out = np.zeros((n, groups, oc // groups, oh, ow))
    for i in range(kh):
        for j in range(kw):
            win = xg[:, :, :, i * dh:i * dh + sh * (oh - 1) + 1:sh, j * dw:j * dw + sw * (ow - 1) + 1:sw]
            out += np.einsum("ngchw,goc->ngohw", win, wg[:, :, :, i, j])
    return out.reshape(n, oc, oh, ow)


def conv2d_transpose(x, w, strides, paddings, dilations, groups, output_size=None, output_padding=()):
    if groups != 1:
        raise NotImplementedError("grouped transposed convolution")
    n, c, h, wd = x.shape
    _, oc, kh, kw = w.shape
    sh, sw = strides
    dh, dw = dilations
    t, b, l, r = _explicit_pads((h, wd), (kh, kw), strides, dilations, paddings, "EXPLICIT")
    fh = (h - 1) * sh + dh * (kh - 1) + 1
    fw = (wd - 1) * sw + dw * (kw - 1) + 1
    extra_h = extra_w = 0
    if output_padding:
        extra_h, extra_w = _pair(output_padding)
    full = np.zeros((n, oc, fh + extra_h, fw + extra_w))
    for i in range(kh):
        for j in range(kw):
            full[:, :, i * dh:i * dh + sh * (h - 1) + 1:sh, j * dw:j * dw + sw * (wd - 1) + 1:sw] += \
                np.einsum("nchw,co->nohw", x, w[:, :, i, j])
    out = full[:, :, t:full.shape[2] - b, l:full.shape[3] - r]
    if output_size:
        oh, ow = output_size
        out = np.pad(out, ((0, 0), (0, 0), (0, max(oh - out.shape[2], 0)), (0, max(ow - out.shape[3], 0))))
        out = out[:, :, :oh, :ow]
    return out


def pool2d(x, kernel, strides, paddings, kind, adaptive, global_pooling, exclusive, ceil_mode):
    n, c, h, w = x.shape
    if global_pooling:
        return x.mean(axis=(2, 3), keepdims=True) if kind == "avg" else x.max(axis=(2, 3), keepdims=True)
    if adaptive:
        oh, ow = kernel
        out = np.zeros((n, c, oh, ow))
        for i in range(oh):
            h0, h1 = (i * h) // oh, -(-((i + 1) * h) // oh)
            for j in range(ow):
                w0, w1 = (j * w) // ow, -(-((j + 1) * w) // ow)
                win = x[:, :, h0:h1, w0:w1]
                out[:, :, i, j] = win.mean(axis=(2, 3)) if kind == "avg" else win.max(axis=(2, 3))
        return out
    kh, kw = kernel
    sh, sw = strides
    t, b, l, r = _explicit_pads((h, w), (kh, kw), strides, (1, 1), paddings, "EXPLICIT")
    # Positions counted by integer division toward zero, a partial last window under ceil_mode.
    oh = int((h + t + b - kh + (sh - 1 if ceil_mode else 0)) / sh) + 1
    ow = int((w + l + r - kw + (sw - 1 if ceil_mode else 0)) / sw) + 1
    out = np.zeros((n, c, oh, ow))
    for i in range(oh):
        for j in range(ow):
            # The CPU kernel keeps the begin pads only: a window ends at the input plus its
            # begin pad at most; an inclusive one is divided by that extent, an exclusive one by
            # the part inside the input (negative past its end, over a zero sum).
            hs, ws = i * sh - t, j * sw - l
            he, we = min(hs + kh, h + t), min(ws + kw, w + l)
            h0, h1 = max(hs, 0), min(he, h)
            w0, w1 = max(ws, 0), min(we, w)
            win = x[:, :, h0:max(h1, h0), w0:max(w1, w0)]
            if kind == "max":
                out[:, :, i, j] = win.max(axis=(2, 3), initial=-np.finfo(np.float32).max)
            else:
                count = (h1 - h0) * (w1 - w0) if exclusive else (he - hs) * (we - ws)
                with np.errstate(invalid="ignore"):
                    out[:, :, i, j] = win.sum(axis=(2, 3)) / count
    return out


def _softmax(x, axis):
    e = np.exp(x - x.max(axis=axis, keepdims=True))
    return e / e.sum(axis=axis, keepdims=True)


def _reshape(x, shape):
    shape = [int(x.shape[i]) if s == 0 else int(s) for i, s in enumerate(shape)]
    return x.reshape(shape)


def _nearest(x, attrs, out_hw):
    n, c, h, w = x.shape
    if attrs.get("align_corners"):
        raise NotImplementedError("nearest_interp with align_corners")
    scale = attrs.get("scale") or []
    if out_hw is None:
        if attrs.get("out_h", -1) > 0 and attrs.get("out_w", -1) > 0:
            out_hw = (attrs["out_h"], attrs["out_w"])
        elif scale:
            sh, sw = _pair(scale)
            out_hw = (int(h * sh), int(w * sw))
        else:
            raise NotImplementedError("nearest_interp without a size")
    oh, ow = out_hw
    sh = (1.0 / scale[0]) if scale else h / oh
    sw = (1.0 / _pair(scale)[1]) if scale else w / ow
    hi = np.minimum(np.floor(np.arange(oh) * sh).astype(int), h - 1)
    wi = np.minimum(np.floor(np.arange(ow) * sw).astype(int), w - 1)
    return x[:, :, hi][:, :, :, wi]


def evaluate(doc: dict, weights: dict[str, np.ndarray], feeds: dict[str, np.ndarray]) -> dict[str, np.ndarray]:
    """Runs the main block of a program; returns {fetch name: value} in program order."""
    ops = doc["program"]["regions"][0]["blocks"][0]["ops"]
    env: dict[int, np.ndarray] = {}
    outs: dict[str, np.ndarray] = {}

    def out_ids(op):
        o = op["O"]
        return [e["%"] for e in (o if isinstance(o, list) else [o])]

    for op in ops:
        name = op["#"]
        a = _attrs(op)
        ins = [env.get(e["%"]) if e["%"] != 0 else None for e in op.get("I", [])]
        x = ins[0] if ins else None
        oid = out_ids(op)
        if name == "p":
            pname = next(v for v in op["A"] if isinstance(v, str))
            env[oid[0]] = weights[pname].astype(np.float64) if weights[pname].dtype.kind == "f" else weights[pname]
            continue
        if name == "1.data":
            env[oid[0]] = feeds[a["name"]].astype(np.float64)
            continue
        if name == "1.fetch":
            outs[a.get("name", f"fetch_{len(outs)}")] = x
            continue
        if name == "0.combine":
            env[oid[0]] = ins  # a Python list stands for a list value
            continue
        if name == "0.split":
            for i, v in zip(oid, x):
                env[i] = v
            continue
        if name == "1.full":
            env[oid[0]] = np.full(a["shape"], a["value"], dtype=np_dtype(a["dtype"]))
            continue
        if name == "1.full_int_array":
            env[oid[0]] = np.array(a["value"], dtype=np.int64)
            continue
        if name in ("1.conv2d", "1.depthwise_conv2d"):
            y = conv2d(x, ins[1], _pair(a["strides"]), a["paddings"], _pair(a["dilations"]),
                       a.get("groups", 1), a.get("padding_algorithm", "EXPLICIT"))
        elif name in ("1.conv2d_transpose", "1.conv2d_transpose_"):
            size = [int(v) for v in ins[2]] if len(ins) > 2 and ins[2] is not None and ins[2].size else None
            y = conv2d_transpose(x, ins[1], _pair(a["strides"]), a["paddings"], _pair(a["dilations"]),
                                 a.get("groups", 1), size, a.get("output_padding") or ())
        elif name in ("1.batch_norm_", "1.batch_norm"):
            mean, var, scale, bias = ins[1:5]
            shp = (1, -1, 1, 1)
            y = (x - mean.reshape(shp)) / np.sqrt(var.reshape(shp) + np.float32(a["epsilon"])) \
                * scale.reshape(shp) + bias.reshape(shp)
        elif name == "1.relu":
            y = np.maximum(x, 0)
        elif name == "1.sigmoid":
            y = 1 / (1 + np.exp(-x))
        elif name in ("1.swish", "1.silu"):
            y = x / (1 + np.exp(-x))
        elif name == "1.hardswish":
            y = x * np.clip(x + 3, 0, 6) / 6
        elif name == "1.hardsigmoid":
            y = np.clip(np.float32(a.get("slope", 1 / 6)) * x + np.float32(a.get("offset", 0.5)), 0, 1)
        elif name == "1.add":
            y = x + ins[1]
        elif name == "1.subtract":
            y = x - ins[1]
        elif name == "1.multiply":
            y = x * ins[1]
        elif name == "1.divide":
            y = x / ins[1]
        elif name == "1.scale":
            s = float(ins[1].reshape(-1)[0]) if len(ins) > 1 and ins[1] is not None else a.get("scale", 1.0)
            bias = a.get("bias", 0.0)
            y = x * s + bias if a.get("bias_after_scale", True) else (x + bias) * s
        elif name == "1.reshape":
            y = _reshape(x, ins[1])
        elif name == "1.flatten":
            s, e = a.get("start_axis", 1), a.get("stop_axis", -1)
            e = e % x.ndim if x.ndim else 0
            y = x.reshape(x.shape[:s] + (-1,) + x.shape[e + 1:])
        elif name == "1.transpose":
            y = np.transpose(x, a["perm"])
        elif name == "1.pool2d":
            y = pool2d(x, [int(v) for v in ins[1]], _pair(a["strides"]), a["paddings"], a["pooling_type"],
                       a.get("adaptive", False), a.get("global_pooling", False), a.get("exclusive", True),
                       a.get("ceil_mode", False))
        elif name == "1.dropout":
            p = float(ins[2].reshape(-1)[0]) if len(ins) > 2 and ins[2] is not None else a.get("p", 0.5)
            y = x * (1 - np.float32(p)) if a.get("mode", "upscale_in_train") == "downgrade_in_infer" else x
        elif name in ("1.matmul", "1.matmul_v2"):
            lhs = np.swapaxes(x, -1, -2) if a.get("transpose_x") else x
            rhs = np.swapaxes(ins[1], -1, -2) if a.get("transpose_y") else ins[1]
            y = lhs @ rhs
        elif name == "1.softmax":
            y = _softmax(x, a.get("axis", -1))
        elif name == "1.concat":
            y = np.concatenate(x, axis=int(np.asarray(ins[1]).reshape(-1)[0]))
        elif name == "1.nearest_interp":
            size = None
            if len(ins) > 1 and ins[1] is not None:
                size = tuple(int(v) for v in ins[1])
            y = _nearest(x, a, size)
        elif name in ("1.assign", "1.share_data"):
            y = x
        elif name in ("1.shape", "1.shape64"):
            y = np.array(x.shape, dtype=np.int64 if name == "1.shape64" else np.int32)
        elif name == "1.slice":
            idx = [slice(None)] * x.ndim
            for ax, s0, e0 in zip(a["axes"], np.asarray(ins[1]).reshape(-1), np.asarray(ins[2]).reshape(-1)):
                idx[ax] = slice(int(s0), int(e0))
            y = x[tuple(idx)]
            dec = [d % x.ndim for d in a.get("decrease_axis", [])]
            if dec:
                y = y.reshape([n for i, n in enumerate(y.shape) if i not in dec])
        elif name == "1.layer_norm":
            axes = tuple(range(a.get("begin_norm_axis", 1), x.ndim))
            norm_shape = x.shape[axes[0]:]
            y = (x - x.mean(axis=axes, keepdims=True)) / np.sqrt(x.var(axis=axes, keepdims=True)
                                                                 + np.float32(a.get("epsilon", 1e-5)))
            if len(ins) > 1 and ins[1] is not None:
                y = y * ins[1].reshape(norm_shape)
            if len(ins) > 2 and ins[2] is not None:
                y = y + ins[2].reshape(norm_shape)
        elif name == "1.stack":
            y = np.stack([np.asarray(v) for v in x], axis=a.get("axis", 0))
        elif name in ("1.squeeze", "1.squeeze_"):
            axes = [int(v) % x.ndim for v in np.asarray(ins[1]).reshape(-1)] if len(ins) > 1 else []
            axes = [i for i in (axes or range(x.ndim)) if x.shape[i] == 1]
            y = np.squeeze(x, axis=tuple(axes))
        elif name in ("1.unsqueeze", "1.unsqueeze_"):
            y = x
            for ax in sorted(int(v) for v in np.asarray(ins[1]).reshape(-1)):
                y = np.expand_dims(y, ax if ax >= 0 else ax + y.ndim + 1)
        elif name == "1.gelu":
            from math import erf
            y = 0.5 * x * (1 + np.vectorize(erf)(x / np.sqrt(2)))
        else:
            raise NotImplementedError(f"reference has no {name}")
        if isinstance(y, np.ndarray) and y.dtype.kind == "f":
            y = y.astype(np.float64)
        env[oid[0]] = y
    return outs


def evaluate_files(json_path: str | Path, weights, feeds):
    return evaluate(json.loads(Path(json_path).read_text()), weights, feeds)
