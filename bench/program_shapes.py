#!/usr/bin/python3
"""Generated programs of the shapes whose cost should grow linearly with their size, and the
growth table of kestro's CPU time over them (run by hand, never by the test suite).

    bench/program_shapes.py [--kestro build/kestro] [--sizes 10000,20000,40000] [--runs 3] [--opset 17]
    bench/program_shapes.py --write SHAPE OPERATORS OUT.json   (one program, for profiling)

Shapes: chain (one long chain), fanout (one value read by every operator), ifs (many if
operators, each with two small regions), whiles (many while loops), fetches (many fetch
operators asking for one name), squeezes (runs of 32 unsqueezes then 32 squeezes), inputs (many data
operators), mixed (operators with attributes), longlist (one full_int_array holding 75 values
per operator of the size, as plain one-digit numbers: a program whose size is one large
attribute), readers_first (the chain listed backwards, every operator before the one that
defines its operand). Each row prints the CPU seconds (user + system, median of the runs) per size and
the ratio of the largest size to the smallest (the CPU time of ONNX's checker, which runs in a
child process at opsets up to 17, included); with --rss, the peak resident memory in MiB
(largest of the runs) instead.
"""
import argparse
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "e2e"))
from harness import Program, a_dtype, a_place  # noqa: E402

DIMS = [4, 8]


def relu(b, x):
    return b.op("1.relu", [x], outs=[("f32", DIMS)])


def add(b, x, y, dtype="f32", dims=DIMS):
    return b.op("1.add", [x, y], outs=[(dtype, dims)])


def chain(n):
    p = Program()
    x = p.data("x", "f32", DIMS)
    for _ in range(n - 2):
        x = relu(p, x)
    p.fetch(x, "out")
    return p


def fanout(n):
    p = Program()
    x = p.data("x", "f32", DIMS)
    acc = x
    for _ in range((n - 2) // 2):
        acc = add(p, acc, relu(p, x))
    p.fetch(acc, "out")
    return p


def ifs(n):
    # Each if costs about 7 operators: the condition, the if and two regions of two.
    p = Program()
    x = p.data("x", "f32", DIMS)
    c = p.data("c", "bool", [1])
    for _ in range(max(1, (n - 3) // 7)):
        then, other = p.block(), p.block()
        then.yield_([relu(then, x)])
        other.yield_([other.op("1.sigmoid", [x], outs=[("f32", DIMS)])])
        x = p.op("1.if", [c], outs=[("f32", DIMS)], regions=[then, other])
        x = relu(p, x)
    p.fetch(x, "out")
    return p


def whiles(n):
    # Each while costs about 8 operators: the first condition, the loop and a body of five.
    p = Program()
    x = p.data("x", "f32", DIMS)
    zero = p.full([1], 0, "i64")
    one = p.full([1], 1, "i64")
    two = p.full([1], 2, "i64")
    for _ in range(max(1, (n - 5) // 8)):
        body = p.block()
        a = body.arg("f32", DIMS)
        i = body.arg("i64", [1])
        i1 = add(body, i, one, "i64", [1])
        cond = body.op("1.less_than", [i1, two], outs=[("bool", [1])])
        body.yield_([cond, relu(body, a), i1])
        first = p.op("1.less_than", [zero, two], outs=[("bool", [1])])
        x, _ = p.op("1.while", [first, x, zero], outs=[("f32", DIMS), ("i64", [1])],
                    regions=[body])
    p.fetch(x, "out")
    return p


def fetches(n):
    p = Program()
    x = p.data("x", "f32", DIMS)
    for _ in range((n - 1) // 2):
        x = relu(p, x)
        p.fetch(x, "out")
    return p


def squeezes(n):
    # Runs of 32 unsqueezes then 32 squeezes, each with its axes operator: nested pairs to
    # cancel, in ranks a program can have (kestro computes each value's dims and refuses a
    # rank past 64).
    # The values in between are left untyped, as an exporter may leave them.
    depth = 32
    p = Program()
    x = p.data("x", "f32", DIMS)
    for _ in range(max(1, (n - 2) // (4 * depth))):
        for _ in range(depth):
            x = p.op("1.unsqueeze", [x, p.full_int_array([0])], outs=[None])
        for _ in range(depth):
            x = p.op("1.squeeze", [x, p.full_int_array([0])], outs=[None])
    p.fetch(x, "out", "f32", DIMS)
    return p


def inputs(n):
    p = Program()
    acc = p.data("x0", "f32", DIMS)
    for k in range(1, (n - 1) // 2 + 1):
        acc = add(p, acc, p.data(f"x{k}", "f32", DIMS))
    p.fetch(acc, "out")
    return p


def mixed(n):
    # Operators with attributes, as real programs have: groups of six.
    p = Program()
    x = p.data("x", "f32", DIMS)
    for _ in range(max(1, (n - 2) // 6)):
        x = p.op("1.leaky_relu", [x], attrs={"negative_slope": 0.1}, outs=[("f32", DIMS)])
        x = p.op("1.transpose", [x], attrs={"perm": [1, 0]}, outs=[("f32", DIMS[::-1])])
        x = p.op("1.softmax", [x], attrs={"axis": -1}, outs=[("f32", DIMS[::-1])])
        x = p.op("1.transpose", [x], attrs={"perm": [1, 0]}, outs=[("f32", DIMS)])
        x = add(p, x, p.full([1], 2.0))
    p.fetch(x, "out")
    return p


def longlist(n):
    p = Program()
    values = [k % 10 for k in range(75 * n)]
    x = p.op("1.full_int_array", attrs={"value": {"#": "0.a_array", "D": values}, "dtype": a_dtype("i64"),
                                       "place": a_place(1)}, outs=[("i64", [len(values)])])
    p.fetch(x, "out")
    return p


def readers_first(n):
    # The chain listed backwards: each operator reads a value that an operator listed after it
    # defines (the finished graph is sorted), so each waits for its operand's type.
    p = chain(n)
    p.ops[1:-1] = p.ops[1:-1][::-1]
    return p


SHAPES = {f.__name__: f for f in (chain, fanout, ifs, whiles, fetches, squeezes, inputs, mixed, longlist,
                                  readers_first)}


def cpu_seconds(kestro, program, weights, out, rss=False, opset=None):
    """CPU time (user + system) of one conversion, or its peak resident memory in MiB; fails
    loudly when it does not convert."""
    pid = os.fork()
    if pid == 0:
        os.dup2(os.open(os.devnull, os.O_WRONLY), 2)
        os.execv(kestro, [kestro, str(program), str(weights), str(out)] + ([str(opset)] if opset else []))
    _, status, usage = os.wait4(pid, 0)
    if status != 0:
        raise SystemExit(f"kestro failed on {program} (status {status})")
    return usage.ru_maxrss / 1024 if rss else usage.ru_utime + usage.ru_stime


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--kestro", default=str(HERE.parent / "build" / "kestro"))
    ap.add_argument("--sizes", default="10000,20000,40000")
    ap.add_argument("--runs", type=int, default=3)
    ap.add_argument("--shapes", default=",".join(SHAPES))
    ap.add_argument("--opset", type=int, help="the target opset (kestro's default when not given)")
    ap.add_argument("--write", nargs=3, metavar=("SHAPE", "OPERATORS", "OUT"))
    ap.add_argument("--rss", action="store_true", help="peak resident memory (MiB) instead of CPU time")
    args = ap.parse_args()
    if args.write:
        shape, n, out = args.write
        SHAPES[shape](int(n)).write(out)
        return
    sizes = [int(s) for s in args.sizes.split(",")]
    print(f"{'shape':14}" + "".join(f"{s:>12}" for s in sizes) + f"{'growth':>10}")
    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        weights = work / "empty.pdiparams"
        weights.write_bytes(b"")
        for name in args.shapes.split(","):
            times = []
            for n in sizes:
                program = SHAPES[name](n).write(work / f"{name}_{n}.json")
                runs = [cpu_seconds(args.kestro, program, weights, work / "out.onnx", args.rss, args.opset)
                        for _ in range(args.runs)]
                times.append(max(runs) if args.rss else statistics.median(runs))
            growth = times[-1] / times[0] if times[0] > 0 else float("inf")
            print(f"{name:14}" + "".join(f"{t:12.3f}" for t in times) + f"{growth:10.1f}x",
                  flush=True)


if __name__ == "__main__":
    main()
