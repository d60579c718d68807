#!/usr/bin/env bash
# Builds the release packages of one version into dist/ (or --out DIR):
#   QuelmarAlg-VERSION-windows-x64.zip       the DLL, QuelmarAlg.lib and .def,
#       the header, the .NET binding, the README's host sections, LICENSE,
#       SHA256SUMS;
#   QuelmarAlg-VERSION-linux-x86_64.tar.gz   the shared object with its soname
#       links, the header, pkg-config and CMake package files, the binding,
#       LICENSE, SHA256SUMS;
#   quelmar-VERSION-py3-none-linux_x86_64.whl   the Python toolkit with the
#       library inside and the `quelmar` command (pyproject.toml).
# Usage: scripts/package.sh VERSION [--linux-build DIR] [--windows-build DIR] [--out DIR]
#
# VERSION must be the one CMakeLists.txt gives the library. The libraries come
# from Release builds of the library alone in build-package/ unless
# --linux-build / --windows-build name existing Release builds (scripts/test.sh
# passes its own). Two runs from one commit give the same bytes: every time in
# the packages is SOURCE_DATE_EPOCH (by default the commit's time), entries
# are sorted, owners and modes fixed, and the DLL carries no link time.
# Needs what scripts/setup.sh installs.
set -euo pipefail
usage() { echo "usage: $0 VERSION [--linux-build DIR] [--windows-build DIR] [--out DIR]" >&2; exit 2; }
[ $# -ge 1 ] || usage
version=$1
shift
root=$(cd "$(dirname "$0")/.." && pwd)
linux_build="" windows_build="" out="$root/dist"
while [ $# -gt 0 ]; do
  case "$1" in
    --linux-build) linux_build=$(realpath -m "$2"); shift 2 ;;
    --windows-build) windows_build=$(realpath -m "$2"); shift 2 ;;
    --out) out=$(realpath -m "$2"); shift 2 ;;
    *) usage ;;
  esac
done
cd "$root"
project=$(sed -n 's/^project(QuelmarAlg VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
if [ "$version" != "$project" ]; then
  echo "package: CMakeLists.txt gives the library version $project, not $version" >&2
  exit 2
fi
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct 2>/dev/null) \
    || { echo "package: not a git checkout: set SOURCE_DATE_EPOCH" >&2; exit 2; }
fi
export SOURCE_DATE_EPOCH
umask 022
library_only=(-DCMAKE_BUILD_TYPE=Release -DQUELMARALG_BUILD_TESTS=OFF -DQUELMARALG_BUILD_EXAMPLES=OFF
              -DQUELMARALG_BUILD_BENCHMARKS=OFF -DQUELMARALG_INSTALL_PYTHON=OFF)

if [ -z "$linux_build" ]; then
  linux_build=$root/build-package/linux
  cmake -S . -B "$linux_build" "${library_only[@]}" >/dev/null
fi
cmake --build "$linux_build" -j2 --target QuelmarAlg QuelmarAlgWol >/dev/null
if [ -z "$windows_build" ]; then
  windows_build=$root/build-package/windows
  cmake -S . -B "$windows_build" --toolchain cmake/mingw-w64-x86_64.cmake --no-warn-unused-cli "${library_only[@]}" \
        >/dev/null
fi
cmake --build "$windows_build" -j2 --target QuelmarAlg QuelmarAlgWol >/dev/null

work=$(mktemp -d /tmp/quelmaralg-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
cmake --install "$linux_build" --prefix "$work/linux" --component library >/dev/null
mkdir -p "$out"
rm -f "$out"/QuelmarAlg-"$version"-* "$out"/quelmar-"$version"-*.whl
/usr/bin/python3 scripts/package.py --version "$version" --linux-stage "$work/linux" \
  --windows-build "$windows_build" --out "$out"

# The wheel, from this checkout, with the Linux library inside.
QUELMARALG_WHEEL_LIBRARY=$(realpath "$linux_build/libQuelmarAlg.so.$version") \
  /usr/bin/python3 -m build --wheel --no-isolation --outdir "$out" . >"$work/wheel.log" 2>&1 \
  || { cat "$work/wheel.log"; exit 1; }
for wheel in "$out"/quelmar-"$version"-*.whl; do
  echo "$(basename "$wheel"): $(stat -c %s "$wheel") bytes"
done
