"""python3 -m tvxapi info PATH NAME [--strict] [--json]

How an implementation library resolves under NAME, as tvxapi-inspect reports it: per availability
class the entries that apply and resolve, every missing entry with its type, the entries exported
at one address, and what a strict load says. Exit status 0: everything applicable resolved; 1:
entries are missing; 2: the file cannot be loaded (with TVXClientAPI's message); 3: usage.
"""
import ctypes
import json
import os
import sys

from . import _runtime
from ._slots import SLOTS

CLASSES = ("common", "both", "remote")  # in the order the report lists them
SUFFIX = ".dll" if os.name == "nt" else ".so"


def applies(cls, name):
    """The loader's rule: class both always, common and remote only under exactly that name."""
    return cls == "both" or cls == name


def load_through_library(path, name, strict):
    """What a load through TVXClientAPI says: None when it succeeded (it is unloaded again)."""
    try:
        _runtime.load(path, name, strict)
    except _runtime.Error as e:
        return e.message or "load failed"
    try:
        _runtime.unload(name)
    except _runtime.Error:
        pass
    return None


def inspect(module, name):
    classes = {c: {"applicable": 0, "resolved": 0} for c in CLASSES}
    missing, by_address = [], {}
    for slot, (entry, cls, _) in enumerate(SLOTS):
        if not applies(cls, name):
            continue
        classes[cls]["applicable"] += 1
        try:
            address = ctypes.cast(getattr(module, entry), ctypes.c_void_p).value
        except AttributeError:
            missing.append(slot)
            continue
        classes[cls]["resolved"] += 1
        by_address.setdefault(address, []).append(slot)
    shared = [slots for address, slots in sorted(by_address.items()) if len(slots) > 1]
    return classes, missing, shared


def print_text(path, name, classes, missing, shared, strict_message, strict_only):
    print('%s loaded as "%s"' % (path, name))
    if not strict_only:
        print("  %-8s %10s %9s %8s" % ("class", "applicable", "resolved", "missing"))
        for cls in CLASSES:
            c = classes[cls]
            if c["applicable"] == 0:
                print("  %-8s %10s" % (cls, "-"))
            else:
                print("  %-8s %10d %9d %8d" % (cls, c["applicable"], c["resolved"], c["applicable"] - c["resolved"]))
        print("missing entries: %d" % len(missing))
        for slot in missing:
            entry, cls, kind = SLOTS[slot]
            print("  %-6s %s  %s" % (cls, entry, kind))
        print("entries sharing one address: %d" % len(shared))
        for group in shared:
            print(" " + "".join(" " + SLOTS[slot][0] for slot in group))
    print("strict load: succeeds" if strict_message is None else "strict load: fails: %s" % strict_message)


def report_json(path, name, classes, missing, shared, strict_message, strict_only):
    report = {"path": path, "name": name}
    if not strict_only:
        report["classes"] = {c: dict(classes[c], missing=classes[c]["applicable"] - classes[c]["resolved"])
                             for c in CLASSES}
        report["missing"] = [{"name": SLOTS[s][0], "class": SLOTS[s][1], "type": SLOTS[s][2]} for s in missing]
        report["shared_addresses"] = [[SLOTS[s][0] for s in group] for group in shared]
    report["strict"] = {"succeeds": strict_message is None, "message": strict_message}
    return report


def info(arguments):
    options = [a for a in arguments if a.startswith("--")]
    positional = [a for a in arguments if not a.startswith("--")]
    if len(positional) != 2 or any(o not in ("--strict", "--json") for o in options):
        return usage()
    path, name = positional
    strict_only, as_json = "--strict" in options, "--json" in options
    problem = load_through_library(path, name, strict=False)
    if problem is not None:
        if as_json:
            print(json.dumps({"path": path, "name": name, "error": problem}))
        else:
            sys.stderr.write("tvxapi info: %s\n" % problem)
        return 2
    try:
        module = ctypes.CDLL(path + SUFFIX)
    except OSError:
        sys.stderr.write("tvxapi info: %s could not be loaded a second time\n" % (path + SUFFIX))
        return 2
    classes, missing, shared = inspect(module, name)
    strict_message = load_through_library(path, name, strict=True)
    if as_json:
        print(json.dumps(report_json(path, name, classes, missing, shared, strict_message, strict_only)))
    else:
        print_text(path, name, classes, missing, shared, strict_message, strict_only)
    return 0 if not missing else 1


def usage():
    sys.stderr.write("usage: python3 -m tvxapi info PATH NAME [--strict] [--json]\n"
                     "  PATH   the implementation library without its suffix (as given to load())\n"
                     "  NAME   the name it would be loaded under: \"common\", \"remote\" or any other\n")
    return 3


def main(argv):
    if len(argv) < 2 or argv[1] != "info":
        return usage()
    return info(argv[2:])


if __name__ == "__main__":
    sys.exit(main(sys.argv))
