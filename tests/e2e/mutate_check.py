"""By-hand check that a program which contradicts itself is refused or becomes a valid model.

    /usr/bin/python3 tests/e2e/mutate_check.py [--seeds DIR] [--per-seed N] [--only KIND] [TEST_FILE ...]

Collects seed programs by running the given e2e test files (default: all of them, a few
minutes) with a KESTRO_BIN wrapper that keeps every program kestro converts (or takes the
programs saved in --seeds by an earlier run), adds the real programs of ../shared/models,
changes each program in one place (a declared element type, one declared dim, the rank, the
number of outputs of an operator, one fewer or one more) and runs kestro (KESTRO_BIN, else
build/kestro; copy it elsewhere first when you rebuild meanwhile) on a sample of the mutants.
A mutant is a clean refusal (exit 1, "Error: ..."), a valid model (the onnx checker with
full_check, where it knows the opset, and an ONNX Runtime session load accept it), an INVALID
model, or a CRASH. The INVALID and CRASH mutants are listed with the reason, grouped by the
operator and kind of the change; the exit status is 1 when there is any.
"""

from __future__ import annotations

import argparse
import collections
import copy
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from harness import kestro_bin, model_opset, shared_models_dir, weights_for_program, write_weights  # noqa: E402

TYPES = ["f32", "i64", "i32", "f64", "bool", "f16"]

# One ONNX Runtime process per worker, loading the models named on its standard input.
ORT_LOADER = r"""
const ort = require('onnxruntime-node');
const rl = require('readline').createInterface({input: process.stdin});
rl.on('line', async (path) => {
  try { const s = await ort.InferenceSession.create(path); await s.release(); console.log('ok'); }
  catch (e) { console.log('ERR ' + String(e.message || e).split('\n')[0].slice(0, 300)); }
});
"""


def collect_seeds(test_files: list[str], seeds: Path) -> None:
    """Runs the e2e files with a wrapper that saves each program kestro converts."""
    wrapper = seeds / "kestro_wrapper.sh"
    wrapper.write_text(f"""#!/bin/sh
"{kestro_bin()}" "$@"; rc=$?
if [ $rc -eq 0 ] && [ $# -ge 3 ]; then
  d=$(mktemp -d "{seeds}/s.XXXXXXXX"); cp "$1" "$d/p.json"; cp "$2" "$d/p.pdiparams"; echo "${{4:-17}}" > "$d/opset"
fi
exit $rc
""")
    wrapper.chmod(0o755)
    env = dict(os.environ, KESTRO_BIN=str(wrapper))
    subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *test_files],
                   cwd=HERE, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def walk_ops(ops, found):
    for o in ops if isinstance(ops, list) else []:
        if not isinstance(o, dict):
            continue
        found.append(o)
        for r in o.get("regions", []) or []:
            for b in r.get("blocks", []) or []:
                found.extend(("arg", a) for a in b.get("args", []) if isinstance(a, dict))
                walk_ops(b.get("ops"), found)


def dense(entry):
    tt = entry.get("TT") if isinstance(entry, dict) else None
    if isinstance(tt, dict) and tt.get("#") == "0.t_dtensor" and isinstance(tt.get("D"), list):
        return tt["D"]
    return None


def mutation_sites(doc):
    """(operator name, kind, path to apply) for every one-place change of the program."""
    found = []
    for r in doc["program"]["regions"]:
        for b in r["blocks"]:
            walk_ops(b["ops"], found)
    sites = []
    for k, o in enumerate(found):
        if isinstance(o, tuple):
            name, entries = "block_arg", [o[1]]
        else:
            name = o.get("#", "?")
            if name == "p":
                continue
            outs = o.get("O")
            entries = outs if isinstance(outs, list) else []
            if isinstance(outs, list) and len(outs) > 1:
                sites.append((name, "drop_output", k, len(outs) - 1, None))
            if isinstance(outs, list) and outs and name != "1.fetch":
                sites.append((name, "extra_output", k, len(outs), None))
        for j, e in enumerate(entries):
            d = dense(e)
            if d is None:
                continue
            for t in TYPES:
                if d[0].get("#") != "0.t_" + t:
                    sites.append((name, "dtype", k, j, t))
            for i, v in enumerate(d[1]):
                if isinstance(v, int) and v >= 0:
                    sites.append((name, "dim", k, j, (i, v + 1)))
            if d[1]:
                sites.append((name, "rank", k, j, None))
    return sites


def apply(doc, site):
    doc = copy.deepcopy(doc)
    found = []
    for r in doc["program"]["regions"]:
        for b in r["blocks"]:
            walk_ops(b["ops"], found)
    _, kind, k, j, arg = site
    o = found[k]
    entry = o[1] if isinstance(o, tuple) else (o["O"][j] if kind in ("dtype", "dim", "rank") else None)
    if kind == "drop_output":
        del o["O"][j:]
        for a in o.get("OA", []):
            if isinstance(a.get("AT", {}).get("D"), list):
                del a["AT"]["D"][j:]
    elif kind == "extra_output":
        extra = copy.deepcopy(o["O"][-1])
        extra["%"] = 1_000_000 + k  # an id no program here uses
        o["O"].append(extra)
    elif kind == "dtype":
        dense(entry)[0] = {"#": "0.t_" + arg}
    elif kind == "dim":
        dense(entry)[1][arg[0]] = arg[1]
    elif kind == "rank":
        dense(entry)[1].pop()
    return doc


class Checker:
    def __init__(self):
        self.ort = subprocess.Popen(["node", "-e", ORT_LOADER], cwd=HERE, stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, text=True)

    def ort_load(self, path: Path) -> str | None:
        self.ort.stdin.write(str(path) + "\n")
        self.ort.stdin.flush()
        line = self.ort.stdout.readline().strip()
        return None if line == "ok" else (line or "ONNX Runtime loader died")

    def close(self):
        self.ort.stdin.close()
        self.ort.wait()


def classify(work: Path, program: dict, weights: Path, opset: str, checker: Checker):
    import onnx

    pj = work / "p.json"
    pj.write_text(json.dumps(program))
    out = work / "m.onnx"
    if out.exists():
        out.unlink()
    try:
        r = subprocess.run([str(kestro_bin()), str(pj), str(weights), str(out), opset],
                           capture_output=True, timeout=120)
    except subprocess.TimeoutExpired:
        return "CRASH", "timeout"
    err = r.stderr.decode("utf-8", "replace").strip().splitlines()
    if r.returncode == 1 and err and err[-1].startswith("Error: "):
        return "refused", err[-1]
    if r.returncode != 0:
        return "CRASH", f"exit {r.returncode}: {err[-1:] }"
    try:
        m = onnx.load(str(out))
        if model_opset(m) <= onnx.defs.onnx_opset_version():
            onnx.checker.check_model(m, full_check=True)
    except Exception as e:  # noqa: BLE001
        return "INVALID", "checker: " + str(e).strip().splitlines()[0][:300]
    why = checker.ort_load(out)
    if why:
        return "INVALID", "ort: " + why
    return "valid", ""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tests", nargs="*", help="e2e test files whose programs are the seeds")
    ap.add_argument("--seeds", type=Path, help="a folder of saved seeds (kept; made when missing)")
    ap.add_argument("--per-seed", type=int, default=40, help="mutants per seed program (sampled)")
    ap.add_argument("--only", help="only mutations of this kind (dtype, dim, rank, drop_output, extra_output)")
    ap.add_argument("--jobs", type=int, default=4)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--no-real", action="store_true", help="leave out the real programs")
    args = ap.parse_args()

    seeds = args.seeds or Path(tempfile.mkdtemp(prefix="kestro-seeds-"))
    if not any(seeds.glob("s.*")):
        seeds.mkdir(parents=True, exist_ok=True)
        tests = args.tests or sorted(str(p.name) for p in HERE.glob("test_*.py")
                                     if p.name not in ("test_cli.py", "test_real_programs.py"))
        collect_seeds(tests, seeds)
    jobs = []
    empty = seeds / "empty.pdiparams"
    empty.write_bytes(b"")
    seen = set()
    for d in sorted(seeds.glob("s.*")):
        text = (d / "p.json").read_text(errors="replace")
        if text in seen:
            continue
        seen.add(text)
        try:
            doc = json.loads(text)
            doc["program"]["regions"][0]["blocks"][0]["ops"]
        except Exception:  # noqa: BLE001
            continue
        jobs.append((d.name, doc, d / "p.pdiparams", (d / "opset").read_text().strip()))
    if not args.no_real:
        for m in sorted(shared_models_dir().glob("*/inference.json")):
            w = m.parent / "inference.pdiparams"
            if not w.exists():  # a program shipped without weights gets small random ones
                w = write_weights(seeds / f"{m.parent.name}.pdiparams", weights_for_program(m))
            jobs.append((m.parent.name, json.loads(m.read_text()), w, "17"))

    rng = random.Random(args.seed)
    tasks = []
    for name, doc, weights, opset in jobs:
        try:
            sites = [s for s in mutation_sites(doc) if not args.only or s[1] == args.only]
        except (AttributeError, KeyError, TypeError, IndexError):  # a deliberately malformed seed
            continue
        rng.shuffle(sites)
        for s in sites[:args.per_seed]:
            tasks.append((name, doc, weights, opset, s))

    def worker(chunk):
        checker = Checker()
        work = Path(tempfile.mkdtemp(prefix="kestro-mut-"))
        results = []
        try:
            for name, doc, weights, opset, s in chunk:
                verdict, why = classify(work, apply(doc, s), weights, opset, checker)
                results.append((name, opset, s, verdict, why))
        finally:
            checker.close()
            shutil.rmtree(work, ignore_errors=True)
        return results

    chunks = [tasks[k::args.jobs] for k in range(args.jobs)]
    with ThreadPoolExecutor(args.jobs) as pool:
        results = [r for part in pool.map(worker, chunks) for r in part]

    counts = collections.Counter(v for *_, v, _ in results)
    print(f"{len(results)} mutants of {len(jobs)} programs: " +
          ", ".join(f"{counts[k]} {k}" for k in ("refused", "valid", "INVALID", "CRASH")))
    classes = collections.defaultdict(list)
    for name, opset, s, verdict, why in results:
        if verdict in ("INVALID", "CRASH"):
            classes[(s[0], s[1], verdict)].append((name, opset, s, why))
    for (op, kind, verdict), items in sorted(classes.items(), key=lambda kv: -len(kv[1])):
        print(f"\n{verdict} {op} {kind}: {len(items)}")
        for name, opset, s, why in items[:3]:
            print(f"  {name} opset {opset} site {s[2:]}: {why}")
    print(f"\nseeds: {seeds}")
    return 1 if counts["INVALID"] or counts["CRASH"] else 0


if __name__ == "__main__":
    sys.exit(main())
