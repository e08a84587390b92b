#!/usr/bin/env bash
# Long-table mode against data files: 10000 tables of ages 0 to 104 (about
# 1.05 million rows of CSV, from the shipped HMD years with small
# perturbations, bench/make-long.py), timed side by side in one run:
#   (a) qev --tsv --age --value --by --radix --jobs=1 over the CSV;
#   (b) qev --tsv over the same tables as 10000 data files, one process;
#   (c) the same as (a) with --jobs=2;
# then the peak memory of each.  (a) and (c) must write the same bytes, and
# their numbers must be (b)'s.  Needs a Release build, python3 and GNU time
# (apt-get install time):
#   cmake --workflow --preset release && bench/long.sh
set -euo pipefail
cd "$(dirname "$0")/.."
q=$PWD/build/release/qev
for tool in /usr/bin/time python3; do
  command -v "$tool" >/dev/null ||
    { echo "long.sh: $tool not found (apt-get install time python3)" >&2; exit 2; }
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
# (b) through a script, so that the command is short to print (bash adds
# about a millisecond).
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

# Rounds of (a), (b), (c) in turn, so that a change in the machine's load
# falls on all three alike; medians of the times and of each round's ratios.
python3 - "${RUNS:-15}" "$a" "$b" "$c" <<'PY'
import statistics as st, subprocess, sys, time
runs, cmds = int(sys.argv[1]), sys.argv[2:]
times = [[], [], []]
for r in range(runs + 1):
    for k, cmd in enumerate(cmds):
        t0 = time.perf_counter()
        subprocess.run(cmd.split(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if r > 0:  # the first round warms the caches
            times[k].append(time.perf_counter() - t0)
for name, t in zip(("(a)", "(b)", "(c)"), times):
    print("%s median %7.1f ms (%d runs, %.1f to %.1f)" % (name, st.median(t) * 1e3, len(t), min(t) * 1e3, max(t) * 1e3))
ab = st.median(x / y for x, y in zip(times[0], times[1]))
ca = st.median(z / x for x, z in zip(times[0], times[2]))
print("median of the rounds' ratios: (a)/(b) = %.2f, (c)/(a) = %.2f" % (ab, ca))
PY
rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
# shellcheck disable=SC2086
echo "peak RSS: (a) $(rss $a) KiB, (b) $(rss $b) KiB, (c) $(rss $c) KiB"
