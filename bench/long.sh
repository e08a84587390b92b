#!/usr/bin/env bash
# Long-table mode against data files: 10000 tables of ages 0 to 104 (about
# 1.05 million rows of CSV, from the shipped HMD years with small
# perturbations, bench/make-long.py), timed side by side in one run:
#   (a) qev --tsv --age --value --by --radix --jobs=1 over the CSV;
#   (b) qev --tsv over the same tables as 10000 data files, one process;
#   (c) the same as (a) with --jobs=2;
# then the peak memory of each.  (a) and (c) must write the same bytes, and
# their numbers must be (b)'s.  Needs a Release build, python3, hyperfine
# and GNU time (apt-get install hyperfine time):
#   cmake --workflow --preset release && bench/long.sh
set -euo pipefail
cd "$(dirname "$0")/.."
q=$PWD/build/release/qev
for tool in hyperfine /usr/bin/time python3; do
  command -v "$tool" >/dev/null ||
    { echo "long.sh: $tool not found (apt-get install hyperfine time python3)" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/files"
python3 bench/make-long.py examples/hmd/USA.fltper_1x1.txt "$work/long.csv" "$work/files"
cd "$work"
lscpu | sed -n 's/^Model name: *//p;s/^CPU family: */family /p;s/^Model: */model /p' | paste -sd ' '
echo "$(ls files | wc -l) tables, $(($(wc -l <long.csv) - 1)) rows, $(($(wc -c <long.csv) / 1024)) KiB of CSV"

long=(--tsv --age=age --value=lx --by=region,year --radix=100000)
a="$q ${long[*]} --jobs=1 long.csv"
c="$q ${long[*]} --jobs=2 long.csv"
# 10000 names are too long for one argument of hyperfine's: a script (bash
# adds about a millisecond) runs (b).
printf 'exec %q --tsv files/*.dat\n' "$q" >b.sh
b="bash b.sh"
# qev's status 1 is a finished run.
$a >a.tsv || [ $? -eq 1 ]
$c >c.tsv || [ $? -eq 1 ]
$b >b.tsv || [ $? -eq 1 ]
cmp -s a.tsv c.tsv || { echo "long.sh: --jobs=1 and --jobs=2 differ" >&2; exit 2; }
cmp -s <(cut -f 4- a.tsv) <(cut -f 2- b.tsv) ||
  { echo "long.sh: the long table and the data files give other numbers" >&2; exit 2; }
echo "outputs: --jobs=1 = --jobs=2, and every number = the data files'"

hyperfine -N -i --warmup 1 --runs "${RUNS:-10}" --export-json times.json \
  -n "(a) long table, --jobs=1" "$a" \
  -n "(b) 10000 data files, one process" "$b" \
  -n "(c) long table, --jobs=2" "$c" >hyperfine.log 2>&1 || { cat hyperfine.log >&2; exit 2; }
python3 - times.json <<'PY'
import json, sys
r = {x["command"][:3]: x["median"] for x in json.load(open(sys.argv[1]))["results"]}
for k in ("(a)", "(b)", "(c)"):
    print("%s median %7.1f ms" % (k, r[k] * 1e3))
print("(a)/(b) = %.2f, (c)/(a) = %.2f" % (r["(a)"] / r["(b)"], r["(c)"] / r["(a)"]))
PY
rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
# shellcheck disable=SC2086
echo "peak RSS: (a) $(rss $a) KiB, (b) $(rss $b) KiB, (c) $(rss $c) KiB"
