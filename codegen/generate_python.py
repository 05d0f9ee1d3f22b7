"""The entry table of the Python package `tvxapi` (bindings/python/tvxapi/_entries.py).

One row per export: its ctypes result and argument types, what each parameter and the result are
to a caller (the kinds of catalogue.Binding), the entry that releases an owned result, and whether
the error pair ends the parameter list. The package's runtime (_runtime.py) turns each row into a
Python function; nothing here is written per entry. Standard library only.
"""

import re

import c_decl
import catalogue as cat_mod

OUTPUT = "bindings/python/tvxapi/_entries.py"

# Scalars passed by value, and the element types of pointers a caller may fill from a sequence.
SCALARS = {
    "int": "c_int", "unsigned int": "c_uint", "short": "c_short", "unsigned short": "c_ushort",
    "long": "c_long", "unsigned long": "c_ulong", "long long": "c_longlong",
    "unsigned long long": "c_ulonglong", "size_t": "c_size_t", "double": "c_double",
    "float": "c_float", "bool": "c_bool", "char": "c_char", "unsigned char": "c_ubyte",
    "signed char": "c_byte",
}
TEXTS = {"char": "c_char_p", "wchar_t": "c_wchar_p"}
RESULTS_BY_POINTER = ("handle", "vector", "handles", "string", "owned_string", "array")


_base = cat_mod.pointer_base  # `const int* const` -> ("int", 1)


def value_type(ctype):
    """The ctypes type of a parameter or result passed as it is."""
    if "(" in ctype:
        return "c_void_p"  # a function pointer: a CFUNCTYPE object or an address
    base, stars = _base(ctype)
    if stars == 0:
        return SCALARS.get(base, "c_void_p")
    if stars == 1 and base in TEXTS:
        return TEXTS[base]
    if stars == 1 and base in SCALARS:
        return "POINTER(%s)" % SCALARS[base]
    return "c_void_p"


def param_type(param, kind):
    if kind in ("handle", "vector", "handles"):
        return "c_void_p"
    if kind == "array" and cat_mod.array_element(param) == "text":
        return "c_void_p"  # an array of char pointers
    if kind == "count":
        return SCALARS[param.ctype]
    if kind in ("out", "size"):
        base, _ = _base(param.ctype)
        return "POINTER(%s)" % SCALARS[base]
    return value_type(param.ctype)


def result_type(export, kind):
    if kind == "void":
        return "None"
    if kind in RESULTS_BY_POINTER:
        return "c_void_p"
    return value_type(export.result)


def result_detail(export, binding):
    """What a result kind leaves open: the handle class, or the element type of an array."""
    if binding.result in ("handle", "handles"):
        return export.handle_class
    if binding.result == "array":
        return binding.element(export)
    return None


declaration = c_decl.declaration
param_names = c_decl.param_names


def _tuple(items):
    return "(%s)" % (items[0] + "," if len(items) == 1 else ", ".join(items))


def row(export, raw_arrays):
    b = export.binding
    kinds = [k for _, k in b.params]
    arrays = [None] * len(kinds)
    for i, k in enumerate(kinds):
        if k in ("array", "handles"):
            arrays[i] = cat_mod.array_element(b.params[i][0])
        elif k == "count":
            arrays[i] = tuple(b.counted(i))
    if export.name in raw_arrays:
        # This entry frees an array the library made: it takes that array and its count as they are.
        kinds, arrays = ["value" for _ in kinds], [None] * len(kinds)
    argtypes = [param_type(p, k) for (p, _), k in zip(b.params, kinds)]
    detail = result_detail(export, b)
    return "    E(%r, %s, %s, %s, %s, %s,\n      %r, %r, %r, %s, %s, %r)," % (
        export.name, result_type(export, b.result), _tuple(argtypes), _tuple(["%r" % k for k in kinds]),
        _tuple(["%r" % n for n in param_names(export)]), _tuple([repr(a) for a in arrays]), b.result,
        detail, b.release, export.err, export.shape == "release", declaration(export))


PREAMBLE = '''"""The entries of TVXClientAPI as rows for the runtime (_runtime.py), in catalogue order.

Each row: name, ctypes result type, ctypes argument types (without the error pair), parameter
kinds, parameter names, arrays (per parameter: the element of an `array` or `handles` parameter,
the positions of the arrays a `count` parameter counts), result kind, result detail (handle class
or array element type), the entry that releases an owned result, whether the entry ends with the
error pair, whether it ends the handle it takes first, and its C declaration.

Parameter kinds: handle, vector (borrowed handles), handles (an array of handles), array (an input
array of numbers, bytes or texts), count (the length of arrays, taken from them), out (a scalar
output), size (the length of the array or string result), value (passed as it is). Result kinds:
void, value, handle, vector, handles, string (kept by the library), owned_string (handed to the
caller), array (numbers kept by the library).
"""
from collections import namedtuple
from ctypes import (POINTER, c_bool, c_byte, c_char, c_char_p, c_double, c_float, c_int, c_long,
                    c_longlong, c_short, c_size_t, c_ubyte, c_uint, c_ulong, c_ulonglong, c_ushort,
                    c_void_p, c_wchar_p)

Entry = namedtuple("Entry", "name restype argtypes kinds names arrays result detail release err consumes "
                           "declaration")
E = Entry

ENTRIES = (
'''


def gen_entries(cat, banner):
    raw_arrays = {e.binding.release for e in cat.exports if e.binding.result == "handles"}
    out = ["# " + banner, PREAMBLE.rstrip("\n")]
    for e in cat.exports:
        out.append(row(e, raw_arrays))
    out += [")", "", "del E", ""]
    return "\n".join(out)


def outputs(cat, banner):
    return {OUTPUT: gen_entries(cat, banner)}


if __name__ == "__main__":
    import sys
    sys.stdout.write(gen_entries(cat_mod.Catalogue(), "preview"))
