#!/usr/bin/env bash
# --sorted on a long table of 100000 groups (about 10.5 million rows of CSV,
# bench/make-long.py --groups=100000): the peak memory at several --jobs,
# with and without --sorted; how soon the first row is out; how soon
# `| head -3` ends; and the time of the whole run, sorted against unsorted,
# side by side in interleaved rounds (bench/compare.py).  Both must write
# the same bytes.  Needs a Release build, python3 and GNU time:
#   cmake --workflow --preset release && bench/sorted.sh [ROUNDS]
set -euo pipefail
cd "$(dirname "$0")/.."
q=$PWD/build/release/qev
rounds=${1:-5}
for tool in /usr/bin/time python3; do
  command -v "$tool" >/dev/null ||
    { echo "sorted.sh: $tool not found (apt-get install time python3)" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 bench/make-long.py --groups=100000 examples/hmd/USA.fltper_1x1.txt "$work/long.csv"
lscpu | sed -n 's/^Model name: *//p;s/^CPU family: */family /p;s/^Model: */model /p' | paste -sd ' '
echo "$(($(wc -l <"$work/long.csv") - 1)) rows, $(($(wc -c <"$work/long.csv") / 1048576)) MiB of CSV"

long=(--tsv --age=age --value=lx --by=region,year --radix=100000)
"$q" "${long[@]}" --jobs=2 "$work/long.csv" >"$work/unsorted.tsv" 2>/dev/null || [ $? -eq 1 ]
"$q" "${long[@]}" --jobs=2 --sorted "$work/long.csv" >"$work/sorted.tsv" 2>/dev/null || [ $? -eq 1 ]
cmp "$work/unsorted.tsv" "$work/sorted.tsv"
echo "same bytes with and without --sorted: $(($(wc -l <"$work/sorted.tsv") - 1)) rows"

peak() {  # peak resident memory of a run, MiB
  /usr/bin/time -f %M "$q" "${long[@]}" "$@" "$work/long.csv" 2>&1 >/dev/null |
    tail -1 | awk '{ printf "%.1f", $1 / 1024 }'
}
for j in 1 2 64 1024; do
  echo "peak RSS, --jobs=$j: --sorted $(peak --jobs=$j --sorted) MiB, without $(peak --jobs=$j) MiB"
done

python3 - "$q" "$work/long.csv" "${long[@]}" <<'PY'
import subprocess, sys, time
q, csv, args = sys.argv[1], sys.argv[2], sys.argv[3:]
def first_row(extra):
    t = time.perf_counter()
    p = subprocess.Popen([q] + args + extra + [csv], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
    p.stdout.readline(); p.stdout.readline()
    dt = time.perf_counter() - t
    p.kill(); p.wait()
    return dt
def head3(extra):
    t = time.perf_counter()
    cmd = " ".join([q] + args + extra + [csv]) + " 2>/dev/null | head -3 >/dev/null"
    subprocess.run(cmd, shell=True)
    return time.perf_counter() - t
for name, f in (("first row out", first_row), ("| head -3 ends", head3)):
    for extra in (["--sorted", "--jobs=2"], ["--jobs=2"]):
        runs = sorted(f(extra) for _ in range(5))
        print("%s, %s: median %.3f s" % (name, " ".join(extra), runs[2]))
PY

a="$q ${long[*]} --jobs=1 $work/long.csv"
b="$q ${long[*]} --jobs=1 --sorted $work/long.csv"
c="$q ${long[*]} --jobs=2 $work/long.csv"
d="$q ${long[*]} --jobs=2 --sorted $work/long.csv"
# shellcheck disable=SC2086 # the commands are split into words on purpose
python3 bench/compare.py "$rounds" $a ::: $b ::: $c ::: $d
