#!/usr/bin/env bash
# Builds libQuelmarAlg.so with debug information into build-abi/ (the
# library only, without this checkout's paths in its debug information) and
# compares its ABI with the committed baseline (scripts/check_abi.py).
# Usage: scripts/check_abi.sh [--update]
#   --update  writes the baseline of the library's soname, refusing an
#             incompatible one (that needs a new major version first).
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-abi
mkdir -p "$build"
log=$build/check_abi.log
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS="-ffile-prefix-map=$PWD/=" \
      -DQUELMARALG_BUILD_TESTS=OFF -DQUELMARALG_BUILD_EXAMPLES=OFF -DQUELMARALG_BUILD_BENCHMARKS=OFF \
      -DQUELMARALG_INSTALL_PYTHON=OFF >"$log" 2>&1 || { cat "$log"; exit 1; }
cmake --build "$build" -j2 --target QuelmarAlg >>"$log" 2>&1 || { cat "$log"; exit 1; }
exec /usr/bin/python3 scripts/check_abi.py "$@" "$build/libQuelmarAlg.so"
