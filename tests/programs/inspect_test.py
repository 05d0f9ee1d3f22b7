#!/usr/bin/env python3
"""tvxapi-inspect against the recording doubles: complete, missing entries, shared addresses, a file
that is not there, the strict result, and both output forms.

    inspect_test.py <tvxapi-inspect> <directory of the doubles>
"""
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir, "codegen"))
import catalogue  # noqa: E402

tool, doubles = sys.argv[1], sys.argv[2]
failures = []
CAT = catalogue.Catalogue()
SLOTS = {c: sum(1 for s in CAT.slots if s.cls == c) for c in catalogue.CLASSES}
TWO_FORM_NAMES = sum(1 for group in CAT.slots_by_name.values() if len(group) == 2)


def run(*args):
    p = subprocess.run([tool, *args], capture_output=True, text=True)
    return p.returncode, p.stdout, p.stderr


def check(what, got, want):
    if got != want:
        failures.append("%s: got %r, want %r" % (what, got, want))


def path(name):
    return os.path.join(doubles, name)


def inspect_json(name, as_name, *extra):
    rc, out, err = run(path(name), as_name, "--json", *extra)
    try:
        return rc, json.loads(out)
    except ValueError:
        failures.append("%s as %s: not JSON: %r %r" % (name, as_name, out, err))
        return rc, {}


# Everything applicable resolves: every class counted, nothing missing, strict load succeeds.
rc, r = inspect_json("double_common", "common")
check("complete: exit", rc, 0)
check("complete: classes", r.get("classes"), {
    "common": {"applicable": SLOTS["common"], "resolved": SLOTS["common"], "missing": 0},
    "both": {"applicable": SLOTS["both"], "resolved": SLOTS["both"], "missing": 0},
    "remote": {"applicable": 0, "resolved": 0, "missing": 0}})
check("complete: missing", r.get("missing"), [])
check("complete: strict", r.get("strict"), {"succeeds": True, "message": None})

# Names decide what applies: the same file under "Common" resolves only the entries of class both.
rc, r = inspect_json("double_common", "Common")
check("other name: exit", rc, 0)
check("other name: common applicable", r.get("classes", {}).get("common", {}).get("applicable"), 0)
check("other name: both resolved", r.get("classes", {}).get("both", {}).get("resolved"), SLOTS["both"])

# A remote library loaded as "common" misses the common entries, but for the names that exist in
# both forms (it exports their remote form under the same name, which is found); the strict message
# names the first missing one.
rc, r = inspect_json("double_remote", "common")
check("wrong kind: exit", rc, 1)
check("wrong kind: missing count", len(r.get("missing", [])), SLOTS["common"] - TWO_FORM_NAMES)
check("wrong kind: classes of the missing", {m["class"] for m in r.get("missing", [])}, {"common"})
first = r.get("missing", [{}])[0].get("name")
message = r.get("strict", {}).get("message") or ""
check("wrong kind: strict names the first missing entry", message.startswith('Unable to load "%s" from shared library. Expected type is ' % first), True)

# One missing entry, in text form and in strict-only form.
rc, out, _ = run(path("double_common_missing"), "common")
check("missing: exit", rc, 1)
check("missing: listed", "  common Field_GetData  " in out, True)
check("missing: count line", "missing entries: 1" in out, True)
check("missing: strict line", 'strict load: fails: Unable to load "Field_GetData" from shared library.' in out, True)
rc, r = inspect_json("double_common_missing", "common", "--strict")
check("strict only: exit", rc, 1)
check("strict only: no per-class detail", "classes" in r, False)
check("strict only: result", r.get("strict", {}).get("succeeds"), False)

# Two names exported at one address.
rc, r = inspect_json("double_alias", "common")
check("shared: exit", rc, 0)
check("shared: groups", [sorted(g) for g in r.get("shared_addresses", [])],
      [["Operator_connect_Field", "Operator_connect_Scoping"]])

# A file that is not there: exit 2 with the library's own message.
rc, out, err = run(path("no_such_library"), "remote")
check("no file: exit", rc, 2)
check("no file: message", err.startswith("tvxapi-inspect: Unable to load " + path("no_such_library")), True)
rc, r = inspect_json("no_such_library", "remote")
check("no file: JSON exit", rc, 2)
check("no file: JSON error", r.get("error", "").endswith("Error code is 126: Module could not be found."), True)

# Usage errors.
check("usage: exit", run()[0], 3)
check("usage: unknown option", run(path("double_common"), "common", "--fast")[0], 3)

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("tvxapi-inspect: all checks passed")
