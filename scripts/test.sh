#!/usr/bin/env bash
# Builds the library, its examples and benchmarks, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck disable=SC2086
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release ${QUELMARALG_EXTRA_CMAKE_ARGS:-}
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2
