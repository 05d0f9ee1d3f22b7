#!/usr/bin/env python3
"""The compiled path of tvxapi against the interpreter's floor and raw ctypes, in one run: per call
in ns, best of 5. The floor is a compiled function that does nothing; raw ctypes calls the same C
entry with its arguments built beforehand. Cases: an object entry, a fast-access entry, a handle
made and released (on the benchmark implementation library, whose entries do nothing), and reading
a field of 10^6 values (on the in-process sample, which keeps them).

    python_native_cost.py BIN_DIR [PACKAGE_DIR]   (PACKAGE_DIR: where tvxapi is, default the sources')
"""
import ctypes
import os
import sys
import timeit

BIN = os.path.abspath(sys.argv[1])
sys.path.insert(0, sys.argv[2] if len(sys.argv) > 2 else
                os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "bindings", "python"))
os.environ.setdefault("TVXAPI_LIBRARY", os.path.join(BIN, "libTVXClientAPI.so"))

import tvxapi  # noqa: E402
from tvxapi import _runtime  # noqa: E402

if tvxapi.PATH != "compiled":
    sys.exit("the compiled module is not built (tvxapi.PATH is %r)" % tvxapi.PATH)


def best(statement, number, **names):
    """ns per run of `statement`, inlined in timeit's loop (no function of its own around it)."""
    return min(timeit.repeat(statement, number=number, repeat=5, globals=names)) / number * 1e9


def raw(name, *args):
    """A ctypes call of `name` with its arguments made once, the error pair included."""
    size, message = ctypes.c_int(0), ctypes.c_void_p()
    return best("f(*a)", 200000, f=_runtime.function(name), a=args + (ctypes.byref(size), ctypes.byref(message)))


rows = []
floor = best("f()", 200000, f=tvxapi._native.nothing)
with tvxapi.Library(os.path.join(BIN, "tvx_bench_impl"), "common"):
    with tvxapi.Operator_new("bench") as op, tvxapi.Field_new(3, 10, "Nodal") as field:
        tvxapi.CSField_GetNumberOfComponents(field)  # fills the fast-access cache
        rows.append(("object entry (Operator_run)", best("f(a)", 200000, f=tvxapi.Operator_run, a=op),
                     raw("Operator_run", ctypes.c_void_p(op.handle))))
        rows.append(("fast-access entry (CSField_GetNumberOfComponents)",
                     best("f(a)", 200000, f=tvxapi.CSField_GetNumberOfComponents, a=field),
                     raw("CSField_GetNumberOfComponents", ctypes.c_void_p(field.handle))))
        size, message = ctypes.c_int(0), ctypes.c_void_p()
        pair = (ctypes.byref(size), ctypes.byref(message))
        rows.append(("create + release (Field_new, close)",
                     best("f(3, 10, 'Nodal').close()", 100000, f=tvxapi.Field_new),
                     best("r(m(3, 10, b'Nodal', *p), *p)", 100000, r=_runtime.function("Quorix_delete_shared_object"),
                          m=_runtime.function("Field_new"), p=pair)))
with tvxapi.Library(os.path.join(BIN, "tvx_sample_inprocess"), "common"):
    with tvxapi.Field_new(1, 1000000, "Nodal") as field:
        tvxapi.CSField_SetData(field, [float(i) for i in range(1000000)])
        get = _runtime.function("CSField_GetData")
        count = ctypes.c_int(0)
        args = (ctypes.c_void_p(field.handle), ctypes.byref(count), ctypes.byref(size), ctypes.byref(message))
        rows.append(("reading 10^6 values (CSField_GetData)", best("f(a)", 50, f=tvxapi.CSField_GetData, a=field),
                     best("g(*a)", 50, g=get, a=args)))

print("%-52s %10s %10s %10s %12s %12s" % ("call", "floor ns", "compiled", "raw ctypes", "vs floor", "ctypes/comp"))
for name, compiled, ctypes_time in rows:
    print("%-52s %10.0f %10.0f %10.0f %11.1fx %11.1fx" % (name, floor, compiled, ctypes_time, compiled / floor,
                                                          ctypes_time / compiled))
