#!/usr/bin/python3
"""The conversion of a program whose weights dominate, side by side with the floor of copying
its two files: `cat model.json model.pdiparams > out` on the same file system.

Runs N alternating pairs (kestro first in odd pairs, cat first in even ones) and prints, for
each, wall time, CPU time (user + system), peak resident set and peak private (anonymous)
memory, then the medians and the median of the per-pair ratios kestro / cat.

Usage: bench/weights_vs_cat.py [--kestro PATH] [--mb 491] [--pairs 9] [--dir DIR]
       [--stdin]   (the weight file handed through a pipe instead of by path)
Run by hand; not part of the test suite.
"""

import argparse
import json
import os
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent


def varint(n):
    out = bytearray()
    while n >= 0x80:
        out.append(n & 0x7F | 0x80)
        n >>= 7
    out.append(n)
    return bytes(out)


def make_model(work, total_mb, count=8, cols=4096):
    """A few large f32 parameters, each used by one Add so that none is pruned."""
    rows = max(1, total_mb * 1024 * 1024 // (count * cols * 4))
    f32 = lambda dims: {"#": "0.t_dtensor", "D": [{"#": "0.t_f32"}, dims, "NCHW", [], 0]}
    names = [f"w{i}" for i in range(count)]
    ops, vid, ids = [], 1, {}
    for name in names:
        ops.append({"#": "p", "A": [0, 1, 1, name], "O": {"%": vid, "TT": f32([rows, cols])}})
        ids[name] = vid
        vid += 1
    x = vid
    ops.append({"#": "1.data", "A": [{"N": "name", "AT": {"#": "0.a_str", "D": "x"}}], "I": [],
                "O": [{"%": x, "TT": f32([rows, cols])}]})
    vid += 1
    for i, name in enumerate(names):
        ops.append({"#": "1.add", "A": [], "I": [{"%": x}, {"%": ids[name]}],
                    "O": [{"%": vid, "TT": f32([rows, cols])}]})
        ops.append({"#": "1.fetch", "A": [{"N": "name", "AT": {"#": "0.a_str", "D": f"out{i}"}}],
                    "I": [{"%": vid}], "O": [{"%": vid + 1, "TT": f32([rows, cols])}]})
        vid += 2
    (work / "model.json").write_text(json.dumps({"program": {"regions": [{"blocks": [{"ops": ops}]}]}}))
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


def measure(argv, stdout=None, stdin=None):
    """Wall seconds, CPU seconds, peak RSS bytes, peak anonymous bytes (both sampled every
    2 ms from /proc, since the rusage of a forked child counts the parent's pages)."""
    start = time.perf_counter()
    p = subprocess.Popen(argv, stdout=stdout, stdin=stdin, stderr=subprocess.PIPE)
    peak_anon = peak_rss = 0
    status = f"/proc/{p.pid}/status"
    while True:
        done, wstatus, usage = os.wait4(p.pid, os.WNOHANG)
        if done:
            break
        try:
            with open(status) as f:
                for line in f:
                    if line.startswith("RssAnon:"):
                        peak_anon = max(peak_anon, int(line.split()[1]) * 1024)
                    elif line.startswith("VmHWM:"):
                        peak_rss = max(peak_rss, int(line.split()[1]) * 1024)
        except OSError:
            pass
        time.sleep(0.002)
    wall = time.perf_counter() - start
    p.returncode = os.waitstatus_to_exitcode(wstatus)
    err = p.stderr.read()
    if p.returncode != 0:
        sys.exit(f"{argv[0]} failed ({p.returncode}): {err.decode(errors='replace')}")
    return wall, usage.ru_utime + usage.ru_stime, peak_rss, peak_anon


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kestro", default=str(HERE.parent / "build" / "kestro"))
    ap.add_argument("--mb", type=int, default=491)
    ap.add_argument("--pairs", type=int, default=9)
    ap.add_argument("--dir", default=None, help="work folder (default: a new temporary one)")
    ap.add_argument("--stdin", action="store_true", help="hand kestro the weights through a pipe")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory(dir=args.dir) as d:
        work = Path(d)
        make_model(work, args.mb)
        js, wt = work / "model.json", work / "model.pdiparams"
        out_k, out_c = work / "kestro.onnx", work / "cat.out"
        # Warm the page cache so that both sides read from memory.
        subprocess.run(["cat", str(js), str(wt)], stdout=subprocess.DEVNULL, check=True)

        def run_kestro():
            out_k.unlink(missing_ok=True)
            if args.stdin:
                feeder = subprocess.Popen(["cat", str(wt)], stdout=subprocess.PIPE)
                try:
                    return measure([args.kestro, str(js), "/dev/stdin", str(out_k)], stdin=feeder.stdout)
                finally:
                    feeder.stdout.close()
                    feeder.wait()
            return measure([args.kestro, str(js), str(wt), str(out_k)])

        def run_cat():
            out_c.unlink(missing_ok=True)
            with open(out_c, "wb") as f:
                return measure(["cat", str(js), str(wt)], stdout=f)

        rows = []
        for i in range(args.pairs):
            if i % 2 == 0:
                k, c = run_kestro(), run_cat()
            else:
                c, k = run_cat(), run_kestro()
            rows.append((k, c))

        mib = 1024 * 1024
        print(f"weights {wt.stat().st_size / mib:.1f} MiB, output {out_k.stat().st_size / mib:.1f} MiB, "
              f"{args.pairs} alternating pairs{' (weights through a pipe)' if args.stdin else ''}")
        print(f"{'pair':>4} {'k wall':>8} {'c wall':>8} {'k cpu':>8} {'c cpu':>8} "
              f"{'k rss MiB':>10} {'c rss MiB':>10} {'k anon MiB':>11}")
        for i, (k, c) in enumerate(rows):
            print(f"{i + 1:>4} {k[0]:8.3f} {c[0]:8.3f} {k[1]:8.3f} {c[1]:8.3f} "
                  f"{k[2] / mib:10.1f} {c[2] / mib:10.1f} {k[3] / mib:11.1f}")
        med = lambda xs: statistics.median(xs)
        print()
        print(f"{'':14} {'kestro':>10} {'cat':>10} {'ratio (median of pairs)':>24}")
        for name, j, scale in (("wall s", 0, 1), ("cpu s", 1, 1), ("peak RSS MiB", 2, mib),
                               ("peak anon MiB", 3, mib)):
            ks, cs = [k[j] / scale for k, _ in rows], [c[j] / scale for _, c in rows]
            ratio = med([k[j] / c[j] for k, c in rows if c[j] > 0]) if any(c[j] for _, c in rows) else float("nan")
            print(f"{name:14} {med(ks):10.3f} {med(cs):10.3f} {ratio:24.3f}")


if __name__ == "__main__":
    main()
