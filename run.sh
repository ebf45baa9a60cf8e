#!/usr/bin/env bash
# Builds kestro (Release, in build/) and converts a model with it.
#
#   ./run.sh                                   converts examples/model.json into build/model.onnx
#   ./run.sh MODEL_JSON MODEL_PDIPARAMS OUTPUT_ONNX [OPSET]
#                                              converts the given model instead
#
# On a fresh Debian 12 machine the missing build dependencies are installed with apt-get first.
set -euo pipefail

# The paths are the caller's: make them absolute before changing to the repository.
args=()
for arg in "$@"; do
    if [ "${#args[@]}" -lt 3 ] && [ -n "$arg" ] && [ "${arg#-}" = "$arg" ] && [ "${arg#/}" = "$arg" ]; then
        arg="$PWD/$arg"
    fi
    args+=("$arg")
done
cd "$(dirname "$0")"

# Standard output is kestro's alone (`./run.sh ... /dev/stdout | cat > model.onnx`): the
# installs' and the build's progress go to standard error.
exec 3>&1 1>&2

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for pkg in build-essential cmake rapidjson-dev libcli11-dev libfmt-dev libonnx-dev libprotobuf-dev; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing build dependencies: ${missing[*]}"
    as_root apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKESTRO_BUILD_TESTS=OFF >/dev/null
cmake --build build -j"$(nproc)"

if [ "$#" -gt 0 ]; then
    exec build/kestro "${args[@]}" 1>&3 3>&-
fi

# The example: show what the converter does unless the caller chose a log level.
RUST_LOG="${RUST_LOG:-info}" build/kestro examples/model.json examples/model.pdiparams build/model.onnx 1>&3 3>&-
echo "Wrote build/model.onnx"
