#!/usr/bin/env bash
# Checks the release packages as a receiving team would use them.
# Usage: scripts/check_packages.sh LINUX_BUILD WINDOWS_BUILD
#   (Release builds of the whole project; scripts/test.sh passes build and
#   build-windows, whose examples give the reference output)
#
#  1. reproducible: scripts/package.sh from those builds and again from
#     fresh builds of the library alone in build-package/ (other folders,
#     other times): every package the same bytes;
#  2. each archive unpacked in an empty folder, its SHA256SUMS verified;
#  3. Linux: the C examples built against the unpacked archive, through
#     pkg-config and through CMake's find_package, run on the bundled plate
#     and melt: every value as the build's own examples print it (--bits);
#  4. Windows: the same examples built with MinGW-w64 against the unpacked
#     DLL's import library, run under Wine in a fresh prefix, the same bits;
#  5. the wheel installed with pip, offline, into a fresh virtual
#     environment (Debian's numpy, matplotlib and lxml visible to it): every module
#     and report asset of the checkout's package in it, the library loaded
#     from inside the package, `quelmar amplify` and `quelmar report` run on
#     a bundled RDML file.
set -euo pipefail
if [ $# -ne 2 ]; then
  echo "usage: $0 LINUX_BUILD WINDOWS_BUILD" >&2
  exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
linux_build=$(realpath "$1")
windows_build=$(realpath "$2")
cd "$root"
version=$(sed -n 's/^project(QuelmarAlg VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
work=$(mktemp -d /tmp/quelmaralg-packages.XXXXXX)
cleanup() {
  [ -n "${WINEPREFIX:-}" ] && { wineserver -k >/dev/null 2>&1 || true; }
  rm -rf "$work"
}
trap cleanup EXIT
started=$(date +%s)
elapsed() { echo "$(($(date +%s) - started)) s"; }

echo "== packages: reproducible =="
bash scripts/package.sh "$version" --linux-build "$linux_build" --windows-build "$windows_build" --out "$work/first"
bash scripts/package.sh "$version" --out "$work/second" >/dev/null
for package in "$work"/first/*; do
  name=$(basename "$package")
  cmp -s "$package" "$work/second/$name" || { echo "check_packages: $name differs between two builds" >&2; exit 1; }
done
echo "$(ls "$work/first" | wc -l) packages, the same bytes from fresh builds in build-package/: $(elapsed)"

# The reference: the build's own examples on the bundled data.
data=$root/data
"$linux_build/examples/amplification_run" --bits "$data/reps384.csv" >"$work/amplification.bits"
"$linux_build/examples/melting_run" --bits "$data/dyemelt.csv" >"$work/melting.bits"
same_bits() {  # label, amplification output, melting output
  cmp -s "$2" "$work/amplification.bits" && cmp -s "$3" "$work/melting.bits" \
    || { echo "check_packages: $1: the examples' values differ from the build's" >&2; exit 1; }
  echo "$1: $(cat "$2" "$3" | wc -l) values, every bit as the build's examples"
}

echo "== packages: Linux archive =="
linux=$work/linux
mkdir "$linux"
tar -xzf "$work/first/QuelmarAlg-$version-linux-x86_64.tar.gz" -C "$linux"
linux=$linux/QuelmarAlg-$version-linux-x86_64
(cd "$linux" && sha256sum --quiet -c SHA256SUMS)
echo "unpacked, SHA256SUMS verified: $(cd "$linux" && find . -type f | wc -l) files"
pc() { PKG_CONFIG_PATH="$linux/lib/pkgconfig" pkg-config "$@" QuelmarAlg; }
for example in amplification_run melting_run; do
  # shellcheck disable=SC2046
  cc -std=c99 -Wall -Wextra -Werror -I examples/support examples/$example.c $(pc --cflags) $(pc --libs) -lm \
     -Wl,-rpath,"$(pc --variable=libdir)" -o "$work/$example-pkgconfig"
done
"$work/amplification_run-pkgconfig" --bits "$data/reps384.csv" >"$work/a.pkgconfig"
"$work/melting_run-pkgconfig" --bits "$data/dyemelt.csv" >"$work/m.pkgconfig"
same_bits "pkg-config" "$work/a.pkgconfig" "$work/m.pkgconfig"
cmake -S examples -B "$work/examples-cmake" -DCMAKE_PREFIX_PATH="$linux" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/examples-cmake" >/dev/null
"$work/examples-cmake/amplification_run" --bits "$data/reps384.csv" >"$work/a.cmake"
"$work/examples-cmake/melting_run" --bits "$data/dyemelt.csv" >"$work/m.cmake"
same_bits "find_package" "$work/a.cmake" "$work/m.cmake"

echo "== packages: Windows archive =="
windows=$work/windows
mkdir "$windows"
(cd "$windows" && unzip -q "$work/first/QuelmarAlg-$version-windows-x64.zip")
windows=$windows/QuelmarAlg-$version-windows-x64
(cd "$windows" && sha256sum --quiet -c SHA256SUMS)
echo "unpacked, SHA256SUMS verified: $(cd "$windows" && find . -type f | wc -l) files"
mkdir "$work/win"
for example in amplification_run melting_run; do
  x86_64-w64-mingw32-gcc-win32 -std=c99 -Wall -Wextra -Werror -I "$windows/include" -I examples/support \
    examples/$example.c "$windows/lib/QuelmarAlg.lib" -o "$work/win/$example.exe"
done
cp "$windows/bin/QuelmarAlg.dll" "$work/win/"
WINEPREFIX=$work/wine
export WINEPREFIX WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml,winemenubuilder.exe=d"
unset DISPLAY WAYLAND_DISPLAY
wineboot --init >"$work/wineboot.log" 2>&1 || { cat "$work/wineboot.log"; exit 1; }
# Wine finds the data through its Z: drive; the C runtime writes CR LF.
(cd "$work/win" && wine amplification_run.exe --bits "$data/reps384.csv") | tr -d '\r' >"$work/a.wine"
(cd "$work/win" && wine melting_run.exe --bits "$data/dyemelt.csv") | tr -d '\r' >"$work/m.wine"
same_bits "MinGW-w64 under Wine" "$work/a.wine" "$work/m.wine"

echo "== packages: wheel =="
/usr/bin/python3 -m venv --system-site-packages "$work/venv"
"$work/venv/bin/pip" install --quiet --no-index --no-build-isolation \
  "$work/first/quelmar-$version-py3-none-linux_x86_64.whl"
loaded=$(cd / && env -i PATH=/usr/bin:/bin "$work/venv/bin/python" -c 'import quelmar; print(quelmar.LIBRARY_PATH)')
case "$loaded" in
  "$work/venv/"*/quelmar/libQuelmarAlg.so.1) echo "the package loads its own library: ${loaded#"$work/"}" ;;
  *) echo "check_packages: the installed package loaded $loaded" >&2; exit 1 ;;
esac
loaded=$(cd / && env -i PATH=/usr/bin:/bin "$work/venv/bin/python" -c \
         'from quelmar.binding import wol; print(wol.library_path())')
case "$loaded" in
  "$work/venv/"*/quelmar/libQuelmarAlgWol.so.1) echo "and its own window library: ${loaded#"$work/"}" ;;
  *) echo "check_packages: the installed package loaded $loaded for the window road" >&2; exit 1 ;;
esac
# Every module of every layer and the report's assets went in, wherever the
# package's layout puts them.
installed=$("$work/venv/bin/python" -c 'import os, quelmar; print(os.path.dirname(quelmar.__file__))')
missing=$(comm -23 <(cd quelmar && find . -type f \( -name '*.py' -o -name '*.css' -o -name '*.js' -o -name '*.html' \) \
                     -not -path '*/__pycache__/*' -not -name _installed_libdir.py | sort) \
                   <(cd "$installed" && find . -type f -not -path '*/__pycache__/*' | sort))
if [ -n "$missing" ]; then
  echo "check_packages: not in the wheel: $missing" >&2
  exit 1
fi
(cd / && env -i PATH=/usr/bin:/bin "$work/venv/bin/quelmar" amplify "$data/rdml/stepone_std.rdml" --quiet \
   --out "$work/ct.csv")
echo "quelmar amplify from the virtual environment: $(($(wc -l <"$work/ct.csv") - 1)) wells"
(cd / && env -i PATH=/usr/bin:/bin "$work/venv/bin/quelmar" report "$data/rdml/stepone_std.rdml" --quiet \
   --out "$work/report.html")
echo "quelmar report from the virtual environment: $(grep -o 'class="cell"' "$work/report.html" | wc -l) plate cells"
echo "packages checked: $(elapsed)"
