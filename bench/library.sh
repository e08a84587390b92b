#!/usr/bin/env bash
# The library against the command line on bench/make-long.py's 10000
# tables, side by side in one run, in rounds:
#   (a) qev --tsv long-table mode over the CSV, --jobs=1 and --jobs=2;
#   (f) qev_fit_many over the same tables already in memory, 1 and 2 jobs,
#       in a program linked with libqev.a;
#   (s) the same program linked with libqev.so.
# First checks that (f) gives qev --tsv's a, b, c and rmse for every table.
# Needs a Release build with the benchmarks (cmake --workflow --preset
# release, with libbenchmark-dev installed) and python3:
#   bench/library.sh
set -euo pipefail
cd "$(dirname "$0")/.."
b=$PWD/build/release
q=$b/qev
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 bench/make-long.py examples/hmd/USA.fltper_1x1.txt "$work/long.csv"
lscpu | sed -n 's/^Model name: *//p;s/^CPU family: */family /p;s/^Model: */model /p' | paste -sd ' '
long=(--tsv --age=age --value=lx --by=region,year --radix=100000)
"$q" "${long[@]}" "$work/long.csv" | tail -n +2 | cut -f 4-7 >"$work/cli.tsv" || [ $? -eq 1 ]
"$b/bench/fit_many_static" "$work/long.csv" 2 1 --print >"$work/lib.tsv"
cmp -s "$work/cli.tsv" "$work/lib.tsv" ||
  { echo "library.sh: qev_fit_many and qev --tsv give other numbers" >&2; exit 2; }
echo "qev_fit_many = qev --tsv on all $(wc -l <"$work/lib.tsv") tables"
python3 - "${RUNS:-11}" "$q" "$b/bench" "$work/long.csv" "${long[@]}" <<'PY'
import statistics as st, subprocess, sys, time
runs, q, bench, csv, long = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4], sys.argv[5:]
def cli(jobs):
    t0 = time.perf_counter()
    subprocess.run([q] + long + ["--jobs=%d" % jobs, csv], stdout=subprocess.DEVNULL)
    return time.perf_counter() - t0
def lib(kind, jobs):
    out = subprocess.run(["%s/fit_many_%s" % (bench, kind), csv, str(jobs), "3"],
                         capture_output=True, text=True).stdout
    return float(out)
cases = [("qev --tsv long, 1 job", lambda: cli(1)),
         ("qev --tsv long, 2 jobs", lambda: cli(2)),
         ("qev_fit_many, libqev.a, 1 job", lambda: lib("static", 1)),
         ("qev_fit_many, libqev.a, 2 jobs", lambda: lib("static", 2)),
         ("qev_fit_many, libqev.so, 1 job", lambda: lib("shared", 1)),
         ("qev_fit_many, libqev.so, 2 jobs", lambda: lib("shared", 2))]
t = [[] for _ in cases]
for r in range(runs + 1):
    for k, (_, f) in enumerate(cases):
        x = f()
        if r > 0:
            t[k].append(x)
for (name, _), x in zip(cases, t):
    print("%-32s median %7.1f ms (%.1f to %.1f)" % (name, st.median(x) * 1e3, min(x) * 1e3, max(x) * 1e3))
def ratio(i, j):
    return st.median(a / b for a, b in zip(t[i], t[j]))
print("median ratios: fit_many/long 1 job %.3f, 2 jobs %.3f; .so/.a 1 job %.3f, 2 jobs %.3f"
      % (ratio(2, 0), ratio(3, 1), ratio(4, 2), ratio(5, 3)))
PY
