#!/usr/bin/env python3
"""Every parameter is named: no numbered placeholder (arg2, arg3, ...) in the public headers, the
implementation header, the bindings or the tracer; and one catalogue line's names reach the C
header, the C++ function, the Python docstring and, through tvxtrace, the call log.

    names_test.py <source dir> <bin dir> [<tvxtrace>]
"""
import glob
import os
import re
import subprocess
import sys
import tempfile

source, bindir = sys.argv[1], sys.argv[2]
tracer = sys.argv[3] if len(sys.argv) > 3 else None
sys.path.insert(0, os.path.join(source, "codegen"))
import catalogue  # noqa: E402

failures = []
PLACEHOLDER = re.compile(r"\barg\d+\b")

# No placeholder anywhere a caller or an implementer reads.
generated = (glob.glob(os.path.join(source, "include", "**", "*.h*"), recursive=True)
             + glob.glob(os.path.join(source, "bindings", "python", "tvxapi", "*.py*"))
             + glob.glob(os.path.join(source, "bindings", "python", "native", "*.gen.*"))
             + glob.glob(os.path.join(source, "programs", "tvxtrace", "*.gen.cpp")))
for path in generated:
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if PLACEHOLDER.search(line):
                failures.append("%s:%d: %s" % (os.path.relpath(path, source), number, line.strip()))
unnamed = [(e.name, i) for e in catalogue.Catalogue().exports for i, p in enumerate(e.params)
           if not p.name and p.ctype not in ("handle", "client", "vector", "handle*")]
if unnamed:
    failures.append("unnamed parameters in the catalogue: %s" % unnamed[:10])

# One line, followed: TimeFreqSupport_GetStepAndSubStep(handle, int cumulative_index, int& step, int& sub_step).
entry = "TimeFreqSupport_GetStepAndSubStep"
line = next(e for e in catalogue.Catalogue().exports if e.name == entry)
names = [p.name for p in line.params if p.name]
header = open(os.path.join(source, "include", "tvx", "%s.h" % line.family), encoding="utf-8").read()
declared = re.search(r"\b%s\(([^)]*)\)" % entry, header)
for name in names:
    if not declared or not re.search(r"\b%s\b" % name, declared.group(1)):
        failures.append("C header: %s does not declare %s" % (entry, name))
cpp = open(os.path.join(source, "include", "TVXClientAPI.hpp"), encoding="utf-8").read()
if not re.search(r"\b%s\([^)]*\bint cumulative_index\b" % entry, cpp):
    failures.append("C++ binding: %s does not take cumulative_index" % entry)
sys.path.insert(0, os.path.join(source, "bindings", "python"))
os.environ.setdefault("TVXAPI_LIBRARY", os.path.join(bindir, "libTVXClientAPI.so"))
import tvxapi  # noqa: E402
doc = getattr(tvxapi, entry).__doc__
if not doc.startswith("%s(obj, cumulative_index) -> (value, step, sub_step)" % entry):
    failures.append("Python docstring: %r" % doc.splitlines()[0])
if tracer:
    with tempfile.TemporaryDirectory() as out:
        code = "import tvxapi\ntry:\n    tvxapi.%s(None, 2)\nexcept tvxapi.Error:\n    pass\n" % entry
        env = dict(os.environ, PYTHONPATH=os.path.join(source, "bindings", "python"))
        subprocess.run([tracer, "-o", out, "--library", os.path.join(bindir, "libTVXClientAPI.so"), "--",
                        sys.executable, "-c", code], check=True, capture_output=True, env=env, timeout=120)
        log = open(os.path.join(out, "calls.log")).read()
        if not re.search(r"%s\(null, 2, &step, &sub_step\) -> 0 step=0 sub_step=0 " % entry, log):
            failures.append("tracer: %r" % log)

if failures:
    print("\n".join(failures))
    sys.exit(1)
print("every parameter named; %s's names reach the headers, both bindings and the tracer" % entry)
