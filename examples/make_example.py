#!/usr/bin/python3
"""Writes the example program model.json and its weight file model.pdiparams.

The program is a one-layer perceptron written the way PaddlePaddle 3 inference exports are:

    x: f32[1, 4]  ->  matmul(x, w: f32[4, 3])  ->  add(b: f32[3])  ->  relu  ->  fetch "out"

Run it from anywhere with Debian's Python and numpy: /usr/bin/python3 examples/make_example.py
"""

import json
import struct
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent

# Weight-file element type of float32 tensors.
VARTYPE_FP32 = 5

W = (np.arange(12, dtype=np.float32).reshape(4, 3) / 10.0 - 0.5).astype(np.float32)
B = np.array([0.1, -0.2, 0.3], dtype=np.float32)
PARAMS = {"linear_0.w_0": W, "linear_0.b_0": B}


def tensor_type(dtype, dims):
    return {"#": "0.t_dtensor", "D": [{"#": f"0.t_{dtype}"}, list(dims), "NCHW", [], 0]}


def a_str(v):
    return {"#": "0.a_str", "D": v}


def stop_gradient(flag):
    return [{"AT": {"#": "0.a_array", "D": [{"#": "0.a_bool", "D": flag}]}, "N": "stop_gradient"}]


def program():
    ops = []
    # Parameters come first, each naming itself in the last element of "A".
    ids = {}
    for vid, (name, arr) in enumerate(sorted(PARAMS.items(), key=lambda kv: kv[0].encode()), 1):
        ids[name] = vid
        ops.append({"#": "p", "A": [0, 1, 1, name], "DA": [],
                    "O": {"%": vid, "TT": tensor_type("f32", arr.shape)},
                    "OA": [1, 0, 1], "QA": []})
    x, mm, added, act, fetched = 3, 4, 5, 6, 7
    ops.append({"#": "1.data",
                "A": [{"AT": a_str("x"), "N": "name"},
                      {"AT": {"#": "1.a_intarray", "D": [1, 4]}, "N": "shape"},
                      {"AT": {"#": "1.a_dtype", "D": "float32"}, "N": "dtype"},
                      {"AT": {"#": "1.a_place", "D": [0, 0, ""]}, "N": "place"}],
                "I": [], "O": [{"%": x, "TT": tensor_type("f32", [1, 4])}],
                "OA": stop_gradient(False)})
    ops.append({"#": "1.matmul",
                "A": [{"AT": {"#": "0.a_bool", "D": False}, "N": "transpose_x"},
                      {"AT": {"#": "0.a_bool", "D": False}, "N": "transpose_y"},
                      {"AT": a_str("/Linear/"), "N": "struct_name"}],
                "I": [{"%": x}, {"%": ids["linear_0.w_0"]}],
                "O": [{"%": mm, "TT": tensor_type("f32", [1, 3])}], "OA": stop_gradient(False)})
    ops.append({"#": "1.add", "A": [{"AT": a_str("/Linear/"), "N": "struct_name"}],
                "I": [{"%": mm}, {"%": ids["linear_0.b_0"]}],
                "O": [{"%": added, "TT": tensor_type("f32", [1, 3])}], "OA": stop_gradient(False)})
    ops.append({"#": "1.relu", "A": [{"AT": a_str("/ReLU/"), "N": "struct_name"}],
                "I": [{"%": added}],
                "O": [{"%": act, "TT": tensor_type("f32", [1, 3])}], "OA": stop_gradient(False)})
    ops.append({"#": "1.fetch",
                "A": [{"AT": a_str("out"), "N": "name"}, {"AT": {"#": "0.a_i32", "D": 0}, "N": "col"}],
                "I": [{"%": act}],
                "O": [{"%": fetched, "TT": tensor_type("f32", [1, 3])}],
                "OA": [{"AT": {"#": "0.a_array", "D": [{"#": "0.a_bool", "D": True}]}, "N": "persistable"}]
                + stop_gradient(False)})
    return {"base_code": {"magic": "pir", "trainable": False, "version": 1},
            "program": {"regions": [{"#": "region_0",
                                     "blocks": [{"#": "block_0", "args": [], "ops": ops}]}]}}


def varint(n):
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        if n:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def weight_record(arr):
    packed = b"".join(varint(d) for d in arr.shape)
    desc = bytes([0x08, VARTYPE_FP32, 0x12]) + varint(len(packed)) + packed
    # version, LoD level count (0), tensor version, descriptor size, descriptor, data.
    return (struct.pack("<IQIi", 0, 0, 0, len(desc)) + desc
            + np.ascontiguousarray(arr, dtype="<f4").tobytes())


def main():
    (HERE / "model.json").write_text(json.dumps(program(), separators=(",", ":")) + "\n")
    names = sorted(PARAMS, key=str.encode)
    (HERE / "model.pdiparams").write_bytes(b"".join(weight_record(PARAMS[n]) for n in names))
    # What the model computes for the input written in the README.
    x = np.array([[1.0, 2.0, 3.0, 4.0]], dtype=np.float32)
    print("out for x = [[1, 2, 3, 4]]:", np.maximum(x @ W + B, 0))


if __name__ == "__main__":
    main()
