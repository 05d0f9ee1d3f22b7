#!/usr/bin/env python3
"""Checks that a built library exports exactly the entries the catalogue says are implemented.

    check_exports.py --binary libTVXClientAPI.so --dump nm -D --defined-only
    check_exports.py --binary TVXClientAPI.dll --dump x86_64-w64-mingw32-objdump -p
"""

import argparse
import re
import subprocess
import sys

import catalogue as cat_mod
import generate


def exported(binary, dump):
    out = subprocess.run(dump + [binary], check=True, capture_output=True, text=True).stdout
    if "[Ordinal/Name Pointer] Table" in out:  # PE export table
        table = out.split("[Ordinal/Name Pointer] Table", 1)[1]
        names = []
        for line in table.splitlines()[1:]:
            m = re.match(r"\s*\[\s*\d+\]\s+(\S+)", line)
            if not m:
                break
            names.append(m.group(1))
        return names
    names = []
    for line in out.splitlines():  # nm: address type name
        parts = line.split()
        if len(parts) == 3 and parts[1] not in ("A", "U", "w", "v"):
            names.append(parts[2].split("@")[0])
    return names


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", required=True)
    ap.add_argument("--dump", nargs=argparse.REMAINDER, required=True)
    args = ap.parse_args()
    want = set(generate.exported_names(cat_mod.Catalogue()))
    got = set(exported(args.binary, args.dump))
    missing, extra = sorted(want - got), sorted(got - want)
    for n in missing:
        print("not exported: " + n)
    for n in extra:
        print("exported but not an implemented entry: " + n)
    print("%s: %d exports, %d expected" % (args.binary, len(got), len(want)))
    return 1 if missing or extra else 0


if __name__ == "__main__":
    sys.exit(main())
