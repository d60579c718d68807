#!/usr/bin/env bash
# A long check of the correctly rounded exp, log, log10, pow and sin against
# MPFR: N random arguments per function (default 10^8), spread over the
# ranges of tests/maths/argument_ranges.h, on both cores at the lowest
# priority, so that other work on the machine goes first. Prints per range
# and per function the arguments tried, the misrounded ones and the time;
# exits 1 if any result differs from MPFR's.
#
#   tools/maths_campaign.sh [BUILD_DIR] [N] [extra options: --seed S, --function F, --libm]
#
# BUILD_DIR (default build-campaign) is configured as a Release build and
# only the campaign program, tools/maths_mpfr.cpp, is built in it.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-campaign}
count=${2:-100000000}
shift $(( $# < 2 ? $# : 2 ))

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUELMARALG_BUILD_EXAMPLES=OFF \
      -DQUELMARALG_BUILD_BENCHMARKS=OFF >/dev/null
nice -n 19 cmake --build "$build" -j2 --target maths_mpfr >/dev/null
program="$build/tools/maths_mpfr"
if [ ! -x "$program" ]; then
  echo "maths_campaign: $program was not built (is libmpfr-dev installed?)" >&2
  exit 2
fi
threads=$(nproc 2>/dev/null || echo 2)
[ "$threads" -gt 2 ] && threads=2
exec nice -n 19 "$program" --campaign "$count" --threads "$threads" "$@"
