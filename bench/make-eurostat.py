#!/usr/bin/env python3
"""Write the tables of bench/make-long.py's long CSV in Eurostat's layout.

    bench/make-eurostat.py LONG.csv OUT.tsv

LONG.csv has the header region,sex,year,age,lx.  OUT.tsv is the TSV of
Eurostat's bulk download: the first header field
freq,unit,sex,age,indic_de,geo\\TIME_PERIOD, a column per year, a row per
sex, age code and region, sorted by their codes as Eurostat sorts them
(Y10 before Y2, Y_LT1 last), and ":" where a region has no table of a
year.  The cells are the CSV's l(x) texts, so qev fits the same records.
"""
import sys


def main():
    src, out = sys.argv[1:3]
    cells, years, regions = {}, set(), set()
    with open(src) as f:
        next(f)
        for line in f:
            region, sex, year, age, lx = line.rstrip("\n").split(",")
            code = "Y_LT1" if age == "0" else "Y" + age
            cells[(sex, code, region, year)] = lx
            years.add(year)
            regions.add((sex, code, region))
    years = sorted(years)
    with open(out, "w") as f:
        f.write("freq,unit,sex,age,indic_de,geo\\TIME_PERIOD\t" +
                "\t".join(y + " " for y in years) + "\n")
        for sex, code, region in sorted(regions):
            f.write("A,NR,%s,%s,SURVIVORS,%s\t" % (sex, code, region) +
                    "\t".join(cells.get((sex, code, region, y), ":")
                              for y in years) + "\n")


main()
