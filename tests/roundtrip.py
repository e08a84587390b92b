#!/usr/bin/env python3
"""Keys and file names that qev writes come back byte for byte through R's
read.delim and pandas' read_csv, read as text with NA conversion off.

    tests/roundtrip.py QEV WORKDIR

Exits 0 when both readers gave every key and the file name back, 1 when one
did not, and 77 (skipped) when neither R nor pandas is installed.
"""
import os
import shutil
import subprocess
import sys

KEYS = [
    "plain",
    "a, comma",
    'The "Quoted" Land',
    "a\ttab",
    "a\nnew line",
    "a\\back\\slash",
    "C\u00f4te d'Ivoire",
    '"',
    "\\t",
]
FILE = 'odd "name",\t\\\u00e9\n.csv'


def csv_field(s):
    return '"' + s.replace('"', '""') + '"'


def main():
    qev, work = os.path.abspath(sys.argv[1]), sys.argv[2]
    os.makedirs(work, exist_ok=True)
    path = os.path.join(work, FILE)
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write("k,age,lx\n")
        for k in KEYS:
            for age, lx in ((0, 1), (40, 0.9), (70, 0.6), (90, 0.2)):
                f.write("%s,%d,%s\n" % (csv_field(k), age, lx))
    out = os.path.join(work, "out.tsv")
    with open(out, "wb") as f:
        r = subprocess.run([qev, "--tsv", "--age=age", "--value=lx", "--by=k",
                            FILE], cwd=work, stdout=f, stderr=subprocess.PIPE)
    if r.returncode not in (0, 1):
        print("qev failed:", r.stderr.decode(errors="replace"))
        return 1
    want = [FILE] + KEYS
    checked = 0
    failed = False
    try:
        import pandas
    except ImportError:
        pandas = None
    if pandas is not None:
        d = pandas.read_csv(out, sep="\t", dtype=str, keep_default_na=False)
        got = [d["file"][0]] + list(d["k"])
        if got != want or set(d["file"]) != {FILE}:
            print("pandas read back", got)
            failed = True
        checked += 1
        print("pandas", pandas.__version__)
    rscript = shutil.which("Rscript")
    if rscript is not None:
        # Each text as hex, so that nothing is lost on the way back.
        prog = ('d <- read.delim(commandArgs(TRUE)[1], colClasses = "character", '
                'na.strings = character(0), encoding = "UTF-8"); '
                'h <- function(s) paste(charToRaw(s), collapse = ""); '
                'cat(h(d$file[1]), vapply(d$k, h, ""), '
                'length(unique(d$file)), sep = "\\n")')
        r = subprocess.run([rscript, "--vanilla", "-e", prog, out],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        lines = r.stdout.decode().split()
        got = [bytes.fromhex(x).decode("utf-8", "replace") for x in lines[:-1]]
        if r.returncode != 0 or got != want or lines[-1:] != ["1"]:
            print("R read back", got, r.stderr.decode(errors="replace"))
            failed = True
        checked += 1
    if checked == 0:
        print("neither pandas nor Rscript is installed")
        return 77
    print("keys and file name read back by %d reader%s" %
          (checked, "s" if checked > 1 else ""))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
