#!/usr/bin/env python3
"""The rules that keep the catalogue sound, whatever it holds: checked on every build, before
anything is generated. They say nothing about how many entries there are (the audit against the
interface's published figures, check_catalogue.py, does that); they check that each line can be
generated and bound, and that lines that belong together (the two forms of a name, a fast-access
pair, an owned result and the entry that releases it) agree. Each problem names its line.

    rules.py                   check the catalogue
    rules.py --catalogue DIR   check another catalogue directory (a copy being extended)
"""

import argparse
import sys

import catalogue as cat_mod


# --- arrays and their lengths --------------------------------------------------------------------

SCALAR_BASES = ("int", "double", "size_t", "float", "bool", "unsigned int", "long", "long long",
                "unsigned long", "short", "unsigned short")
INTEGER_TYPES = ("int", "size_t", "unsigned int", "long")
LENGTH_NAMES = ("count", "size", "length")


def is_data_pointer(p):
    """A pointer through which an entry reads or writes several values, or writes one: it must be
    marked as an array, be an array's length, or be listed in out=. Single `char*`/`wchar_t*` are
    text, `void*` user data, other pointer types implementation objects."""
    if p.ctype == "handle*":
        return True
    if "(" in p.ctype or p.ctype.endswith("&") or "*" not in p.ctype:
        return False
    base, stars = cat_mod.pointer_base(p.ctype)
    if base in SCALAR_BASES:
        return True
    return stars >= 2 and base in ("char", "unsigned char", "wchar_t", "void")


def is_integer(p, output):
    """An integer parameter: passed by value, or with `output` an int&, int* or size_t* it writes."""
    if not output:
        return p.ctype in INTEGER_TYPES
    base, stars = cat_mod.pointer_base(p.ctype)
    return stars == 1 and base in INTEGER_TYPES


def array_problems(e):
    """What is wrong with an entry's arrays, their lengths and its outputs (messages)."""
    problems = []
    by_name = {p.name: p for p in e.params if p.name}
    outs = e.outputs
    lengths = set()
    for p in e.params:
        if p.counted_by is not None:
            lengths.add(p.counted_by)
            c = by_name.get(p.counted_by)
            if c is None:
                problems.append("the length of %s[%s] is no parameter of the entry" % (p.name, p.count))
            elif c is p:
                problems.append("%s[%s] cannot be its own length" % (p.name, p.count))
            elif not is_integer(c, output=False) and not is_integer(c, output=True):
                problems.append("the length %s of %s is a %s, not an integer" % (c.name, p.name, c.ctype))
        if p.is_array and not is_data_pointer(p) and cat_mod.pointer_base(p.ctype)[1] == 0:
            problems.append("%s is marked as an array but is no pointer (%s)" % (p.name, p.ctype))
    counted = e.options.get("result_count")
    if counted not in (None, "none"):
        lengths.add(counted)
        c = by_name.get(counted)
        if c is None or not (is_integer(c, output=True) or c.ctype in ("int&", "size_t&")):
            problems.append("result_count=%s names no integer output of the entry" % counted)
    if (e.result in cat_mod.ARRAY_RESULTS or e.result == "TvxObject[]") and counted is None:
        problems.append("the %s result needs result_count= (the output receiving its length, or "
                        "none)" % e.result)
    for n in outs:
        if n not in by_name:
            problems.append("out=%s names no parameter of the entry" % n)
        elif "*" not in by_name[n].ctype:
            problems.append("out=%s is no pointer (%s)" % (n, by_name[n].ctype))
    for p in e.params:
        if is_data_pointer(p) and not p.is_array and p.name not in lengths and p.name not in outs:
            problems.append("%s %s: mark the array with its length (name[count], name[3], name[]), "
                            "or list an output in out=" % (p.ctype, p.name or "(unnamed)"))
        if p.name in LENGTH_NAMES and p.name not in lengths:
            problems.append("%s is named as a length but no array or result is counted by it"
                            % p.name)
    return problems


# --- one line ---------------------------------------------------------------------------------

def line_problems(e):
    """What is wrong with one line, whatever the others hold (messages naming the line)."""
    problems = []
    fail = problems.append
    shape = e.shape
    hp = e.handle_positions()
    if e.name.endswith("_for_object") != (shape == "routed"):
        fail("%s: _for_object entries and only they are object-routed" % e.where())
    if shape in ("object", "fast", "release", "routed"):
        if not e.params or e.params[0].ctype not in ("handle", "vector"):
            fail("%s: a %s entry takes a handle first" % (e.where(), shape))
    if shape == "two":
        if len(hp) < 2:
            fail("%s: a two-object entry takes two handles" % e.where())
    if shape == "client" and e.cls != "remote":
        fail("%s: client entries are of the remote class" % e.where())
    if shape == "fast" and "raw" not in e.options:
        fail("%s: fast-access entry without raw=" % e.where())
    if "raw" in e.options and shape != "fast":
        fail("%s: raw= only on fast-access entries" % e.where())
    if "slot" in e.options:
        if not e.name.endswith("_on_client") or e.options["slot"] + "_on_client" != e.name:
            fail("%s: slot= names the plain name of an _on_client export" % e.where())
        if e.cls != "remote":
            fail("%s: a remote form is of the remote class" % e.where())
    if "calls" in e.options and e.cls is not None:
        fail("%s: an export with calls= has no slot and no class" % e.where())
    if e.cls is None and shape not in ("own", "routed"):
        fail("%s: only own-work and routed exports lack a slot" % e.where())
    if shape == "routed":
        base = e.name[: -len("_for_object")]
        if e.options.get("calls") != base:
            fail("%s: a routed entry calls %s" % (e.where(), base))
    for p in e.params:
        if p.ctype in ("TvxObject", "TvxObject*", "Operator", "Workflow", "SharedTvxVector"):
            fail("%s: write handle parameters as 'handle', 'client' or 'vector'" % e.where())
    if e.result.endswith("&"):
        fail("%s: result cannot be a reference" % e.where())
    for problem in array_problems(e):
        fail("%s: %s" % (e.where(), problem))
    return problems


# --- lines that belong together ----------------------------------------------------------------

def catalogue_problems(cat):
    """What is wrong between lines: the two forms of a name, export and slot names, owned results
    and their releasing entries, fast-access pairs."""
    problems = []
    fail = problems.append
    for name, group in cat.slots_by_name.items():
        if len(group) == 2 and sorted(s.cls for s in group) != ["common", "remote"]:
            fail("%s: a name with two slots has a common form and a remote form" % group[1].export.where())
    for e in cat.exports:
        if e.slot is not None and e.slot.form == "remote form" and e.name != e.slot.name + "_on_client":
            fail("%s: the remote form of a two-slot name is exported as name_on_client" % e.where())
        if e.slot is not None and e.slot.form != "remote form" and e.name != e.slot.name:
            fail("%s: export and slot names differ" % e.where())
        b = e.binding
        if b.release is not None and b.release not in cat.by_name:
            fail("%s: released by unknown entry %s" % (e.where(), b.release))
        if b.result in ("handle", "vector", "handles", "owned_string") and b.release is None:
            fail("%s: a result the caller owns needs its releasing entry" % e.where())
        if b.result in ("array", "handles") and b.size_param is None:
            fail("%s: an array result needs its size output" % e.where())
        if b.release == "Quorix_deleteString_for_object" and not e.params[0].is_handle:
            fail("%s: a _for_object release needs the handle that chose the library" % e.where())
        if e.shape == "fast":
            raw = cat.by_name.get(e.options.get("raw"))
            if raw is None or raw.slot is None:
                fail("%s: raw=%s names no entry with a slot" % (e.where(), e.options.get("raw")))
                continue
            if raw.shape != "free" or raw.cls != "common":
                fail("%s: the raw-pointer entry %s is a free entry of the common class" % (e.where(), raw.name))
            if [p.ctype for p in raw.params[1:]] != [p.ctype for p in e.params[1:]] or not raw.params:
                fail("%s: the raw-pointer entry %s takes the handle entry's other arguments" % (e.where(), raw.name))
            if raw.result != e.result:
                fail("%s: the raw-pointer entry %s returns what the handle entry returns" % (e.where(), raw.name))
    return problems


def problems(cat):
    found = []
    for e in cat.exports:
        found += line_problems(e)
    return found + catalogue_problems(cat)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--catalogue", default=cat_mod.CATALOGUE_DIR, help="the catalogue directory")
    args = ap.parse_args()
    try:
        cat = cat_mod.Catalogue(args.catalogue)
    except cat_mod.CatalogueError as exc:
        print("catalogue rule: %s" % exc, file=sys.stderr)
        return 1
    found = problems(cat)
    for p in found:
        print("catalogue rule: " + p, file=sys.stderr)
    if found:
        print("the catalogue breaks %d rule(s): see catalogue/README.md" % len(found), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
