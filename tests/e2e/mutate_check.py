"""By-hand check that a program which contradicts itself is refused or becomes a valid model.

    /usr/bin/python3 tests/e2e/mutate_check.py [--seeds DIR] [--per-seed N] [--only KIND] [TEST_FILE ...]

Collects seed programs by running the given e2e test files (default: all of them, a few
minutes) with a KESTRO_BIN wrapper that keeps every program kestro converts (or takes the
programs saved in --seeds by an earlier run), adds the real programs of ../shared/models,
changes each program in one place and runs kestro (KESTRO_BIN, else build/kestro; copy it
elsewhere first when you rebuild meanwhile) on a sample of the mutants, at opset 17 and at one
of 18-21 (where kestro runs no checker of its own). The kinds of change (--only):
  declarations  dtype, dim, rank, drop_output, extra_output
  attributes    attr_value (another value: an int moved, a bool flipped, another mode or dtype
                word, one list element changed), attr_list (a list one shorter, longer, empty),
                attr_type (a bool written as an int, an int as a bool, an i32 as an i64, an
                int list as a generic array), attr_drop (the attribute left out)
  operands      operand_swap (another value of the program in its place), operand_drop,
                operand_add, operand_absent (%0)
  operator      rename (a sibling operator: conv2d -> conv2d_transpose, max -> min, relu ->
                an operator that takes more operands, an in-place twin, a double prefix)
  regions       region_yield_drop, region_yield_add, region_yield_swap (a while or if body
                yields one value fewer, one more, or a value of another type)
A mutant is a clean refusal (exit 1, "Error: ..."), a valid model (the onnx checker with
full_check, where it knows the opset, accepts it, and ONNX Runtime loads it and runs it on
inputs made from the graph's input types, -1 dims set to 2; the run is required only when the
unchanged seed runs that way), an INVALID model, or a CRASH. The INVALID and CRASH mutants are
listed with the reason, grouped by the operator and kind of the change; the exit status is 1
when there is any.
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

# Word attributes whose values come from a small set: each is changed to another of its set,
# or to a word Paddle does not know.
WORD_SETS = [
    ["NCHW", "NHWC", "NCDHW", "NDHWC", "AnyLayout"],
    ["EXPLICIT", "SAME", "VALID"],
    ["max", "avg"],
    ["nearest", "bilinear", "bicubic", "linear", "trilinear"],
    ["zeros", "border", "reflection"],
    ["constant", "reflect", "replicate", "circular"],
    ["upscale_in_train", "downscale_in_infer"],
    ["float32", "int64", "int32", "bool", "float16", "float64", "int8", "uint8"],
]
DTYPE_WORDS = WORD_SETS[-1]

# Operators a program could plausibly write in another's place (same operands, or close).
SIBLINGS = [
    ["conv2d", "conv2d_transpose", "depthwise_conv2d", "depthwise_conv2d_transpose", "conv3d"],
    ["pool2d", "pool3d", "max_pool2d_with_index"],
    ["max", "min", "sum", "mean", "prod", "argmax", "argmin", "any", "all", "logsumexp"],
    ["add", "subtract", "multiply", "divide", "maximum", "minimum", "elementwise_pow",
     "floor_divide", "remainder", "matmul", "where"],
    ["equal", "not_equal", "less_than", "less_equal", "greater_than", "greater_equal",
     "logical_and", "logical_or", "logical_xor", "bitwise_and", "bitwise_or"],
    ["relu", "sigmoid", "tanh", "exp", "sqrt", "abs", "hardswish", "hardsigmoid", "swish", "silu",
     "gelu", "leaky_relu", "prelu", "softmax", "log_softmax", "relu6", "logical_not",
     "bitwise_not", "floor", "cast", "scale", "clip", "dropout", "add", "where"],
    ["nearest_interp", "bilinear_interp", "bicubic_interp", "linear_interp", "trilinear_interp"],
    ["reshape", "flatten", "squeeze", "unsqueeze", "transpose", "expand", "tile", "expand_as"],
    ["concat", "stack", "split", "split_with_num", "unbind", "meshgrid"],
    ["slice", "strided_slice", "gather", "index_select", "take_along_axis", "gather_nd"],
    ["full", "full_int_array", "full_like", "full_with_tensor", "assign_value_", "arange",
     "range", "eye"],
    ["batch_norm", "layer_norm", "group_norm", "instance_norm"],
    ["matmul", "matmul_v2", "linear_v2", "bmm", "mm"],
    ["tril", "triu", "flip", "roll", "cumsum", "cumprod"],
    ["pad", "pad3d"],
    ["topk", "argsort", "sort"],
    ["shape", "shape64", "numel"],
    ["while", "if"],
    ["index_put", "put_along_axis", "scatter", "set_value_", "set_value_with_tensor_"],
    ["grid_sample", "multinomial"],
]

# One ONNX Runtime process per worker: each line names a model and its graph inputs; the model
# is loaded and, when asked, run on inputs of those types (floats from 0.5 up, ints 1, true); the
# outputs must have the dims the model declares for them.
ORT_LOADER = r"""
const ort = require('onnxruntime-node');
const rl = require('readline').createInterface({input: process.stdin});
const MAKE = {
  float32: (n) => Float32Array.from({length: n}, (_, i) => 0.5 + (i % 5) * 0.1),
  float64: (n) => Float64Array.from({length: n}, (_, i) => 0.5 + (i % 5) * 0.1),
  float16: (n) => new Uint16Array(n).fill(0x3800),
  int64: (n) => new BigInt64Array(n).fill(1n), int32: (n) => new Int32Array(n).fill(1),
  int16: (n) => new Int16Array(n).fill(1), int8: (n) => new Int8Array(n).fill(1),
  uint8: (n) => new Uint8Array(n).fill(1), bool: (n) => new Uint8Array(n).fill(1),
};
const queue = [];
let busy = false;
async function handle(line) {
  const req = JSON.parse(line);
  let s;
  try { s = await ort.InferenceSession.create(req.path, {logSeverityLevel: 3}); }
  catch (e) { return 'ERR load: ' + String(e.message || e).split('\n')[0].slice(0, 300); }
  try {
    if (req.run) {
      const feeds = {};
      for (const i of req.inputs) {
        const n = i.dims.reduce((a, b) => a * b, 1);
        if (!MAKE[i.type] || n > 5e7) { await s.release(); return 'ok'; }
        feeds[i.name] = new ort.Tensor(i.type, MAKE[i.type](n), i.dims);
      }
      const res = await s.run(feeds);
      for (const o of req.outputs) {
        const got = res[o.name] ? res[o.name].dims.map(Number) : null;
        if (got && (got.length !== o.dims.length || o.dims.some((d, k) => d >= 0 && d !== got[k]))) {
          await s.release();
          return `ERR run: output ${o.name} declared [${o.dims}] but is [${got}]`;
        }
      }
    }
  } catch (e) { await s.release(); return 'ERR run: ' + String(e.message || e).split('\n')[0].slice(0, 300); }
  await s.release();
  return 'ok';
}
async function pump() {
  if (busy) return;
  busy = true;
  while (queue.length) console.log(await handle(queue.shift()));
  busy = false;
}
rl.on('line', (line) => { queue.push(line); pump(); });
"""

ONNX_TYPES = {1: "float32", 2: "uint8", 3: "int8", 5: "int16", 6: "int32", 7: "int64", 9: "bool",
              10: "float16", 11: "float64"}


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


def walk_ops(ops, found, scopes=None, chain=None):
    """Lists the operators and block arguments in program order; with scopes, also which values
    each one can see: a list of (scope's ids, count defined so far) per enclosing block."""
    chain = chain if chain is not None else [[]]
    for o in ops if isinstance(ops, list) else []:
        if not isinstance(o, dict):
            continue
        if scopes is not None:
            scopes.append([(s, len(s)) for s in chain])
        found.append(o)
        for r in o.get("regions", []) or []:
            for b in r.get("blocks", []) or []:
                inner = []
                for a in b.get("args", []):
                    if isinstance(a, dict):
                        if scopes is not None:
                            scopes.append([])
                        found.append(("arg", a))
                        if isinstance(a.get("%"), int):
                            inner.append(a["%"])
                walk_ops(b.get("ops"), found, scopes, chain + [inner])
        outs = o.get("O")
        for e in outs if isinstance(outs, list) else [outs]:
            if isinstance(e, dict) and isinstance(e.get("%"), int) and e["%"] > 0:
                chain[-1].append(e["%"])


def dense(entry):
    tt = entry.get("TT") if isinstance(entry, dict) else None
    if isinstance(tt, dict) and tt.get("#") == "0.t_dtensor" and isinstance(tt.get("D"), list):
        return tt["D"]
    return None


def pick_visible(scope, rng, avoid=None):
    total = sum(n for _, n in scope)
    for _ in range(4):
        if total == 0:
            return None
        i = rng.randrange(total)
        for ids, n in scope:
            if i < n:
                v = ids[i]
                break
            i -= n
        if v != avoid:
            return v
    return None


def int_variants(v):
    return [w for w in dict.fromkeys([v + 1, v - 1, -1, 0, 7]) if w != v]


def spots(items):
    """The positions of a list whose element is changed: the first, a middle one, the last."""
    return sorted({0, len(items) // 2, len(items) - 1}) if items else []


def attr_changes(at):
    """(kind, new typed value or None to drop) for one typed attribute value."""
    tag, d = at.get("#"), at.get("D")
    out = [("attr_drop", None)]
    if tag in ("0.a_i32", "0.a_i64") and isinstance(d, int) and not isinstance(d, bool):
        out += [("attr_value", {"#": tag, "D": w}) for w in int_variants(d)]
        out.append(("attr_type", {"#": "0.a_i64" if tag == "0.a_i32" else "0.a_i32", "D": d}))
        out.append(("attr_type", {"#": "0.a_bool", "D": d != 0}))
    elif tag == "0.a_bool" and isinstance(d, bool):
        out.append(("attr_value", {"#": tag, "D": not d}))
        out.append(("attr_type", {"#": "0.a_i32", "D": int(d)}))
    elif tag in ("0.a_f32", "0.a_f64") and isinstance(d, (int, float)):
        out += [("attr_value", {"#": tag, "D": w}) for w in (0.0, -1.0, 1e30) if w != d]
    elif tag in ("0.a_str", "1.a_dtype") and isinstance(d, str):
        for words in WORD_SETS:
            if d in words:
                out += [("attr_value", {"#": tag, "D": w}) for w in words + ["bogus"] if w != d]
                if tag == "1.a_dtype":
                    out.append(("attr_type", {"#": "0.a_str", "D": d}))
                break
        else:
            out = []  # names, struct paths: no meaning to change
    elif tag == "1.a_intarray" and isinstance(d, list):
        for i in spots(d):
            v = d[i]
            if isinstance(v, int):
                out += [("attr_value", {"#": tag, "D": d[:i] + [w] + d[i + 1:]}) for w in int_variants(v)[:3]]
        out += [("attr_list", {"#": tag, "D": d[:-1]})] if d else []
        out += [("attr_list", {"#": tag, "D": d + d[-1:]}), ("attr_list", {"#": tag, "D": []})] if d else []
        out.append(("attr_type", {"#": "0.a_array", "D": [{"#": "0.a_i64", "D": v} for v in d]}))
    elif tag == "0.a_array" and isinstance(d, list):
        for i in spots(d):
            item = d[i]
            if isinstance(item, dict):
                out += [("attr_value", {"#": tag, "D": d[:i] + [w] + d[i + 1:]})
                        for k, w in attr_changes(item)[:4] if k == "attr_value" and w is not None]
        if d:
            out += [("attr_list", {"#": tag, "D": d[:-1]}), ("attr_list", {"#": tag, "D": d + d[-1:]})]
    return out


def sibling_names(name):
    if not name.startswith("1."):
        return []
    base = name[2:]
    core = base[:-1] if base.endswith("_") else base
    names = []
    for group in SIBLINGS:
        if core in group:
            names += [w for w in group if w != core]
    names.append(base[:-1] if base.endswith("_") else base + "_")
    names.append("1." + base)  # a double prefix
    return ["1." + w for w in dict.fromkeys(names)]


def mutation_sites(doc, rng=None):
    """(operator name, kind, index, slot, argument) for every one-place change of the program."""
    rng = rng or random.Random(0)
    found, scopes = [], []
    for r in doc["program"]["regions"]:
        for b in r["blocks"]:
            walk_ops(b["ops"], found, scopes)
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
            for j, a in enumerate(o.get("A") or []):
                if isinstance(a, dict) and isinstance(a.get("AT"), dict) and a.get("N") != "struct_name":
                    for kind, new in attr_changes(a["AT"]):
                        sites.append((name, kind, k, j, (a.get("N"), new)))
            ins = o.get("I") if isinstance(o.get("I"), list) else []
            yields = name.endswith(".yield")
            pre = "region_yield_" if yields else "operand_"
            for j, i in enumerate(ins):
                cur = i.get("%") if isinstance(i, dict) else None
                other = pick_visible(scopes[k], rng, cur)
                if other is not None:
                    sites.append((name, pre + "swap", k, j, other))
                if j == len(ins) - 1:
                    sites.append((name, pre + "drop", k, j, None))
                if not yields and cur:
                    sites.append((name, "operand_absent", k, j, None))
            other = pick_visible(scopes[k], rng)
            if other is not None and name not in ("1.data", "1.fetch"):
                sites.append((name, pre + "add", k, len(ins), other))
            if name not in ("1.data", "1.fetch"):
                for new in sibling_names(name):
                    sites.append((name, "rename", k, 0, new))
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
    elif kind.startswith("attr_"):
        if arg[1] is None:
            del o["A"][j]
        else:
            o["A"][j]["AT"] = arg[1]
    elif kind.endswith("_swap"):
        o["I"][j] = {"%": arg}
    elif kind.endswith("_drop"):
        del o["I"][j]
    elif kind.endswith("_add"):
        o["I"].append({"%": arg})
    elif kind == "operand_absent":
        o["I"][j] = {"%": 0}
    elif kind == "rename":
        o["#"] = arg
    return doc


class Checker:
    def __init__(self):
        self.start()

    def start(self):
        self.ort = subprocess.Popen(["node", "-e", ORT_LOADER], cwd=HERE, stdin=subprocess.PIPE,
                                    stdout=subprocess.PIPE, text=True)

    def ort_check(self, path: Path, inputs: list, outputs: list, run: bool, timeout: float = 60) -> str | None:
        """None when ONNX Runtime loads (and runs) the model, "timeout" when the run does not end,
        else the reason."""
        import select
        self.ort.stdin.write(json.dumps({"path": str(path), "inputs": inputs, "outputs": outputs, "run": run}) + "\n")
        self.ort.stdin.flush()
        ready, _, _ = select.select([self.ort.stdout], [], [], timeout)
        if not ready:
            self.ort.kill()
            self.ort.wait()
            self.start()
            return "timeout"
        line = self.ort.stdout.readline().strip()
        if not line:
            self.ort.wait()
            self.start()
            return "ONNX Runtime died"
        return None if line == "ok" else line

    def close(self):
        self.ort.stdin.close()
        self.ort.wait()


def graph_inputs(m) -> list:
    inits = {i.name for i in m.graph.initializer}
    out = []
    for i in m.graph.input:
        if i.name in inits:
            continue
        t = i.type.tensor_type
        dims = [d.dim_value if d.HasField("dim_value") else 2 for d in t.shape.dim]
        out.append({"name": i.name, "type": ONNX_TYPES.get(t.elem_type, "?"), "dims": dims})
    return out


def graph_outputs(m) -> list:
    """The declared output dims (-1 where unknown); an output of unknown rank is not held."""
    return [{"name": o.name, "dims": [d.dim_value if d.HasField("dim_value") else -1
                                      for d in o.type.tensor_type.shape.dim]}
            for o in m.graph.output if o.type.tensor_type.HasField("shape")]


def classify(work: Path, program: dict, weights: Path, opset: str, checker: Checker, run: bool = False):
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
    why = checker.ort_check(out, graph_inputs(m), graph_outputs(m), run)
    if why == "timeout":
        return "timeout", ""
    if why:
        return "INVALID", "ort: " + why
    return "valid", ""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("tests", nargs="*", help="e2e test files whose programs are the seeds")
    ap.add_argument("--seeds", type=Path, help="a folder of saved seeds (kept; made when missing)")
    ap.add_argument("--per-seed", type=int, default=40, help="mutants per seed program (sampled)")
    ap.add_argument("--only", help="only mutations of these kinds (comma-separated; see above)")
    ap.add_argument("--dump", help="write every result as a JSON line to this file")
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
    for name, doc, weights, _ in jobs:
        try:
            sites = [s for s in mutation_sites(doc, rng) if not args.only or s[1] in args.only.split(",")]
        except (AttributeError, KeyError, TypeError, IndexError):  # a deliberately malformed seed
            continue
        rng.shuffle(sites)
        for s in sites[:args.per_seed]:
            for opset in ("17", str(rng.randint(18, 21))):
                tasks.append((name, doc, weights, opset, s))

    def worker(chunk):
        checker = Checker()
        work = Path(tempfile.mkdtemp(prefix="kestro-mut-"))
        runs = {}  # (seed, opset) -> whether the unchanged seed runs, so mutants must too
        results = []
        try:
            for name, doc, weights, opset, s in chunk:
                if (name, opset) not in runs:
                    runs[(name, opset)] = classify(work, doc, weights, opset, checker, True)[0] == "valid"
                verdict, why = classify(work, apply(doc, s), weights, opset, checker, runs[(name, opset)])
                results.append((name, opset, s, verdict, why))
        finally:
            checker.close()
            shutil.rmtree(work, ignore_errors=True)
        return results

    # Chunks by seed, so each worker checks a seed's own run once.
    by_seed = collections.defaultdict(list)
    for t in tasks:
        by_seed[t[0]].append(t)
    chunks = [[] for _ in range(args.jobs)]
    for group in sorted(by_seed.values(), key=len, reverse=True):
        min(chunks, key=len).extend(group)
    with ThreadPoolExecutor(args.jobs) as pool:
        results = [r for part in pool.map(worker, chunks) for r in part]

    kinds = ("refused", "valid", "INVALID", "CRASH", "timeout")
    for label, pick in (("opset 17", lambda o: o == "17"), ("opsets 18-21", lambda o: o != "17")):
        counts = collections.Counter(v for _, o, _, v, _ in results if pick(o))
        print(f"{label}: {sum(counts.values())} mutants: " + ", ".join(f"{counts[k]} {k}" for k in kinds))
    print(f"({len(jobs)} seed programs)")
    if args.dump:
        with open(args.dump, "w") as f:
            for name, opset, s, verdict, why in results:
                f.write(json.dumps([name, opset, list(s), verdict, why]) + "\n")
    classes = collections.defaultdict(list)
    for name, opset, s, verdict, why in results:
        if verdict in ("INVALID", "CRASH"):
            classes[(s[0], s[1], verdict)].append((name, opset, s, why))
    for (op, kind, verdict), items in sorted(classes.items(), key=lambda kv: -len(kv[1])):
        print(f"\n{verdict} {op} {kind}: {len(items)}")
        for name, opset, s, why in items[:4]:
            print(f"  {name} opset {opset} site {s[2:]}: {why}")
    print(f"\nseeds: {seeds}")
    bad = collections.Counter(v for *_, v, _ in results)
    return 1 if bad["INVALID"] or bad["CRASH"] else 0


if __name__ == "__main__":
    sys.exit(main())
