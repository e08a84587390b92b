#!/usr/bin/env bash
# The layouts statistics offices publish against the plain long CSV: the
# 10000 tables of bench/make-long.py as a long CSV, the same tables in
# Eurostat's wide layout (bench/make-eurostat.py) and the long CSV
# gzip-compressed, timed side by side in interleaved rounds:
#   (a) the long CSV, --jobs=1        (b) Eurostat's layout, --jobs=1
#   (c) the long CSV, --jobs=2        (d) Eurostat's layout, --jobs=2
#   (e) the long CSV gzip-compressed, --jobs=1
# The fits must be the same numbers (Eurostat's grid adds the empty tables
# of the years a region lacks, whose records are 0).  Needs a Release build
# with zlib, python3 and gzip:
#   cmake --workflow --preset release && bench/eurostat.sh
set -euo pipefail
cd "$(dirname "$0")/.."
q=$PWD/build/release/qev
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 bench/make-long.py examples/hmd/USA.fltper_1x1.txt "$work/long.csv"
python3 bench/make-eurostat.py "$work/long.csv" "$work/e.tsv"
gzip -k "$work/long.csv"
cd "$work"
lscpu | sed -n 's/^Model name: *//p;s/^CPU family: */family /p;s/^Model: */model /p' | paste -sd ' '
echo "long CSV $(($(wc -c <long.csv) / 1024)) KiB, Eurostat's $(($(wc -c <e.tsv) / 1024)) KiB, gzip $(($(wc -c <long.csv.gz) / 1024)) KiB"

long="--tsv --age=age --value=lx --by=region,year --radix=100000"
wide="--tsv --age=age --value=value --by=geo,TIME_PERIOD --radix=100000"
a="$q $long --jobs=1 long.csv"
b="$q $wide --jobs=1 e.tsv"
c="$q $long --jobs=2 long.csv"
d="$q $wide --jobs=2 e.tsv"
e="$q $long --jobs=1 long.csv.gz"
# qev's status 1 is a finished run.
$a >out-a.tsv 2>/dev/null || [ $? -eq 1 ]
$b >out-b.tsv 2>/dev/null || [ $? -eq 1 ]
$e >out-e.tsv 2>/dev/null || [ $? -eq 1 ]
cmp -s <(cut -f 4- out-a.tsv | sort) <(awk -F '\t' 'NR == 1 || $10 > 0' out-b.tsv | cut -f 4- | sort) ||
  { echo "eurostat.sh: Eurostat's layout gives other numbers" >&2; exit 2; }
cmp -s <(cut -f 2- out-a.tsv) <(cut -f 2- out-e.tsv) ||
  { echo "eurostat.sh: the gzip file gives other rows" >&2; exit 2; }
echo "outputs: Eurostat's numbers = the long CSV's, and the gzip file's rows = its"

python3 - "${RUNS:-11}" "$a" "$b" "$c" "$d" "$e" <<'PY'
import statistics as st, subprocess, sys, time
runs, cmds = int(sys.argv[1]), sys.argv[2:]
times = [[] for _ in cmds]
for r in range(runs + 1):
    for k, cmd in enumerate(cmds):
        t0 = time.perf_counter()
        subprocess.run(cmd.split(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if r > 0:  # the first round warms the caches
            times[k].append(time.perf_counter() - t0)
for name, t in zip("abcde", times):
    print("(%s) median %7.1f ms (%d runs, %.1f to %.1f)" % (name, st.median(t) * 1e3, len(t), min(t) * 1e3, max(t) * 1e3))
def ratio(x, y):
    return st.median(p / q for p, q in zip(times[x], times[y]))
print("medians of the rounds' ratios: (b)/(a) = %.3f, (d)/(c) = %.3f, (e)/(a) = %.3f"
      % (ratio(1, 0), ratio(3, 2), ratio(4, 0)))
PY
