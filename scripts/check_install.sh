#!/usr/bin/env bash
# Installs a built tree into a scratch prefix and builds a host program of
# each library (QuelmarAlg, QuelmarAlgWol) against it twice, through
# find_package and through pkg-config, then runs them. Usage: scripts/check_install.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
prefix=$(mktemp -d /tmp/quelmaralg-prefix.XXXXXX)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
echo "installed into $prefix:"
(cd "$prefix" && find . -type f -not -name '*.pyc' | sort | sed 's/^/  /')

cmake -S tests/install -B "$prefix/consumer-cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer-cmake" >/dev/null
echo -n "find_package: " && "$prefix/consumer-cmake/consumer"
echo -n "find_package: " && "$prefix/consumer-cmake/consumer_wol"

pcdir=$(dirname "$(find "$prefix" -name QuelmarAlg.pc)")
pc() { PKG_CONFIG_PATH="$pcdir" pkg-config "$@" QuelmarAlg; }
# shellcheck disable=SC2046
cc -std=c99 tests/install/consumer.c $(pc --cflags) $(pc --libs) -lm \
   -Wl,-rpath,"$(pc --variable=libdir)" -o "$prefix/consumer-pkgconfig"
echo -n "pkg-config:   " && "$prefix/consumer-pkgconfig"
# shellcheck disable=SC2046
cc -std=c99 tests/install/consumer_wol.c $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs QuelmarAlgWol) -lm \
   -Wl,-rpath,"$(pc --variable=libdir)" -o "$prefix/consumer-wol-pkgconfig"
echo -n "pkg-config:   " && "$prefix/consumer-wol-pkgconfig"

# The installed command and package find the installed library with no
# environment to help them (run away from the checkout).
data=$(pwd)/data/rdml/stepone_std.rdml
loaded=$(cd / && env -i PATH=/usr/bin:/bin PYTHONPATH="$prefix/lib/python3/dist-packages" \
         /usr/bin/python3 -c 'import quelmar; print(quelmar.LIBRARY_PATH)')
case "$loaded" in
  "$prefix"/*) echo "python:       loads $loaded" ;;
  *) echo "python: loaded $loaded, not the installed library" >&2; exit 1 ;;
esac
(cd / && env -i PATH=/usr/bin:/bin "$prefix/bin/quelmar" amplify "$data" --quiet --out "$prefix/ct.csv")
echo "quelmar:      $(($(wc -l < "$prefix/ct.csv") - 1)) wells analysed by the installed command"

# Every module of every layer and the report's assets are installed: the
# installed package holds what the checkout's does, and draws a report.
pydir="$prefix/lib/python3/dist-packages"
missing=$(comm -23 <(cd quelmar && find . -type f \( -name '*.py' -o -name '*.css' -o -name '*.js' -o -name '*.html' \) \
                     -not -path '*/__pycache__/*' -not -name _installed_libdir.py | sort) \
                   <(cd "$pydir/quelmar" && find . -type f | sort))
if [ -n "$missing" ]; then
  echo "python: not installed: $missing" >&2
  exit 1
fi
(cd / && env -i PATH=/usr/bin:/bin "$prefix/bin/quelmar" report "$data" --quiet --out "$prefix/report.html")
echo "report:       $(grep -o 'class="cell"' "$prefix/report.html" | wc -l) plate cells drawn by the installed command"
