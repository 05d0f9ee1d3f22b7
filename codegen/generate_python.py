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
STUB_OUTPUT = "bindings/python/tvxapi/__init__.pyi"
SLOTS_OUTPUT = "bindings/python/tvxapi/_slots.py"

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


CLASS_NAMES = {"TvxObject": "Object", "Operator": "Operator", "Workflow": "Workflow"}
VISIBLE = ("handle", "vector", "handles", "array", "value")  # what a caller passes


def docstring(export, kinds, arrays, names, result, detail):
    """An entry's docstring: what a caller passes and gets, the notes on the parameters that are
    not plain values, and the C declaration."""
    shown = [n for n, k in zip(names, kinds) if k in VISIBLE]
    returned = {"void": "None", "value": "value", "handle": "%s or None" % CLASS_NAMES.get(detail, ""),
                "vector": "Vector or None", "handles": "list of Object", "string": "str or None",
                "owned_string": "str or None", "array": "Array of %s or None" % detail}[result]
    outputs = [n for n, k in zip(names, kinds) if k == "out"]
    if outputs:
        returned = "(%s, %s)" % (returned, ", ".join(outputs))
    lines = ["%s(%s) -> %s%s" % (export.name, ", ".join(shown), returned, "; raises tvxapi.Error" if export.err else ""), ""]
    for i, (kind, name) in enumerate(zip(kinds, names)):
        if kind in ("handle", "vector"):
            lines.append("%s: a tvxapi.%s or None" % (name, "Vector" if kind == "vector" else "Object"))
        elif kind == "handles":
            lines.append("%s: a sequence of tvxapi.Object (or None)" % name)
        elif kind == "array":
            what = {"text": "a sequence of str or bytes", "byte": "str (as UTF-8) or bytes",
                    "double": "a sequence or buffer of numbers"}.get(arrays[i], "a sequence or buffer of integers")
            lines.append("%s: %s" % (name, what))
        elif kind == "count":
            lines.append("%s: not passed, the length of %s" % (name, " and ".join(names[a] for a in arrays[i])))
    lines.append("C: " + declaration(export))
    return "\n".join(lines)


def row_fields(export, raw_arrays):
    """What a row holds, before it is written out."""
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
    return b, kinds, arrays, argtypes, result_detail(export, b)


def row(export, raw_arrays):
    b, kinds, arrays, argtypes, detail = row_fields(export, raw_arrays)
    names = param_names(export)
    return "    E(%r, %s, %s, %s, %s, %s,\n      %r, %r, %r, %s, %s, %r,\n      %r)," % (
        export.name, result_type(export, b.result), _tuple(argtypes), _tuple(["%r" % k for k in kinds]),
        _tuple(["%r" % n for n in names]), _tuple([repr(a) for a in arrays]), b.result,
        detail, b.release, export.err, export.shape == "release", declaration(export),
        docstring(export, kinds, arrays, names, b.result, detail))


PREAMBLE = '''"""The entries of TVXClientAPI as rows for the runtime (_runtime.py), in catalogue order.

Each row: name, ctypes result type, ctypes argument types (without the error pair), parameter
kinds, parameter names, arrays (per parameter: the element of an `array` or `handles` parameter,
the positions of the arrays a `count` parameter counts), result kind, result detail (handle class
or array element type), the entry that releases an owned result, whether the entry ends with the
error pair, whether it ends the handle it takes first, its C declaration and its docstring.

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
                           "declaration doc")
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


# --- the type stubs (tvxapi/__init__.pyi) -------------------------------------------------------

INT_TYPES = {"int", "unsigned int", "short", "unsigned short", "long", "unsigned long", "long long",
             "unsigned long long", "size_t", "signed char", "unsigned char"}


def value_hint(ctype, result=False):
    """What a value parameter takes, or a value result gives, as a type hint."""
    t = value_type(ctype)
    if t == "c_bool":
        return "bool"
    if t in ("c_double", "c_float"):
        return "float"
    if t == "c_char":
        return "bytes"
    if t == "c_char_p":
        return "Optional[bytes]" if result else "Union[str, bytes, int, None]"
    if t == "c_wchar_p":
        return "Optional[str]" if result else "Union[str, int, None]"
    if t == "c_void_p":
        return "Optional[int]" if result else "Any"
    if t.startswith("POINTER"):
        return "Any"
    return "int"


ARRAY_HINTS = {"text": "Optional[Sequence[Union[str, bytes]]]", "byte": "Union[str, bytes, bytearray, memoryview, None]",
               "double": "Numbers", "handle": "Optional[Sequence[Optional[Object]]]"}


def stub(export, raw_arrays):
    b, kinds, arrays, _, detail = row_fields(export, raw_arrays)
    names = param_names(export)
    params = []
    for i, (kind, name) in enumerate(zip(kinds, names)):
        p = export.params[i]
        if kind == "handle":
            params.append("%s: Optional[Object]" % name)
        elif kind == "vector":
            params.append("%s: Optional[Vector]" % name)
        elif kind in ("handles", "array"):
            params.append("%s: %s" % (name, ARRAY_HINTS.get(arrays[i], "Integers")))
        elif kind == "value":
            params.append("%s: %s" % (name, value_hint(p.ctype)))
    result = b.result
    hint = {"void": "None", "handle": "Optional[%s]" % CLASS_NAMES.get(detail, "Object"),
            "vector": "Optional[Vector]", "handles": "Optional[List[Optional[Object]]]",
            "string": "Optional[str]", "owned_string": "Optional[str]", "array": "Optional[Array]"}.get(result)
    if hint is None:
        hint = value_hint(export.result, result=True)
    outs = [value_hint(cat_mod.pointer_base(export.params[i].ctype)[0]) for i, k in enumerate(kinds) if k == "out"]
    if outs:
        hint = "Tuple[%s]" % ", ".join([hint] + outs)
    doc = docstring(export, kinds, arrays, names, b.result, detail)
    return ["def %s(%s) -> %s:" % (export.name, ", ".join(params), hint),
            '    """%s"""' % doc.replace("\\", "\\\\").replace('"""', '\\"\\"\\"'), "    ...", ""]


STUB_PREAMBLE = '''"""Type stubs of tvxapi: the package's classes and functions, and every entry of TVXClientAPI
with its parameters, result and docstring."""
import array
from types import TracebackType
from typing import Any, List, Optional, Sequence, Tuple, Type, Union

# A sequence of numbers, or any object with the buffer protocol (array.array, numpy arrays, ...).
Numbers = Any
Integers = Any


class Error(Exception):
    message: str
    size: int
    def __init__(self, message: str, size: int) -> None: ...


class ReleaseWarning(RuntimeWarning): ...


class Handle:
    release_entry: Optional[str]
    def __init__(self, handle: Optional[int]) -> None: ...
    @classmethod
    def from_address(cls, address: int) -> "Handle": ...
    @property
    def handle(self) -> Optional[int]: ...
    @property
    def closed(self) -> bool: ...
    def detach(self) -> Optional[int]: ...
    def close(self) -> None: ...
    def __enter__(self) -> "Handle": ...
    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> bool: ...


class Object(Handle):
    def __enter__(self) -> "Object": ...


class Operator(Object):
    def __enter__(self) -> "Operator": ...


class Workflow(Object):
    def __enter__(self) -> "Workflow": ...


class Vector(Handle):
    def __enter__(self) -> "Vector": ...


class Array(array.array):  # type: ignore[type-arg]
    def numpy(self) -> Any: ...


class Library:
    name: str
    def __init__(self, path: str, name: str, strict: bool = ...) -> None: ...
    @property
    def loaded(self) -> bool: ...
    def unload(self) -> None: ...
    def __enter__(self) -> "Library": ...
    def __exit__(self, kind: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> bool: ...


PATH: str  # "compiled" or "ctypes": which path the entries take


def library() -> Any: ...
def library_path() -> str: ...
def load(path: str, name: str, strict: bool = ...) -> None: ...
def unload(name: str) -> None: ...

'''


def gen_stub(cat, banner):
    raw_arrays = {e.binding.release for e in cat.exports if e.binding.result == "handles"}
    out = ["# " + banner, STUB_PREAMBLE.rstrip("\n"), ""]
    for e in cat.exports:
        out += stub(e, raw_arrays)
    return "\n".join(out)


def gen_slots(cat, banner, slot_type):
    """The entry table's slots, for `python3 -m tvxapi info`: name, availability class, the readable
    type a missing entry is reported with."""
    out = ["# " + banner, '"""The slots of the entry table, in order: (name, class, readable function type)."""', "",
           "SLOTS = ("]
    out += ["    (%r, %r, %r)," % (s.name, s.cls, slot_type(s)) for s in cat.slots]
    out += [")", ""]
    return "\n".join(out)


def outputs(cat, banner, slot_type):
    return {OUTPUT: gen_entries(cat, banner), STUB_OUTPUT: gen_stub(cat, banner),
            SLOTS_OUTPUT: gen_slots(cat, banner, slot_type)}


if __name__ == "__main__":
    import sys
    sys.stdout.write(gen_entries(cat_mod.Catalogue(), "preview"))
