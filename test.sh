#!/usr/bin/env bash
# Builds kestro and runs every test: unit and end-to-end tests on a Release build (build/),
# then the unit tests again under the address and undefined-behaviour sanitizers (build-asan/),
# and last the documented fuzz build, with clang.
# Missing Debian packages and the ONNX Runtime used by the end-to-end tests are installed first.
# Exits non-zero on the first failure.
set -euo pipefail
cd "$(dirname "$0")"

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

jobs="$(nproc)"

missing=()
for pkg in build-essential cmake rapidjson-dev libcli11-dev libfmt-dev libonnx-dev libprotobuf-dev \
           googletest libgtest-dev \
           python3-onnx python3-numpy python3-pytest clang libclang-rt-dev; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
# Node.js may come from elsewhere than Debian (its own packages bundle npm, which then must not
# be installed from Debian on top), so these two are looked for as commands.
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)
if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

echo "== ONNX Runtime for the end-to-end tests"
(cd tests/e2e && npm ci --ignore-scripts --no-audit --no-fund)

echo "== Release build and all tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DKESTRO_BUILD_TESTS=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== Unit tests under the sanitizers"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTRO_SANITIZE=ON -DKESTRO_BUILD_TESTS=ON >/dev/null
cmake --build build-asan -j"$jobs"
# Any report fails its test; options already set in the environment are added after these.
ASAN_OPTIONS="halt_on_error=1:detect_leaks=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}" \
    ctest --test-dir build-asan -L unit --output-on-failure -j"$jobs"

echo "== The fuzz build (clang)"
# The README's fuzz build needs clang, which instantiates some templates where g++ waits for
# a use (an inline member that destroys a vector of a type not yet complete, for one): it is
# built here as documented, and the sources it leaves out are checked by clang too, so that
# build cannot break unseen. (The unit tests capture structured bindings in lambdas, which
# clang 14 does not take yet.)
CXX=clang++ cmake -S . -B build-fuzz -DKESTRO_FUZZ=ON -DKESTRO_BUILD_TESTS=OFF >/dev/null
cmake --build build-fuzz --target program_fuzz -j"$jobs"
# The README's example through the whole conversion under both sanitizers, which end the run
# at their first report.
build-fuzz/program_fuzz examples/model.json
clang++ -std=c++20 -fsyntax-only -Wall -Wextra -Isrc src/main.cpp bench/passes_bench.cpp

echo "== All tests passed"
