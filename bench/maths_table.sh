#!/usr/bin/env bash
# Prints, in one run, the nanoseconds per call of the library's exp, log,
# log10, pow and sin against the C library's on one thread, and their ratio:
# a plain text table, one row per function and range (maths_bench --table).
#
#   bench/maths_table.sh [BUILD_DIR]
#
# BUILD_DIR (default build) is configured as a Release build if it is new;
# an existing one must be an optimised build. Only maths_bench is built.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt")
case "$type" in
  Release|RelWithDebInfo) ;;
  *) echo "maths_table: $build is a '$type' build; timings need Release or RelWithDebInfo" >&2; exit 2 ;;
esac
cmake --build "$build" -j2 --target maths_bench >/dev/null
exec "$build/bench/maths_bench" --table
