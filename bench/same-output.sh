#!/usr/bin/env bash
# Whether two builds of qev write the same bytes: standard output, standard
# error and exit status of every mode on the shipped examples, the worst
# case, the HMD file and bench/make-long.py's 10000 tables (long CSV, with
# and without --radix and --sorted, and as 10000 data files).  Prints each
# command whose output differs, with the count of lines that do.
#   bench/same-output.sh OLD/qev NEW/qev
set -euo pipefail
cd "$(dirname "$0")/.."
old=$1
new=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/dat"
python3 bench/make-long.py examples/hmd/USA.fltper_1x1.txt "$work/long.csv" \
  "$work/dat" >/dev/null
long=(--age=age --value=lx --by=region,sex,year)
cmds=()
for f in examples/*.dat examples/us-2019-female-lx.txt bench/worst.dat; do
  cmds+=("$f" "--tsv $f" "--fitted $f" "--tsv --restarts=3 $f")
done
cmds+=("--tsv --jobs=1 examples/hmd/USA.fltper_1x1.txt"
  "--tsv --age=Age --value=lx --by=Year --radix=100000 examples/hmd/USA.fltper_1x1.txt"
  "--fitted --age=Age --value=lx --by=Year --radix=100000 examples/hmd/USA.fltper_1x1.txt"
  "--tsv ${long[*]} --radix=100000 $work/long.csv"
  "--tsv --sorted ${long[*]} --radix=100000 $work/long.csv"
  "--tsv ${long[*]} $work/long.csv")
differ=0
for c in "${cmds[@]}"; do
  for side in old new; do
    bin=$old
    [ $side = new ] && bin=$new
    # shellcheck disable=SC2086
    "$bin" $c >"$work/$side.out" 2>"$work/$side.err" && echo 0 >"$work/$side.rc" ||
      echo $? >"$work/$side.rc"
  done
  for part in out err rc; do
    if ! cmp -s "$work/old.$part" "$work/new.$part"; then
      echo "$part differs ($(diff "$work/old.$part" "$work/new.$part" | grep -c '^[<>]') lines): qev $c"
      differ=1
    fi
  done
done
"$old" --tsv "$work"/dat/*.dat >"$work/old.out" 2>&1 || true
"$new" --tsv "$work"/dat/*.dat >"$work/new.out" 2>&1 || true
cmp -s "$work/old.out" "$work/new.out" || { echo "differs: qev --tsv DATADIR/*.dat"; differ=1; }
[ $differ = 0 ] && echo "the same bytes on all ${#cmds[@]} commands and the data files"
exit 0
