"""tvxapi: TVXClientAPI from Python (ctypes, standard library only).

    import tvxapi
    with tvxapi.Library("/opt/framework/libframework", "common"):    # .so / .dll appended
        with tvxapi.Field_new(1, 3, "Nodal") as field:               # an Object, released at the end
            tvxapi.CSField_SetData(field, [1.0, 2.0, 3.0])
            values = tvxapi.CSField_GetData(field)                   # Array('d', [1.0, 2.0, 3.0])
    try:
        tvxapi.Operator_run(None)
    except tvxapi.Error as e:
        print(e.size, e.message)

Every entry of the library is a function of this module under its own name. The calling rules,
the same for every entry:

- The error pair is not passed: a failure raises Error (.message, .size); the library's message
  has been copied and freed. Entries without an error pair return what the library returns.
- Handle parameters take an Object (Operator, Workflow) or None, vector parameters a Vector or
  None: never an integer (a raw pointer made elsewhere enters as Object.from_address(address)),
  never a released handle. An array of handles is one list.
- An array whose length the entry takes is passed alone: the length comes from it (a sequence,
  array.array, buffer or numpy array; a buffer of the element type is passed in place). `const
  char*` takes str (encoded UTF-8) or bytes. Bad input raises TypeError or ValueError naming the
  entry and the parameter, before the call.
- Results: a new handle comes back as an Object, Operator, Workflow or Vector that the caller
  owns (None for null); an array of handles as a list of Objects; text as str (an owned text is
  given back to its library after copying; a library that does not take it back is reported with
  a ReleaseWarning); numbers with a size output as an Array (a copy;
  array.array with numpy()); other values as ctypes gives them.
- Output parameters (`int&`, `double&`) are not passed: the function returns a tuple, the result
  first (None for a void entry), then the outputs in order. A size output is not passed either:
  it is the length of the returned Array.
- Handle objects release themselves once: close(), the end of a `with` block, or their finalizer
  as a last resort; detach() gives the raw pointer up to the caller. Release handles before
  unloading the library that made them: past that, a handle's calls and close() raise Error
  ("Invalid API pointer ...") and its finalizer does nothing.

The library is the file named by the environment variable TVXAPI_LIBRARY, else the one installed
with this package, else <source>/build/bin in a source tree, else the system loader's search.
"""

from . import _runtime
from ._runtime import (Array, Error, Handle, Library, Object, Operator, ReleaseWarning, Vector, Workflow,
                       library, library_path, load, unload)

# The compiled path where it is built (every entry a C function, handles of its own types), else
# the ctypes path: the same rules and messages either way. PATH says which.
_native = _runtime.native()
if _native is not None:
    PATH = "compiled"
    Handle, Object, Operator, Workflow, Vector = (_native.Handle, _native.Object, _native.Operator,
                                                  _native.Workflow, _native.Vector)
    globals().update({row.name: getattr(_native, row.name) for row in _runtime.ENTRIES})
else:
    PATH = "ctypes"
    globals().update(_runtime.functions())

__all__ = ["Array", "Error", "Handle", "Library", "Object", "Operator", "ReleaseWarning", "Vector", "Workflow",
           "library", "library_path", "load", "unload"] + [row.name for row in _runtime.ENTRIES]
