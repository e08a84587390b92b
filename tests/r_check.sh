#!/bin/sh
# Builds the R package's tarball (r/build.sh) in WORKDIR and runs R CMD
# check on it, which installs it and runs its testthat tests; passes only
# at "Status: OK".  Exits 77 (skipped) where R or testthat is missing.
#   tests/r_check.sh WORKDIR
set -eu
work=$1
command -v R >/dev/null 2>&1 || { echo "R not found (r-base-dev): skipped"; exit 77; }
Rscript -e 'quit(status = !requireNamespace("testthat", quietly = TRUE))' ||
  { echo "testthat not found (r-cran-testthat): skipped"; exit 77; }
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work" && mkdir -p "$work" && cd "$work"
sh "$here/../r/build.sh" >build.log 2>&1 || { cat build.log; exit 1; }
R CMD check --no-manual qev_*.tar.gz >check.log 2>&1 || true
tail -n 3 check.log
if ! grep -qx "Status: OK" check.log; then
  cat check.log
  cat qev.Rcheck/00install.out qev.Rcheck/tests/testthat.Rout.fail 2>/dev/null || true
  exit 1
fi
