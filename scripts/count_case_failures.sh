#!/usr/bin/env bash
# Summarises a cases_test log (GoogleTest output): how many cases failed, how
# many of them are pinned bits (tests/cases/pinned.txt), and which.
# Usage: scripts/count_case_failures.sh LOG LABEL
set -euo pipefail
log=$1
label=$2
cases=$(dirname "$0")/../tests/cases
ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\{0,1\} from .* ran.*/\1/p' "$log")
# GoogleTest's names of the cases: every character but letters and digits is _.
failed=$(sed -n 's|^\[  FAILED  \] All/Cases\.GiveTheirOutputs/\([A-Za-z0-9_]*\).*|\1|p' "$log" | sort -u)
pinned=$(sed -n 's/^case //p' "$cases/pinned.txt" | sed 's/[^A-Za-z0-9]/_/g' | sort -u)
count() { if [ -z "$1" ]; then echo 0; else echo "$1" | wc -l; fi; }
in_pinned=$(comm -12 <(echo "$failed") <(echo "$pinned") | sed '/^$/d')
echo "$label: $(count "$failed") of ${ran:-?} cases differ ($(count "$in_pinned") of the $(count "$pinned") in pinned.txt)"
if [ -z "$ran" ]; then
  tail -n 20 "$log"
elif [ -n "$failed" ]; then
  echo "$failed" | sed 's/^/  /'
fi
