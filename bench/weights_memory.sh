#!/usr/bin/env bash
# Peak memory of a conversion whose weights dominate: a generated program with a few large
# f32 parameters (about 300 MB in all), each used by one Add so none is pruned. Prints the
# weight file size, the output size, the wall time and the peak resident set size.
#
# Usage: bench/weights_memory.sh [path/to/kestro] [total MB]
# Run by hand; not part of the test suite.
set -euo pipefail

here="$(cd "$(dirname "$0")" && pwd)"
kestro="${1:-$here/../build/kestro}"
total_mb="${2:-300}"
python=/usr/bin/python3

if [[ ! -x "$kestro" ]]; then
    echo "kestro binary not found at $kestro (pass its path as the first argument)" >&2
    exit 2
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

"$python" - "$work" "$total_mb" <<'EOF'
import json, struct, sys
from pathlib import Path

work, total_mb = Path(sys.argv[1]), int(sys.argv[2])
count, cols = 4, 4096
rows = max(1, total_mb * 1024 * 1024 // (count * cols * 4))
f32 = lambda dims: {"#": "0.t_dtensor", "D": [{"#": "0.t_f32"}, dims, "NCHW", [], 0]}
def attr(name, tag, data):
    return {"N": name, "AT": {"#": tag, "D": data}}

ops, vid = [], 1
names = [f"w{i}" for i in range(count)]
param_ids = {}
for name in names:
    ops.append({"#": "p", "A": [0, 1, 1, name], "O": {"%": vid, "TT": f32([rows, cols])}})
    param_ids[name] = vid
    vid += 1
x = vid
ops.append({"#": "1.data", "A": [attr("name", "0.a_str", "x")], "I": [],
            "O": [{"%": x, "TT": f32([rows, cols])}]})
vid += 1
for i, name in enumerate(names):
    ops.append({"#": "1.add", "A": [], "I": [{"%": x}, {"%": param_ids[name]}],
                "O": [{"%": vid, "TT": f32([rows, cols])}]})
    ops.append({"#": "1.fetch", "A": [attr("name", "0.a_str", f"out{i}")], "I": [{"%": vid}],
                "O": [{"%": vid + 1, "TT": f32([rows, cols])}]})
    vid += 2
doc = {"program": {"regions": [{"blocks": [{"ops": ops}]}]}}
(work / "model.json").write_text(json.dumps(doc))

# One record per parameter in byte-sorted name order: header, TensorDesc (Fp32, dims), data.
def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)
desc = b"\x08\x05" + b"".join(b"\x10" + varint(d) for d in (rows, cols))
chunk = bytes(range(256)) * 4096
with open(work / "model.pdiparams", "wb") as f:
    for name in sorted(names):
        f.write(struct.pack("<IQIi", 0, 0, 0, len(desc)) + desc)
        left = rows * cols * 4
        while left:
            n = min(left, len(chunk))
            f.write(chunk[:n])
            left -= n
EOF

weights="$work/model.pdiparams"
/usr/bin/time -v "$kestro" "$work/model.json" "$weights" "$work/model.onnx" 2>"$work/time.txt"
peak_kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$work/time.txt")
weight_bytes=$(stat -c %s "$weights")
out_bytes=$(stat -c %s "$work/model.onnx")

awk -v w="$weight_bytes" -v o="$out_bytes" -v p="$((peak_kb * 1024))" -v t="$wall" 'BEGIN {
    printf "weight file : %12d bytes (%.1f MB)\n", w, w / 1048576
    printf "output      : %12d bytes (%.1f MB)\n", o, o / 1048576
    printf "peak RSS    : %12d bytes (%.1f MB, %.2fx the weights)\n", p, p / 1048576, p / w
    printf "wall time   : %s\n", t
}'
