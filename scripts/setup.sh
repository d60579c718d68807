#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks to build the
# library, run its tests and use the quelmar command, then builds the library
# into build/. Safe to run again. (SciPy serves the benchmarks alone: the melt
# road's peer, bench/melting_scipy.py.)
set -euo pipefail

need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
# MPFR: the reference of the maths functions' tests; g++-multilib: their test
# that 32-bit x86 is built with SSE2 arithmetic, and refused with x87's
# (tests/maths/x87_refusal.cmake). The Windows build
# (scripts/build_windows.sh): MinGW-w64's compilers with GCC's win32 thread
# model, GoogleTest's sources to build for them, and Wine (64-bit) to run what
# they build. Mono's C# compiler and runtime, with its CJK encodings for the
# GBK messages: the .NET binding's test. libabigail's tools: the ABI check.
# setuptools, wheel, build and venv: the wheel, built and installed offline.
# xmllint: the RDML output's tests check it against the schema.
for pkg in cmake g++ make pkgconf libgtest-dev libbenchmark-dev libmpfr-dev g++-multilib \
           clang libclang-rt-dev \
           python3 python3-numpy python3-matplotlib python3-lxml python3-pytest python3-scipy \
           libxml2-utils \
           g++-mingw-w64-x86-64-win32 googletest wine wine64 \
           mono-mcs mono-runtime libmono-i18n-cjk4.0-cil \
           abigail-tools python3-setuptools python3-wheel python3-build python3-venv unzip \
           chromium; do  # chromium: the report's test opens the pages headless
  have_pkg "$pkg" || need+=("$pkg")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "setup: installing ${need[*]}" >&2
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${need[@]}" >/dev/null
fi

# The library itself, where the quelmar command looks for it first.
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j2 --target QuelmarAlg QuelmarAlgWol >/dev/null
echo "setup: built build/libQuelmarAlg.so and build/libQuelmarAlgWol.so" >&2
