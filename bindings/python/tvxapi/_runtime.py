"""The hand-written part of tvxapi: finding and loading TVXClientAPI, the error pair, handle
objects that release themselves, and the Python function made from each row of _entries.py.

Everything per entry comes from the rows; the code here is one pattern per parameter kind and one
per result kind.
"""

import array
import ctypes
import gc
import os
import sys
import threading
import warnings
from ctypes import POINTER, byref, c_char_p, c_int, c_void_p, c_wchar_p, cast

from ._entries import ENTRIES

ENVIRONMENT_VARIABLE = "TVXAPI_LIBRARY"

if os.name == "nt":
    LIBRARY_NAMES = ("TVXClientAPI.dll",)
elif sys.platform == "darwin":
    LIBRARY_NAMES = ("libTVXClientAPI.dylib",)
else:
    LIBRARY_NAMES = ("libTVXClientAPI.so", "libTVXClientAPI.so.0")

_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
ROWS = {row.name: row for row in ENTRIES}


# --- errors ------------------------------------------------------------------------------------

class Error(Exception):
    """A failure reported through an entry's error pair.

    `message` is the text (copied; the library's buffer has been freed), `size` the size the entry
    reported: the text's length in wchar_t including the terminator, or -1 when the library had no
    memory left for a text."""

    def __init__(self, message, size):
        super().__init__(message)
        self.message = message
        self.size = size

    def __str__(self):
        return self.message


if os.name == "nt":
    _kernel32 = ctypes.WinDLL("kernel32")
    _kernel32.GetProcessHeap.argtypes = ()
    _kernel32.GetProcessHeap.restype = c_void_p
    _kernel32.HeapFree.argtypes = (c_void_p, ctypes.c_uint32, c_void_p)
    _kernel32.HeapFree.restype = c_int

    def free_message(address):
        """Releases an error message the way TVX_FreeErrorMessage does: the process heap."""
        _kernel32.HeapFree(_kernel32.GetProcessHeap(), 0, address)
else:
    _libc = ctypes.CDLL(None)
    _libc.free.argtypes = (c_void_p,)
    _libc.free.restype = None

    def free_message(address):
        """Releases an error message the way TVX_FreeErrorMessage does: the C runtime's free."""
        _libc.free(address)


class ReleaseWarning(RuntimeWarning):
    """A call succeeded and handed out text, which its library then did not take back (it lacks
    Quorix_deleteString, or reported a failure): the memory stays with the library. The call still
    returns its copy of the text; turn the warning into an error with the warnings filters."""


class ErrorPair:
    """The trailing (int* error_size, wchar_t** error_message) of one call."""

    __slots__ = ("size", "message")

    def __init__(self):
        self.size = c_int(0)
        self.message = c_void_p()

    def args(self):
        return (byref(self.size), byref(self.message))

    def take(self):
        """The failure as an Error, its message copied and then freed; None after a success."""
        size = self.size.value
        if size == 0:
            return None
        address = self.message.value
        text = ""
        if address:
            self.message.value = None
            try:
                text = ctypes.wstring_at(address)
            finally:
                free_message(address)
        return Error(text, size)


# --- the library -------------------------------------------------------------------------------

def library_candidates():
    """Where TVXClientAPI is looked for, in order:

    1. the path in the environment variable TVXAPI_LIBRARY (when set, the only candidate);
    2. next to an installed package: the path that `cmake --install` wrote into _installed.py,
       relative to the package directory (e.g. <prefix>/lib/libTVXClientAPI.so);
    3. a build tree of the sources the package sits in: <source>/build/bin (build-win/bin for the
       DLL), from <source>/bindings/python/tvxapi (three directories up);
    4. the names alone, for the system loader's search (LD_LIBRARY_PATH, PATH, ...)."""
    explicit = os.environ.get(ENVIRONMENT_VARIABLE)
    if explicit:
        return [explicit]
    found = []
    try:
        from . import _installed
        found.append(os.path.normpath(os.path.join(_PACKAGE_DIR, _installed.LIBRARY)))
    except ImportError:
        pass
    source = os.path.normpath(os.path.join(_PACKAGE_DIR, os.pardir, os.pardir, os.pardir))
    build = "build-win" if os.name == "nt" else "build"
    found += [os.path.join(source, build, "bin", n) for n in LIBRARY_NAMES]
    return found + list(LIBRARY_NAMES)


_library = None
_library_path = None
_functions = {}
_lock = threading.Lock()


def _open_library():
    tried = []
    for candidate in library_candidates():
        is_path = os.path.dirname(candidate) != ""
        if is_path and not os.path.exists(candidate):
            tried.append("%s (no such file)" % candidate)
            continue
        try:
            return ctypes.CDLL(candidate), candidate
        except OSError as e:
            tried.append("%s (%s)" % (candidate, e))
    raise OSError("TVXClientAPI not found; set %s to its path. Tried: %s"
                  % (ENVIRONMENT_VARIABLE, "; ".join(tried)))


def library():
    """The loaded TVXClientAPI (a ctypes.CDLL), loaded on first use."""
    global _library, _library_path
    if _library is None:
        with _lock:
            if _library is None:
                _library, _library_path = _open_library()
    return _library


def library_path():
    """The path or name TVXClientAPI was loaded from."""
    library()
    return _library_path


def function(name):
    """The ctypes function of an entry, with its argument and result types set."""
    f = _functions.get(name)
    if f is None:
        row = ROWS[name]
        f = getattr(library(), name)
        f.argtypes = row.argtypes + ((POINTER(c_int), POINTER(c_void_p)) if row.err else ())
        f.restype = row.restype
        _functions[name] = f
    return f


# --- handles -----------------------------------------------------------------------------------

class Handle:
    """A handle the caller owns, released once by its releasing entry: by close(), at the end of a
    `with` block, or when the object is collected (a safety net: errors are then ignored).
    detach() gives up ownership and returns the raw pointer.

    Entries take handle objects only, never integers: a raw address made elsewhere in the process
    (by C code) enters through from_address(), as a borrowed handle this object never releases."""

    __slots__ = ("_handle", "_owned", "__weakref__")
    release_entry = None

    def __init__(self, handle):
        self._handle = int(handle) if handle else None
        self._owned = True

    @classmethod
    def from_address(cls, address):
        """A borrowed handle for a raw TvxObject* (an int) that someone else owns and releases:
        entries take it like any handle; close() and collection forget it without releasing."""
        if not isinstance(address, int) or isinstance(address, bool) or address <= 0:
            raise TypeError("%s.from_address() takes a non-null address (an int), not %r"
                            % (cls.__name__, address))
        handle = cls(address)
        handle._owned = False
        return handle

    @property
    def handle(self):
        """The raw pointer (an int), or None once closed or detached."""
        return self._handle

    @property
    def closed(self):
        return self._handle is None

    def detach(self):
        handle, self._handle = self._handle, None
        return handle

    def close(self):
        """Releases the handle; raises Error when the library reports a failure (the handle is
        given up all the same, so it is never released twice)."""
        handle, self._handle = getattr(self, "_handle", None), None
        if handle is not None and self._owned:
            release(self.release_entry, handle, quiet=False)

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        if kind is None:
            self.close()
        else:
            try:
                self.close()
            except Error:
                pass  # the exception already on its way matters more
        return False

    def __del__(self):
        handle, self._handle = getattr(self, "_handle", None), None
        if handle is not None and getattr(self, "_owned", False):
            try:
                release(self.release_entry, handle, quiet=True)
            except BaseException:  # never from a finalizer (also not at interpreter exit)
                pass

    def __repr__(self):
        state = "closed" if self._handle is None else "0x%x" % self._handle
        borrowed = "" if getattr(self, "_owned", True) else " borrowed"
        return "<tvxapi.%s%s %s>" % (type(self).__name__, borrowed, state)


class Object(Handle):
    """A TvxObject handle, released with Quorix_delete_shared_object."""
    __slots__ = ()
    release_entry = "Quorix_delete_shared_object"


class Operator(Object):
    """An operator's handle (a TvxObject)."""
    __slots__ = ()


class Workflow(Object):
    """A workflow's handle (a TvxObject)."""
    __slots__ = ()


class Vector(Handle):
    """A SharedTvxVector handle, released with TvxVector_delete."""
    __slots__ = ()
    release_entry = "TvxVector_delete"


HANDLE_CLASSES = {"TvxObject": Object, "Operator": Operator, "Workflow": Workflow}


def release(entry, handle, quiet):
    pair = ErrorPair()
    function(entry)(handle, *pair.args())
    error = pair.take()
    if error is not None and not quiet:
        raise error


def _discard(result):
    """Releases what a failed call handed out before its error is raised."""
    items = result if isinstance(result, list) else [result]
    for item in items:
        if isinstance(item, Handle):
            handle = item.detach()
            if handle is not None:
                release(item.release_entry, handle, quiet=True)


class Array(array.array):
    """Numbers copied out of the library: a sequence with the buffer protocol (memoryview(a) and
    numpy.asarray(a) work); numpy() gives a numpy array sharing this copy, when numpy is there."""

    def numpy(self):
        import numpy
        return numpy.frombuffer(self, dtype=self.typecode)


# --- parameters: one converter per kind (and, for values, per ctypes type) ---------------------
#
# Converters of handles and arrays know their entry and parameter, so that bad input is refused
# with a TypeError or ValueError naming both, before anything reaches the library.

def _refuse(entry, name, what, value):
    return TypeError("%s(): parameter '%s' takes %s, not %s" % (entry, name, what, type(value).__name__))


def _handle_of(cls, entry, name):
    what = "a tvxapi.%s or None" % cls.__name__

    def convert(value):
        if value is None:
            return None
        if isinstance(value, cls):
            handle = value._handle
            if handle is None:
                raise ValueError("%s(): parameter '%s' is %r: it has been released or detached"
                                 % (entry, name, value))
            return handle
        raise _refuse(entry, name, what, value)
    return convert


def _handle_array(entry, name):
    """A sequence of Object (or None) -> (C array of their pointers, length)."""
    take = _handle_of(Object, entry, name)

    def convert(value):
        if value is None:
            return None, 0
        if isinstance(value, (str, bytes, Handle)) or not hasattr(value, "__len__"):
            raise _refuse(entry, name, "a sequence of tvxapi.Object", value)
        items = [take(v) for v in value]
        return (c_void_p * len(items))(*items), len(items)
    return convert


def _in_place(view, element, size):
    """A C array over a buffer of exactly `element` (copied when the buffer is read-only), or None
    when the buffer holds something else."""
    if view.format.lstrip("@=<") != element._type_ or view.itemsize != size or not view.c_contiguous:
        return None
    count = view.nbytes // size
    if view.readonly:
        return (element * count).from_buffer_copy(view)
    return (element * count).from_buffer(view)


def _number_array(element, entry, name):
    """Numbers -> (C array, length): a buffer of exactly the element type is passed in place (a
    read-only one is copied), any other buffer or sequence converted for the call."""
    size = ctypes.sizeof(element)
    what = "a sequence or buffer of %s" % ("numbers" if element is ctypes.c_double else "integers")

    def convert(value):
        if value.__class__ is list or value.__class__ is tuple:
            items = value
        elif value is None:
            return None, 0
        elif isinstance(value, (str, bytes, bytearray)):
            raise _refuse(entry, name, what, value)
        else:
            try:
                view = memoryview(value)
            except TypeError:
                view = None
            if view is not None:
                array_ = _in_place(view, element, size)
                if array_ is not None:
                    return array_, len(array_)
                value = view.tolist()
            try:
                items = list(value)
            except TypeError:
                raise _refuse(entry, name, what, value) from None
        try:
            return (element * len(items))(*items), len(items)
        except TypeError as exc:
            raise TypeError("%s(): parameter '%s' takes %s: %s" % (entry, name, what, exc)) from None
    return convert


def _byte_array(argtype, entry, name):
    """Text (as UTF-8) or bytes -> (the bytes, their length)."""
    def convert(value):
        if value is None:
            return None, 0
        if isinstance(value, str):
            data = value.encode("utf-8")
        elif isinstance(value, (bytes, bytearray, memoryview)):
            data = bytes(value)
        else:
            raise _refuse(entry, name, "str or bytes", value)
        if argtype is c_char_p:
            return data, len(data)
        return (argtype._type_ * len(data)).from_buffer_copy(data), len(data)
    return convert


def _text_array(entry, name):
    """A sequence of str (as UTF-8) or bytes -> (C array of char pointers, length)."""
    def convert(value):
        if value is None:
            return None, 0
        if isinstance(value, (str, bytes)) or not hasattr(value, "__len__"):
            raise _refuse(entry, name, "a sequence of str or bytes", value)
        items = []
        for item in value:
            if isinstance(item, str):
                item = item.encode("utf-8")
            elif not isinstance(item, bytes):
                raise TypeError("%s(): parameter '%s' takes a sequence of str or bytes, not one holding %s"
                                % (entry, name, type(item).__name__))
            items.append(item)
        return (c_char_p * len(items))(*items), len(items)
    return convert


def _array_converter(row, i):
    element, entry, name = row.arrays[i], row.name, row.names[i]
    if element == "handle":
        return _handle_array(entry, name)
    if element == "text":
        return _text_array(entry, name)
    if element == "byte":
        return _byte_array(row.argtypes[i], entry, name)
    return _number_array(row.argtypes[i]._type_, entry, name)


def _text(value):
    if isinstance(value, str):
        return value.encode("utf-8")
    if isinstance(value, (bytearray, memoryview)):
        return bytes(value)
    if isinstance(value, int):
        return cast(c_void_p(value), c_char_p)
    return value


def _wide_text(value):
    if isinstance(value, int):
        return cast(c_void_p(value), c_wchar_p)
    return value


def _numbers(element):
    """Numbers for a `T*` parameter of unknown length: a writable buffer of T is passed in place;
    another buffer or sequence is copied for the call; ctypes objects, addresses and None pass as
    they are."""
    pointer = POINTER(element)
    size = ctypes.sizeof(element)

    def convert(value):
        if value is None or isinstance(value, (ctypes._SimpleCData, ctypes._Pointer, ctypes.Array)):
            return value
        if isinstance(value, int):
            return cast(c_void_p(value), pointer)
        try:
            view = memoryview(value)
        except TypeError:
            view = None
        if view is not None:
            array_ = _in_place(view, element, size)
            if array_ is not None:
                return array_
            value = view.tolist()
        return (element * len(value))(*value)
    return convert


def _same(value):
    return value


def _value_converter(argtype):
    if argtype is c_char_p:
        return _text
    if argtype is c_wchar_p:
        return _wide_text
    if isinstance(argtype, type) and issubclass(argtype, ctypes._Pointer):
        return _numbers(argtype._type_)
    return _same


# The seam where a scalar output is made (tests preset one to stand in for a library that writes it).
def new_cell(ctype):
    return ctype()


# --- results: one conversion per kind ----------------------------------------------------------

def _string(address):
    return ctypes.string_at(address).decode("utf-8", "replace") if address else None


def _result_handle(row, raw, call):
    return HANDLE_CLASSES[row.detail](raw) if raw else None


def _result_vector(row, raw, call):
    return Vector(raw) if raw else None


def _result_handles(row, raw, call):
    if not raw:
        return None
    count = call.size.value
    pointers = cast(raw, POINTER(c_void_p))
    objects = [HANDLE_CLASSES[row.detail](pointers[i]) if pointers[i] else None for i in range(count)]
    # The objects are ours now; the array (this library's allocation) goes back at once.
    pair = ErrorPair()
    function(row.release)(raw, count, *pair.args())
    pair.take()
    return objects


def _result_string(row, raw, call):
    return _string(raw)


def _result_owned_string(row, raw, call):
    if not raw:
        return None
    try:
        return _string(raw)
    finally:
        # Handed back to the library that made it (the handle's, for a _for_object release);
        # a library that does not take it back is reported with a ReleaseWarning.
        release_row = ROWS[row.release]
        text = _text(raw)  # the library's own pointer, not a copy
        args = (call.args[0], text) if release_row.kinds[0] == "handle" else (text,)
        pair = ErrorPair()
        function(row.release)(*args, *pair.args())
        error = pair.take()
        if error is not None:
            warnings.warn(ReleaseWarning("%s returned text that %s could not hand back: %s"
                                         % (row.name, row.release, error.message)), stacklevel=3)


def _result_array(row, raw, call):
    if not raw:
        return None
    typecode = {"int": "i", "double": "d"}[row.detail]
    out = Array(typecode)
    count = call.size.value
    if count > 0:
        out.frombytes(ctypes.string_at(raw, count * out.itemsize))
    return out


RESULTS = {
    "void": lambda row, raw, call: None,
    "value": lambda row, raw, call: raw,
    "handle": _result_handle,
    "vector": _result_vector,
    "handles": _result_handles,
    "string": _result_string,
    "owned_string": _result_owned_string,
    "array": _result_array,
}

# Parameters the caller passes; the others (count, out, size) are filled in here.
VISIBLE = ("handle", "vector", "handles", "array", "value")
COUNT_LIMITS = {ctypes.c_int: 2 ** 31 - 1, ctypes.c_size_t: 2 ** (8 * ctypes.sizeof(ctypes.c_size_t)) - 1}


class _Call:
    """The C arguments of one call, and its size output."""
    __slots__ = ("args", "outputs", "size")

    def __init__(self):
        self.args, self.outputs, self.size = [], [], None


def make_function(row):
    """The Python function of one entry: converts the arguments by kind, calls, converts the
    result by kind, and raises Error after a failure (having released whatever it returned)."""
    kinds = row.kinds
    visible, converters, arrays, counts, cells = [], [], [], [], []
    for i, (kind, argtype) in enumerate(zip(kinds, row.argtypes)):
        if kind in VISIBLE:
            visible.append(i)
            if kind == "value":
                converters.append(_value_converter(argtype))
            elif kind in ("handle", "vector"):
                converters.append(_handle_of(Vector if kind == "vector" else Object, row.name, row.names[i]))
            else:
                converters.append(_array_converter(row, i))
                arrays.append(i)
        elif kind == "count":
            counts.append((i, row.arrays[i], COUNT_LIMITS.get(argtype, 2 ** 31 - 1)))
        else:  # out, size
            cells.append((i, argtype._type_, kind == "size"))
    expected = len(visible)
    convert_result = RESULTS[row.result]
    consumes = row.consumes
    every_parameter_given = expected == len(kinds)  # nothing to fill in: the arguments in order

    def entry(*args):
        if len(args) != expected:
            raise TypeError("%s() takes %d argument%s (%d given)"
                            % (row.name, expected, "" if expected == 1 else "s", len(args)))
        call = _Call()
        if every_parameter_given and not arrays:
            c_args = []
            for convert, value in zip(converters, args):
                c_args.append(convert(value))
        else:
            c_args = [None] * len(kinds)
            for i, convert, value in zip(visible, converters, args):
                c_args[i] = convert(value)
        if arrays:
            lengths = {}
            for i in arrays:
                c_args[i], lengths[i] = c_args[i]
            for i, counted, limit in counts:
                length = lengths[counted[0]]
                if len(counted) > 1 and any(lengths[a] != length for a in counted[1:]):
                    raise ValueError("%s(): %s must have one length (%s)" % (
                        row.name, " and ".join(row.names[a] for a in counted),
                        ", ".join("%s: %d" % (row.names[a], lengths[a]) for a in counted)))
                if length > limit:
                    raise ValueError("%s(): %s holds %d values, more than the entry can take (%d)"
                                     % (row.name, row.names[counted[0]], length, limit))
                c_args[i] = length
        for i, ctype, is_size in cells:
            cell = new_cell(ctype)
            c_args[i] = byref(cell)
            if is_size:
                call.size = cell
            else:
                call.outputs.append(cell)
        call.args = c_args
        f = function(row.name)
        try:
            if row.err:
                pair = ErrorPair()
                raw = f(*c_args, *pair.args())
                error = pair.take()
            else:
                raw, error = f(*c_args), None
        finally:
            if consumes and isinstance(args[0], Handle):
                args[0]._handle = None  # the entry ended the handle: never released again
        result = convert_result(row, raw, call)
        if error is not None:
            _discard(result)
            raise error
        if call.outputs:
            return (result,) + tuple(cell.value for cell in call.outputs)
        return result

    entry.__name__ = entry.__qualname__ = row.name
    entry.__module__ = "tvxapi"
    entry.__doc__ = row.doc
    return entry


def functions():
    """Every entry as a Python function, by name."""
    return {row.name: make_function(row) for row in ENTRIES}


# --- loading -----------------------------------------------------------------------------------

def load(path, name, strict=False):
    """Loads an implementation library under `name` ("common", "remote", ...); the platform's
    suffix (.so, .dll) is appended to `path`. Lenient by default (a missing entry reports "Invalid
    API pointer" when called); strict=True fails on the first missing entry. Raises Error."""
    path = os.fspath(path)
    pair = ErrorPair()
    if strict:
        function("QuorixCore_LoadAPIWithOptions")(_text(path), _text(name), 0, *pair.args())
    else:
        function("QuorixCore_LoadAPI")(_text(path), _text(name), *pair.args())
    error = pair.take()
    if error is not None:
        raise error


def unload(name):
    """Releases one load of `name` ("" with a library registered under it: every library).
    Handle objects nobody can reach any more are collected first, while their library is there."""
    gc.collect()
    pair = ErrorPair()
    function("QuorixCore_UnloadAPI")(_text(name), *pair.args())
    error = pair.take()
    if error is not None:
        raise error


class Library:
    """A library loaded for as long as this object is: `with tvxapi.Library(path, "common") as
    common:` loads it (raising Error on failure) and unloads it at the end of the block; unload()
    does it earlier, and the object's collection at the latest (quietly then). Release the handles
    a library made before it is unloaded: declare the Library first."""

    def __init__(self, path, name, strict=False):
        self.name = name
        self._loaded = False
        load(path, name, strict)
        self._loaded = True

    @property
    def loaded(self):
        return self._loaded

    def unload(self):
        """Unloads now; raises Error when the library reports a failure (it is unloaded either way)."""
        if not getattr(self, "_loaded", False):
            return
        self._loaded = False
        unload(self.name)

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        if kind is None:
            self.unload()
        else:
            try:
                self.unload()
            except Error:
                pass  # the exception already on its way matters more
        return False

    def __del__(self):
        try:
            self.unload()
        except BaseException:  # never from a finalizer
            pass

    def __repr__(self):
        return "<tvxapi.Library %r %s>" % (self.name, "loaded" if self._loaded else "unloaded")


# --- the compiled path ---------------------------------------------------------------------------
#
# tvxapi._native makes every entry a C function (bindings/python/native): the same rules, the same
# messages, at a fraction of the cost. It is used where it is built: installed beside this file, or
# in a build tree (TVXAPI_NATIVE, else <source>/build/python/tvxapi). TVXAPI_PATH=ctypes keeps the
# ctypes path.

def _native_candidates():
    """The folder named by TVXAPI_NATIVE (a build's python/tvxapi), else this source tree's build."""
    source = os.path.normpath(os.path.join(_PACKAGE_DIR, os.pardir, os.pardir, os.pardir))
    folder = os.environ.get("TVXAPI_NATIVE") or os.path.join(source, "build", "python", "tvxapi")
    if not os.path.isdir(folder):
        return []
    return [os.path.join(folder, n) for n in sorted(os.listdir(folder)) if n.startswith("_native.") and n.endswith(".so")]


def _import_native():
    try:
        from . import _native
        return _native
    except ImportError:
        pass
    import importlib.machinery
    import importlib.util
    for path in _native_candidates():
        loader = importlib.machinery.ExtensionFileLoader(__package__ + "._native", path)
        found = importlib.util.spec_from_file_location(__package__ + "._native", path, loader=loader)
        try:
            module = importlib.util.module_from_spec(found)
            loader.exec_module(module)
            return module
        except ImportError:
            continue
    return None


def _pointer_result(entry, address):
    """What ctypes gives for a pointer result of `entry`."""
    return cast(c_void_p(address), ROWS[entry].restype)


def _address_of(value):
    """The address ctypes passes for a ctypes object (a pointer, an array, a callback)."""
    return cast(value, c_void_p).value


def native():
    """The compiled module bound to the loaded library, or None: the ctypes path is used when it
    is not built, when TVXClientAPI cannot be loaded yet, or when TVXAPI_PATH=ctypes."""
    if os.environ.get("TVXAPI_PATH") == "ctypes":
        return None
    module = _import_native()
    if module is None:
        return None
    try:
        handle = library()._handle
    except OSError:
        return None
    module.bind(handle, Error, ReleaseWarning, Array, _pointer_result, _address_of)
    return module
