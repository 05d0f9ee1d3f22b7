#!/usr/bin/env python3
"""The ABI gate: compares a built libTVXClientAPI.so with the baseline of the last release
(abi/libTVXClientAPI.abi, an abidw dump) with libabigail's abidiff, the public headers deciding which
types belong to the interface. A removed export, or one whose parameters or result changed type,
fails and is named; an added export is reported and passes.

    check_abi.py build/bin/libTVXClientAPI.so            compare with the baseline
    check_abi.py build/bin/libTVXClientAPI.so --update   rewrite the baseline (a deliberate change)

The library must carry debug information (RelWithDebInfo or Debug), or abidiff sees only names.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BASELINE = os.path.join(ROOT, "abi", "libTVXClientAPI.abi")
HEADERS = os.path.join(ROOT, "include")

# abidw's options for a baseline that does not depend on where or when it was written: no paths, no
# source locations, type ids derived from the types themselves.
DUMP_OPTIONS = ["--headers-dir", HEADERS, "--drop-private-types", "--drop-undefined-syms",
                "--no-corpus-path", "--no-comp-dir-path", "--no-show-locs", "--type-id-style", "hash"]

# abidiff's exit status is a bit set: 1 error, 2 usage error, 4 an ABI change, 8 an incompatible one.
ABIDIFF_FAILED = 1 | 2

# "[D] 'function int f(int)'    {f@@NODE}" for a function known to the debug information, and
# "[D] f@@NODE" for a bare symbol; D removed, C changed, A added.
CHANGE = re.compile(r"^\s*\[(D|C|A)\]\s+(?:'(?:function|method|variable) ([^']*)'|(\S+))")
NAME = re.compile(r"(\w+)\s*\(")


def require(tool):
    if shutil.which(tool) is None:
        raise SystemExit("%s is not installed: it comes with Debian's abigail-tools "
                         "(scripts/install-deps.sh native installs it)" % tool)


def dump(library, out):
    require("abidw")
    subprocess.run(["abidw"] + DUMP_OPTIONS + ["--out-file", out, library], check=True)


def compare(baseline, library):
    """abidiff's report, and the removed, changed and added exports as (name, declaration)."""
    require("abidiff")
    p = subprocess.run(["abidiff", "--headers-dir2", HEADERS, "--drop-private-types", baseline, library],
                       capture_output=True, text=True)
    if p.returncode & ABIDIFF_FAILED:
        raise SystemExit("abidiff could not compare %s with %s (exit status %d):\n%s%s"
                         % (baseline, library, p.returncode, p.stdout, p.stderr))
    found = {"D": [], "C": [], "A": []}
    for line in p.stdout.splitlines():
        m = CHANGE.match(line)
        if not m:
            continue
        decl = m.group(2) or m.group(3)
        name = NAME.search(decl) if m.group(2) else None
        found[m.group(1)].append((name.group(1) if name else decl.split("@")[0], decl))
    return p.stdout, found["D"], found["C"], found["A"]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("library", help="the built libTVXClientAPI.so (with debug information)")
    ap.add_argument("--baseline", default=BASELINE, help="the abidw dump to compare with")
    ap.add_argument("--update", action="store_true", help="rewrite the baseline from the library")
    args = ap.parse_args()
    if args.update:
        dump(args.library, args.baseline)
        print("wrote %s from %s" % (args.baseline, args.library))
        return 0
    report, removed, changed, added = compare(args.baseline, args.library)
    for name, decl in removed:
        print("ABI: removed export %s: %s" % (name, decl))
    for name, decl in changed:
        print("ABI: changed export %s: %s" % (name, decl))
    for name, decl in added:
        print("ABI: added export %s: %s" % (name, decl))
    if removed or changed:
        print("\n" + report)
        print("ABI check failed: %d export(s) removed, %d changed against %s. Keep each export as it "
              "was; or, for an incompatible release, bump the SONAME (the project's major version) and "
              "the version node, and rewrite the baseline with --update."
              % (len(removed), len(changed), args.baseline))
        return 1
    print("ABI check passed against %s: nothing removed or changed, %d export(s) added"
          % (args.baseline, len(added)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
