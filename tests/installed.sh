#!/bin/sh
# Installs the build in BUILD into a fresh prefix and builds examples/fit.c
# against it four ways: pkg-config (shared, and static with --static) and
# find_package (qev::qev and qev::qev_static).  Each must print the a, b, c
# and RMSE of qev --tsv on the same file, digit for digit.
#   tests/installed.sh SOURCE BUILD CC
set -eu
src=$1 build=$2 cc=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
data=$src/examples/us-2011-male.dat
want=$("$work/prefix/bin/qev" --tsv "$data" | sed -n 2p | cut -f 2-5,7)
libdir=$(ls -d "$work"/prefix/lib*/pkgconfig | head -n 1)
export PKG_CONFIG_PATH="$libdir"
check() {
  got=$("$@" "$data")
  if [ "$got" != "$want" ]; then
    echo "installed.sh: $1 printed '$got', qev --tsv '$want'" >&2
    exit 1
  fi
  echo "$1: $got"
}
# shellcheck disable=SC2046
"$cc" -std=c99 -Wall -Wextra -Wpedantic -Werror "$src/examples/fit.c" \
  $(pkg-config --cflags --libs qev) -o "$work/fit_pc"
LD_LIBRARY_PATH="$(dirname "$libdir")" check "$work/fit_pc"
# shellcheck disable=SC2046
"$cc" -std=c99 -static "$src/examples/fit.c" \
  $(pkg-config --static --cflags --libs qev) -o "$work/fit_pc_static"
check "$work/fit_pc_static"
cmake -S "$src/tests/installed" -B "$work/consumer" -DCMAKE_C_COMPILER="$cc" \
  -DCMAKE_PREFIX_PATH="$work/prefix" -DFIT_SOURCE="$src/examples/fit.c" \
  >/dev/null
cmake --build "$work/consumer" >/dev/null
check "$work/consumer/fit_shared"
check "$work/consumer/fit_static"
