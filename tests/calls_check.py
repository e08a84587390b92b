#!/usr/bin/env python3
"""The library's modules call each other one way only: no two of its object
files each use a symbol the other defines.

    tests/calls_check.py NM OBJECT...
"""
import collections
import os
import subprocess
import sys


def main():
    nm, objects = sys.argv[1], sys.argv[2:]
    defined, used = {}, collections.defaultdict(set)
    for obj in objects:
        out = subprocess.run([nm, obj], capture_output=True, text=True,
                             check=True).stdout
        for line in out.splitlines():
            f = line.split()
            if len(f) == 3 and f[1] in "TRDBVW":
                defined[f[2]] = obj
            elif len(f) == 2 and f[0] == "U":
                used[obj].add(f[1])
    calls = collections.defaultdict(set)
    for obj, names in used.items():
        calls[obj] |= {defined[n] for n in names
                       if n in defined and defined[n] != obj}
    both = sorted({tuple(sorted((a, b))) for a in calls for b in calls[a]
                   if a in calls.get(b, ())})
    if len(objects) < 2 or not any(calls.values()):
        sys.exit("calls_check: no calls between objects: nothing was checked")
    for a, b in both:
        print("%s and %s call each other" % (os.path.basename(a),
                                             os.path.basename(b)))
    if both:
        sys.exit(1)
    print("%d objects, %d calls between them, all one way" %
          (len(objects), sum(len(c) for c in calls.values())))


if __name__ == "__main__":
    main()
