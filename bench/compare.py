#!/usr/bin/env python3
"""Time whole commands side by side, in interleaved rounds.

    bench/compare.py ROUNDS CMD1 ::: CMD2 [::: CMD3 ...]

Runs each command once per round, in turn, so that a change in the
machine's load falls on all of them alike (the first round only warms the
caches), and prints each one's median, range and the median over the rounds
of its ratio to the first.  Standard output and error are discarded; a
command's status is not judged (qev's 1 is a finished run).  Name the
processor beside the figures: lscpu.

    bench/compare.py 11 old/qev --tsv t.csv ::: new/qev --tsv t.csv
"""
import statistics as st
import subprocess
import sys
import time


def main():
    if len(sys.argv) < 3 or not sys.argv[1].isdigit():
        sys.exit(__doc__.split("\n\n")[1])
    rounds = int(sys.argv[1])
    cmds, cur = [], []
    for a in sys.argv[2:]:
        if a == ":::":
            cmds.append(cur)
            cur = []
        else:
            cur.append(a)
    cmds.append(cur)
    times = [[] for _ in cmds]
    for r in range(rounds + 1):
        for k, cmd in enumerate(cmds):
            t0 = time.perf_counter()
            subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if r > 0:
                times[k].append(time.perf_counter() - t0)
    for k, (cmd, t) in enumerate(zip(cmds, times)):
        ratio = st.median(b / a for a, b in zip(times[0], t))
        print("%8.3f ms (%.3f to %.3f)  x%.3f  %s" % (
            st.median(t) * 1e3, min(t) * 1e3, max(t) * 1e3, ratio, " ".join(cmd)))


if __name__ == "__main__":
    main()
