#!/usr/bin/env python3
"""tvxapi-check against the planted libraries (tests/programs/planted): the sound one keeps every
requirement, each other one breaks exactly one and is caught by that one alone, with the entry
named; files that do not load; the text form.

    check_test.py <tvxapi-check> <directory of the planted libraries>
"""
import json
import os
import re
import subprocess
import sys
import tempfile

tool, bindir = sys.argv[1], sys.argv[2]
failures = []
IDS = ["R%d" % n for n in range(1, 11)]  # what a library loaded as "common" is held to

# What planted_ok exports, every one an entry.
OK_ENTRIES = {
    "Quorix_delete_shared_object", "Quorix_duplicate_object_reference", "Quorix_serialize",
    "SerializationStream_getOutputString", "Quorix_deserialize", "Scoping_new", "Scoping_SetIds",
    "Scoping_GetSize", "Field_new", "CSField_SetData", "CSField_GetNumberOfComponents", "DataSources_new",
    "DataSources_SetResultFilePathWithKeyUtf8", "Operator_new", "Operator_connect_int",
    "Operator_connect_DataSources", "Operator_getoutput_Operator"}

# Each planted fault: the one requirement it breaks, and what that requirement's evidence must name
# (a pattern each).
PLANTED = {
    "planted_no_terminator": ("R4", []),
    "planted_null_text": ("R4", [r"with a null message"]),
    "planted_huge_size": ("R4", [r"error size 1073741824 but the message ends after \d+ characters"]),
    "planted_sticky_size": ("R5", []),
    "planted_null_crash": ("R6", [r"\bScoping_GetSize\b"]),
    "planted_hang": ("R6", [r"\bCSField_GetNumberOfComponents\b"]),
    "planted_typo": ("R2", [r"\bCSField_Getdata\b", r"\bCSField_GetData\b", r"\bField_new_on_client\b",
                            r"\bField_new\b"]),
    "planted_lossy_copy": ("R9", []),
    "planted_shared_duplicate": ("R8", []),
    "planted_release_null_fails": ("R7", []),
    "planted_no_proxy": ("R10", []),
}


def run(*args):
    try:
        p = subprocess.run([tool, *args], capture_output=True, text=True, timeout=300)
    except subprocess.TimeoutExpired:
        failures.append("%s: did not finish" % " ".join(args))
        return None, "", ""
    return p.returncode, p.stdout, p.stderr


def check(what, got, want):
    if got != want:
        failures.append("%s: got %r, want %r" % (what, got, want))


def check_json(name):
    rc, out, err = run(os.path.join(bindir, name), "common", "--json")
    try:
        r = json.loads(out)
    except ValueError:
        failures.append("%s: not JSON: %r %r" % (name, out, err))
        return rc, {}, {}
    check(name + ": exit in the report", r.get("exit"), rc)
    reqs = {q.get("id"): q for q in r.get("requirements", [])}
    # One row per number, none skipped (a withdrawn one keeps its row), at least R1 to R10.
    numbers = sorted(int(i[1:]) for i in reqs if re.fullmatch(r"R[1-9][0-9]*", i or ""))
    check(name + ": requirements reported", numbers, list(range(1, max(len(reqs), len(IDS)) + 1)))
    return rc, r, reqs


# The sound library: R1 to R10 apply (it makes every object the checks need) and hold; the rest is
# about libraries loaded as "remote".
rc, r, reqs = check_json("planted_ok")
check("planted_ok: exit", rc, 0)
check("planted_ok: verdicts", {i: q.get("verdict") for i, q in reqs.items()},
      {i: "held" if i in IDS else "not applicable" for i in reqs})
check("planted_ok: entries", set(r.get("entries", [])), OK_ENTRIES)
check("planted_ok: other exports", r.get("other_exports"), [])

# Each planted fault: exit 1, the one requirement violated, its evidence naming the culprit.
for name, (violated, named) in PLANTED.items():
    rc, r, reqs = check_json(name)
    check(name + ": exit", rc, 1)
    check(name + ": violated", {i for i, q in reqs.items() if q.get("verdict") == "violated"}, {violated})
    evidence = "\n".join(reqs.get(violated, {}).get("evidence", []))
    for pattern in named:
        if not re.search(pattern, evidence):
            failures.append("%s: %s evidence does not name %s: %r" % (name, violated, pattern, evidence))
    if name == "planted_typo":
        check(name + ": nearest entries",
              {o.get("name"): o.get("nearest") for o in r.get("other_exports", [])},
              {"CSField_Getdata": "CSField_GetData", "Field_new_on_client": "Field_new"})

# Files that do not load: exit 2, with the path in what the program says.
missing = os.path.join(bindir, "no_such_backend")
rc, out, err = run(missing, "common", "--json")
check("no file: exit", rc, 2)
check("no file: path named", missing in out + err, True)
with tempfile.TemporaryDirectory() as tmp:
    with open(os.path.join(tmp, "garbage.so"), "wb") as f:
        f.write(b"\x7fELF but not really" + bytes(range(256)))
    check("not a library: exit", run(os.path.join(tmp, "garbage"), "common", "--json")[0], 2)

# A library that loads but offers nothing under the name: R1 violated, exit 1.
rc, r, reqs = check_json("double_empty")
check("no entries: exit", rc, 1)
check("no entries: R1", reqs.get("R1", {}).get("verdict"), "violated")

# The text form: one line per requirement, the verdict on it.
rc, out, _ = run(os.path.join(bindir, "planted_no_terminator"), "common")
check("text: exit", rc, 1)
check("text: R4 line says violated",
      any(line.startswith("R4") and "violated" in line for line in out.splitlines()), True)

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("tvxapi-check: all checks passed")
