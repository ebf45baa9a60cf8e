"""End-to-end test harness: build PIR programs, write weight files, run the converter, check and
run the resulting ONNX models.

Typical use in a test:

    p = Program()
    x = p.data("x", "f32", [2, 3])
    y = p.op("1.relu", [x], outs=[("f32", [2, 3])])
    p.fetch(y, "out", "f32", [2, 3])
    outs = convert_check_run(p, {}, {"x": xs}, opset=17, tmp=tmp_path)

Programs are written the way real exports write them: parameters first, typed outputs under
"TT", attributes as {"N": name, "AT": {"#": tag, "D": data}}, stop-gradient output attributes.
"""

from __future__ import annotations

import base64
import json
import os
import shutil
import struct
import subprocess
import tempfile
from pathlib import Path
from typing import Any, Iterable, NamedTuple, Sequence

import numpy as np

HERE = Path(__file__).resolve().parent
REPO_ROOT = Path(os.environ.get("KESTRO_ROOT", HERE.parent.parent)).resolve()

# ---------------------------------------------------------------------------------------------
# Element types

# word -> (numpy dtype, weight-file VarType code, the word "1.a_dtype" attributes use)
DTYPES: dict[str, tuple[Any, int, str]] = {
    "bool": (np.bool_, 0, "bool"),
    "i8": (np.int8, 21, "int8"),
    "ui8": (np.uint8, 20, "uint8"),
    "i16": (np.int16, 1, "int16"),
    "i32": (np.int32, 2, "int32"),
    "i64": (np.int64, 3, "int64"),
    "f16": (np.float16, 4, "float16"),
    "f32": (np.float32, 5, "float32"),
    "f64": (np.float64, 6, "float64"),
    "bf16": (np.uint16, 22, "bfloat16"),  # no numpy type: raw bit patterns
}

_ALIASES = {"int8": "i8", "uint8": "ui8", "int16": "i16", "int32": "i32", "int64": "i64",
            "float16": "f16", "float32": "f32", "float64": "f64", "bfloat16": "bf16"}


def dtype_word(d: str) -> str:
    """Normalizes "float32" / "f32" to the short word programs use in "0.t_" tokens."""
    d = _ALIASES.get(d, d)
    if d not in DTYPES:
        raise ValueError(f"unknown dtype word {d!r}")
    return d


def np_dtype(d: str):
    return np.dtype(DTYPES[dtype_word(d)][0])


def word_of_np(dt) -> str:
    dt = np.dtype(dt)
    for w, (t, _, _) in DTYPES.items():
        if w != "bf16" and np.dtype(t) == dt:
            return w
    raise ValueError(f"no dtype word for numpy {dt}")


# ---------------------------------------------------------------------------------------------
# Typed attribute values

def a_i32(v: int) -> dict:
    return {"#": "0.a_i32", "D": v}


def a_i64(v: int) -> dict:
    return {"#": "0.a_i64", "D": v}


def a_f32(v: float) -> dict:
    return {"#": "0.a_f32", "D": v}


def a_f64(v: float) -> dict:
    return {"#": "0.a_f64", "D": v}


def a_str(v: str) -> dict:
    return {"#": "0.a_str", "D": v}


def a_bool(v: bool) -> dict:
    return {"#": "0.a_bool", "D": bool(v)}


def a_array(items: Iterable) -> dict:
    """An "0.a_array"; plain Python items are typed as auto_attr types them."""
    return {"#": "0.a_array", "D": [auto_attr(i) for i in items]}


def a_intarray(values: Iterable[int]) -> dict:
    return {"#": "1.a_intarray", "D": list(values)}


def a_dtype(word: str) -> dict:
    return {"#": "1.a_dtype", "D": DTYPES[dtype_word(word)][2]}


def a_place(kind: int = 0) -> dict:
    return {"#": "1.a_place", "D": [kind, 0, ""]}


def auto_attr(v: Any) -> dict:
    """Types a plain Python value: bool -> a_bool, int -> a_i32 (a_i64 outside 32 bits),
    float -> a_f32, str -> a_str, list/tuple -> a_array. A dict is taken as already typed
    (the raw escape hatch: any tag, any data)."""
    if isinstance(v, dict):
        return v
    if isinstance(v, (bool, np.bool_)):
        return a_bool(bool(v))
    if isinstance(v, (int, np.integer)):
        v = int(v)
        return a_i32(v) if -2**31 <= v < 2**31 else a_i64(v)
    if isinstance(v, (float, np.floating)):
        return a_f32(float(v))
    if isinstance(v, str):
        return a_str(v)
    if isinstance(v, (list, tuple)):
        return a_array(v)
    raise TypeError(f"cannot type attribute value {v!r}")


def tt(dtype: str, dims: Sequence[int]) -> dict:
    """The "TT" type object of a dense tensor value."""
    return {"#": "0.t_dtensor", "D": [{"#": "0.t_" + dtype_word(dtype)}, list(dims), "NCHW", [], 0]}


def tt_vec(elems: Sequence[tuple[str, Sequence[int]]]) -> dict:
    """The "TT" type object of a list value (the output of "0.combine")."""
    return {"#": "0.t_vec", "D": [tt(d, s) for d, s in elems]}


# ---------------------------------------------------------------------------------------------
# Program builder

class Block:
    """One block of operators. Value ids come from the owning Program's counter, so ids stay
    unique across nested blocks as they do in real exports."""

    def __init__(self, program: "Program | None"):
        self.program = program if program is not None else self  # type: ignore[assignment]
        self.ops: list[dict] = []
        self.args: list[dict] = []

    # -- ids and types
    def new_id(self) -> int:
        return self.program._alloc()

    def type_of(self, vid: int):
        return self.program._types.get(vid)

    def _out_entry(self, spec) -> dict:
        vid = self.new_id()
        entry: dict = {"%": vid}
        if spec is None:
            return entry
        if isinstance(spec, dict):  # raw "TT"
            entry["TT"] = spec
            return entry
        if spec[0] == "vec":
            entry["TT"] = tt_vec(spec[1])
            self.program._types[vid] = ("vec", [tuple(e) for e in spec[1]])
            return entry
        dtype, dims = spec
        entry["TT"] = tt(dtype, dims)
        self.program._types[vid] = (dtype_word(dtype), list(dims))
        return entry

    # -- operators
    def op(self, name: str, inputs: Sequence[int | None] = (), attrs: dict | None = None,
           outs: Sequence = (), regions: Sequence["Block"] | None = None, raw: dict | None = None):
        """Appends an operator and returns its output id (one output), the list of ids (several)
        or None (no outputs). inputs: value ids, 0 or None for an omitted optional input.
        attrs: {name: typed value or plain value}. outs: (dtype, dims) per output, ("vec",
        [(dtype, dims), ...]) for a list value, a raw "TT" dict, or None for an untyped output.
        raw: extra keys merged into the operator object last (to write malformed programs)."""
        o: dict = {"#": name}
        o["A"] = [{"AT": auto_attr(v), "N": k} for k, v in (attrs or {}).items()]
        o["I"] = [{"%": 0 if i is None else int(i)} for i in inputs]
        out_entries = [self._out_entry(s) for s in outs]
        o["O"] = out_entries
        o["OA"] = [{"AT": a_array([False] * len(out_entries)), "N": "stop_gradient"}] if out_entries else []
        if regions is not None:
            o["regions"] = [b._region_json(k) for k, b in enumerate(regions)]
        if raw:
            o.update(raw)
        self.ops.append(o)
        ids = [e["%"] for e in out_entries]
        if not ids:
            return None
        return ids[0] if len(ids) == 1 else ids

    def raw_op(self, obj: Any) -> None:
        """Appends any JSON value as an operator, unchanged."""
        self.ops.append(obj)

    def full(self, shape: Sequence[int], value: float, dtype: str = "f32") -> int:
        return self.op("1.full", attrs={"shape": a_intarray(shape), "value": a_f64(float(value)),
                                        "dtype": a_dtype(dtype), "place": a_place(1)},
                       outs=[(dtype, list(shape))])

    def full_int_array(self, values: Sequence[int], dtype: str = "i64") -> int:
        return self.op("1.full_int_array",
                       attrs={"value": a_array([a_i64(int(v)) for v in values]),
                              "dtype": a_dtype(dtype), "place": a_place(1)},
                       outs=[(dtype, [len(values)])])

    def combine(self, ids: Sequence[int]) -> int:
        elems = []
        for i in ids:
            t = self.type_of(i)
            elems.append(t if t is not None and t[0] != "vec" else ("f32", []))
        return self.op("0.combine", list(ids), outs=[("vec", elems)])

    def split(self, list_id: int, outs: Sequence[tuple[str, Sequence[int]]]) -> list[int]:
        r = self.op("0.split", [list_id], outs=list(outs))
        return [r] if isinstance(r, int) else list(r or [])

    def yield_(self, ids: Sequence[int]) -> None:
        self.op("2.yield", list(ids))

    def arg(self, dtype: str | None, dims: Sequence[int] = ()) -> int:
        """Declares a block argument (its id is written under "#", as block arguments are)."""
        vid = self.new_id()
        entry: dict = {"#": vid}
        if dtype is not None:
            entry["TT"] = tt(dtype, dims)
            self.program._types[vid] = (dtype_word(dtype), list(dims))
        self.args.append(entry)
        return vid

    def block(self) -> "Block":
        """A new sub-block (for the regions of "1.if" / "1.while") sharing this program's ids."""
        return Block(self.program)

    def _region_json(self, k: int) -> dict:
        return {"#": f"region_{k}", "blocks": [{"#": "block_0", "args": self.args, "ops": self.ops}]}


class Program(Block):
    def __init__(self):
        self._next = 1
        self._types: dict[int, Any] = {}
        super().__init__(None)
        self.params: list[dict] = []
        self._fetch_col = 0

    def _alloc(self) -> int:
        v = self._next
        self._next += 1
        return v

    def data(self, name: str | None, dtype: str, dims: Sequence[int]) -> int:
        attrs: dict = {}
        if name is not None:
            attrs["name"] = a_str(name)
        attrs.update({"shape": a_intarray(dims), "dtype": a_dtype(dtype), "place": a_place(0)})
        return self.op("1.data", attrs=attrs, outs=[(dtype, list(dims))])

    def param(self, name: str, dtype: str, dims: Sequence[int]) -> int:
        """Declares a parameter. Real exports list every parameter before the other operators;
        to_json does the same whatever the order of the calls."""
        vid = self.new_id()
        self._types[vid] = (dtype_word(dtype), list(dims))
        self.params.append({"#": "p", "A": [0, 1, 1, name], "DA": [],
                            "O": {"%": vid, "TT": tt(dtype, dims)}, "OA": [1, 0, 1], "QA": []})
        return vid

    def fetch(self, vid: int, name: str | None = None, dtype: str | None = None,
              dims: Sequence[int] | None = None) -> int:
        """Adds a "1.fetch"; its type defaults to the fetched value's."""
        if dtype is None:
            t = self.type_of(vid)
            dtype, dims = (t if t is not None else ("f32", []))
        attrs: dict = {}
        if name is not None:
            attrs["name"] = a_str(name)
        attrs["col"] = a_i32(self._fetch_col)
        self._fetch_col += 1
        out = self.op("1.fetch", [vid], attrs=attrs, outs=[(dtype, list(dims or []))])
        self.ops[-1]["OA"] = [{"AT": a_array([True]), "N": "persistable"},
                              {"AT": a_array([False]), "N": "stop_gradient"}]
        return out

    def to_json(self) -> dict:
        return {
            "base_code": {"magic": "pir", "trainable": True, "version": 1},
            "program": {"regions": [{"#": "region_0", "blocks": [
                {"#": "block_0", "args": [], "ops": self.params + self.ops}]}]},
        }

    def write(self, path: str | os.PathLike) -> Path:
        path = Path(path)
        path.write_text(json.dumps(self.to_json()))
        return path


def program_json(ops: list, wrap: bool = True) -> dict:
    """A program document around a raw ops list (for hand-written or malformed operators)."""
    return {"program": {"regions": [{"blocks": [{"ops": ops}]}]}} if wrap else ops


# ---------------------------------------------------------------------------------------------
# Weight files

def _varint(n: int) -> bytes:
    n &= (1 << 64) - 1  # negative int64 dims encode as ten-byte two's complement, as protobuf does
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def tensor_desc(vartype: int, dims: Sequence[int], packed: bool = False) -> bytes:
    """TensorDesc message: field 1 the element type, field 2 the dims. Real exports write the
    dims unpacked (one "10 <varint>" per dim); packed=True writes "12 <len> <varints>"."""
    out = b"\x08" + _varint(vartype)
    if packed:
        body = b"".join(_varint(d) for d in dims)
        if dims:
            out += b"\x12" + _varint(len(body)) + body
    else:
        out += b"".join(b"\x10" + _varint(d) for d in dims)
    return out


def weight_record(arr: np.ndarray | None = None, *, vartype: int | None = None,
                  dims: Sequence[int] | None = None, data: bytes | None = None,
                  desc: bytes | None = None, lod_level: int = 0, version: int = 0,
                  desc_size: int | None = None, packed: bool = False) -> bytes:
    """One tensor record. Every piece can be overridden to write malformed records."""
    if arr is not None:
        arr = np.asarray(arr, order="C")
        if vartype is None:
            vartype = DTYPES[word_of_np(arr.dtype)][1]
        if dims is None:
            dims = list(arr.shape)
        if data is None:
            data = arr.astype(arr.dtype.newbyteorder("<"), copy=False).tobytes()
    if desc is None:
        desc = tensor_desc(vartype if vartype is not None else 5, dims or [], packed=packed)
    size = len(desc) if desc_size is None else desc_size
    return (struct.pack("<IQIi", version, lod_level, version, size) + desc + (data or b""))


def sorted_names(names: Iterable[str]) -> list[str]:
    """Byte order, the order in which the converter pairs records with parameters."""
    return sorted(names, key=lambda s: s.encode("utf-8"))


def weights_bytes(weights: dict[str, np.ndarray], packed: bool = False) -> bytes:
    return b"".join(weight_record(weights[n], packed=packed) for n in sorted_names(weights))


def write_weights(path: str | os.PathLike, weights: dict[str, np.ndarray] | bytes,
                  packed: bool = False) -> Path:
    """Writes a .pdiparams file: one record per name in byte-sorted order (or raw bytes)."""
    path = Path(path)
    path.write_bytes(weights if isinstance(weights, (bytes, bytearray)) else weights_bytes(weights, packed))
    return path


def program_params(doc: dict) -> list[tuple[str, str, list[int], int]]:
    """(name, dtype word, dims, value id) of every "p" operator of a program, nested blocks too."""
    found = []

    def walk(ops):
        for o in ops if isinstance(ops, list) else []:
            if not isinstance(o, dict):
                continue
            if o.get("#") == "p":
                name = next((a for a in o.get("A", []) if isinstance(a, str)), "unknown_param")
                out = o["O"][0] if isinstance(o.get("O"), list) else o.get("O")
                d = out["TT"]["D"]
                found.append((name, d[0]["#"][4:], list(d[1]), out["%"]))
            for r in o.get("regions", []) or []:
                for b in r.get("blocks", []) or []:
                    walk(b.get("ops"))

    for r in doc["program"]["regions"]:
        for b in r["blocks"]:
            walk(b["ops"])
    return found


def read_weights(path: str | os.PathLike, doc: dict | Program | str | os.PathLike) -> dict[str, np.ndarray]:
    """Reads a .pdiparams file back, pairing its records with the program's byte-sorted parameter
    names and taking each tensor's element type and dims from its record."""
    if isinstance(doc, Program):
        doc = doc.to_json()
    elif not isinstance(doc, dict):
        doc = json.loads(Path(doc).read_text())
    data = Path(path).read_bytes()
    by_code = {code: w for w, (_, code, _) in DTYPES.items()}
    out: dict[str, np.ndarray] = {}
    off = 0
    for name in sorted_names(n for n, _, _, _ in program_params(doc)):
        _, _, _, size = struct.unpack_from("<IQIi", data, off)
        off += 20
        desc = data[off:off + size]
        off += size
        vartype, dims, k = 0, [], 0
        while k < len(desc):  # the two fields of TensorDesc; dims packed or not
            key = desc[k]
            k += 1
            vals = []
            if key & 7 == 2:
                ln, k = _read_varint(desc, k)
                end = k + ln
                while k < end:
                    v, k = _read_varint(desc, k)
                    vals.append(v)
            else:
                v, k = _read_varint(desc, k)
                vals.append(v)
            if key >> 3 == 1:
                vartype = vals[0]
            else:
                dims += [v - (1 << 64) if v >= 1 << 63 else v for v in vals]
        dt = np_dtype(by_code[vartype])
        count = int(np.prod(dims)) if dims else 1
        out[name] = np.frombuffer(data, dtype=dt.newbyteorder("<"), count=count, offset=off).reshape(dims).astype(dt)
        off += count * dt.itemsize
    return out


def _read_varint(buf: bytes, k: int) -> tuple[int, int]:
    v = shift = 0
    while True:
        b = buf[k]
        k += 1
        v |= (b & 0x7F) << shift
        shift += 7
        if not b & 0x80:
            return v, k


def _variance_ids(doc: dict) -> set[int]:
    """Value ids consumed as the running variance (input 2: x, mean, variance, scale, bias)."""
    ids: set[int] = set()

    def walk(ops):
        for o in ops if isinstance(ops, list) else []:
            if isinstance(o, dict) and o.get("#") in ("1.batch_norm_", "1.batch_norm"):
                ins = o.get("I", [])
                if len(ins) > 2:
                    ids.add(ins[2].get("%"))
            for r in (o.get("regions", []) if isinstance(o, dict) else []) or []:
                for b in r.get("blocks", []) or []:
                    walk(b.get("ops"))

    for r in doc["program"]["regions"]:
        for b in r["blocks"]:
            walk(b["ops"])
    return ids


def weights_for_program(doc: dict | Program | str | os.PathLike, seed: int = 0,
                        scale: float = 0.1) -> dict[str, np.ndarray]:
    """Deterministic small random weights for every parameter a program declares; batch-norm
    variances are positive so that normalization stays finite."""
    if isinstance(doc, Program):
        doc = doc.to_json()
    elif not isinstance(doc, dict):
        doc = json.loads(Path(doc).read_text())
    rng = np.random.default_rng(seed)
    var_ids = _variance_ids(doc)
    out: dict[str, np.ndarray] = {}
    for name, word, dims, vid in program_params(doc):
        dt = np_dtype(word)
        shape = [max(d, 1) for d in dims]
        if dt == np.bool_:
            v = rng.integers(0, 2, size=shape).astype(dt)
        elif np.issubdtype(dt, np.integer):
            v = rng.integers(0, 4, size=shape).astype(dt)
        elif vid in var_ids or name.endswith("variance"):
            v = rng.uniform(0.5, 1.5, size=shape).astype(dt)
        else:
            v = (rng.standard_normal(size=shape) * scale).astype(dt)
        out[name] = v
    return out


# ---------------------------------------------------------------------------------------------
# Running the converter

class Result(NamedTuple):
    returncode: int
    stdout: str
    stderr: str

    @property
    def crashed(self) -> bool:
        """A signal or an abort, as opposed to a reported error."""
        return self.returncode < 0 or self.returncode >= 128


def kestro_bin() -> Path:
    env = os.environ.get("KESTRO_BIN")
    return Path(env) if env else REPO_ROOT / "build" / "kestro"


def _as_program_path(program, workdir: Path) -> Path:
    if isinstance(program, Program):
        return program.write(workdir / "model.json")
    if isinstance(program, (dict, list)):
        p = workdir / "model.json"
        p.write_text(json.dumps(program))
        return p
    if isinstance(program, (bytes, bytearray)):
        p = workdir / "model.json"
        p.write_bytes(program)
        return p
    return Path(program)


def _as_weights_path(weights, workdir: Path) -> Path:
    if weights is None:
        weights = b""
    if isinstance(weights, (dict, bytes, bytearray)):
        return write_weights(workdir / "model.pdiparams", weights)
    return Path(weights)


def convert(program, weights, out_path: str | os.PathLike, opset: int | str | None = None,
            env: dict | None = None, extra_args: Sequence[str] = (), timeout: float = 300) -> Result:
    """Runs the converter. program: a Program, a JSON-able dict, raw bytes or a path; weights:
    {name: array}, raw bytes, None (empty file) or a path. Files are written next to out_path.
    The logging variables are cleared unless env sets them."""
    out_path = Path(out_path)
    workdir = out_path.parent
    workdir.mkdir(parents=True, exist_ok=True)
    args = [str(kestro_bin()), str(_as_program_path(program, workdir)),
            str(_as_weights_path(weights, workdir)), str(out_path)]
    if opset is not None:
        args.append(str(opset))
    args += list(extra_args)
    full_env = {k: v for k, v in os.environ.items() if k not in ("RUST_LOG", "RUST_LOG_STYLE")}
    full_env.update(env or {})
    p = subprocess.run(args, capture_output=True, env=full_env, timeout=timeout)
    return Result(p.returncode, p.stdout.decode("utf-8", "replace"), p.stderr.decode("utf-8", "replace"))


# ---------------------------------------------------------------------------------------------
# Checking the model

def model_opset(model) -> int:
    for imp in model.opset_import:
        if imp.domain in ("", "ai.onnx"):
            return imp.version
    return 0


def _structural_check(graph, outer: set[str]) -> None:
    """What the checker verifies about names, for opsets the installed checker does not know."""
    defined = set(outer) | {i.name for i in graph.input} | {t.name for t in graph.initializer}
    produced: set[str] = set()
    for n in graph.node:
        assert n.op_type, "node without op_type"
        for a in n.attribute:
            for g in ([a.g] if a.HasField("g") else []) + list(a.graphs):
                _structural_check(g, defined | produced)
        for i in n.input:
            assert i == "" or i in defined or i in produced, f"{n.op_type} reads undefined tensor {i!r}"
        for o in n.output:
            if o:
                assert o not in produced, f"tensor {o!r} produced twice"
                produced.add(o)
    for o in graph.output:
        assert o.name in defined or o.name in produced, f"graph output {o.name!r} has no producer"


def check(model_path: str | os.PathLike):
    """Loads the model and runs the ONNX checker with full shape inference where the installed
    onnx knows the opset (up to 17), otherwise the structural checks only. Returns the model."""
    import onnx

    model = onnx.load(str(model_path))
    if model_opset(model) <= onnx.defs.onnx_opset_version():
        onnx.checker.check_model(model, full_check=True)
    else:
        _structural_check(model.graph, set())
    return model


# ---------------------------------------------------------------------------------------------
# Running the model in ONNX Runtime (onnxruntime-node, through ort_runner.js)

_RUNNER_WORDS = {np.dtype(np.float32): "float32", np.dtype(np.float64): "float64",
                 np.dtype(np.float16): "float16", np.dtype(np.int8): "int8",
                 np.dtype(np.int16): "int16", np.dtype(np.int32): "int32",
                 np.dtype(np.int64): "int64", np.dtype(np.uint8): "uint8",
                 np.dtype(np.uint16): "uint16", np.dtype(np.uint32): "uint32",
                 np.dtype(np.uint64): "uint64", np.dtype(np.bool_): "bool"}
_RUNNER_NP = {w: d for d, w in _RUNNER_WORDS.items()}


def _node() -> str:
    node = shutil.which("node")
    if not node:
        raise RuntimeError("node is not installed; the end-to-end tests need Node.js")
    if not (HERE / "node_modules" / "onnxruntime-node").is_dir():
        raise RuntimeError(f"onnxruntime-node is missing: run 'npm ci --ignore-scripts' in {HERE}")
    return node


def run(model_path: str | os.PathLike, feeds: dict[str, np.ndarray],
        optimization: str = "all") -> dict[str, np.ndarray]:
    """Runs the model on CPU and returns {output name: array} in the model's output order."""
    node = _node()
    with tempfile.TemporaryDirectory(prefix="kestro-ort-") as td:
        td = Path(td)
        inputs = []
        for k, (name, arr) in enumerate(feeds.items()):
            arr = np.asarray(arr, order="C")
            word = _RUNNER_WORDS.get(arr.dtype)
            if word is None:
                raise TypeError(f"input {name}: unsupported dtype {arr.dtype}")
            f = td / f"in{k}.bin"
            data = arr.view(np.uint16) if arr.dtype == np.float16 else arr
            f.write_bytes(data.astype(data.dtype.newbyteorder("<"), copy=False).tobytes())
            inputs.append({"name": name, "dtype": word, "dims": list(arr.shape), "file": str(f)})
        req, resp = td / "request.json", td / "response.json"
        req.write_text(json.dumps({"inputs": inputs, "optimization": optimization}))
        p = subprocess.run([node, str(HERE / "ort_runner.js"), str(model_path), str(req), str(resp)],
                           capture_output=True, timeout=300)
        if p.returncode != 0:
            raise RuntimeError(f"ONNX Runtime failed (exit {p.returncode}): "
                               f"{p.stderr.decode('utf-8', 'replace').strip()}")
        outs = {}
        for o in json.loads(resp.read_text())["outputs"]:
            raw = base64.b64decode(o["b64"])
            if o["dtype"] == "float16":
                a = np.frombuffer(raw, dtype="<u2").view(np.float16)
            else:
                a = np.frombuffer(raw, dtype=_RUNNER_NP[o["dtype"]].newbyteorder("<"))
            outs[o["name"]] = a.astype(a.dtype.newbyteorder("="), copy=True).reshape(o["dims"])
        return outs


def convert_check_run(program, weights, feeds: dict[str, np.ndarray], opset: int | None = None,
                      tmp: str | os.PathLike | None = None, env: dict | None = None,
                      optimization: str = "all") -> dict[str, np.ndarray]:
    """Converts (must succeed), checks and runs; returns the outputs by graph-output name."""
    tmp = Path(tmp) if tmp is not None else Path(tempfile.mkdtemp(prefix="kestro-e2e-"))
    tag = f"opset{opset}" if opset is not None else "default"
    out = tmp / tag / "model.onnx"
    r = convert(program, weights, out, opset=opset, env=env)
    assert r.returncode == 0, f"conversion failed (exit {r.returncode}):\n{r.stderr}"
    check(out)
    return run(out, feeds, optimization=optimization)


def assert_refused(program, opset: int | None, message: str, tmp: str | os.PathLike,
                   weights=None) -> None:
    """The conversion must fail with exactly this message and leave no output file."""
    out = Path(tmp) / "refused.onnx"
    r = convert(program, weights, out, opset=opset)
    assert (r.returncode, r.stderr.strip()) == (1, f"Error: {message}")
    assert not out.exists()


# ---------------------------------------------------------------------------------------------
# Real programs

def shared_models_dir() -> Path:
    return Path(os.environ.get("KESTRO_MODELS", REPO_ROOT.parent / "shared" / "models"))


def real_model(name: str) -> Path:
    """The folder of a real program; skips the calling test when the models are not there."""
    import pytest

    d = shared_models_dir() / name
    if not (d / "inference.json").is_file():
        pytest.skip(f"real program {name} not found in {shared_models_dir()}: set KESTRO_MODELS to the "
                    "folder holding the exported programs (one subfolder with inference.json each)")
    return d
