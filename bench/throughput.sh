#!/usr/bin/env bash
# Tables per second: one qev --tsv process over the 89 yearly tables of the
# shipped HMD file, against one qev process per table, side by side on one
# core; then the HMD file read as a long table on every core (--jobs), and
# the peak memory of --tsv for 89 and for 890 files.  Needs a Release build,
# hyperfine and GNU time (apt-get install hyperfine time):
#   cmake --workflow --preset release && bench/throughput.sh
set -euo pipefail
cd "$(dirname "$0")/.."
b=$PWD/build/release
for tool in hyperfine taskset /usr/bin/time; do
  command -v "$tool" >/dev/null ||
    { echo "throughput.sh: $tool not found (apt-get install hyperfine time util-linux)" >&2; exit 2; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$b/qev-hmd" --split="$work/years" examples/hmd/USA.fltper_1x1.txt >/dev/null || [ $? -eq 1 ]
n=$(ls "$work/years" | wc -l)
lscpu | sed -n 's/^Model name: *//p'
echo "$n tables"

cat >"$work/per-process.sh" <<SH
for f in "$work"/years/*.dat; do "$b/qev" "\$f"; [ \$? -eq 1 ] || exit 2; done >/dev/null
SH
cat >"$work/tsv.sh" <<SH
"$b/qev" --tsv "$work"/years/*.dat >/dev/null; [ \$? -eq 1 ]
SH
cat >"$work/long.sh" <<SH
"$b/qev" --tsv --age=Age --value=lx --by=Year --radix=100000 examples/hmd/USA.fltper_1x1.txt >/dev/null 2>&1; [ \$? -eq 1 ]
SH
hyperfine -N --warmup 3 --runs 30 --export-json "$work/one-core.json" \
  "taskset -c 0 bash $work/per-process.sh" \
  "taskset -c 0 bash $work/tsv.sh" \
  "bash $work/long.sh" >"$work/hyperfine.log" 2>&1 || { cat "$work/hyperfine.log" >&2; exit 2; }
python3 - "$work/one-core.json" "$n" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["results"]
n = int(sys.argv[2])
names = ["one qev per table, one core", "qev --tsv, one core", "long table, every core"]
for name, r in zip(names, runs):
    print("%-30s median %8.2f ms  %8.0f tables/s" % (name, r["median"] * 1e3, n / r["median"]))
print("qev --tsv handles %.1fx the tables per second of one process per table" % (runs[0]["median"] / runs[1]["median"]))
PY
for i in 1 2 3 4 5 6 7 8 9 10; do printf '%s\n' "$work"/years/*.dat; done >"$work/890"
rss() { /usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -1; }
echo "peak RSS of qev --tsv: $(rss "$b/qev" --tsv "$work"/years/*.dat) KiB for $n files," \
  "$(xargs -d '\n' -a "$work/890" sh -c 'exec /usr/bin/time -f %M "$0" --tsv "$@" 2>&1 >/dev/null | tail -1' "$b/qev") KiB for $((10 * n))"
