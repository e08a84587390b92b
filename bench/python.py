#!/usr/bin/env python3
"""The Python package against the command line, side by side in
interleaved rounds, on bench/make-long.py's 10000 tables:

  (a) qev --tsv long mode on the CSV, --jobs=1
  (b) qev.fit_table on the same table already in a DataFrame, jobs=1
  (c) (a) with --jobs=2
  (d) (b) with jobs=2
  (e) a loop of qev.fit over the same tables, already split

Checks first that (b) gives (a)'s numbers.  Run with the interpreter the
package is installed in, after a Release build:

    cmake --workflow --preset release
    ENV/bin/python bench/python.py [ROUNDS]
"""
import io
import os
import statistics as st
import subprocess
import sys
import tempfile
import time
import warnings

import numpy as np
import pandas as pd

import qev

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
QEV = os.environ.get("QEV", os.path.join(ROOT, "build", "release", "qev"))
LONG = ["--tsv", "--age=age", "--value=lx", "--by=region,year",
        "--radix=100000"]


def main():
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    cpu = subprocess.run("lscpu | sed -n 's/^Model name: *//p;"
                         "s/^CPU family: */family /p;s/^Model: */model /p' "
                         "| paste -sd ' '", shell=True, stdout=subprocess.PIPE,
                         text=True).stdout.strip()
    print(cpu)
    with tempfile.TemporaryDirectory() as work:
        csv = os.path.join(work, "long.csv")
        subprocess.run([sys.executable, os.path.join(ROOT, "bench",
                                                     "make-long.py"),
                        os.path.join(ROOT, "examples", "hmd",
                                     "USA.fltper_1x1.txt"), csv], check=True)
        df = pd.read_csv(csv, float_precision="round_trip")
        cli = subprocess.run([QEV] + LONG + ["--jobs=1", csv],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        want = pd.read_csv(io.BytesIO(cli.stdout), sep="\t",
                           float_precision="round_trip")
        warnings.simplefilter("ignore", qev.DataWarning)
        got = qev.fit_table(df, "age", "lx", by=["region", "year"],
                            radix=100000, jobs=1)
        for col in ("a", "b", "c", "rmse", "e0_fit", "se_e0_fit"):
            assert (got[col].to_numpy().view(np.int64) ==
                    want[col].to_numpy().view(np.int64)).all(), col
        print("%d tables, %d rows: fit_table gives the command line's bits" %
              (len(got), len(df)))
        key = df.groupby(["region", "year"], sort=False).ngroup().to_numpy()
        cuts = np.flatnonzero(np.diff(key)) + 1
        tables = list(zip(np.split(df["age"].to_numpy(), cuts),
                          np.split(df["lx"].to_numpy() / 100000, cuts)))

        def run_cli(jobs):
            subprocess.run([QEV] + LONG + ["--jobs=%d" % jobs, csv],
                           stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)

        def fit_table(jobs):
            qev.fit_table(df, "age", "lx", by=["region", "year"],
                          radix=100000, jobs=jobs)

        def loop():
            for a, v in tables:
                qev.fit(a, v)

        runs = [("(a) qev --tsv long mode, --jobs=1", lambda: run_cli(1)),
                ("(b) qev.fit_table, jobs=1", lambda: fit_table(1)),
                ("(c) qev --tsv long mode, --jobs=2", lambda: run_cli(2)),
                ("(d) qev.fit_table, jobs=2", lambda: fit_table(2)),
                ("(e) a loop of qev.fit", loop)]
        times = [[] for _ in runs]
        for r in range(rounds + 1):
            for k, (_, f) in enumerate(runs):
                t = time.perf_counter()
                f()
                if r > 0:
                    times[k].append(time.perf_counter() - t)
        med = [st.median(t) for t in times]
        for (name, _), t, m in zip(runs, times, med):
            print("%-36s median %7.1f ms  (%.1f to %.1f)" %
                  (name, 1000 * m, 1000 * min(t), 1000 * max(t)))

        def ratio(i, j):
            return st.median(x / y for x, y in zip(times[i], times[j]))

        print("(b)/(a) %.2f   (d)/(b) %.2f   (e)/(b) %.2f   (d)/(c) %.2f" %
              (ratio(1, 0), ratio(3, 1), ratio(4, 1), ratio(3, 2)))


main()
