"""Transposed convolution, pooling, padding, roll and tile through the built binary, checked
with onnx and run in ONNX Runtime against numpy versions of PaddlePaddle's semantics."""

import numpy as np
import pytest

from harness import DTYPES, Program, a_bool, a_dtype, a_f32, a_i32, a_intarray, a_place, check, convert, convert_check_run

RNG = np.random.default_rng(7)


def rand(*shape):
    return RNG.standard_normal(shape).astype(np.float32)


def expect_failure(tmp, program, weights, opset, message):
    r = convert(program, weights, tmp / "refused.onnx", opset=opset)
    assert r.returncode == 1, r.stderr
    assert message in r.stderr
    assert not (tmp / "refused.onnx").exists()


def paddle_pads(in_hw, k_hw, strides, paddings, algorithm):
    """Paddle's pads (top, bottom, left, right) after its padding algorithm: VALID pads nothing,
    SAME keeps ceil(in / stride) outputs with the undilated kernel (odd padding at the end),
    anything else takes the written 2 or 4 paddings."""
    if algorithm == "VALID":
        return (0, 0, 0, 0)
    if algorithm == "SAME":
        pads = []
        for n, k, st in zip(in_hw, k_hw, strides):
            total = max((-(-n // st) - 1) * st + k - n, 0)
            pads += [total // 2, total - total // 2]
        return tuple(pads)
    p = tuple(paddings)
    return (p[0], p[0], p[1], p[1]) if len(p) == 2 else p


# ------------------------------------------------------------------------------------------------
# Convolution (conv2d and depthwise_conv2d)


def conv2d_ref(x, w, strides, pads, dilations, groups):
    """Paddle conv2d, NCHW, pads = (top, bottom, left, right)."""
    n, _, _, _ = x.shape
    oc, cg, kh, kw = w.shape
    (sh, sw), (dh, dw) = strides, dilations
    pt, pb, pl, pr = pads
    xp = np.pad(x.astype(np.float64), ((0, 0), (0, 0), (pt, pb), (pl, pr)))
    oh = (xp.shape[2] - dh * (kh - 1) - 1) // sh + 1
    ow = (xp.shape[3] - dw * (kw - 1) - 1) // sw + 1
    out = np.zeros((n, oc, oh, ow))
    ocg = oc // groups
    for o in range(oc):
        g = o // ocg
        for a in range(kh):
            for b in range(kw):
                win = xp[:, g * cg:(g + 1) * cg, a * dh:a * dh + (oh - 1) * sh + 1:sh,
                         b * dw:b * dw + (ow - 1) * sw + 1:sw]
                out[:, o] += np.einsum("nchw,c->nhw", win, w[o, :, a, b])
    return out


def conv2d_program(op, x_dims, w_dims, strides, paddings, dilations=(1, 1), groups=1,
                   algorithm="EXPLICIT", data_format="NCHW", out_dtype="f32", bias=False):
    """bias: a third operand (one value per output channel), which Paddle's convolutions do not take."""
    p = Program()
    w = p.param("conv2d_0.w_0", "f32", w_dims)
    x = p.data("x", "f32", x_dims)
    y = p.op(op, [x, w] + ([p.data("b", "f32", [w_dims[0]])] if bias else []),
             attrs={"strides": [a_i32(s) for s in strides], "paddings": [a_i32(v) for v in paddings],
                    "padding_algorithm": algorithm, "groups": a_i32(groups),
                    "dilations": [a_i32(d) for d in dilations], "data_format": data_format},
             outs=[(out_dtype, [-1, w_dims[0], -1, -1])])
    p.fetch(y, "out")
    return p


CONV2D_CASES = {
    "explicit_dilated": dict(w=(3, 2, 3, 3), strides=(1, 2), paddings=(2, 1), dilations=(2, 1)),
    "explicit_four_paddings": dict(w=(3, 2, 3, 2), strides=(2, 1), paddings=(1, 0, 2, 1)),
    "same": dict(w=(3, 2, 3, 3), strides=(2, 2), paddings=(0, 0), algorithm="SAME"),
    # Paddle resets the dilations to 1 under SAME (and ONNX Runtime runs SAME only so).
    "same_dilated": dict(w=(3, 2, 3, 3), strides=(1, 2), paddings=(0, 0), dilations=(2, 2),
                         algorithm="SAME"),
    "same_kernel_below_stride": dict(w=(3, 2, 1, 2), strides=(3, 3), paddings=(0, 0), algorithm="SAME"),
    # Under VALID the written paddings, two or four, pad nothing.
    "valid": dict(w=(3, 2, 3, 3), strides=(1, 1), paddings=(1, 1), algorithm="VALID"),
    "valid_four_paddings_dilated": dict(w=(3, 2, 2, 2), strides=(1, 2), paddings=(1, 2, 0, 1),
                                        dilations=(2, 1), algorithm="VALID"),
    "depthwise_same_dilated": dict(op="1.depthwise_conv2d", w=(2, 1, 3, 3), strides=(1, 1),
                                   paddings=(1, 1), dilations=(2, 2), groups=2, algorithm="SAME"),
    "depthwise_valid": dict(op="1.depthwise_conv2d", w=(2, 1, 3, 3), strides=(2, 1), paddings=(1, 1),
                            groups=2, algorithm="VALID"),
    # Paddle reads any layout but NHWC and NDHWC as channels first.
    "any_layout": dict(w=(3, 2, 3, 3), strides=(1, 1), paddings=(1, 1), data_format="AnyLayout"),
}


@pytest.mark.parametrize("opset", [10, 17])
@pytest.mark.parametrize("case", sorted(CONV2D_CASES))
def test_conv2d(tmp, opset, case):
    c = dict(CONV2D_CASES[case])
    op, w_dims = c.pop("op", "1.conv2d"), c.pop("w")
    xs, ws = rand(2, 2, 7, 5), rand(*w_dims)
    p = conv2d_program(op, [-1, 2, -1, -1], w_dims, **c)
    out = convert_check_run(p, {"conv2d_0.w_0": ws}, {"x": xs}, opset=opset, tmp=tmp)["out"]
    algorithm = c.get("algorithm", "EXPLICIT")
    pads = paddle_pads(xs.shape[2:], w_dims[2:], c["strides"], c["paddings"], algorithm)
    dilations = (1, 1) if algorithm == "SAME" else c.get("dilations", (1, 1))
    np.testing.assert_allclose(out, conv2d_ref(xs, ws, c["strides"], pads, dilations, c.get("groups", 1)),
                               rtol=1e-5, atol=1e-5)


def channels_last_refusal(op, data_format):
    return (lambda: conv2d_program(op, [1, 5, 5, 2], [2, 1, 3, 3], (1, 1), (1, 1), groups=2, data_format=data_format),
            f"Error: {op[2:]} only supports NCHW: data_format {data_format} puts the channels last, where ONNX "
            "reads them from the second axis\n")


@pytest.mark.parametrize("program,message", [
    channels_last_refusal("1.conv2d", "NHWC"),
    channels_last_refusal("1.depthwise_conv2d", "NHWC"),
    channels_last_refusal("1.conv2d", "NDHWC"),
    # Paddle itself takes 2 or 4 paddings for a 2-D window.
    (lambda: conv2d_program("1.conv2d", [1, 2, 5, 5], [2, 2, 3, 3], (1, 1), (1, 2, 3)),
     "Error: conv2d: pads [1, 2, 3] must hold a begin and an end for each spatial axis\n"),
    (lambda: conv2d_program("1.depthwise_conv2d", [1, 2, 5, 5], [2, 1, 3, 3], (1, 1), (1,) * 6, groups=2),
     "Error: depthwise_conv2d: pads [1, 1, 1, 1, 1, 1] gives 3 spatial axes, but depthwise_conv2d has 2\n"),
    # Under SAME the pads and dilations go, and nothing else speaks of the axes: a Conv with
    # three strides for two axes is what ONNX Runtime refuses to load.
    (lambda: conv2d_program("1.conv2d", [1, 2, 5, 5], [2, 2, 3, 3], (3, 3, 3), (0, 0), algorithm="SAME"),
     "Error: conv2d: strides [3, 3, 3] gives 3 spatial axes, but conv2d has 2\n"),
    # Lists that agree with one another on three axes still do not fit a 2-D convolution.
    (lambda: conv2d_program("1.conv2d", [1, 2, 5, 5], [2, 2, 3, 3], (1, 1, 1), (0,) * 6, dilations=(1, 1, 1)),
     "Error: conv2d: strides [1, 1, 1] gives 3 spatial axes, but conv2d has 2\n"),
    (lambda: conv2d_program("1.conv2d", [1, 2, 5, 5], [2, 2, 3, 3], (1,), (0, 0), dilations=(1,), algorithm="VALID"),
     "Error: conv2d: strides [1] gives 1 spatial axes, but conv2d has 2\n"),
    # The result has the data's type: a consumer typed against float64 would not load.
    (lambda: conv2d_program("1.conv2d", [1, 2, 5, 5], [2, 2, 3, 3], (1, 1), (1, 1), out_dtype="f64"),
     "Error: conv2d declares its output 3 as float64 [-1, 2, -1, -1], but computes float32\n"),
    (lambda: conv2d_program("1.depthwise_conv2d", [1, 2, 5, 5], [2, 1, 3, 3], (1, 1), (1, 1), groups=2,
                            out_dtype="f16"),
     "Error: depthwise_conv2d declares its output 3 as float16 [-1, 2, -1, -1], but computes float32\n"),
    # A third operand would become Conv's bias.
    (lambda: conv2d_program("1.conv2d", [1, 2, 5, 5], [2, 2, 3, 3], (1, 1), (1, 1), bias=True),
     "Error: conv2d has 3 operands, but it takes 2 (x, filter)\n"),
    (lambda: conv2d_program("1.depthwise_conv2d", [1, 2, 5, 5], [2, 1, 3, 3], (1, 1), (1, 1), groups=2, bias=True),
     "Error: depthwise_conv2d has 3 operands, but it takes 2 (x, filter)\n"),
])
@pytest.mark.parametrize("opset", [17, 18])
def test_conv2d_refusals(tmp, program, message, opset):
    expect_failure(tmp, program(), {"conv2d_0.w_0": rand(2, 2, 3, 3)}, opset, message)


# ------------------------------------------------------------------------------------------------
# Transposed convolution


def conv_transpose_ref(x, w, strides, pads, dilations=(1, 1), groups=1, out_hw=None):
    """Paddle conv2d_transpose, NCHW, pads = (top, bottom, left, right). The full result is
    cropped by the head pads; an output larger than the natural size takes what the full result
    holds there and zeros beyond."""
    n, cin, h, wd = x.shape
    _, ocg, kh, kw = w.shape
    (sh, sw), (dh, dw) = strides, dilations
    full = np.zeros((n, ocg * groups, (h - 1) * sh + dh * (kh - 1) + 1, (wd - 1) * sw + dw * (kw - 1) + 1))
    cing = cin // groups
    for ci in range(cin):
        g = ci // cing
        for co in range(ocg):
            for a in range(kh):
                for b in range(kw):
                    full[:, g * ocg + co, a * dh:a * dh + (h - 1) * sh + 1:sh,
                         b * dw:b * dw + (wd - 1) * sw + 1:sw] += x[:, ci] * w[ci, co, a, b]
    pt, pb, pl, pr = pads
    oh = out_hw[0] if out_hw else full.shape[2] - pt - pb
    ow = out_hw[1] if out_hw else full.shape[3] - pl - pr
    out = np.zeros((n, full.shape[1], oh, ow))
    part = full[:, :, pt:pt + oh, pl:pl + ow]
    out[:, :, :part.shape[2], :part.shape[3]] = part
    return out


def conv_transpose_program(x_dims, w_dims, strides, paddings, groups=1, output_size=(),
                           data_format="NCHW", out_dims=None, algorithm="EXPLICIT", dilations=(1, 1),
                           output_padding=(), fed_size=None):
    """fed_size: (type, dims) of an output_size fed as input "output_size" instead of folded, or
    ("list", ...): a list of a 0-D int32 "output_h" and an int64 [1] "output_w"."""
    p = Program()
    w = p.param("conv2d_transpose_0.w_0", "f32", w_dims)
    x = p.data("x", "f32", x_dims)
    if fed_size and fed_size[0] == "list":
        size = p.combine([p.data("output_h", "i32", []), p.data("output_w", "i64", [1])])
    else:
        size = p.data("output_size", *fed_size) if fed_size else p.full_int_array(list(output_size))
    y = p.op("1.conv2d_transpose", [x, w, size],
             attrs={"strides": [a_i32(s) for s in strides], "paddings": [a_i32(v) for v in paddings],
                    "output_padding": [a_i32(v) for v in output_padding], "padding_algorithm": algorithm, "groups": groups,
                    "dilations": [a_i32(d) for d in dilations], "data_format": data_format},
             outs=[("f32", out_dims or [-1, w_dims[1] * groups, -1, -1])])
    p.fetch(y, "out")
    return p


CONV_CASES = {
    # The detection-head form: stride 2, no padding, an empty output_size list.
    "db_head": dict(x=(1, 4, 3, 5), w=(4, 3, 2, 2), strides=(2, 2), paddings=(0, 0), pads=(0, 0, 0, 0)),
    "paddings": dict(x=(1, 2, 4, 3), w=(2, 2, 3, 3), strides=(2, 2), paddings=(1, 1), pads=(1, 1, 1, 1)),
    "asymmetric_paddings": dict(x=(1, 2, 3, 3), w=(2, 1, 3, 3), strides=(2, 1),
                                paddings=(1, 0, 0, 2), pads=(1, 0, 0, 2)),
    "groups": dict(x=(1, 4, 3, 3), w=(4, 1, 3, 3), strides=(1, 1), paddings=(1, 1), pads=(1, 1, 1, 1),
                   groups=2),
    "dilated": dict(x=(1, 2, 3, 4), w=(2, 2, 3, 2), strides=(2, 1), paddings=(1, 0), dilations=(2, 3)),
    # Paddle computes SAME pads from the input size and resets the dilations to 1: an input
    # size that is not a multiple of the stride gives another size than ONNX's SAME would.
    "same_odd_input": dict(x=(1, 2, 5, 4), w=(2, 3, 3, 3), strides=(2, 2), paddings=(1, 1),
                           algorithm="SAME"),
    "same_dilated_kernel_below_stride": dict(x=(1, 2, 4, 5), w=(2, 2, 1, 2), strides=(3, 2),
                                             paddings=(1, 1), dilations=(2, 2), algorithm="SAME"),
    # With stride 1 the SAME pads do not depend on the input size.
    "same_stride_1_unknown_size": dict(x=(1, 2, 4, 5), w=(2, 2, 3, 2), strides=(1, 1), paddings=(0, 0),
                                       dilations=(1, 2), algorithm="SAME", dynamic_hw=True),
    # With a stride above 1 and sizes known only at run time the pads are computed there:
    # sizes that are and are not multiples of the stride, kernels wider and narrower than the
    # stride (whose padding Paddle clamps at 0), batches above 1.
    "same_unknown_size_multiple": dict(x=(2, 4, 4, 6), w=(4, 1, 3, 3), strides=(2, 2), paddings=(0, 0),
                                       groups=2, algorithm="SAME", dynamic_hw=True),
    "same_unknown_size_odd": dict(x=(2, 2, 5, 7), w=(2, 3, 3, 2), strides=(2, 3), paddings=(1, 1),
                                  algorithm="SAME", dynamic_hw=True),
    "same_unknown_size_kernel_below_stride": dict(x=(3, 2, 6, 5), w=(2, 2, 1, 2), strides=(3, 2),
                                                  paddings=(0, 0), dilations=(2, 2), algorithm="SAME",
                                                  dynamic_hw=True),
    "same_unknown_size_clamped_and_not": dict(x=(1, 2, 7, 6), w=(2, 2, 2, 2), strides=(3, 3),
                                              paddings=(0, 0), algorithm="SAME", dynamic_hw=True),
    "same_unknown_size_output_padding": dict(x=(2, 1, 5, 4), w=(1, 2, 3, 3), strides=(2, 2), paddings=(0, 0),
                                             algorithm="SAME", output_padding=(1, 1), dynamic_hw=True),
    "same_output_padding": dict(x=(2, 1, 5, 4), w=(1, 2, 3, 3), strides=(2, 2), paddings=(0, 0),
                                algorithm="SAME", output_padding=(1, 1)),
    "same_output_size": dict(x=(1, 1, 4, 4), w=(1, 1, 3, 3), strides=(2, 2), paddings=(0, 0),
                             algorithm="SAME", output_size=(9, 8)),
    "valid": dict(x=(1, 2, 3, 3), w=(2, 2, 3, 3), strides=(2, 1), paddings=(1, 0, 0, 2), dilations=(1, 2),
                  algorithm="VALID"),
    # Paddle takes output_padding below the larger of stride and dilation: its extra rows come
    # from under the end pad (H here), then are zeros past the uncropped result (W).
    "output_padding_past_stride": dict(x=(2, 2, 3, 4), w=(2, 3, 3, 2), strides=(1, 1), paddings=(1, 0),
                                       dilations=(2, 2), output_padding=(1, 1)),
    "output_padding_past_stride_one_axis": dict(x=(2, 1, 3, 3), w=(1, 2, 2, 3), strides=(1, 2), paddings=(0, 1),
                                                dilations=(3, 1), output_padding=(2, 1), dynamic_hw=True),
    "output_padding_past_stride_under_larger_pad": dict(x=(1, 1, 4, 3), w=(1, 1, 3, 3), strides=(1, 1),
                                                        paddings=(2, 0, 1, 1), dilations=(2, 2),
                                                        output_padding=(1, 1)),
    # An output size known only when the model runs (fed as "output_size", of the type and dims
    # given), anywhere in [natural, natural + stride): Paddle's rows from the head pad on, those
    # under the tail pad included, then zeros past the uncropped result. Natural 7 here, the
    # uncropped result 9, so H takes its last row from under the tail pad and W a zero.
    "size_at_run_time": dict(x=(2, 1, 3, 3), w=(1, 1, 3, 3), strides=(3, 3), paddings=(1, 1), output_size=(8, 9),
                             fed_size=("i32", [2])),
    "size_at_run_time_natural": dict(x=(2, 2, 3, 4), w=(2, 3, 2, 3), strides=(2, 2), paddings=(1, 0, 0, 2),
                                     output_size=(5, 7), fed_size=("i64", [2])),
    "size_at_run_time_groups_dilated": dict(x=(2, 4, 3, 2), w=(4, 1, 3, 2), strides=(2, 3), paddings=(1, 2, 0, 1),
                                            groups=2, dilations=(2, 3), output_size=(7, 8), fed_size=("i64", [2])),
    # Declared with a length known only at run time, over input sizes known only then.
    "size_at_run_time_unknown_length": dict(x=(2, 2, 4, 3), w=(2, 2, 3, 3), strides=(2, 2), paddings=(1, 1),
                                            output_size=(8, 6), fed_size=("i32", [-1]), dynamic_hw=True),
    "size_at_run_time_same": dict(x=(2, 1, 5, 4), w=(1, 2, 3, 3), strides=(2, 2), paddings=(0, 0),
                                  algorithm="SAME", output_size=(10, 8), fed_size=("i32", [2])),
    "size_at_run_time_same_unknown_size": dict(x=(2, 1, 5, 4), w=(1, 2, 3, 2), strides=(2, 3), paddings=(0, 0),
                                               algorithm="SAME", output_size=(10, 12), fed_size=("i64", [2]),
                                               dynamic_hw=True),
    "size_at_run_time_list": dict(x=(2, 1, 3, 3), w=(1, 2, 3, 3), strides=(3, 2), paddings=(0, 1),
                                  output_size=(10, 6), fed_size=("list",)),
    # A folded output size over input spatial dims known only when the model runs: no natural
    # size places it before then, so it is placed as a fed size is (from opset 11), its output
    # declared open or as that size. The first mirrors "size_at_run_time"; then zeros past the
    # uncropped result (natural 8 with no tail pad: 9 is one row of zeros), a size above the
    # natural one that the slice crops (natural 6 and 8, the uncropped result 8 and 10 past the
    # head pad), and SAME pads of the input size.
    "size_given_unknown_hw": dict(x=(2, 1, 3, 3), w=(1, 1, 3, 3), strides=(3, 3), paddings=(1, 1),
                                  output_size=(8, 9), dynamic_hw=True, out_dims=[-1, 1, 8, 9]),
    "size_given_unknown_hw_zeros": dict(x=(2, 1, 4, 4), w=(1, 2, 3, 3), strides=(2, 2), paddings=(1, 0, 1, 0),
                                        output_size=(9, 9), dynamic_hw=True),
    "size_given_unknown_hw_sliced": dict(x=(2, 1, 4, 5), w=(1, 2, 3, 3), strides=(2, 2), paddings=(1, 2, 1, 2),
                                         output_size=(7, 9), dynamic_hw=True),
    "size_given_unknown_hw_same": dict(x=(2, 1, 5, 4), w=(1, 2, 3, 3), strides=(2, 2), paddings=(0, 0),
                                       algorithm="SAME", output_size=(10, 8), dynamic_hw=True),
}


@pytest.mark.parametrize("opset", [10, 11, 13, 17, 21])
@pytest.mark.parametrize("case", sorted(CONV_CASES))
def test_conv2d_transpose(tmp, opset, case):
    c = CONV_CASES[case]
    groups = c.get("groups", 1)
    algorithm = c.get("algorithm", "EXPLICIT")
    dilations = c.get("dilations", (1, 1))
    output_padding = c.get("output_padding", ())
    x_dims = (-1, c["x"][1], -1, -1) if c.get("dynamic_hw") else (-1,) + c["x"][1:]
    fed_size = c.get("fed_size")
    p = conv_transpose_program(x_dims, c["w"], c["strides"], c["paddings"], groups,
                               output_size=c.get("output_size", ()), algorithm=algorithm, dilations=dilations,
                               output_padding=output_padding, fed_size=fed_size, out_dims=c.get("out_dims"))
    xs, ws = rand(*c["x"]), rand(*c["w"])
    feeds = {"x": xs}
    if c.get("output_size") and c.get("dynamic_hw") and not fed_size and opset < 11:
        expect_failure(tmp, p, {"conv2d_transpose_0.w_0": ws}, opset,
                       f"conv2d_transpose with output_size {list(c['output_size'])} over input spatial dims known "
                       f"only when the model runs requires opset >= 11, but target opset is {opset}")
        return
    if fed_size:
        if opset < 11:
            expect_failure(tmp, p, {"conv2d_transpose_0.w_0": ws}, opset,
                           "conv2d_transpose with an output_size computed when the model runs requires opset >= 11")
            return
        oh, ow = c["output_size"]
        if fed_size[0] == "list":
            feeds.update(output_h=np.array(oh, np.int32), output_w=np.array([ow], np.int64))
        else:
            feeds["output_size"] = np.array([oh, ow], {"i32": np.int32, "i64": np.int64}[fed_size[0]])
    out = convert_check_run(p, {"conv2d_transpose_0.w_0": ws}, feeds, opset=opset, tmp=tmp)["out"]
    pads = paddle_pads(c["x"][2:], c["w"][2:], c["strides"], c["paddings"], algorithm)
    assert pads == c.get("pads", pads)
    dilations = (1, 1) if algorithm == "SAME" else dilations
    out_hw = c.get("output_size")
    if out_hw:
        # Paddle refuses a size outside [natural, natural + stride), which a model placing it
        # at run time cannot.
        natural = conv_transpose_ref(xs, ws, c["strides"], pads, dilations, groups).shape[2:]
        assert all(n <= o < n + st for n, o, st in zip(natural, out_hw, c["strides"])), (natural, out_hw)
    if output_padding:
        # Paddle's output_padding lengthens the natural size at the end.
        natural = conv_transpose_ref(xs, ws, c["strides"], pads, dilations, groups).shape[2:]
        out_hw = tuple(n + e for n, e in zip(natural, output_padding))
    expected = conv_transpose_ref(xs, ws, c["strides"], pads, dilations, groups=groups, out_hw=out_hw)
    np.testing.assert_allclose(out, expected, rtol=1e-5, atol=1e-5)


@pytest.mark.parametrize("opset", [10, 17])
@pytest.mark.parametrize("strides,size", [((1, 2), (1, 3)), ((1, 2), (1, 4)), ((1, 3), (1, 6)),
                                          ((2, 3), (2, 6))])
def test_conv2d_transpose_explicit_output_size_keeps_paddle_pads(tmp, opset, strides, size):
    # x [1, 2] with filter [1, 10, 100] and paddings (0, 1): Paddle keeps the head pad and puts
    # any extra size at the end, so strides (1, 3) with size 6 give [10, 100, 2, 20, 200, 0].
    xs = np.array([[[[1, 2]]]], np.float32)
    ws = np.array([[[[1, 10, 100]]]], np.float32)
    p = conv_transpose_program([1, 1, 1, 2], [1, 1, 1, 3], strides, (0, 1), output_size=size)
    out = convert_check_run(p, {"conv2d_transpose_0.w_0": ws}, {"x": xs}, opset=opset, tmp=tmp)["out"]
    expected = conv_transpose_ref(xs, ws, strides, (0, 0, 1, 1), out_hw=size)
    np.testing.assert_allclose(out, expected)
    if strides == (1, 3):
        np.testing.assert_allclose(out.ravel(), [10, 100, 2, 20, 200, 0])


def test_conv2d_transpose_refusals(tmp):
    ws = {"conv2d_transpose_0.w_0": rand(1, 1, 1, 3)}
    # Outside [natural, natural + stride) Paddle itself refuses the size.
    expect_failure(tmp, conv_transpose_program([1, 1, 1, 2], [1, 1, 1, 3], (1, 3), (0, 1), output_size=(1, 7)),
                   ws, 17, "conv2d_transpose output_size [1, 7] is not reachable: dim 1 must lie in [4, 7)")
    # Over input spatial dims known only when the model runs, a size is placed there (opset 11),
    # and one below 1 is none Paddle gives for any input.
    expect_failure(tmp, conv_transpose_program([1, 1, -1, -1], [1, 1, 1, 3], (1, 3), (0, 1), output_size=(1, 6)),
                   ws, 10, "conv2d_transpose with output_size [1, 6] over input spatial dims known only when the "
                   "model runs requires opset >= 11, but target opset is 10")
    expect_failure(tmp, conv_transpose_program([1, 1, -1, -1], [1, 1, 1, 3], (1, 3), (0, 1), output_size=(0, 6)),
                   ws, 17, "conv2d_transpose output_size [0, 6] is not reachable: its dims must be positive")
    expect_failure(tmp, conv_transpose_program([1, 2, 1, 1], [1, 1, 1, 3], (1, 1), (0, 0), data_format="NHWC"),
                   ws, 17, "conv2d_transpose only supports NCHW")
    # Likewise under SAME with a stride above 1, whose pads follow the input size.
    expect_failure(tmp, conv_transpose_program([1, 1, -1, -1], [1, 1, 1, 3], (1, 2), (0, 0), algorithm="SAME",
                                               output_size=(1, 5)),
                   ws, 10, "conv2d_transpose with output_size [1, 5] over input spatial dims known only when the "
                   "model runs requires opset >= 11, but target opset is 10")
    # A size fed when the model runs holds the output's height and width: three values would
    # give a model that fails on every input.
    for opset in (17, 21):
        expect_failure(tmp, conv_transpose_program([-1, 1, 1, 2], [1, 1, 1, 3], (1, 3), (0, 1), fed_size=("i32", [3])),
                       ws, opset, "conv2d_transpose output_size (value 3) of dims [3] must hold 2 values")
    # Strides for three axes under SAME, where no pads speak of the axes: ONNX Runtime refuses the model.
    for opset in (17, 21):
        expect_failure(tmp, conv_transpose_program([1, 1, 2, 2], [1, 1, 1, 3], (1, 1, 1), (0, 0), algorithm="SAME"),
                       ws, opset, "conv2d_transpose: strides [1, 1, 1] gives 3 spatial axes, but conv2d_transpose has 2")
    # Windows no runtime runs: a zero stride, negative padding, no groups.
    expect_failure(tmp, conv_transpose_program([1, 1, 2, 2], [1, 1, 1, 3], (0, 1), (0, 0)),
                   ws, 17, "conv2d_transpose: strides [0, 1] must be positive")
    expect_failure(tmp, conv_transpose_program([1, 1, 2, 2], [1, 1, 1, 3], (1, 1), (-1, 0)),
                   ws, 17, "conv2d_transpose: pads [-1, 0, -1, 0] must be non-negative")
    expect_failure(tmp, conv_transpose_program([1, 1, 2, 2], [1, 1, 1, 3], (1, 1), (0, 0), groups=0,
                                               out_dims=[-1, 1, -1, -1]),
                   ws, 17, "conv2d_transpose: groups must be positive, got 0")
    # Paddings that eat more than the transposed convolution makes: ONNX Runtime refuses the node.
    for opset in (17, 21):
        expect_failure(tmp, conv_transpose_program([-1, 1, 2, 2], [1, 1, 1, 3], (1, 1), (0, 3)),
                       ws, opset, "conv2d_transpose: its paddings leave an output size of -2 on spatial axis 1")
    # An extra output row at or past max(stride, dilation), channels that do not split into
    # the groups, a filter for other channels: Paddle refuses them, ONNX Runtime fails at run time.
    expect_failure(tmp, conv_transpose_program([1, 1, 2, 2], [1, 1, 1, 3], (1, 2), (0, 0), output_padding=(1, 1)),
                   ws, 17, "conv2d_transpose: output_padding [1, 1] must be below the larger of strides [1, 2] and "
                   "dilations [1, 1] on each axis")
    expect_failure(tmp, conv_transpose_program([1, 1, 2, 2], [1, 1, 1, 3], (1, 1), (0, 0), groups=2),
                   ws, 17, "conv2d_transpose: the 1 input channels do not split into 2 groups")
    expect_failure(tmp, conv_transpose_program([1, 2, 2, 2], [1, 1, 1, 3], (1, 1), (0, 0)),
                   ws, 17, "conv2d_transpose: the filter [1, 1, 1, 3] is for 1 input channels, the input [1, 2, 2, 2] "
                   "has 2")


# ------------------------------------------------------------------------------------------------
# Pooling


def pool_ref(x, kernel, strides, pads, kind, ceil_mode=False, exclusive=True):
    """Paddle pool2d as its CPU kernel computes it, NCHW, pads = (top, bottom, left, right)."""
    n, c, h, w = x.shape
    (kh, kw), (sh, sw) = kernel, strides
    pt, pb, pl, pr = pads
    extra_h, extra_w = (sh - 1, sw - 1) if ceil_mode else (0, 0)
    # Paddle counts the positions with integer division toward zero: a window up to a
    # stride larger than the padded input still gives one.
    oh = int((h - kh + pt + pb + extra_h) / sh) + 1
    ow = int((w - kw + pl + pr + extra_w) / sw) + 1
    out = np.zeros((n, c, oh, ow), x.dtype)
    with np.errstate(over="ignore"):  # -FLT_MAX is -inf in float16
        initial = np.array(-np.finfo(np.float32).max).astype(x.dtype)
    for i in range(oh):
        for j in range(ow):
            # The kernel keeps the begin pads only: a window ends at the input plus its begin
            # pad at most, then is cut to the input.
            hs, ws = i * sh - pt, j * sw - pl
            he, we = min(hs + kh, h + pt), min(ws + kw, w + pl)
            h0, h1, w0, w1 = max(hs, 0), min(he, h), max(ws, 0), min(we, w)
            win = x[:, :, h0:max(h1, h0), w0:max(w1, w0)]
            if kind == "max":
                # From -FLT_MAX (all a window wholly in the padding gives), keeping the value
                # so far only where it is greater: a NaN first in its window leaves the
                # maximum of the rest.
                m = np.full((n, c), initial, x.dtype)
                for v in win.reshape(n, c, win.shape[2] * win.shape[3]).transpose(2, 0, 1):
                    m = np.where(m > v, m, v)
                out[:, :, i, j] = m
            else:
                # Exclusive: the window cut to the input, negative for one starting past its
                # end (a zero sum over it is 0); inclusive: before the cut.
                count = (h1 - h0) * (w1 - w0) if exclusive else (he - hs) * (we - ws)
                with np.errstate(invalid="ignore"):  # a count of 0: 0 / 0
                    out[:, :, i, j] = win.sum(axis=(2, 3)) / np.float32(count)
    return out


def pool_program(x_dims, kernel, kind, strides=(1, 1), paddings=(0, 0), ceil_mode=False, exclusive=True,
                 adaptive=False, global_pooling=False, data_format="NCHW", kernel_from_data=False,
                 algorithm="EXPLICIT", dtype="f32", kernel_listed=False):
    p = Program()
    x = p.data("x", dtype, x_dims)
    k = p.data("k", "i64", [2]) if kernel_from_data else p.full_int_array(list(kernel))
    if kernel_listed:
        # The kernel size as Paddle's export lists it: one-value tensors, int32 and int64, 0-D
        # and [1], read element by element; "at_run_time" feeds the second.
        kw = p.data("kw", "i32", []) if kernel_listed == "at_run_time" else p.full([1], kernel[1], "i64")
        k = p.combine([p.full([], kernel[0], "i32"), kw])
    y = p.op("1.pool2d", [x, k],
             attrs={"strides": [a_i32(s) for s in strides], "paddings": [a_i32(v) for v in paddings],
                    "ceil_mode": ceil_mode, "exclusive": exclusive, "data_format": data_format,
                    "pooling_type": kind, "global_pooling": global_pooling, "adaptive": adaptive,
                    "padding_algorithm": algorithm},
             outs=[(dtype, [-1, x_dims[1] if len(x_dims) > 1 else 1, -1, -1])])
    p.fetch(y, "out")
    return p


POOL_CASES = {
    "max": dict(kind="max", kernel=(2, 2), strides=(2, 2), paddings=(0, 0)),
    "max_padded": dict(kind="max", kernel=(3, 3), strides=(2, 2), paddings=(1, 1)),
    "avg_exclusive": dict(kind="avg", kernel=(2, 2), strides=(1, 1), paddings=(1, 1), exclusive=True),
    "avg_inclusive": dict(kind="avg", kernel=(2, 2), strides=(1, 1), paddings=(1, 1), exclusive=False),
    "avg_four_paddings": dict(kind="avg", kernel=(2, 2), strides=(1, 1), paddings=(1, 0, 1, 0)),
    "max_ceil": dict(kind="max", kernel=(2, 2), strides=(2, 2), paddings=(0, 0), ceil_mode=True),
    "max_floor": dict(kind="max", kernel=(2, 2), strides=(2, 2), paddings=(0, 0), ceil_mode=False),
    "avg_ceil": dict(kind="avg", kernel=(3, 2), strides=(2, 2), paddings=(0, 0), ceil_mode=True),
    # Under VALID the written paddings, two or four, pad nothing.
    "max_valid": dict(kind="max", kernel=(3, 3), strides=(2, 2), paddings=(1, 1), algorithm="VALID"),
    "avg_valid_four_paddings": dict(kind="avg", kernel=(2, 3), strides=(1, 2), paddings=(1, 0, 1, 2),
                                    exclusive=False, algorithm="VALID"),
    "max_same": dict(kind="max", kernel=(3, 2), strides=(2, 2), paddings=(1, 1), algorithm="SAME"),
    "max_same_ceil": dict(kind="max", kernel=(3, 3), strides=(2, 2), paddings=(0, 0), ceil_mode=True,
                          algorithm="SAME"),
    "avg_same": dict(kind="avg", kernel=(3, 3), strides=(2, 1), paddings=(0, 0), algorithm="SAME"),
    "avg_same_inclusive": dict(kind="avg", kernel=(3, 3), strides=(2, 2), paddings=(0, 0), exclusive=False,
                               algorithm="SAME"),
    # A kernel smaller than its stride: Paddle pads nothing, where ONNX's SAME would need a
    # negative padding.
    "max_same_kernel_below_stride": dict(kind="max", kernel=(1, 2), strides=(3, 3), paddings=(0, 0),
                                         algorithm="SAME"),
    "avg_same_kernel_below_stride": dict(kind="avg", kernel=(2, 1), strides=(3, 2), paddings=(1, 1),
                                         algorithm="SAME"),
    # A window larger than the padded input by less than a stride: one position, over all of it.
    "max_window_past_the_input": dict(kind="max", kernel=(6, 7), strides=(2, 3), paddings=(0, 0)),
    "avg_window_past_the_padded_input_ceil": dict(kind="avg", kernel=(8, 6), strides=(2, 2), paddings=(1, 0),
                                                  ceil_mode=True),
    "avg_window_past_the_padded_input_inclusive": dict(kind="avg", kernel=(6, 7), strides=(2, 3), paddings=(0, 1),
                                                       exclusive=False),
    # Under ceil_mode Paddle counts (in - k + pads + s - 1) / s + 1 windows: the last one may lie
    # wholly in the end padding (a sum of nothing, over k * k or over no element), or overhang
    # the padded input (over k * k all the same), with sizes known or not before run time.
    "avg_ceil_inclusive_window_in_padding": dict(kind="avg", kernel=(2, 2), strides=(2, 2), paddings=(1, 1),
                                                 ceil_mode=True, exclusive=False),
    "avg_ceil_exclusive_window_in_padding": dict(kind="avg", kernel=(2, 2), strides=(2, 2), paddings=(1, 1),
                                                 ceil_mode=True),
    "avg_ceil_inclusive_overhang": dict(kind="avg", kernel=(3, 3), strides=(3, 2), paddings=(0, 0), ceil_mode=True,
                                        exclusive=False),
    "avg_ceil_inclusive_unknown_size": dict(kind="avg", kernel=(3, 2), strides=(3, 2), paddings=(0, 0, 1, 0),
                                            ceil_mode=True, exclusive=False, dynamic_hw=True),
    "avg_ceil_exclusive_unknown_size": dict(kind="avg", kernel=(2, 3), strides=(2, 2), paddings=(1, 1),
                                            ceil_mode=True, dynamic_hw=True),
    # The same count for max: a last window wholly in the end padding gives -FLT_MAX (-inf in
    # float16), on one axis or both; a window that overhangs the input keeps its maximum, and a
    # NaN that starts the last window holding input is passed over. End pads past the kernel
    # do it without ceil_mode.
    "max_ceil_window_in_padding": dict(kind="max", kernel=(2, 2), strides=(2, 2), paddings=(1, 1), ceil_mode=True,
                                       nan_at=(3, 3)),
    "max_ceil_window_in_padding_unknown_size": dict(kind="max", kernel=(2, 2), strides=(2, 2), paddings=(1, 1),
                                                    ceil_mode=True, dynamic_hw=True, nan_at=(3, 3)),
    "max_ceil_window_in_padding_f16": dict(kind="max", kernel=(2, 2), strides=(2, 2), paddings=(1, 1),
                                           ceil_mode=True, dtype="f16"),
    "max_ceil_window_in_padding_f64": dict(kind="max", kernel=(2, 2), strides=(2, 2), paddings=(1, 1),
                                           ceil_mode=True, dtype="f64", dynamic_hw=True),
    "max_ceil_one_axis_in_padding": dict(kind="max", kernel=(2, 3), strides=(3, 2), paddings=(0, 1, 1, 0),
                                         ceil_mode=True),
    "max_ceil_one_axis_in_padding_unknown_size": dict(kind="max", kernel=(2, 3), strides=(3, 2),
                                                      paddings=(0, 1, 1, 0), ceil_mode=True, dynamic_hw=True),
    "max_ceil_overhang_unknown_size": dict(kind="max", kernel=(2, 2), strides=(2, 2), paddings=(0, 0),
                                           ceil_mode=True, dynamic_hw=True),
    "max_end_pads_past_the_kernel": dict(kind="max", kernel=(2, 2), strides=(1, 2), paddings=(0, 2, 0, 3)),
    # An inclusive window is divided by its part inside the input and the begin pad (as the
    # CPU kernel does; the GPU kernel takes kh * kw): [6, 6] with k 3, s 2, p 1 divides the
    # last row's windows by 6, a 5-wide input with k 2, s 2 its last column's by 2.
    "avg_ceil_inclusive_overhang_padded": dict(kind="avg", kernel=(3, 3), strides=(2, 2), paddings=(1, 1),
                                               ceil_mode=True, exclusive=False, hw=(6, 6)),
    "avg_ceil_inclusive_overhang_padded_unknown_size": dict(kind="avg", kernel=(3, 3), strides=(2, 2),
                                                            paddings=(1, 1), ceil_mode=True, exclusive=False,
                                                            hw=(6, 6), dynamic_hw=True),
    "avg_ceil_inclusive_overhang_unpadded": dict(kind="avg", kernel=(2, 2), strides=(2, 2), paddings=(0, 0),
                                                 ceil_mode=True, exclusive=False),
    "avg_ceil_inclusive_overhang_unpadded_unknown_size": dict(kind="avg", kernel=(2, 2), strides=(2, 2),
                                                              paddings=(0, 0), ceil_mode=True, exclusive=False,
                                                              dynamic_hw=True),
    # The end pads count for the number of windows only: a window reaching past the input and
    # its begin pad is cut there, without ceil_mode too, to no row at all where it starts
    # just there (0 / 0).
    "avg_inclusive_end_pad_past_begin_pad": dict(kind="avg", kernel=(2, 3), strides=(1, 2), paddings=(0, 1, 0, 2),
                                                 exclusive=False),
    "avg_inclusive_end_pad_past_begin_pad_unknown_size": dict(kind="avg", kernel=(2, 3), strides=(1, 2),
                                                              paddings=(0, 1, 0, 2), exclusive=False,
                                                              dynamic_hw=True),
    "avg_ceil_inclusive_window_at_the_padded_end": dict(kind="avg", kernel=(2, 2), strides=(2, 2),
                                                        paddings=(0, 1, 0, 1), ceil_mode=True, exclusive=False,
                                                        hw=(4, 4)),
    # An exclusive window starting past the input's end averages a zero sum over a negative
    # count, 0; one starting just at the end is 0 / 0, NaN.
    "avg_ceil_exclusive_window_past_the_end": dict(kind="avg", kernel=(2, 2), strides=(3, 3), paddings=(0, 1, 0, 1),
                                                   ceil_mode=True),
    "avg_ceil_exclusive_window_past_the_end_unknown_size": dict(kind="avg", kernel=(2, 2), strides=(3, 3),
                                                                paddings=(0, 1, 0, 1), ceil_mode=True,
                                                                dynamic_hw=True),
    "avg_ceil_exclusive_window_past_the_end_k3_s4": dict(kind="avg", kernel=(3, 3), strides=(4, 4),
                                                         paddings=(0, 2, 0, 2), ceil_mode=True, hw=(6, 6),
                                                         dynamic_hw=True),
    "avg_ceil_exclusive_window_at_the_end": dict(kind="avg", kernel=(2, 2), strides=(2, 2), paddings=(0, 1, 0, 1),
                                                 ceil_mode=True, hw=(4, 4)),
    "avg_ceil_exclusive_window_at_the_end_unknown_size": dict(kind="avg", kernel=(2, 2), strides=(2, 2),
                                                              paddings=(0, 1, 0, 1), ceil_mode=True, hw=(4, 4),
                                                              dynamic_hw=True),
    "avg_exclusive_window_past_the_input": dict(kind="avg", kernel=(6, 6), strides=(2, 2), paddings=(0, 0)),
    # SAME puts an odd pad at the end, which the inclusive divisor does not count: the last
    # window of such an axis is divided by one row less, with sizes known or not.
    "avg_same_inclusive_even_kernel": dict(kind="avg", kernel=(2, 4), strides=(1, 1), paddings=(0, 0),
                                           exclusive=False, algorithm="SAME"),
    "avg_same_inclusive_even_kernel_unknown_size": dict(kind="avg", kernel=(2, 4), strides=(1, 1), paddings=(0, 0),
                                                        exclusive=False, algorithm="SAME", dynamic_hw=True),
    "avg_same_inclusive_odd_pad_unknown_size": dict(kind="avg", kernel=(3, 3), strides=(2, 2), paddings=(0, 0),
                                                    exclusive=False, algorithm="SAME", hw=(6, 6), dynamic_hw=True),
    # Window sums over a float16 input, and over an input of no channels.
    "avg_ceil_inclusive_overhang_padded_f16": dict(kind="avg", kernel=(3, 3), strides=(2, 2), paddings=(1, 1),
                                                   ceil_mode=True, exclusive=False, hw=(6, 6), dtype="f16"),
    "avg_ceil_exclusive_window_past_the_end_no_channels": dict(kind="avg", kernel=(2, 2), strides=(3, 3),
                                                               paddings=(0, 1, 0, 1), ceil_mode=True, channels=0,
                                                               dynamic_hw=True),
    "max_ceil_no_channels": dict(kind="max", kernel=(2, 2), strides=(2, 2), paddings=(1, 1), ceil_mode=True,
                                 channels=0),
    "avg_same_no_channels": dict(kind="avg", kernel=(3, 3), strides=(2, 2), paddings=(0, 0), algorithm="SAME",
                                 channels=0),
    # Global pooling over no channels, its window the whole 5 x 5 input.
    "max_global_no_channels": dict(kind="max", kernel=(5, 5), strides=(1, 1), paddings=(0, 0), global_pooling=True,
                                   channels=0),
    "avg_global_no_channels": dict(kind="avg", kernel=(5, 5), strides=(1, 1), paddings=(0, 0), global_pooling=True,
                                   channels=0),
    "avg_same_inclusive_unknown_size": dict(kind="avg", kernel=(3, 2), strides=(2, 2), paddings=(0, 0),
                                            exclusive=False, algorithm="SAME", ceil_mode=True, dynamic_hw=True),
    # The kernel size given as a list of one-value tensors (a combine).
    "max_kernel_listed": dict(kind="max", kernel=(3, 2), strides=(2, 2), paddings=(1, 1), kernel_listed=True),
    "avg_kernel_listed_unknown_size": dict(kind="avg", kernel=(2, 3), strides=(1, 2), paddings=(1, 0),
                                           exclusive=False, kernel_listed=True, dynamic_hw=True),
}


@pytest.mark.parametrize("opset", [10, 11, 13, 17, 21])
@pytest.mark.parametrize("case", sorted(POOL_CASES))
def test_pool2d(tmp, opset, case):
    c = dict(POOL_CASES[case])
    hw, channels = c.pop("hw", (5, 5)), c.pop("channels", 2)
    pads = paddle_pads(hw, c["kernel"], c["strides"], c["paddings"], c.get("algorithm", "EXPLICIT"))
    xs = rand(2, channels, *hw).astype(DTYPES[c.get("dtype", "f32")][0])
    if "nan_at" in c:
        xs[:, :, c["nan_at"][0], c["nan_at"][1]] = np.nan
        del c["nan_at"]
    p = pool_program([-1, channels, -1, -1] if c.pop("dynamic_hw", False) else [-1, channels, *hw], **c)
    out = convert_check_run(p, {}, {"x": xs}, opset=opset, tmp=tmp)["out"]
    expected = pool_ref(xs, c["kernel"], c["strides"], pads, c["kind"], c.get("ceil_mode", False),
                        c.get("exclusive", True))
    tol = 5e-3 if xs.dtype == np.float16 and c["kind"] == "avg" else 1e-6  # float16 sums round on the way
    np.testing.assert_allclose(out, expected, rtol=max(tol, 1e-5), atol=tol)


@pytest.mark.parametrize("opset", [10, 17])
@pytest.mark.parametrize("kind", ["avg", "max"])
@pytest.mark.parametrize("form", ["adaptive_1x1", "global"])
# Global and adaptive pooling ignore the paddings whatever the padding algorithm.
@pytest.mark.parametrize("algorithm", ["EXPLICIT", "SAME", "VALID"])
def test_pool2d_global_forms(tmp, opset, kind, form, algorithm):
    xs = rand(2, 3, 4, 5)
    if form == "global":
        p = pool_program([-1, 3, -1, -1], (3, 3), kind, global_pooling=True, exclusive=False,
                         paddings=(1, 2), algorithm=algorithm)
    else:
        p = pool_program([-1, 3, -1, -1], (1, 1), kind, adaptive=True, paddings=(1, 1), algorithm=algorithm)
    out = convert_check_run(p, {}, {"x": xs}, opset=opset, tmp=tmp)["out"]
    expected = xs.mean(axis=(2, 3), keepdims=True) if kind == "avg" else xs.max(axis=(2, 3), keepdims=True)
    np.testing.assert_allclose(out, expected, rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize("program,message", [
    (lambda: pool_program([1, 1, 4, 4], (2, 2), "avg", adaptive=True),
     "adaptive pool2d only supports global output_size=[1,1]"),
    (lambda: pool_program([1, 1, 4, 4], (2, 2), "max", data_format="NHWC"), "pool2d only supports NCHW"),
    (lambda: pool_program([1, 1, 4, 4], (2, 2), "max", kernel_from_data=True),
     "pool2d requires a constant kernel size"),
    (lambda: pool_program([1, 1, 4, 4], (2, 2), "max", kernel_listed="at_run_time"),
     "pool2d requires a constant kernel size"),
    (lambda: pool_program([1, 1, 4, 4], (2, 2), "max", strides=(0, 1)), "pool2d: strides [0, 1] must be positive"),
    # Paddle pools floating-point NCHW images; MaxPool takes no int32 and no single value.
    (lambda: pool_program([1, 1, 4, 4], (2, 2), "max", dtype="i32"), "Error: pool2d does not take int32 inputs at opset 17\n"),
    (lambda: pool_program([1, 1, 4, 4], (2, 2), "avg", dtype="ui8"), "Error: pool2d does not take uint8 inputs at opset 17\n"),
    (lambda: pool_program([], (2, 2), "max"), "Error: pool2d takes a rank-4 input, got rank 0\n"),
    (lambda: pool_program([1, 1, 4, 4], (2, 2), "avg", paddings=(-1, 0)),
     "pool2d: pads [-1, 0, -1, 0] must be non-negative"),
    (lambda: pool_program([1, 1, 4, 4], (0, 2), "max"), "pool2d: kernel_shape [0, 2] must be positive"),
    (lambda: pool_program([1, 1, 4, 4], (2, 2), "max", paddings=(1, 0, 1)),
     "Error: pool2d: pads [1, 0, 1] must hold a begin and an end for each spatial axis\n"),
    (lambda: pool_program([1, 1, 4, 4], (2, 2, 2), "avg"),
     "Error: pool2d: kernel_shape [2, 2, 2] gives 3 spatial axes, but pool2d has 2\n"),
    (lambda: pool_program([1, 1, 4, 4], (2, 2), "max", strides=(2, 2, 2), algorithm="SAME"),
     "Error: pool2d: strides [2, 2, 2] gives 3 spatial axes, but pool2d has 2\n"),
    # Paddle's SAME pads for a kernel smaller than its stride follow the input size.
    (lambda: pool_program([1, 1, -1, 4], (1, 2), "max", strides=(2, 2), algorithm="SAME"),
     "Error: pool2d with padding_algorithm SAME, kernel size [1, 2] and strides [2, 2] needs static input "
     "spatial dims: a kernel smaller than its stride makes the pads depend on the input size\n"),
    # Words Paddle refuses, where a default used to stand in.
    (lambda: pool_program([1, 1, 4, 4], (2, 2), "sum"), 'Error: pool2d: pooling_type "sum" is not one of max, avg\n'),
    (lambda: pool_program([1, 1, 4, 4], (2, 2), "Max"), 'Error: pool2d: pooling_type "Max" is not one of max, avg\n'),
    (lambda: pool_program([1, 1, 4, 4], (2, 2), "max", data_format="NCWH"),
     'Error: pool2d: data_format "NCWH" is not one of NCHW, NHWC\n'),
    (lambda: pool_program([1, 1, 4, 4], (2, 2), "avg", algorithm="same"),
     'Error: pool2d: padding_algorithm "same" is not one of EXPLICIT, SAME, VALID\n'),
    (lambda: pool_program([1, 1, 4, 4], (2, 2), "avg", algorithm=a_i32(1)),
     "Error: pool2d: attribute padding_algorithm must be a text, got 1\n"),
    # A window that leaves no position over the padded input (ONNX Runtime: "Invalid dimension").
    (lambda: pool_program([1, 1, 5, 5], (8, 2), "max"),
     "Error: pool2d: window [8, 2] with strides [1, 1] leaves no output position over the padded input "
     "[5, 5] (input dims [1, 1, 5, 5], pads [0, 0, 0, 0])\n"),
    (lambda: pool_program([-1, 1, 3, -1], (6, 9), "avg", strides=(2, 2), paddings=(0, 1), ceil_mode=True),
     "Error: pool2d: window [6, 9] with strides [2, 2] leaves no output position over the padded input "
     "[3, -1] (input dims [-1, 1, 3, -1], pads [0, 1, 0, 1])\n"),
    # Pads as large as the window, which ONNX Runtime refuses to load.
    (lambda: pool_program([-1, 2, 5, 5], (2, 2), "max", paddings=(2, 2)),
     "Error: pool2d: pads [2, 2, 2, 2] reach as far as the window [2, 2], and ONNX's pooling takes only pads "
     "smaller than its window\n"),
    (lambda: pool_program([-1, 2, 5, 5], (2, 2), "avg", paddings=(3, 0, 3, 0), exclusive=False),
     "Error: pool2d: pads [3, 3, 0, 0] reach as far as the window [2, 2], and ONNX's pooling takes only pads "
     "smaller than its window\n"),
])
def test_pool2d_refusals(tmp, program, message):
    expect_failure(tmp, program(), {}, 17, message)


# ------------------------------------------------------------------------------------------------
# Padding


def pad_program(x_dtype, x_dims, paddings, value=None, mode=None, out_dims=None, value_dims=(1,)):
    p = Program()
    x = p.data("x", x_dtype, x_dims)
    inputs = [x]
    if value is not None:
        inputs.append(p.full(list(value_dims), value, "f32"))
    attrs = {"paddings": [a_i32(v) for v in paddings]}
    if mode is not None:
        attrs["mode"] = mode
    y = p.op("1.pad", inputs, attrs=attrs, outs=[(x_dtype, out_dims or [-1] * len(x_dims))])
    p.fetch(y, "out")
    return p


# The fill value is one number of any rank: [1], 0-D, [1, 1].
@pytest.mark.parametrize("opset", [10, 11, 17, 18])
@pytest.mark.parametrize("value,value_dims", [(None, [1]), (0.0, [1]), (9.5, [1]), (-2.5, []), (9.5, [1, 1])])
def test_pad_constant(tmp, opset, value, value_dims):
    xs = np.array([[1, 2], [3, 4]], np.float32)
    out = convert_check_run(pad_program("f32", [2, 2], [1, 2, 3, 0], value, value_dims=value_dims), {}, {"x": xs},
                            opset=opset, tmp=tmp)["out"]
    # Paddle interleaves begin and end per axis: axis 0 (1, 2), axis 1 (3, 0).
    np.testing.assert_array_equal(out, np.pad(xs, ((1, 2), (3, 0)), constant_values=value or 0))
    # A rank-0 input has no axis to pad: it is its own result.
    out = convert_check_run(pad_program("f32", [], [], value, out_dims=[], value_dims=value_dims), {},
                            {"x": np.array(2.5, np.float32)}, opset=opset, tmp=tmp / "rank0")["out"]
    np.testing.assert_array_equal(out, np.array(2.5, np.float32))


# int16 has no Pad in ONNX Runtime, bool none in ONNX before opset 13: padded as int32.
@pytest.mark.parametrize("opset", [11, 17])
@pytest.mark.parametrize("dtype", ["i32", "i64", "f64", "i16", "bool"])
def test_pad_fill_value_takes_the_data_type(tmp, opset, dtype):
    xs = np.array([[1, 0], [3, 4]]).astype(np.dtype({"i32": np.int32, "i64": np.int64, "f64": np.float64,
                                                     "i16": np.int16, "bool": np.bool_}[dtype]))
    out = convert_check_run(pad_program(dtype, [2, 2], [0, 1, 1, 0], 7.0), {}, {"x": xs},
                            opset=opset, tmp=tmp)["out"]
    assert out.dtype == xs.dtype
    np.testing.assert_array_equal(out, np.pad(xs, ((0, 1), (1, 0)), constant_values=7))


@pytest.mark.parametrize("opset", [10, 17])
@pytest.mark.parametrize("mode,np_mode", [("reflect", "reflect"), ("replicate", "edge")])
def test_pad_modes(tmp, opset, mode, np_mode):
    xs = rand(3, 4)
    out = convert_check_run(pad_program("f32", [3, 4], [1, 2, 2, 1], 5.0, mode), {}, {"x": xs},
                            opset=opset, tmp=tmp)["out"]
    np.testing.assert_array_equal(out, np.pad(xs, ((1, 2), (2, 1)), mode=np_mode))


def test_pad_refusals(tmp):
    # Pad-2 has no integer data and no run-time fill value.
    expect_failure(tmp, pad_program("i32", [2, 2], [1, 1, 1, 1], 1.0), {}, 10,
                   "pad requires opset >= 11, but target opset is 10")
    expect_failure(tmp, pad_program("f32", [2, 2], [1, 1, 1, 1], None, "circular"), {}, 17,
                   "pad with mode circular requires opset >= 19, but target opset is 17")
    # One begin and one end per dim of x, no more, no fewer.
    expect_failure(tmp, pad_program("f32", [2, 2], [1, 1], 1.0), {}, 17,
                   "pad: paddings has 2 values, but an input of rank 2 needs 4")
    # The fill value is one number.
    p = Program()
    x = p.data("x", "f32", [3, 4])
    p.fetch(p.op("1.pad", [x, x], attrs={"paddings": [a_i32(1)] * 4}, outs=[("f32", [-1, -1])]), "out")
    expect_failure(tmp, p, {}, 17,
                   "pad: pad_value (value 1) has dims [3, 4], but it must hold one value: a tensor of one element")


def pad3d_program(x_dims, paddings, mode, pad_value=0.0, data_format="NCDHW", pad_dtype="i64",
                  x_dtype="f32", listed=False):
    """listed: the paddings as a list of one-value tensors (a combine), int32 and int64, 0-D
    and [1]; "at_run_time" feeds the even ones as pad0, pad2, pad4."""
    p = Program()
    x = p.data("x", x_dtype, x_dims)
    pads = p.full_int_array(paddings, pad_dtype)
    if listed:
        pads = p.combine([p.data(f"pad{k}", "i32", [] if k % 4 else [1]) if listed == "at_run_time" and k % 2 == 0
                          else p.full([] if k % 3 else [1], v, "i64" if k % 2 else "i32")
                          for k, v in enumerate(paddings)])
    y = p.op("1.pad3d", [x, pads], attrs={"mode": mode, "pad_value": pad_value, "data_format": data_format},
             outs=[(x_dtype, [-1] * 5)])
    p.fetch(y, "out")
    return p


PAD3D_MODES = {"constant": "constant", "reflect": "reflect", "replicate": "edge", "circular": "wrap"}


@pytest.mark.parametrize("opset,mode,listed", [(o, m, False) for m in sorted(PAD3D_MODES) if m != "circular"
                                                for o in (11, 17)] + [(19, "circular", False), (19, "constant", False),
                                                                      # paddings as a combine
                                                                      (17, "constant", True), (21, "reflect", True),
                                                                      (17, "replicate", "at_run_time"),
                                                                      (19, "constant", "at_run_time")])
@pytest.mark.parametrize("layout", ["NCDHW", "NDHWC"])
def test_pad3d(tmp, opset, mode, listed, layout):
    paddings = [1, 0, 0, 1, 1, 2]  # width, height, depth (begin, end)
    dims = (2, 2, 3, 3, 4) if layout == "NCDHW" else (2, 3, 3, 4, 2)
    xs = rand(*dims)
    feeds = {"x": xs}
    if listed == "at_run_time":
        feeds.update({f"pad{k}": np.array(paddings[k] if k % 4 else [paddings[k]], np.int32) for k in (0, 2, 4)})
    out = convert_check_run(pad3d_program([-1, *dims[1:]], paddings, mode, 7.5, layout, "i32", listed=listed), {},
                            feeds, opset=opset, tmp=tmp)["out"]
    w, h, d = (1, 0), (0, 1), (1, 2)
    width = ((0, 0), (0, 0), d, h, w) if layout == "NCDHW" else ((0, 0), d, h, w, (0, 0))
    kw = {"constant_values": 7.5} if mode == "constant" else {}
    np.testing.assert_array_equal(out, np.pad(xs, width, mode=PAD3D_MODES[mode], **kw))


@pytest.mark.parametrize("dtype,np_dtype", [("i32", np.int32), ("f16", np.float16), ("i16", np.int16)])
def test_pad3d_value_takes_the_data_type(tmp, dtype, np_dtype):
    xs = np.arange(6).reshape(1, 1, 1, 2, 3).astype(np_dtype)
    out = convert_check_run(pad3d_program([1, 1, 1, 2, 3], [1, 0, 0, 1, 0, 0], "constant", 7.0, x_dtype=dtype),
                            {}, {"x": xs}, opset=17, tmp=tmp)["out"]
    assert out.dtype == np_dtype
    np.testing.assert_array_equal(out[0, 0, 0], [[7, 0, 1, 2], [7, 3, 4, 5], [7, 7, 7, 7]])


def test_pad3d_refusals(tmp):
    expect_failure(tmp, pad3d_program([1, 1, 1, 2, 3], [1] * 6, "circular"), {}, 18,
                   "pad3d with mode circular requires opset >= 19, but target opset is 18")
    expect_failure(tmp, pad3d_program([1, 1, 1, 2, 3], [1] * 6, "reflect"), {}, 10,
                   "pad3d requires opset >= 11, but target opset is 10")
    # The pads are for the five axes of a volume batch.
    expect_failure(tmp, pad3d_program([1, 2, 3, 3], [1] * 6, "constant"), {}, 17,
                   "pad3d takes a rank-5 input, got rank 4")
    expect_failure(tmp, pad3d_program([1, 1, 1, 2, 3], [1] * 4, "constant"), {}, 17,
                   "pad3d: paddings has 4 values, but it must have 6")


# ------------------------------------------------------------------------------------------------
# Roll and tile


def roll_program(shifts, axes, dims=(2, 5), listed=False):
    """listed: the shifts as a list of one-value tensors (a combine), int32 and int64, 0-D and
    [1]; the batch declared -1."""
    p = Program()
    x = p.data("x", "f32", [-1, *dims[1:]] if listed else list(dims))
    s = p.full_int_array(shifts)
    if listed:
        s = p.combine([p.full([] if k % 2 else [1], v, "i32" if k % 2 else "i64") for k, v in enumerate(shifts)])
    y = p.op("1.roll", [x, s], attrs={"axis": [{"#": "0.a_i64", "D": a} for a in axes]},
             outs=[("f32", [-1, *dims[1:]] if listed else list(dims))])
    p.fetch(y, "out")
    return p


@pytest.mark.parametrize("opset", [11, 17, 21])
@pytest.mark.parametrize("shifts,axes,listed", [([-1], [1], False), ([7], [-1], False), ([5], [1], False),
                                                ([-3], [0], False), ([1, -2], [0, 1], False), ([1, 5], [0, 1], False),
                                                ([-6, -11], [1, 0], False),
                                                # shifts as a combine, along the axis of known size
                                                ([-7], [1], True), ([3, -1], [-1, 1], True)])
def test_roll(tmp, opset, shifts, axes, listed):
    xs = np.arange(10, dtype=np.float32).reshape(2, 5)
    out = convert_check_run(roll_program(shifts, axes, listed=listed), {}, {"x": xs}, opset=opset, tmp=tmp)["out"]
    np.testing.assert_array_equal(out, np.roll(xs, shifts, axes))


def scaled(p, x, scale, bias=0.0, after=True, name="1.scale"):
    return p.op(name, [x], attrs={"scale": a_f32(scale), "bias": a_f32(bias), "bias_after_scale": a_bool(after)},
                outs=[p.type_of(x)])


def cast(p, x, dtype, name="1.cast"):
    return p.op(name, [x], attrs={"dtype": a_dtype(dtype)}, outs=[(dtype, p.type_of(x)[1])])


def nan_full(p):
    return p.op("1.full", attrs={"shape": a_intarray([1]), "dtype": a_dtype("f32"), "place": a_place(1),
                                 "value": {"#": "0.a_f64", "D": "nan"}}, outs=[("f32", [1])])


# Shifts folded at conversion time, and the tensor Paddle computes for them: the fold must see
# the numbers the run-time graph computes, in the element type.
FOLDED_SHIFTS = [
    # A float constant truncates toward zero: -2.9 rolls by -2.
    ("float_full", lambda p: p.full([1], -2.9, "f32"), np.float32([-2.9])),
    ("full_int32_truncates", lambda p: p.full([1], 2.7, "i32"), np.int32([2])),
    ("full_of_two", lambda p: p.full([2], 3, "i64"), np.int64([3, 3])),
    # scale casts its factor and bias to an integer element type first, and wraps.
    ("scale_int64_factor", lambda p: scaled(p, p.full_int_array([1, 2]), 2.5), np.int64([2, 4])),
    ("scale_int32_bias_first", lambda p: scaled(p, p.full_int_array([3], "i32"), 2.9, 1.9, after=False),
     np.int32([8])),
    ("scale_int32_wraps", lambda p: scaled(p, p.full([1], 2**30 + 1, "i32"), 4.0), np.int32([4])),
    ("scale_int8_wraps", lambda p: scaled(p, p.full([1], 100, "i8"), 3.0), np.int8([44])),
    ("scale_float32_rounds", lambda p: scaled(p, p.full([1], 2**25, "f32"), 1.0, -1.0), np.float32([2**25])),
    ("scale_in_place", lambda p: scaled(p, p.full_int_array([3, 1]), 2.0, 1.0, name="1.scale_"), np.int64([7, 3])),
    # cast truncates toward zero and keeps an integer's low bits; NaN is true.
    ("cast_truncates", lambda p: cast(p, p.full([1], -2.7), "i32"), np.int32([-2])),
    ("cast_wraps_uint8", lambda p: cast(p, p.full([1], -1.0), "ui8"), np.uint8([255])),
    ("cast_int64_to_int8", lambda p: cast(p, p.full_int_array([300]), "i8"), np.int8([44])),
    ("cast_float_to_int16", lambda p: cast(p, p.full([1], -40000.5), "i16"), np.int16([25536])),
    ("cast_float_to_int8", lambda p: cast(p, p.full([1], -129.5), "i8"), np.int8([127])),
    ("cast_nan_is_true", lambda p: cast(p, nan_full(p), "bool"), np.bool_([True])),
    ("cast_in_place", lambda p: cast(p, p.full([1], 2.7), "i64", "1.cast_"), np.int64([2])),
]


@pytest.mark.parametrize("name,build,values", FOLDED_SHIFTS, ids=[r[0] for r in FOLDED_SHIFTS])
def test_roll_with_folded_shifts(tmp, name, build, values):
    p = Program()
    dims = [97] * len(values)
    x = p.data("x", "f32", dims)
    s = build(p)
    y = p.op("1.roll", [x, s], attrs={"axis": [{"#": "0.a_i64", "D": a} for a in range(len(dims))]},
             outs=[("f32", dims)])
    p.fetch(y, "out")
    p.fetch(s, "shifts")  # the same numbers, computed by the run-time graph
    xs = np.arange(int(np.prod(dims)), dtype=np.float32).reshape(dims)
    res = convert_check_run(p, {}, {"x": xs}, opset=11, tmp=tmp)
    np.testing.assert_array_equal(res["shifts"], values)
    np.testing.assert_array_equal(res["out"], np.roll(xs, [int(v) for v in values], list(range(len(dims)))))


def tile_program(x_dims, repeats, repeat_dtype="i64", runtime=False, x_dtype="f32"):
    p = Program()
    # A 0-D x comes from a constant: graph inputs of rank 0 do not survive the runner.
    x = p.data("x", x_dtype, x_dims) if x_dims else p.full([], 1.0, x_dtype)
    # Counts of another rank ([[2]], [[1, 2]]) are read flattened; as constants they hold one number.
    if runtime:
        r = p.data("r", repeat_dtype, list(np.shape(repeats)))
    elif np.ndim(repeats) > 1:
        r = p.full(list(np.shape(repeats)), np.ravel(repeats)[0], repeat_dtype)
    else:
        r = p.full_int_array(repeats, repeat_dtype)
    y = p.op("1.tile", [x, r], outs=[(x_dtype, [-1] * max(len(x_dims), np.size(repeats)))])
    p.fetch(y, "out")
    return p


@pytest.mark.parametrize("opset", [10, 17, 21])
@pytest.mark.parametrize("repeat_dtype", ["i64", "i32"])
@pytest.mark.parametrize("runtime", [False, True])
@pytest.mark.parametrize("x_dims,repeats", [((2, 2), [1, 2]), ((2, 2), [2]), ((2, 2), [2, 1, 3]),
                                            ((), [3]), ((3,), [2, 2]), ((2, 2), [[2]]), ((3,), [[2, 2]]),
                                            ((0, 2), [[3]])])
def test_tile(tmp, opset, repeat_dtype, runtime, x_dims, repeats):
    xs = (np.arange(int(np.prod(x_dims))) + 1).astype(np.float32).reshape(x_dims)
    feeds = {"x": xs} if x_dims else {}
    if runtime:
        feeds["r"] = np.array(repeats, dtype=np.int64 if repeat_dtype == "i64" else np.int32)
    out = convert_check_run(tile_program(list(x_dims), repeats, repeat_dtype, runtime), {}, feeds,
                            opset=opset, tmp=tmp)["out"]
    np.testing.assert_array_equal(out, np.tile(xs, np.ravel(repeats)))


def test_tile_refuses_unknown_repeat_length(tmp):
    p = Program()
    x = p.data("x", "f32", [2, 2])
    r = p.data("r", "i64", [-1])
    y = p.op("1.tile", [x, r], outs=[("f32", [-1, -1])])
    p.fetch(y, "out")
    expect_failure(tmp, p, {}, 17, "tile: repeat_times length is unknown")
    # Paddle repeats each dim a positive number of times; Tile fails on a negative count.
    expect_failure(tmp, tile_program([2, 2], [-1, 2]), {}, 17, "tile: repeat_times [-1, 2] holds a negative count")


def test_real_detection_model_keeps_the_input_size(tmp):
    # Its head upsamples twice with stride-2 transposed convolutions fed an empty output size,
    # after a neck of nearest 2x resizes and adaptive pools: the map must match the input.
    from harness import real_model, run, weights_for_program

    d = real_model("pp_ocrv5_mobile_det")
    out = tmp / "det.onnx"
    r = convert(d / "inference.json", weights_for_program(d / "inference.json"), out, opset=17)
    assert r.returncode == 0, r.stderr
    model = check(out)
    xs = RNG.random((1, 3, 64, 96), dtype=np.float32)
    (prob,) = run(out, {model.graph.input[0].name: xs}).values()
    assert prob.shape == (1, 1, 64, 96)
    assert np.all((prob >= 0) & (prob <= 1))
