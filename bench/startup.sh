#!/usr/bin/env bash
# Whole processes, side by side: qev on a real table against a C program
# that does nothing (start-up), and qev on the worst case (bench/worst.dat
# from a start that runs all 10000 iterations) against the straightforward
# program qev_plain; then the peak memory of each.  Needs hyperfine and GNU
# time (apt-get install hyperfine time) and a Release build:
#   cmake --workflow --preset release && bench/startup.sh
set -euo pipefail
cd "$(dirname "$0")/.."
b=build/release
table=${1:-examples/us-2011-male.dat}
worst="bench/worst.dat 7.4 -21.5 -43.7"
json=$(mktemp)
trap 'rm -f "$json"' EXIT
lscpu | sed -n 's/^Model name: *//p'
report() {
  python3 - "$json" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["results"]
base = runs[0]["median"]
for r in runs:
    print("%-55s median %.3f ms  %.2fx" % (r["command"], r["median"] * 1e3, r["median"] / base))
PY
}
hyperfine -N -i --warmup 100 --runs 3000 --export-json "$json" \
  "$b/bench/noop" "$b/qev $table" >/dev/null 2>&1
report
hyperfine -N -i --warmup 20 --runs 300 --export-json "$json" \
  "$b/bench/qev_plain $worst" "$b/qev $worst" >/dev/null 2>&1
report
for cmd in "$b/bench/noop" "$b/qev $table"; do
  peak=$(for _ in 1 2 3 4 5; do { /usr/bin/time -f %M $cmd 2>&1 >/dev/null || true; } | tail -1; done | sort -n | sed -n 3p)
  printf '%-55s peak RSS %s KiB (median of 5)\n' "$cmd" "$peak"
done
