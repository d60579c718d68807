#!/usr/bin/env bash
# Cross-builds QuelmarAlg for 64-bit Windows with MinGW-w64 and tests it under
# Wine. Usage: scripts/build_windows.sh BUILD_DIR
#
#  1. builds QuelmarAlg.dll (with QuelmarAlg.lib and QuelmarAlg.def), the C++
#     tests (GoogleTest built from Debian's sources) and the examples, with
#     cmake/mingw-w64-x86_64.cmake;
#  2. checks the DLLs' tables (the tests dll_interface, dll_interface_wol):
#     exactly their headers' exports (QuelmarAlg.dll: every function of the
#     ABI baseline in abi/ among them), system imports only, no TLS directory;
#  3. in a fresh Wine prefix, runs ctest twice, with the x87 control word the
#     programs start with (MinGW-w64: 0x37F) and with Microsoft's x64
#     convention (0x27F, set by tests/support/x87_control_word.cpp), and the
#     examples;
#  4. checks identity: the case files (cases_test, and QuelmarAlgWol's
#     wol_cases_test) both ways, every value
#     bit-identical to the case files, and the concurrency test with the
#     default control word, where the host's threads start with 0x27F.
#     A difference fails the run (QUELMARALG_IDENTITY=require, the default);
#     with =report the differences are counted and shown without failing.
# Needs what scripts/setup.sh installs; the Python suite is not part of it.
set -euo pipefail
if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "$1")
identity=${QUELMARALG_IDENTITY:-require}
case "$identity" in report|require) ;; *) echo "QUELMARALG_IDENTITY must be report or require" >&2; exit 2 ;; esac

cxx=x86_64-w64-mingw32-g++-win32
gtest_source=/usr/src/googletest
for tool in "$cxx" x86_64-w64-mingw32-objdump wine wineboot wineserver; do
  command -v "$tool" >/dev/null || { echo "build_windows: $tool missing (run scripts/setup.sh)" >&2; exit 1; }
done
[ -d "$gtest_source" ] || { echo "build_windows: $gtest_source missing (run scripts/setup.sh)" >&2; exit 1; }
started=$(date +%s)
elapsed() { echo "$(($(date +%s) - started)) s"; }

echo "== windows: cross build =="
mkdir -p "$build"
cmake -S "$root" -B "$build" --toolchain "$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
      -DQUELMARALG_WARNINGS_AS_ERRORS=ON -DQUELMARALG_BUILD_BENCHMARKS=OFF -DQUELMARALG_INSTALL_PYTHON=OFF \
      -DQUELMARALG_GTEST_SOURCE_DIR="$gtest_source" >"$build/configure.log" \
  || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" -j2
echo "cross build: $(elapsed)"

echo "== windows: DLL tables =="
major=$(sed -n 's/^project(QuelmarAlg VERSION \([0-9]*\)\..*/\1/p' "$root/CMakeLists.txt")
/usr/bin/python3 "$root/scripts/check_dll.py" --objdump x86_64-w64-mingw32-objdump \
  --header "$root/include/QuelmarAlg.h" --no-tls --abi-baseline "$root/abi/libQuelmarAlg.so.$major.abi" \
  "$build/bin/QuelmarAlg.dll"
/usr/bin/python3 "$root/scripts/check_dll.py" --objdump x86_64-w64-mingw32-objdump \
  --header "$root/include/QuelmarAlgWol.h" --macro QUELMARWOL_API --no-tls "$build/bin/QuelmarAlgWol.dll"

# A fresh, quiet, headless Wine: its own prefix, no Mono or Gecko installers,
# no desktop menus, no display. The test programs keep GCC's shared runtime,
# found through WINEPATH.
WINEPREFIX=$(mktemp -d /tmp/quelmaralg-wine.XXXXXX)
export WINEPREFIX WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
runtime=$(dirname "$("$cxx" -print-libgcc-file-name)")
export WINEPATH="Z:${runtime//\//\\}"
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
echo "== windows: Wine prefix =="
wineserver -p  # one server for every program of the run, until the end
wineboot --init >"$build/wineboot.log" 2>&1 || { cat "$build/wineboot.log"; exit 1; }
echo "$(wine --version) in $WINEPREFIX: $(elapsed)"

bin="$build/bin"
for word in default 0x27F; do
  echo "== windows: tests under Wine, x87 control word $word =="
  if [ "$word" = default ]; then unset QUELMAR_X87_CONTROL_WORD; else export QUELMAR_X87_CONTROL_WORD=$word; fi
  # The identity checks come below: the case files, and with the default
  # control word the concurrency test, whose threads start with 0x27F while
  # the main thread has 0x37F.
  held='cases_test|wol_cases_test'
  if [ "$word" = default ]; then held="$held|Concurrency[.].*"; fi
  ctest --test-dir "$build" -E "^($held)$" -j2 --output-on-failure --timeout 600
  for example in "$bin"/*_run.exe; do
    out="$build/$(basename "$example" .exe)-$word.out"
    (cd "$build" && wine "$example") >"$out"
    echo "$(basename "$example"): $(wc -l <"$out") lines, exit 0"
  done
  echo "tests under Wine ($word): $(elapsed)"
done

echo "== windows: identity under Wine =="
differ=0
# Runs one case program under Wine (PROGRAM LOG WHAT WHERE); a difference
# is counted and shown, and marks the run.
cases_under_wine() {
  if (cd "$build" && wine "$bin/$1.exe" --gtest_brief=1) >"$2" 2>&1; then
    echo "$3: every value as in $4"
  else
    differ=1
    bash "$root/scripts/count_case_failures.sh" "$2" "$3"
  fi
}
for word in default 0x27F; do
  if [ "$word" = default ]; then unset QUELMAR_X87_CONTROL_WORD; else export QUELMAR_X87_CONTROL_WORD=$word; fi
  cases_under_wine cases_test "$build/cases-$word.log" "case files, x87 control word $word" "the case files"
  cases_under_wine wol_cases_test "$build/wol-cases-$word.log" "QuelmarAlgWol cases, x87 control word $word" \
    "the case file"
done
unset QUELMAR_X87_CONTROL_WORD
log="$build/concurrency-default.log"
if (cd "$build" && wine "$bin/reliability_concurrency_test.exe" --gtest_brief=1) >"$log" 2>&1; then
  echo "threads with 0x27F, main thread with 0x37F: the same bits"
else
  differ=1
  echo "threads with 0x27F, main thread with 0x37F: $(grep -c ' on thread ' "$log") results differ"
fi
echo "windows stage: $(elapsed)"
if [ "$differ" -ne 0 ]; then
  if [ "$identity" = require ]; then
    echo "build_windows: results differ under Wine" >&2
    exit 1
  fi
  echo "(QUELMARALG_IDENTITY=report: the differences above do not fail the run)"
fi
