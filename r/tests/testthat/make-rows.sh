#!/bin/sh
# Writes again the command line's rows that the tests compare with, from
# the tables in inst/extdata, with the qev built in build/release (or $QEV):
#   sh r/tests/testthat/make-rows.sh
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
qev=${QEV:-$root/build/release/qev}
ext=$root/r/inst/extdata
cd "$ext"
"$qev" --tsv us-2011-male.dat us-2011-female.dat us-1940-male.dat \
  finland-2013-female.dat >"$here/examples.tsv" || [ $? -eq 1 ]
QEV=$qev "$root/scripts/qev-hmd" USA.fltper_1x1.txt >"$here/hmd.tsv"
cd "$root/tests"
"$qev" --tsv --age=age --value=value --by=sex,geo,TIME_PERIOD \
  --where=indic_de=SURVIVORS --radix=100000 eurostat.tsv \
  >"$here/eurostat-fit.tsv" 2>/dev/null || [ $? -eq 1 ]
