#!/bin/sh
# The .NET binding's test program against a built library, beside the C
# examples' --bits output on the same bundled data.
# Usage: run.sh EXAMPLES_DIR LIBRARY_DIR TESTS_DIR SOURCE_DIR
set -eu
examples=$1 library=$2 tests=$3 source=$4
"$examples/amplification_run" --bits "$source/data/reps384.csv" >"$tests/amplification.bits"
"$examples/melting_run" --bits "$source/data/dyemelt.csv" >"$tests/melting.bits"
LD_LIBRARY_PATH="$library" exec mono --debug "$tests/BindingTests.exe" --header "$source/include/QuelmarAlg.h" \
  --data "$source/data" --amplification-bits "$tests/amplification.bits" --melting-bits "$tests/melting.bits" \
  --library "$library/libQuelmarAlg.so"
