/* The compiled path of tvxapi: what every generated entry function (entries.gen.c) calls. The
 * rules are those of the ctypes path (_runtime.py), with the same messages: handles are objects of
 * this module's own types, never integers; arrays give their own length; a failure raises
 * tvxapi.Error with the library's text, whatever the call handed out released first. */
#ifndef TVXAPI_NATIVE_H
#define TVXAPI_NATIVE_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdbool.h>
#include <stddef.h>
#include <wchar.h>

#include "entries.gen.h"

/* The entries of the loaded TVXClientAPI, by export index; bound by _native.bind(). */
typedef void (*TvxEntry)(void);
extern TvxEntry tvx_api[TVX_ENTRY_COUNT];

/* Handles: Object (Operator, Workflow) released with Quorix_delete_shared_object, Vector with
 * TvxVector_delete. */
typedef struct {
    PyObject_HEAD
    void* handle;     /* null once released or detached */
    char owned;       /* 0: borrowed through from_address(), never released here */
    PyObject* weakrefs;
} TvxHandle;

extern PyTypeObject TvxHandleType, TvxObjectType, TvxOperatorType, TvxWorkflowType, TvxVectorType;

/* A new handle object of `type` owning `raw`; None for null. */
PyObject* tvx_wrap(PyTypeObject* type, void* raw);

/* --- arguments: each returns 0 after raising TypeError or ValueError naming entry and parameter -- */

int tvx_nargs_refused(const char* entry, Py_ssize_t given, Py_ssize_t expected);
int tvx_handle_slow(const char* entry, const char* name, PyObject* value, PyTypeObject* type, void** out);

/* The common cases inline (every entry checks its arguments' number and most take a handle): the
 * right number, and a live handle of exactly the type asked for. */
static inline int tvx_nargs(const char* entry, Py_ssize_t given, Py_ssize_t expected) {
    return given == expected ? 1 : tvx_nargs_refused(entry, given, expected);
}
static inline int tvx_handle(const char* entry, const char* name, PyObject* value, PyTypeObject* type, void** out) {
    if (Py_IS_TYPE(value, type) && ((TvxHandle*)value)->handle != NULL) {
        *out = ((TvxHandle*)value)->handle;
        return 1;
    }
    return tvx_handle_slow(entry, name, value, type, out);
}
int tvx_long(const char* entry, const char* name, PyObject* value, long long* out);
int tvx_ulong(const char* entry, const char* name, PyObject* value, unsigned long long* out);
int tvx_double(const char* entry, const char* name, PyObject* value, double* out);
int tvx_bool(const char* entry, const char* name, PyObject* value, bool* out);

/* Arguments that hold memory for the call: released with tvx_release_args(). */
typedef struct {
    void* data;          /* what is passed */
    Py_ssize_t length;   /* elements, for arrays */
    void* owned;         /* memory made for the call (PyMem) */
    PyObject* keep;      /* objects whose memory is passed (bytes, a buffer's owner) */
    Py_buffer view;
    bool has_view;
} TvxArg;

void tvx_release_args(TvxArg* args, int n);
int tvx_text(const char* entry, const char* name, PyObject* value, TvxArg* out);       /* const char* */
int tvx_wide_text(const char* entry, const char* name, PyObject* value, TvxArg* out);  /* const wchar_t* */
int tvx_pointer(const char* entry, const char* name, PyObject* value, TvxArg* out);    /* any other pointer */
/* T* of unknown length: a writable buffer of T in place, else a copy; element: 'i', 'd', 'n' (size_t), ... */
int tvx_numbers(const char* entry, const char* name, PyObject* value, char element, TvxArg* out);
/* Arrays whose length the entry takes. */
int tvx_number_array(const char* entry, const char* name, PyObject* value, char element, TvxArg* out);
int tvx_byte_array(const char* entry, const char* name, PyObject* value, TvxArg* out);
int tvx_text_array(const char* entry, const char* name, PyObject* value, TvxArg* out);
int tvx_handle_array(const char* entry, const char* name, PyObject* value, TvxArg* out);
/* The length of the arrays one count gives: they agree and fit `limit`. */
int tvx_count(const char* entry, const char* const* names, const TvxArg* const* arrays, int n,
              unsigned long long limit, unsigned long long* out);

extern long long tvx_output_preset;

/* --- results ------------------------------------------------------------------------------- */

PyObject* tvx_string(const char* text);                 /* str (UTF-8, replace) or None */
PyObject* tvx_owned_string(const char* entry, const char* text, int release, void* handle); /* and hands it back */
PyObject* tvx_handles(PyTypeObject* type, void** raw, long long count, int release);
PyObject* tvx_array(const void* data, long long count, char element);  /* a tvxapi.Array copy */
PyObject* tvx_pointer_result(const char* entry, void* raw);             /* as ctypes gives it */

/* After a call with the error pair: NULL with tvx.Error raised (`result` released first), or `result`. */
PyObject* tvx_finish(int size, wchar_t* message, PyObject* result);
/* An entry that ends the handle it takes first: the object forgets it. */
void tvx_consumed(PyObject* handle);
/* The result with the outputs after it, as a tuple; steals every reference. */
PyObject* tvx_with_outputs(PyObject* result, int n, ...);

#endif
