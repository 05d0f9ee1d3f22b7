/* The compiled path of tvxapi: handle types, argument and result conversions, the error pair, and
 * binding the entries of the TVXClientAPI the package loaded. The entry functions themselves are
 * generated (entries.gen.c, included at the end). */
#include "tvxapi_native.h"

#include <dlfcn.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

/* From the Python package, at bind(): its exception and warning classes, Array, and the helpers
 * that make what ctypes makes (pointer results, addresses of ctypes objects). */
static PyObject *g_error, *g_release_warning, *g_array, *g_pointer_result, *g_address_of;

/* --- the error pair ---------------------------------------------------------------------------- */

static PyObject* take_error(int size, wchar_t* message) {
    PyObject* text = message != NULL ? PyUnicode_FromWideChar(message, (Py_ssize_t)wcslen(message))
                                     : PyUnicode_FromString("");
    free(message); /* messages come from the C runtime's allocator, as TVX_FreeErrorMessage frees them */
    if (text == NULL) return NULL;
    PyObject* error = PyObject_CallFunction(g_error, "Oi", text, size);
    Py_DECREF(text);
    if (error != NULL) {
        PyErr_SetObject(g_error, error);
        Py_DECREF(error);
    }
    return NULL;
}

/* --- handles ----------------------------------------------------------------------------------- */

static int release_index(PyTypeObject* type) {
    return PyType_IsSubtype(type, &TvxVectorType) ? TVX_RELEASE_VECTOR : TVX_RELEASE_OBJECT;
}

/* Releases `raw` with the entry of `type`; raises Error unless quiet. */
static int release_raw(PyTypeObject* type, void* raw, bool quiet) {
    void (*release)(void*, int*, wchar_t**) = (void (*)(void*, int*, wchar_t**))tvx_api[release_index(type)];
    int size = 0;
    wchar_t* message = NULL;
    if (release == NULL) return 0;
    release(raw, &size, &message);
    if (size == 0) return 0;
    if (quiet) {
        free(message);
        return 0;
    }
    take_error(size, message);
    return -1;
}

PyObject* tvx_wrap(PyTypeObject* type, void* raw) {
    if (raw == NULL) Py_RETURN_NONE;
    TvxHandle* h = PyObject_New(TvxHandle, type);
    if (h == NULL) {
        release_raw(type, raw, true);
        return NULL;
    }
    h->handle = raw;
    h->owned = 1;
    h->weakrefs = NULL;
    return (PyObject*)h;
}

static void handle_finalize(PyObject* self) {
    TvxHandle* h = (TvxHandle*)self;
    void* raw = h->handle;
    h->handle = NULL;
    if (raw == NULL || !h->owned || tvx_api[TVX_RELEASE_OBJECT] == NULL) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    release_raw(Py_TYPE(self), raw, true); /* never raises from a finalizer */
    PyErr_Restore(type, value, traceback);
}

static void handle_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
    if (((TvxHandle*)self)->weakrefs != NULL) PyObject_ClearWeakRefs(self);
    Py_TYPE(self)->tp_free(self);
}

static PyObject* handle_close(PyObject* self, PyObject* unused) {
    (void)unused;
    TvxHandle* h = (TvxHandle*)self;
    void* raw = h->handle;
    h->handle = NULL;
    if (raw != NULL && h->owned && release_raw(Py_TYPE(self), raw, false) < 0) return NULL;
    Py_RETURN_NONE;
}

static PyObject* handle_detach(PyObject* self, PyObject* unused) {
    (void)unused;
    TvxHandle* h = (TvxHandle*)self;
    void* raw = h->handle;
    h->handle = NULL;
    if (raw == NULL) Py_RETURN_NONE;
    return PyLong_FromVoidPtr(raw);
}

static PyObject* handle_enter(PyObject* self, PyObject* unused) {
    (void)unused;
    Py_INCREF(self);
    return self;
}

static PyObject* handle_exit(PyObject* self, PyObject* const* args, Py_ssize_t n) {
    PyObject* closed = handle_close(self, NULL);
    if (closed == NULL && n > 0 && args[0] != Py_None && PyErr_ExceptionMatches(g_error)) {
        PyErr_Clear(); /* the exception already on its way matters more */
        Py_RETURN_FALSE;
    }
    if (closed == NULL) return NULL;
    Py_DECREF(closed);
    Py_RETURN_FALSE;
}

static PyObject* handle_from_address(PyObject* cls, PyObject* address) {
    void* raw = NULL;
    if (PyLong_CheckExact(address)) raw = PyLong_AsVoidPtr(address);
    if (raw == NULL || PyErr_Occurred()) {
        PyErr_Clear();
        PyObject* shown = PyObject_Repr(address);
        PyErr_Format(PyExc_TypeError, "%s.from_address() takes a non-null address (an int), not %U",
                     ((PyTypeObject*)cls)->tp_name + strlen("tvxapi."), shown);
        Py_XDECREF(shown);
        return NULL;
    }
    PyObject* h = tvx_wrap((PyTypeObject*)cls, raw);
    if (h != NULL) ((TvxHandle*)h)->owned = 0;
    return h;
}

static PyObject* handle_get(PyObject* self, void* unused) {
    (void)unused;
    void* raw = ((TvxHandle*)self)->handle;
    if (raw == NULL) Py_RETURN_NONE;
    return PyLong_FromVoidPtr(raw);
}

static PyObject* handle_closed(PyObject* self, void* unused) {
    (void)unused;
    return PyBool_FromLong(((TvxHandle*)self)->handle == NULL);
}

static PyObject* handle_repr(PyObject* self) {
    TvxHandle* h = (TvxHandle*)self;
    const char* name = Py_TYPE(self)->tp_name + strlen("tvxapi.");
    const char* borrowed = h->owned ? "" : " borrowed";
    if (h->handle == NULL) return PyUnicode_FromFormat("<tvxapi.%s%s closed>", name, borrowed);
    return PyUnicode_FromFormat("<tvxapi.%s%s %p>", name, borrowed, h->handle);
}

static PyMethodDef handle_methods[] = {
    {"close", handle_close, METH_NOARGS, "Releases the handle; raises Error when the library reports a failure."},
    {"detach", handle_detach, METH_NOARGS, "Gives up ownership and returns the raw pointer."},
    {"from_address", handle_from_address, METH_O | METH_CLASS,
     "A borrowed handle for a raw address someone else owns and releases."},
    {"__enter__", handle_enter, METH_NOARGS, NULL},
    {"__exit__", (PyCFunction)(void (*)(void))handle_exit, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static PyGetSetDef handle_getset[] = {
    {"handle", handle_get, NULL, "The raw pointer (an int), or None once closed or detached.", NULL},
    {"closed", handle_closed, NULL, NULL, NULL},
    {NULL, NULL, NULL, NULL, NULL},
};

#define HANDLE_TYPE(var, name, base, doc)                                                          \
    PyTypeObject var = {                                                                           \
        PyVarObject_HEAD_INIT(NULL, 0).tp_name = "tvxapi." name,                                   \
        .tp_basicsize = sizeof(TvxHandle),                                                         \
        .tp_dealloc = handle_dealloc,                                                              \
        .tp_repr = handle_repr,                                                                    \
        .tp_flags = Py_TPFLAGS_DEFAULT,                                                            \
        .tp_doc = doc,                                                                             \
        .tp_weaklistoffset = offsetof(TvxHandle, weakrefs),                                        \
        .tp_methods = handle_methods,                                                              \
        .tp_getset = handle_getset,                                                                \
        .tp_base = base,                                                                           \
        .tp_finalize = handle_finalize,                                                            \
    }

/* No type here may be subclassed from Python: a handle is always one this module made. */
HANDLE_TYPE(TvxHandleType, "Handle", NULL, "A handle the caller owns, released once.");
HANDLE_TYPE(TvxObjectType, "Object", &TvxHandleType, "A TvxObject handle, released with Quorix_delete_shared_object.");
HANDLE_TYPE(TvxOperatorType, "Operator", &TvxObjectType, "An operator's handle (a TvxObject).");
HANDLE_TYPE(TvxWorkflowType, "Workflow", &TvxObjectType, "A workflow's handle (a TvxObject).");
HANDLE_TYPE(TvxVectorType, "Vector", &TvxHandleType, "A SharedTvxVector handle, released with TvxVector_delete.");

/* --- arguments -------------------------------------------------------------------------------- */

/* A type's name as Python shows it (type(value).__name__). */
static const char* type_name(PyObject* value) {
    const char* name = Py_TYPE(value)->tp_name;
    const char* dot = strrchr(name, '.');
    return dot != NULL ? dot + 1 : name;
}

static int refuse(const char* entry, const char* name, const char* what, PyObject* value) {
    PyErr_Format(PyExc_TypeError, "%s(): parameter '%s' takes %s, not %s", entry, name, what, type_name(value));
    return 0;
}

int tvx_nargs_refused(const char* entry, Py_ssize_t given, Py_ssize_t expected) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zd argument%s (%zd given)", entry, expected, expected == 1 ? "" : "s", given);
    return 0;
}

int tvx_handle_slow(const char* entry, const char* name, PyObject* value, PyTypeObject* type, void** out) {
    if (value == Py_None) {
        *out = NULL;
        return 1;
    }
    if (!PyObject_TypeCheck(value, type)) {
        char what[64];
        snprintf(what, sizeof what, "a %s or None", type->tp_name);
        return refuse(entry, name, what, value);
    }
    *out = ((TvxHandle*)value)->handle;
    if (*out != NULL) return 1;
    PyObject* shown = PyObject_Repr(value);
    PyErr_Format(PyExc_ValueError, "%s(): parameter '%s' is %U: it has been released or detached", entry, name, shown);
    Py_XDECREF(shown);
    return 0;
}

int tvx_long(const char* entry, const char* name, PyObject* value, long long* out) {
    *out = PyLong_AsLongLong(value);
    if (*out == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            return refuse(entry, name, "an int", value);
        }
        return 0;
    }
    return 1;
}

int tvx_ulong(const char* entry, const char* name, PyObject* value, unsigned long long* out) {
    long long v;
    if (!tvx_long(entry, name, value, &v)) return 0;
    *out = (unsigned long long)v;
    return 1;
}

int tvx_double(const char* entry, const char* name, PyObject* value, double* out) {
    *out = PyFloat_AsDouble(value);
    if (*out == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return refuse(entry, name, "a number", value);
    }
    return 1;
}

int tvx_bool(const char* entry, const char* name, PyObject* value, bool* out) {
    (void)entry;
    (void)name;
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return 0;
    *out = truth != 0;
    return 1;
}

void tvx_release_args(TvxArg* args, int n) {
    for (int i = 0; i < n; ++i) {
        if (args[i].has_view) PyBuffer_Release(&args[i].view);
        PyMem_Free(args[i].owned);
        Py_XDECREF(args[i].keep);
        memset(&args[i], 0, sizeof args[i]);
    }
}

/* An address ctypes would pass for a ctypes object (a pointer, an array, a callback). */
static int address_of(const char* entry, const char* name, PyObject* value, TvxArg* out) {
    PyObject* address = PyObject_CallOneArg(g_address_of, value);
    if (address == NULL) {
        PyErr_Clear();
        return refuse(entry, name, "an address, a buffer or a ctypes object", value);
    }
    out->data = address == Py_None ? NULL : PyLong_AsVoidPtr(address);
    Py_DECREF(address);
    return !PyErr_Occurred();
}

int tvx_text(const char* entry, const char* name, PyObject* value, TvxArg* out) {
    if (value == Py_None) return 1;
    if (PyUnicode_Check(value)) {
        out->keep = PyUnicode_AsUTF8String(value);
        if (out->keep == NULL) return 0;
        out->data = PyBytes_AS_STRING(out->keep);
        out->length = PyBytes_GET_SIZE(out->keep);
        return 1;
    }
    if (PyBytes_Check(value)) {
        out->data = PyBytes_AS_STRING(value);
        out->length = PyBytes_GET_SIZE(value);
        return 1;
    }
    if (PyByteArray_Check(value) || PyMemoryView_Check(value)) {
        out->keep = PyBytes_FromObject(value);
        if (out->keep == NULL) return 0;
        out->data = PyBytes_AS_STRING(out->keep);
        return 1;
    }
    return tvx_pointer(entry, name, value, out); /* an address, as for any pointer */
}

int tvx_wide_text(const char* entry, const char* name, PyObject* value, TvxArg* out) {
    if (value == Py_None) return 1;
    if (PyUnicode_Check(value)) {
        out->owned = PyUnicode_AsWideCharString(value, NULL);
        out->data = out->owned;
        return out->owned != NULL;
    }
    return tvx_pointer(entry, name, value, out); /* an address, as for any pointer */
}

int tvx_pointer(const char* entry, const char* name, PyObject* value, TvxArg* out) {
    if (value == Py_None) return 1;
    if (PyLong_Check(value)) {
        out->data = PyLong_AsVoidPtr(value);
        return !PyErr_Occurred();
    }
    return address_of(entry, name, value, out);
}

static size_t element_size(char element) {
    switch (element) {
    case 'd': return sizeof(double);
    case 'f': return sizeof(float);
    case 'n': return sizeof(size_t);
    case 'q': return sizeof(long long);
    case 'l': return sizeof(long);
    case '?': return sizeof(bool);
    case 'B': return 1;
    default: return sizeof(int);
    }
}

/* A buffer of exactly `element`, C-contiguous: passed in place (a read-only one is copied).
 * Returns 1 when used, 0 when the buffer holds something else (view released), -1 on error. */
static int in_place(PyObject* value, char element, TvxArg* out) {
    if (PyObject_GetBuffer(value, &out->view, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
        PyErr_Clear();
        return 0;
    }
    const char* format = out->view.format != NULL ? out->view.format : "B";
    while (*format == '@' || *format == '=' || *format == '<') ++format;
    const size_t size = element_size(element);
    char want = element;
    if (element == 'n') want = sizeof(size_t) == sizeof(unsigned long) ? 'L' : 'Q';
    const bool same = (format[0] == want || (element == 'n' && (format[0] == 'N' || format[0] == 'L' || format[0] == 'Q')) ||
                       (element == 'i' && format[0] == 'i')) &&
                      format[1] == '\0' && (size_t)out->view.itemsize == size;
    if (!same) {
        PyBuffer_Release(&out->view);
        return 0;
    }
    out->length = out->view.len / (Py_ssize_t)size;
    if (out->view.readonly) {
        out->owned = PyMem_Malloc(out->view.len > 0 ? (size_t)out->view.len : 1);
        if (out->owned == NULL) {
            PyBuffer_Release(&out->view);
            PyErr_NoMemory();
            return -1;
        }
        memcpy(out->owned, out->view.buf, (size_t)out->view.len);
        out->data = out->owned;
        PyBuffer_Release(&out->view);
        return 1;
    }
    out->data = out->view.buf;
    out->has_view = true;
    return 1;
}

/* Items of a sequence as C numbers, into memory made for the call. */
static int copy_numbers(const char* entry, const char* name, PyObject* items, char element, const char* what, TvxArg* out) {
    PyObject* fast = PySequence_Fast(items, "");
    if (fast == NULL) {
        PyErr_Clear();
        return refuse(entry, name, what, items);
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    const size_t size = element_size(element);
    out->owned = PyMem_Malloc(n > 0 ? (size_t)n * size : 1);
    if (out->owned == NULL) {
        Py_DECREF(fast);
        PyErr_NoMemory();
        return 0;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(fast, i);
        char* slot = (char*)out->owned + (size_t)i * size;
        if (element == 'd' || element == 'f') {
            const double v = PyFloat_AsDouble(item);
            if (v == -1.0 && PyErr_Occurred()) goto bad;
            if (element == 'd') *(double*)slot = v; else *(float*)slot = (float)v;
        } else {
            if (!PyLong_Check(item)) {
                PyErr_Format(PyExc_TypeError, "int expected instead of %s", type_name(item));
                goto bad;
            }
            const long long v = PyLong_AsLongLong(item);
            if (v == -1 && PyErr_Occurred()) goto bad;
            if (element == 'n') *(size_t*)slot = (size_t)v;
            else if (element == 'q') *(long long*)slot = v;
            else if (element == 'l') *(long*)slot = (long)v;
            else if (element == '?') *(bool*)slot = v != 0;
            else if (element == 'B') *(unsigned char*)slot = (unsigned char)v;
            else *(int*)slot = (int)v;
        }
        continue;
    bad:;
        PyObject *type, *error, *traceback;
        PyErr_Fetch(&type, &error, &traceback);
        PyObject* reason = error != NULL ? PyObject_Str(error) : NULL;
        PyErr_Format(PyExc_TypeError, "%s(): parameter '%s' takes %s: %U", entry, name, what,
                     reason != NULL ? reason : Py_None);
        Py_XDECREF(reason);
        Py_XDECREF(type);
        Py_XDECREF(error);
        Py_XDECREF(traceback);
        Py_DECREF(fast);
        return 0;
    }
    Py_DECREF(fast);
    out->data = out->owned;
    out->length = n;
    return 1;
}

static const char* numbers_what(char element) {
    return element == 'd' || element == 'f' ? "a sequence or buffer of numbers" : "a sequence or buffer of integers";
}

/* Buffers of another type and other iterables: their items, converted. */
static int numbers_of(const char* entry, const char* name, PyObject* value, char element, TvxArg* out) {
    const char* what = numbers_what(element);
    if (PyList_CheckExact(value) || PyTuple_CheckExact(value)) return copy_numbers(entry, name, value, element, what, out);
    if (PyUnicode_Check(value) || PyBytes_Check(value) || PyByteArray_Check(value)) return refuse(entry, name, what, value);
    const int used = in_place(value, element, out);
    if (used != 0) return used > 0;
    PyObject* items = NULL;
    if (PyObject_CheckBuffer(value)) {
        PyObject* view = PyMemoryView_FromObject(value);
        if (view != NULL) items = PyObject_CallMethod(view, "tolist", NULL);
        Py_XDECREF(view);
    } else {
        items = PySequence_List(value);
    }
    if (items == NULL) {
        PyErr_Clear();
        return refuse(entry, name, what, value);
    }
    const int ok = copy_numbers(entry, name, items, element, what, out);
    Py_DECREF(items);
    return ok;
}

int tvx_numbers(const char* entry, const char* name, PyObject* value, char element, TvxArg* out) {
    if (value == Py_None) return 1;
    if (PyLong_Check(value)) {
        out->data = PyLong_AsVoidPtr(value);
        return !PyErr_Occurred();
    }
    if (!PyList_Check(value) && !PyTuple_Check(value) && !PyObject_CheckBuffer(value)) return address_of(entry, name, value, out);
    return numbers_of(entry, name, value, element, out);
}

int tvx_number_array(const char* entry, const char* name, PyObject* value, char element, TvxArg* out) {
    if (value == Py_None) return 1;
    return numbers_of(entry, name, value, element, out);
}

int tvx_byte_array(const char* entry, const char* name, PyObject* value, TvxArg* out) {
    if (value == Py_None) return 1;
    if (PyUnicode_Check(value)) {
        out->keep = PyUnicode_AsUTF8String(value);
    } else if (PyBytes_Check(value)) {
        Py_INCREF(value);
        out->keep = value;
    } else if (PyByteArray_Check(value) || PyMemoryView_Check(value)) {
        out->keep = PyBytes_FromObject(value);
    } else {
        return refuse(entry, name, "str or bytes", value);
    }
    if (out->keep == NULL) return 0;
    out->data = PyBytes_AS_STRING(out->keep);
    out->length = PyBytes_GET_SIZE(out->keep);
    return 1;
}

int tvx_text_array(const char* entry, const char* name, PyObject* value, TvxArg* out) {
    if (value == Py_None) return 1;
    if (PyUnicode_Check(value) || PyBytes_Check(value) || !PySequence_Check(value) || PyObject_TypeCheck(value, &TvxHandleType))
        return refuse(entry, name, "a sequence of str or bytes", value);
    PyObject* fast = PySequence_Fast(value, "");
    if (fast == NULL) {
        PyErr_Clear();
        return refuse(entry, name, "a sequence of str or bytes", value);
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    PyObject* keep = PyList_New(n);
    char** texts = PyMem_Malloc(n > 0 ? (size_t)n * sizeof(char*) : 1);
    if (keep == NULL || texts == NULL) {
        Py_XDECREF(keep);
        PyMem_Free(texts);
        Py_DECREF(fast);
        PyErr_NoMemory();
        return 0;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PySequence_Fast_GET_ITEM(fast, i);
        PyObject* bytes;
        if (PyUnicode_Check(item)) {
            bytes = PyUnicode_AsUTF8String(item);
        } else if (PyBytes_Check(item)) {
            Py_INCREF(item);
            bytes = item;
        } else {
            PyErr_Format(PyExc_TypeError, "%s(): parameter '%s' takes a sequence of str or bytes, not one holding %s",
                         entry, name, type_name(item));
            bytes = NULL;
        }
        if (bytes == NULL) {
            Py_DECREF(keep);
            PyMem_Free(texts);
            Py_DECREF(fast);
            return 0;
        }
        PyList_SET_ITEM(keep, i, bytes);
        texts[i] = PyBytes_AS_STRING(bytes);
    }
    Py_DECREF(fast);
    out->keep = keep;
    out->owned = texts;
    out->data = texts;
    out->length = n;
    return 1;
}

int tvx_handle_array(const char* entry, const char* name, PyObject* value, TvxArg* out) {
    if (value == Py_None) return 1;
    if (PyUnicode_Check(value) || PyBytes_Check(value) || PyObject_TypeCheck(value, &TvxHandleType) || !PySequence_Check(value))
        return refuse(entry, name, "a sequence of tvxapi.Object", value);
    PyObject* fast = PySequence_Fast(value, "");
    if (fast == NULL) {
        PyErr_Clear();
        return refuse(entry, name, "a sequence of tvxapi.Object", value);
    }
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
    void** raw = PyMem_Malloc(n > 0 ? (size_t)n * sizeof(void*) : 1);
    if (raw == NULL) {
        Py_DECREF(fast);
        PyErr_NoMemory();
        return 0;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!tvx_handle(entry, name, PySequence_Fast_GET_ITEM(fast, i), &TvxObjectType, &raw[i])) {
            PyMem_Free(raw);
            Py_DECREF(fast);
            return 0;
        }
    }
    out->keep = fast; /* the handles stay alive for the call */
    out->owned = raw;
    out->data = raw;
    out->length = n;
    return 1;
}

int tvx_count(const char* entry, const char* const* names, const TvxArg* const* arrays, int n,
              unsigned long long limit, unsigned long long* out) {
    const Py_ssize_t length = arrays[0]->length;
    for (int i = 1; i < n; ++i) {
        if (arrays[i]->length == length) continue;
        PyObject* together = PyUnicode_FromString("");
        PyObject* lengths = PyUnicode_FromString("");
        for (int k = 0; k < n && together != NULL && lengths != NULL; ++k) {
            PyObject* a = PyUnicode_FromFormat("%U%s%s", together, k ? " and " : "", names[k]);
            PyObject* b = PyUnicode_FromFormat("%U%s%s: %zd", lengths, k ? ", " : "", names[k], arrays[k]->length);
            Py_SETREF(together, a);
            Py_SETREF(lengths, b);
        }
        if (together != NULL && lengths != NULL)
            PyErr_Format(PyExc_ValueError, "%s(): %U must have one length (%U)", entry, together, lengths);
        Py_XDECREF(together);
        Py_XDECREF(lengths);
        return 0;
    }
    if ((unsigned long long)length > limit) {
        PyErr_Format(PyExc_ValueError, "%s(): %s holds %zd values, more than the entry can take (%llu)", entry,
                     names[0], length, limit);
        return 0;
    }
    *out = (unsigned long long)length;
    return 1;
}

/* --- results ------------------------------------------------------------------------------------ */

PyObject* tvx_string(const char* text) {
    if (text == NULL) Py_RETURN_NONE;
    return PyUnicode_DecodeUTF8(text, (Py_ssize_t)strlen(text), "replace");
}

PyObject* tvx_owned_string(const char* entry, const char* text, int release, void* handle) {
    if (text == NULL) Py_RETURN_NONE;
    PyObject* copy = tvx_string(text);
    int size = 0;
    wchar_t* message = NULL;
    /* Handed back to the library that made it (the handle's, for a _for_object release). */
    if (tvx_api[release] == NULL) return copy;
    if (release == TVX_RELEASE_STRING_FOR_OBJECT)
        ((void (*)(void*, const char*, int*, wchar_t**))tvx_api[release])(handle, text, &size, &message);
    else
        ((void (*)(const char*, int*, wchar_t**))tvx_api[release])(text, &size, &message);
    if (size != 0 && copy != NULL) {
        PyObject* why = message != NULL ? PyUnicode_FromWideChar(message, (Py_ssize_t)wcslen(message)) : PyUnicode_FromString("");
        free(message);
        if (why != NULL &&
            PyErr_WarnFormat(g_release_warning, 1, "%s returned text that %s could not hand back: %U", entry,
                             release == TVX_RELEASE_STRING_FOR_OBJECT ? "Quorix_deleteString_for_object" : "Quorix_deleteString",
                             why) < 0) {
            Py_DECREF(why);
            Py_DECREF(copy);
            return NULL;
        }
        Py_XDECREF(why);
    }
    return copy;
}

PyObject* tvx_handles(PyTypeObject* type, void** raw, long long count, int release) {
    if (raw == NULL) Py_RETURN_NONE;
    PyObject* list = PyList_New(count > 0 ? (Py_ssize_t)count : 0);
    for (long long i = 0; list != NULL && i < count; ++i) {
        PyObject* h = tvx_wrap(type, raw[i]);
        if (h == NULL) {
            Py_CLEAR(list);
            break;
        }
        PyList_SET_ITEM(list, (Py_ssize_t)i, h);
    }
    /* The objects are ours now; the array (TVXClientAPI's allocation) goes back at once. */
    int size = 0;
    wchar_t* message = NULL;
    ((void (*)(void**, size_t, int*, wchar_t**))tvx_api[release])(raw, (size_t)count, &size, &message);
    if (size != 0) free(message);
    return list;
}

PyObject* tvx_array(const void* data, long long count, char element) {
    if (data == NULL) Py_RETURN_NONE;
    const char code[2] = {element, '\0'};
    PyObject* array = PyObject_CallFunction(g_array, "s", code);
    if (array == NULL || count <= 0) return array;
    /* One copy, straight from the library's memory into the array. */
    PyObject* view = PyMemoryView_FromMemory((char*)data, (Py_ssize_t)((size_t)count * element_size(element)), PyBUF_READ);
    if (view == NULL) {
        Py_DECREF(array);
        return NULL;
    }
    PyObject* done = PyObject_CallMethod(array, "frombytes", "O", view);
    Py_DECREF(view);
    if (done == NULL) {
        Py_DECREF(array);
        return NULL;
    }
    Py_DECREF(done);
    return array;
}

PyObject* tvx_pointer_result(const char* entry, void* raw) {
    return PyObject_CallFunction(g_pointer_result, "sn", entry, (Py_ssize_t)(uintptr_t)raw);
}

/* Releases what a failed call handed out before its error is raised. */
static void discard(PyObject* result) {
    if (result == NULL) return;
    if (PyList_Check(result)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(result); ++i) discard(PyList_GET_ITEM(result, i));
    } else if (PyObject_TypeCheck(result, &TvxHandleType)) {
        TvxHandle* h = (TvxHandle*)result;
        void* raw = h->handle;
        h->handle = NULL;
        if (raw != NULL) release_raw(Py_TYPE(result), raw, true);
    }
}

PyObject* tvx_finish(int size, wchar_t* message, PyObject* result) {
    if (size == 0) return result;
    if (result != NULL) {
        discard(result);
        Py_DECREF(result);
    } else {
        PyErr_Clear();
    }
    return take_error(size, message);
}

void tvx_consumed(PyObject* handle) {
    if (handle != NULL && PyObject_TypeCheck(handle, &TvxHandleType)) ((TvxHandle*)handle)->handle = NULL;
}

PyObject* tvx_with_outputs(PyObject* result, int n, ...) {
    va_list outputs;
    va_start(outputs, n);
    PyObject* tuple = result != NULL ? PyTuple_New(n + 1) : NULL;
    if (tuple != NULL) PyTuple_SET_ITEM(tuple, 0, result);
    for (int i = 0; i < n; ++i) {
        PyObject* item = va_arg(outputs, PyObject*);
        if (tuple != NULL && item != NULL) {
            PyTuple_SET_ITEM(tuple, i + 1, item);
        } else {
            Py_XDECREF(item);
            Py_CLEAR(tuple);
        }
    }
    va_end(outputs);
    if (tuple == NULL) Py_XDECREF(result);
    return tuple;
}

/* What an output holds before the call: 0, or what the tests set to stand in for a library that
 * writes it (the ctypes path's new_cell). */
long long tvx_output_preset = 0;

static PyObject* preset_outputs(PyObject* module, PyObject* value) {
    (void)module;
    tvx_output_preset = PyLong_AsLongLong(value);
    if (tvx_output_preset == -1 && PyErr_Occurred()) return NULL;
    Py_RETURN_NONE;
}

/* A function that does nothing: the interpreter's floor for a call into this module. */
static PyObject* nothing(PyObject* module, PyObject* unused) {
    (void)module;
    (void)unused;
    Py_RETURN_NONE;
}

/* --- binding the library --------------------------------------------------------------------- */

/* bind(library handle from ctypes, Error, ReleaseWarning, Array, pointer_result, address_of):
 * resolves every entry in the loaded TVXClientAPI; raises OSError naming one that is missing. */
static PyObject* bind(PyObject* module, PyObject* const* args, Py_ssize_t n) {
    (void)module;
    if (!tvx_nargs("bind", n, 6)) return NULL;
    void* library = PyLong_AsVoidPtr(args[0]);
    if (library == NULL && PyErr_Occurred()) return NULL;
    for (int i = 0; i < TVX_ENTRY_COUNT; ++i) {
        void* entry = dlsym(library, tvx_entry_names[i]);
        if (entry == NULL) return PyErr_Format(PyExc_OSError, "the library has no entry %s", tvx_entry_names[i]);
        memcpy(&tvx_api[i], &entry, sizeof entry);
    }
    PyObject** kept[] = {&g_error, &g_release_warning, &g_array, &g_pointer_result, &g_address_of};
    for (int i = 0; i < 5; ++i) {
        Py_INCREF(args[i + 1]);
        Py_XSETREF(*kept[i], args[i + 1]);
    }
    Py_RETURN_NONE;
}

#include "entries.gen.c"

static PyMethodDef module_methods[TVX_ENTRY_COUNT + 4];

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_native", "The compiled path of tvxapi: every entry as a C function.", -1, module_methods,
    NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__native(void) {
    module_methods[0] = (PyMethodDef){"bind", (PyCFunction)(void (*)(void))bind, METH_FASTCALL, "Binds the loaded library."};
    for (int i = 0; i < TVX_ENTRY_COUNT; ++i) module_methods[i + 1] = tvx_entry_methods[i];
    module_methods[TVX_ENTRY_COUNT + 1] = (PyMethodDef){"preset_outputs", preset_outputs, METH_O,
                                                        "What outputs hold before a call (tests stand in for a library)."};
    module_methods[TVX_ENTRY_COUNT + 2] = (PyMethodDef){"nothing", nothing, METH_NOARGS, "Does nothing (the floor of a call)."};
    module_methods[TVX_ENTRY_COUNT + 3] = (PyMethodDef){NULL, NULL, 0, NULL};
    PyTypeObject* types[] = {&TvxHandleType, &TvxObjectType, &TvxOperatorType, &TvxWorkflowType, &TvxVectorType};
    for (int i = 0; i < 5; ++i)
        if (PyType_Ready(types[i]) < 0) return NULL;
    PyObject* m = PyModule_Create(&module_def);
    if (m == NULL) return NULL;
    const char* names[] = {"Handle", "Object", "Operator", "Workflow", "Vector"};
    for (int i = 0; i < 5; ++i) {
        Py_INCREF(types[i]);
        if (PyModule_AddObject(m, names[i], (PyObject*)types[i]) < 0) {
            Py_DECREF(types[i]);
            Py_DECREF(m);
            return NULL;
        }
    }
    return m;
}
