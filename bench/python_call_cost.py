#!/usr/bin/env python3
"""What a call through the Python package costs, per call in ns (best of 5 runs), on the benchmark
implementation library whose entries do nothing: an object entry, an entry taking an array with
its length, a handle-returning entry with its release, and ctypes calling the same C entry directly
(the floor for a ctypes binding).

    python_call_cost.py BIN_DIR [PACKAGE_DIR]   (PACKAGE_DIR: where tvxapi is, default the sources')
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

tvxapi.load(os.path.join(BIN, "tvx_bench_impl"), "common")
values = [1.0, 2.0, 3.0]
counted = "count" in _runtime.ROWS["CSField_SetData"].kinds and _runtime.ROWS["CSField_SetData"].kinds[1] == "count"
set_data = (lambda: tvxapi.CSField_SetData(None, values)) if counted else \
    (lambda: tvxapi.CSField_SetData(None, 3, values))
direct = _runtime.function("CSField_GetNumberOfComponents")
size, message = ctypes.c_int(0), ctypes.c_void_p()
size_ref, message_ref = ctypes.byref(size), ctypes.byref(message)

CASES = {
    "ctypes direct": lambda: direct(None, size_ref, message_ref),
    "object entry": lambda: tvxapi.CSField_GetNumberOfComponents(None),
    "array entry": set_data,
    "handle entry": lambda: tvxapi.Field_new(1, 3, "Nodal"),
}
N = 20000
for name, call in CASES.items():
    best = min(timeit.repeat(call, number=N, repeat=5))
    print("%-14s %7.0f ns" % (name, best / N * 1e9))
