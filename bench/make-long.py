#!/usr/bin/env python3
"""Make a long table of many life tables, for timing long-table mode.

    bench/make-long.py [--groups=N] HMDFILE OUT.csv [DATADIR]

Writes OUT.csv with the header region,sex,year,age,lx and 10000 groups
(or N)
(region, year) of ages 0 to 104, about 1.05 million rows: group i is year
i % 89 of the HMD file's years, its l(x) scaled at each age by a factor
within 1 +- 0.002 of its own (seeded, so every run writes the same file),
kept from rising with age.  With DATADIR it also writes each group as a qev
data file, DATADIR/NNNNN.dat, whose values are the CSV's l(x) / 100000 to
the last bit, so that qev --tsv over the files and qev --tsv
--radix=100000 over the CSV fit the very same records.
"""
import random
import sys

GROUPS = 10000


def main():
    global GROUPS
    args = sys.argv[1:]
    if args and args[0].startswith("--groups="):
        GROUPS = int(args.pop(0).split("=", 1)[1])
    hmd, out = args[0], args[1]
    datadir = args[2] if len(args) > 2 else None
    years = {}
    with open(hmd) as f:
        for line in f:
            p = line.split()
            if len(p) != 10 or not p[0].isdigit() or not p[1].isdigit():
                continue
            if int(p[1]) <= 104 and p[5] != ".":
                years.setdefault(p[0], []).append(float(p[5]))
    order = sorted(years)
    rng = random.Random(20261209)
    with open(out, "w") as csv:
        csv.write("region,sex,year,age,lx\n")
        for i in range(GROUPS):
            year = order[i % len(order)]
            region = "R%03d" % (i // len(order))
            lx, prev = [], float("inf")
            for x, v in enumerate(years[year]):
                if x > 0:
                    v = min(prev, round(v * (1 + rng.uniform(-0.002, 0.002)), 2))
                lx.append(v)
                prev = v
            csv.writelines(
                "%s,female,%s,%d,%r\n" % (region, year, x, v)
                for x, v in enumerate(lx))
            if datadir:
                with open("%s/%05d.dat" % (datadir, i), "w") as d:
                    d.writelines("%d\t%r\n" % (x, v / 100000)
                                 for x, v in enumerate(lx))


main()
