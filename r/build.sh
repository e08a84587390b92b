#!/bin/sh
# Builds the source tarball of the R package, qev_VERSION.tar.gz, in the
# current folder: r/ with the library's sources staged into its src/.
#   sh r/build.sh && R CMD INSTALL qev_VERSION.tar.gz
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
cp -R "$here" "$stage/qev"
rm -f "$stage/qev/build.sh"
# The library's sources from its one list, flat in src/ as R builds them,
# with its headers, the public header and the shared words.
while read -r f; do
  [ -n "$f" ] && cp "$root/src/fit/$f" "$stage/qev/src/$(basename "$f")"
done <"$root/src/fit/sources.txt"
cp "$root"/src/fit/*.h "$root/include/qev.h" "$root/src/words/words.h" \
  "$root/src/words/words.cpp" "$stage/qev/src/"
# The edge table the command line and Python are held to as well.
cp "$root/tests/edges.tsv" "$root/tests/eurostat.tsv" "$root/tests/eurostat-long.csv" \
  "$stage/qev/tests/testthat/"
R CMD build "$stage/qev"
