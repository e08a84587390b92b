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
for f in life simplex area checks fit pool quality tables; do
  cp "$root/src/fit/$f.cpp" "$stage/qev/src/"
done
cp "$root/src/fit/fit.h" "$root/src/cli/cli.h" "$root/src/cli/words.cpp" \
  "$root/include/qev.h" "$stage/qev/src/"
# The edge table the command line and Python are held to as well.
cp "$root/tests/edges.tsv" "$stage/qev/tests/testthat/"
R CMD build "$stage/qev"
