#!/usr/bin/env python3
"""Checks that a built library exports exactly the entries the catalogue says are implemented.

    check_exports.py --binary libTVXClientAPI.so --dump nm -D --defined-only
    check_exports.py --binary TVXClientAPI.dll --dump x86_64-w64-mingw32-objdump -p
    check_exports.py --binary libTVXClientAPI.so --versions objdump

With --versions (ELF), every defined dynamic symbol must carry the version node of the export list
(generate.VERSION_NODE), the node's number must be the SONAME's major version, and nothing but the
entries and the node itself may be defined.
"""

import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "codegen"))
import catalogue as cat_mod  # noqa: E402
import generate  # noqa: E402


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


def versioned(binary, objdump):
    """(name, version) of every defined dynamic symbol, and the SONAME."""
    table = subprocess.run([objdump, "-T", binary], check=True, capture_output=True, text=True).stdout
    symbols = []
    for line in table.splitlines():
        # address, flags (with gaps), section, size, [version], name
        m = re.match(r"[0-9a-f]{8,16}\s.{7}\s(\S+)\s+[0-9a-f]+\s+(?:(\S+)\s+)?(\S+)$", line)
        if m and m.group(1) != "*UND*":
            symbols.append((m.group(3), (m.group(2) or "").strip("()")))
    headers = subprocess.run([objdump, "-p", binary], check=True, capture_output=True, text=True).stdout
    soname = re.search(r"^\s*SONAME\s+(\S+)", headers, re.M)
    return symbols, soname.group(1) if soname else None


def check_versions(binary, objdump, want):
    node = generate.VERSION_NODE
    symbols, soname = versioned(binary, objdump)
    problems = []
    major = soname.rsplit(".so.", 1)[1].split(".")[0] if soname and ".so." in soname else None
    if major is None:
        problems.append("no versioned SONAME (found %s)" % soname)
    elif node.rsplit("_", 1)[1] != major:
        problems.append("version node %s does not match the SONAME %s: rename the node with the major "
                        "version" % (node, soname))
    seen = set()
    for name, version in symbols:
        if name == node and version == node:  # the node's own definition
            continue
        seen.add(name)
        if name not in want:
            problems.append("exported but not an implemented entry: %s (%s)" % (name, version or "no version"))
        elif version != node:
            problems.append("export %s in version %s, not %s" % (name, version or "(none)", node))
    problems += ["not exported: " + n for n in sorted(want - seen)]
    for p in problems:
        print(p)
    print("%s: %d exports in version node %s, %d expected" % (
        binary, sum(1 for n, v in symbols if v == node and n != node), node, len(want)))
    return 1 if problems else 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--binary", required=True)
    group = ap.add_mutually_exclusive_group(required=True)
    group.add_argument("--dump", nargs=argparse.REMAINDER, help="the export-table command and its options")
    group.add_argument("--versions", metavar="OBJDUMP", help="check the ELF version node with this objdump")
    args = ap.parse_args()
    want = set(generate.exported_names(cat_mod.Catalogue()))
    if args.versions:
        return check_versions(args.binary, args.versions, want)
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
