#!/usr/bin/env python3
"""Mutation score of the test suite over src/.

    tests/mutate.py [--jobs N] [--only FILE[:LINE]...] [--list] [--resume]
                    [--reuse OLD.tsv] [OUT.tsv]

With --reuse OLD.tsv, a mutant whose line (by its text) and mutation are
the same as one of OLD.tsv's takes that verdict, killed or stillborn,
instead of being run again (survivors are run again), so that a score can
follow a change at the cost of what it touched.  A line that moved to
another file keeps its verdict where OLD.tsv gives that line and mutation
one verdict wherever they stood.

Makes every mutant of the sources in src/ (not the generated tables), one
at a time, in a copy of the tree: each comparison flipped to its negation
(< and >=, > and <=, == and !=), each && swapped with || and back, and each
numeric literal nudged (an integer by +1, a floating-point one by x 1.01,
or by + 0.001 where it is 0).
Each mutant is built and the whole ctest suite run on it; a mutant is
killed when a test fails or times out; a mutant that does not compile is
stillborn and not counted.  Writes one row
per mutant to OUT.tsv (default mutants.tsv): file, line, what was changed,
and killed, survived or stillborn; prints the score at the end.

Operators are recognised only with spaces around them, as clang-format
writes binary operators, so that template brackets, shifts and include
lines are left alone; comments, strings and preprocessor lines are skipped.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
SKIP = {"src/fit/generated/tables.cpp", "src/fit/make_tables.cpp"}
# What the tests run; the install test is left out of the mutants' runs
# (it builds examples/fit.c, whose numbers the other tests check already).
TARGETS = ["qev", "qev_static", "qev_make_tables", "fit_test", "identity_test",
           "api_test", "cli_test", "qev_clash"]

FLIP = {" < ": " >= ", " >= ": " < ", " > ": " <= ", " <= ": " > ",
        " == ": " != ", " != ": " == ", " && ": " || ", " || ": " && "}
OPS = re.compile(r" (<=|>=|==|!=|&&|\|\||<|>) ")
NUMBER = re.compile(
    r"(?<![\w.])(0[xX][0-9a-fA-F.]+[pP][-+]?\d+|0[xX][0-9a-fA-F]+|"
    r"\d+\.\d*(?:[eE][-+]?\d+)?|\.\d+(?:[eE][-+]?\d+)?|\d+[eE][-+]?\d+|\d+)"
    r"([uUlLfF]*)(?![\w.])")


def code_spans(line):
    """The parts of a line that are code: not strings, chars or comments."""
    spans, start, i, n = [], 0, 0, len(line)
    while i < n:
        ch = line[i]
        if line.startswith("//", i):
            break
        if ch in "\"'":
            spans.append((start, i))
            j = i + 1
            while j < n and line[j] != ch:
                j += 2 if line[j] == "\\" else 1
            i = start = j + 1
            continue
        i += 1
    spans.append((start, min(i, n)))
    return spans


def mutants(path):
    rel = os.path.relpath(path, ROOT)
    lines = open(path).read().split("\n")
    in_block = False
    for k, line in enumerate(lines):
        stripped = line.strip()
        if in_block:
            if "*/" in line:
                in_block = False
            continue
        if stripped.startswith("/*"):
            in_block = "*/" not in stripped
            continue
        if stripped.startswith("#") or stripped.startswith("static_assert"):
            continue
        for a, b in code_spans(line):
            seg = line[a:b]
            for m in OPS.finditer(seg):
                op = m.group(0)
                new = line[:a + m.start()] + FLIP[op] + line[a + m.end():]
                yield rel, k + 1, "%s -> %s" % (op.strip(), FLIP[op].strip()), \
                    lines[:k] + [new] + lines[k + 1:]
            for m in NUMBER.finditer(seg):
                lit, suffix = m.group(1), m.group(2)
                is_float = ("." in lit or "p" in lit.lower() or
                            ("e" in lit.lower() and not lit.lower().startswith("0x")))
                zero = float.fromhex(lit) == 0 if lit.lower().startswith("0x") \
                    else is_float and float(lit) == 0
                if zero:
                    rep = "(%s + 0.001)" % lit  # x 1.01 would leave it 0
                elif is_float:
                    rep = "(%s * 1.01)" % lit
                else:
                    rep = "(%s%s + 1)" % (lit, suffix)
                new = line[:a + m.start()] + rep + line[a + m.end():]
                yield rel, k + 1, "%s -> %s" % (lit + suffix, rep), \
                    lines[:k] + [new] + lines[k + 1:]


def keyed(todo):
    """Each mutant's key that survives edits elsewhere in its file: the file,
    the mutated line's text, the mutation, and which such one it is."""
    seen, keys = {}, []
    for rel, line, what, text in todo:
        src = LINES[rel][line - 1].strip()
        k = (rel, src, what)
        seen[k] = seen.get(k, 0) + 1
        keys.append(k + (seen[k],))
    return keys


LINES = {}


def run(cmd, cwd, timeout):
    try:
        return subprocess.run(cmd, cwd=cwd, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL,
                              timeout=timeout).returncode
    except subprocess.TimeoutExpired:
        return -1


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    ap.add_argument("--only", nargs="*", default=[])
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--resume", action="store_true",
                    help="keep the rows already in OUT.tsv and make the rest")
    ap.add_argument("--reuse", metavar="OLD.tsv",
                    help="take the verdicts of OLD.tsv for the same mutation "
                         "of the same line (by its text) of the same file")
    ap.add_argument("out", nargs="?", default="mutants.tsv")
    args = ap.parse_args()
    files = []
    for d in ("src/fit", "src/words", "src/cli"):
        for f in sorted(os.listdir(os.path.join(ROOT, d))):
            rel = d + "/" + f
            if f.endswith(".cpp") and rel not in SKIP:
                files.append(rel)
    todo = []
    for rel in files:
        LINES[rel] = open(os.path.join(ROOT, rel)).read().split("\n")
        for mut in mutants(os.path.join(ROOT, rel)):
            where = "%s:%d" % (mut[0], mut[1])
            if args.only and not any(where == o or mut[0] == o for o in args.only):
                continue
            todo.append(mut)
    if args.list:
        for rel, line, what, _ in todo:
            print("%s:%d\t%s" % (rel, line, what))
        return 0
    work = tempfile.mkdtemp(prefix="qev-mutate-")
    tree = os.path.join(work, "tree")
    shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns("build", ".git"))
    build = os.path.join(work, "build")
    j = str(args.jobs)
    # -O1 builds several times faster than the release build and keeps
    # every result: the floating-point flags, not the level, fix the bits.
    if run(["cmake", "-S", tree, "-B", build, "-DCMAKE_BUILD_TYPE=None",
            "-DCMAKE_CXX_FLAGS=-O1", "-DQEV_BENCH=OFF"], work, 600) != 0 or \
            run(["cmake", "--build", build, "-j", j], work, 1800) != 0 or \
            run(["ctest", "--test-dir", build, "-j", j], work, 600) != 0:
        print("mutate.py: the unmutated tree does not build or pass", file=sys.stderr)
        return 2
    killed = survived = stillborn = reused = 0
    done = {}
    moved = {}  # (text, mutation): the one verdict OLD.tsv gives them
    for old, by_text in ((args.out if args.resume else None, False),
                         (args.reuse, True)):
        if old is None or not os.path.exists(old):
            continue
        count = {}
        for row in open(old).read().split("\n")[1:]:
            f = row.split("\t")
            if len(f) < 5:
                continue
            k = (f[0], f[4], f[2])
            count[k] = count.get(k, 0) + 1
            # A survivor of an older run is run again: tests may have come.
            if not (by_text and f[3] == "survived"):
                done[k + (count[k],)] = f[3]
            if by_text:
                t = (f[4], f[2])
                moved[t] = f[3] if moved.get(t, f[3]) == f[3] else "mixed"
    keys = keyed(todo)
    with open(args.out, "w") as out:
        out.write("file\tline\tmutation\tresult\ttext\n")
        for n, (rel, line, what, text) in enumerate(todo, 1):
            key = keys[n - 1]
            again = moved.get((key[1], key[2]))
            if key not in done and again in ("killed", "stillborn"):
                done[key] = again
            if key in done:
                result = done[key]
                killed += result == "killed"
                survived += result == "survived"
                stillborn += result == "stillborn"
                reused += 1
                out.write("%s\t%d\t%s\t%s\t%s\n" % (rel, line, what, result, key[1]))
                continue
            path = os.path.join(tree, rel)
            original = open(path).read()
            open(path, "w").write("\n".join(text))
            if run(["cmake", "--build", build, "-j", j, "--target"] + TARGETS,
                   work, 900) != 0:
                result = "stillborn"
                stillborn += 1
            elif run(["ctest", "--test-dir", build, "-j", j, "--timeout", "20",
                      "--stop-on-failure", "-E", "InstallsForCAndCMake|Python[.]|R[.]"],
                     work, 900) != 0:
                result = "killed"
                killed += 1
            else:
                result = "survived"
                survived += 1
            open(path, "w").write(original)
            out.write("%s\t%d\t%s\t%s\t%s\n" % (rel, line, what, result, key[1]))
            out.flush()
            print("%d/%d %s:%d %s: %s" % (n, len(todo), rel, line, what, result),
                  flush=True)
    scored = killed + survived
    print("killed %d of %d (%.1f%%), %d stillborn, %d verdicts taken over" %
          (killed, scored, 100.0 * killed / max(scored, 1), stillborn, reused))
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
