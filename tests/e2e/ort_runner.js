// Runs one ONNX model in ONNX Runtime (CPU) for the Python end-to-end tests.
//
//   node ort_runner.js MODEL REQUEST_JSON RESPONSE_JSON
//
// REQUEST_JSON: {"inputs": [{"name", "dtype", "dims", "file" | "b64"}]} where the data is raw
// little-endian bytes (float16 as its uint16 bit patterns, bool as one byte per element).
// RESPONSE_JSON: {"outputs": [{"name", "dtype", "dims", "b64"}]} in the model's output order.
// Errors go to stderr with exit code 2 so the caller can tell a runtime refusal from a crash.
'use strict';

const fs = require('fs');
const ort = require('onnxruntime-node');

// Our dtype words -> ONNX Runtime tensor types and typed-array constructors.
const TYPES = {
  float32: ['float32', Float32Array],
  float64: ['float64', Float64Array],
  float16: ['float16', Uint16Array],
  int8: ['int8', Int8Array],
  int16: ['int16', Int16Array],
  int32: ['int32', Int32Array],
  int64: ['int64', BigInt64Array],
  uint8: ['uint8', Uint8Array],
  uint16: ['uint16', Uint16Array],
  uint32: ['uint32', Uint32Array],
  uint64: ['uint64', BigUint64Array],
  bool: ['bool', Uint8Array],
};

function typedFromBytes(ctor, buf) {
  // Copy into a fresh, aligned buffer: Buffer slices may sit at odd offsets.
  const copy = new Uint8Array(buf.length);
  copy.set(buf);
  return new ctor(copy.buffer, 0, buf.length / ctor.BYTES_PER_ELEMENT);
}

function tensorBytes(t) {
  const d = t.data;
  if (typeof d === 'string' || Array.isArray(d)) {
    throw new Error(`output of type ${t.type} is not supported by the runner`);
  }
  return Buffer.from(d.buffer, d.byteOffset, d.byteLength);
}

function dtypeWord(ortType) {
  for (const [word, [t]] of Object.entries(TYPES)) {
    if (t === ortType) return word;
  }
  throw new Error(`unsupported output type ${ortType}`);
}

async function main() {
  const [model, reqPath, respPath] = process.argv.slice(2);
  if (!model || !reqPath || !respPath) {
    throw new Error('usage: node ort_runner.js MODEL REQUEST_JSON RESPONSE_JSON');
  }
  const req = JSON.parse(fs.readFileSync(reqPath, 'utf8'));
  const feeds = {};
  for (const inp of req.inputs || []) {
    const entry = TYPES[inp.dtype];
    if (!entry) throw new Error(`unsupported input dtype ${inp.dtype}`);
    const [ortType, ctor] = entry;
    const raw = inp.file !== undefined ? fs.readFileSync(inp.file) : Buffer.from(inp.b64 || '', 'base64');
    if (raw.length % ctor.BYTES_PER_ELEMENT !== 0) {
      throw new Error(`input ${inp.name}: ${raw.length} bytes is not a whole number of ${inp.dtype}`);
    }
    // bool tensors travel as Uint8Array, float16 as Uint16Array of bit patterns.
    feeds[inp.name] = new ort.Tensor(ortType, typedFromBytes(ctor, raw), inp.dims);
  }
  const opts = { executionProviders: ['cpu'], graphOptimizationLevel: req.optimization || 'all' };
  const session = await ort.InferenceSession.create(model, opts);
  const results = await session.run(feeds);
  const outputs = session.outputNames.map((name) => {
    const t = results[name];
    return { name, dtype: dtypeWord(t.type), dims: t.dims.map(Number), b64: tensorBytes(t).toString('base64') };
  });
  fs.writeFileSync(respPath, JSON.stringify({ outputs }));
}

main().catch((err) => {
  process.stderr.write(`ort_runner: ${err && err.message ? err.message : err}\n`);
  process.exit(2);
});
