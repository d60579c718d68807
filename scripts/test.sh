#!/usr/bin/env bash
# Builds the library, its examples and benchmarks, and runs every test: the
# C++ suite, the Python suite, and a host program built against an installed
# copy.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
# shellcheck disable=SC2086
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release ${QUELMARALG_EXTRA_CMAKE_ARGS:-}
cmake --build build -j2
ctest --test-dir build --output-on-failure -j2

echo "== python =="
/usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python

echo "== install =="
bash scripts/check_install.sh build
