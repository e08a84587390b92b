#!/usr/bin/env bash
# Where long mode spends its time: a perf record (Debian's linux-perf) of
# qev --tsv --jobs=1 on bench/make-long.py's 10000 tables, sampled by the
# cpu-clock timer (virtual machines often have no cycle counter), and the
# table of shares by function, the largest first.
#   cmake --workflow --preset release && bench/profile.sh [QEV]
set -euo pipefail
cd "$(dirname "$0")/.."
q=${1:-$PWD/build/release/qev}
command -v perf >/dev/null || { echo "profile.sh: perf not found (apt-get install linux-perf)" >&2; exit 2; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 bench/make-long.py examples/hmd/USA.fltper_1x1.txt "$work/long.csv"
lscpu | sed -n 's/^Model name: *//p;s/^CPU family: */family /p;s/^Model: */model /p' | paste -sd ' '
perf record -q -e cpu-clock -F 4000 -o "$work/perf.data" \
  "$q" --tsv --age=age --value=lx --by=region,year --radix=100000 --jobs=1 \
  "$work/long.csv" >/dev/null 2>&1 || [ $? -eq 1 ]
perf report -i "$work/perf.data" --no-children --sort symbol --stdio 2>/dev/null |
  awk '/^ +[0-9.]+%/ { share = $1; $1 = ""; $2 = ""; sub(/^ +/, ""); sub(/ +- +-.*$/, "");
         if (length($0) > 70) $0 = substr($0, 1, 67) "..."; printf "%7s  %s\n", share, $0; if (++n == 25) exit }'
