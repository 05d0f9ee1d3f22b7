"""The compiled path of the Python package (bindings/python/native/entries.gen.{h,c}): one C function
per export, converting its arguments by kind, calling the entry, converting the result, and raising
tvxapi.Error after a failure. The conversions themselves are written once, in tvxapi_native.c; what
differs between entries comes from the same rows as the ctypes path (generate_python.row_fields)."""

import fnmatch

import c_decl
import catalogue as cat_mod
import generate_python as gp

HEADER = "bindings/python/native/entries.gen.h"
SOURCE = "bindings/python/native/entries.gen.c"

# Entries that can run long: the GIL is released around them so that other threads run meanwhile.
# Everything else keeps it, since releasing and taking it back costs more than a simple call.
LONG_RUNNING = ("QuorixCore_LoadAPI*", "QuorixCore_UnloadAPI", "*_run", "*_Run", "*run_*", "*Evaluate*",
                "*_getoutput_*", "*GetOutput*", "*_getOutput*", "Quorix_deep_copy*", "QuorixCore_MoveLocally",
                "*_on_client", "Client_*", "Quorix_initialization*", "quorix_initialize*")

NUMBER_CODES = {"int": "i", "double": "d", "size_t": "n"}
CTYPE_CODES = {"c_int": "i", "c_double": "d", "c_size_t": "n", "c_float": "f", "c_longlong": "q", "c_long": "l",
               "c_bool": "?", "c_ubyte": "B", "c_uint": "i", "c_short": "i", "c_ushort": "i", "c_ulong": "l",
               "c_ulonglong": "q", "c_byte": "B", "c_char": "B"}
SIGNED = {"c_int", "c_short", "c_long", "c_longlong", "c_byte", "c_char"}
UNSIGNED = {"c_uint", "c_ushort", "c_ulong", "c_ulonglong", "c_size_t", "c_ubyte"}
LIMITS = {"int": "2147483647ull", "size_t": "(unsigned long long)SIZE_MAX"}
HANDLE_TYPES = {"TvxObject": "&TvxObjectType", "Operator": "&TvxOperatorType", "Workflow": "&TvxWorkflowType"}


def long_running(name):
    return any(fnmatch.fnmatchcase(name, p) for p in LONG_RUNNING)


def c_string(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def c_type(ctype):
    """The C type a parameter or result has for a caller (int& -> int*)."""
    return c_decl.public_type(ctype)


def entry_function(e, index, raw_arrays, export_index):
    b, kinds, arrays, argtypes, detail = gp.row_fields(e, raw_arrays)
    names = c_decl.param_names(e)
    visible = [i for i, k in enumerate(kinds) if k in gp.VISIBLE]
    held = {}  # parameter -> index in held[]
    lines = ["static PyObject* f_%s(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {" % e.name,
             "    static const char entry[] = %s;" % c_string(e.name),
             "    (void)self;",
             "    (void)args;",
             "    if (!tvx_nargs(entry, nargs, %d)) return NULL;" % len(visible)]
    body, call_args = [], []
    for i, kind in enumerate(kinds):
        p, n = e.params[i], names[i]
        arg = "args[%d]" % visible.index(i) if i in visible else None
        t = c_type(p.ctype)
        if kind in ("handle", "vector"):
            body.append("void* p%d;" % i)
            body.append("if (!tvx_handle(entry, %s, %s, %s, &p%d)) goto fail;" % (
                c_string(n), arg, "&TvxVectorType" if kind == "vector" else "&TvxObjectType", i))
            call_args.append("(%s)p%d" % (t, i))
        elif kind in ("array", "handles"):
            held[i] = len(held)
            slot = "&held[%d]" % held[i]
            element = arrays[i]
            if element == "handle":
                body.append("if (!tvx_handle_array(entry, %s, %s, %s)) goto fail;" % (c_string(n), arg, slot))
            elif element in NUMBER_CODES:
                body.append("if (!tvx_number_array(entry, %s, %s, '%s', %s)) goto fail;" % (
                    c_string(n), arg, NUMBER_CODES[element], slot))
            elif element == "byte":
                body.append("if (!tvx_byte_array(entry, %s, %s, %s)) goto fail;" % (c_string(n), arg, slot))
            else:
                body.append("if (!tvx_text_array(entry, %s, %s, %s)) goto fail;" % (c_string(n), arg, slot))
            call_args.append("(%s)held[%d].data" % (t, held[i]))
        elif kind == "count":
            call_args.append("(%s)c%d" % (t, i))
        elif kind in ("out", "size"):
            base = c_type(p.ctype)[:-1].strip()  # int* -> int
            body.append("%s o%d = (%s)(uintptr_t)tvx_output_preset;" % (base, i, base))
            call_args.append("&o%d" % i)
        else:  # value
            ct = argtypes[i]
            if ct in SIGNED or ct in UNSIGNED or ct == "c_bool" or ct in ("c_double", "c_float"):
                conv, local = {"c_bool": ("tvx_bool", "bool"), "c_double": ("tvx_double", "double"),
                               "c_float": ("tvx_double", "double")}.get(ct, ("tvx_ulong", "unsigned long long")
                                                                      if ct in UNSIGNED else ("tvx_long", "long long"))
                body.append("%s v%d;" % (local, i))
                body.append("if (!%s(entry, %s, %s, &v%d)) goto fail;" % (conv, c_string(n), arg, i))
                call_args.append("(%s)v%d" % (t, i))
            else:
                held[i] = len(held)
                slot = "&held[%d]" % held[i]
                if ct == "c_char_p":
                    conv = "tvx_text(entry, %s, %s, %s)" % (c_string(n), arg, slot)
                elif ct == "c_wchar_p":
                    conv = "tvx_wide_text(entry, %s, %s, %s)" % (c_string(n), arg, slot)
                elif ct.startswith("POINTER("):
                    code = CTYPE_CODES.get(ct[len("POINTER("):-1], "i")
                    conv = "tvx_numbers(entry, %s, %s, '%s', %s)" % (c_string(n), arg, code, slot)
                else:
                    conv = "tvx_pointer(entry, %s, %s, %s)" % (c_string(n), arg, slot)
                body.append("if (!%s) goto fail;" % conv)
                call_args.append("(%s)(uintptr_t)held[%d].data" % (t, held[i]))
    # Counts: the length of the arrays they count, which must agree.
    for i, kind in enumerate(kinds):
        if kind != "count":
            continue
        counted = arrays[i]
        body.append("unsigned long long c%d;" % i)
        body.append("{")
        body.append("    static const char* const counted[] = {%s};" % ", ".join(c_string(names[a]) for a in counted))
        body.append("    const TvxArg* const given[] = {%s};" % ", ".join("&held[%d]" % held[a] for a in counted))
        body.append("    if (!tvx_count(entry, counted, given, %d, %s, &c%d)) goto fail;" % (
            len(counted), LIMITS.get(e.params[i].ctype, LIMITS["int"]), i))
        body.append("}")
    if held:
        lines.append("    TvxArg held[%d];" % len(held))
        lines.append("    memset(held, 0, sizeof held);")
    lines += ["    " + line for line in body]

    result = c_decl.public_result(e.result)
    pair = ["&size", "&message"] if e.err else []
    fn_type = "%s (*)(%s)" % (result, ", ".join([c_type(p.ctype) for p in e.params] + (["int*", "wchar_t**"] if e.err else [])) or "void")
    call = "((%s)tvx_api[%d])(%s)" % (fn_type, index, ", ".join(call_args + pair))
    if e.err:
        lines += ["    int size = 0;", "    wchar_t* message = NULL;"]
    if result != "void":
        lines.append("    %s r;" % result)
        call = "r = " + call
    if long_running(e.name):
        lines += ["    Py_BEGIN_ALLOW_THREADS", "    %s;" % call, "    Py_END_ALLOW_THREADS"]
    else:
        lines.append("    %s;" % call)
    if held:
        lines.append("    tvx_release_args(held, %d);" % len(held))

    # The result, by kind.
    kind = b.result
    if kind == "void":
        conv = "Py_NewRef(Py_None)"
    elif kind in ("handle", "vector"):
        conv = "tvx_wrap(%s, (void*)r)" % ("&TvxVectorType" if kind == "vector" else HANDLE_TYPES[detail])
    elif kind == "handles":
        size = "(long long)o%d" % b.size_param if b.size_param is not None else "0"
        conv = "tvx_handles(%s, (void**)r, %s, %d)" % (HANDLE_TYPES[detail], size, export_index[b.release])
    elif kind == "string":
        conv = "tvx_string(r)"
    elif kind == "owned_string":
        first = "p0" if kinds and kinds[0] == "handle" else "NULL"
        conv = "tvx_owned_string(entry, r, %d, %s)" % (export_index[b.release], first)
    elif kind == "array":
        conv = "tvx_array(r, (long long)o%d, '%s')" % (b.size_param, NUMBER_CODES[detail])
    else:
        rt = gp.result_type(e, kind)
        if rt in SIGNED:
            conv = "PyLong_FromLongLong((long long)r)"
        elif rt in UNSIGNED:
            conv = "PyLong_FromUnsignedLongLong((unsigned long long)r)"
        elif rt in ("c_double", "c_float"):
            conv = "PyFloat_FromDouble((double)r)"
        elif rt == "c_bool":
            conv = "PyBool_FromLong(r)"
        elif rt == "c_char_p":
            conv = "(r != NULL ? PyBytes_FromString(r) : Py_NewRef(Py_None))"
        elif rt == "c_wchar_p":
            conv = "(r != NULL ? PyUnicode_FromWideChar(r, -1) : Py_NewRef(Py_None))"
        elif rt == "c_void_p":
            conv = "(r != NULL ? PyLong_FromVoidPtr((void*)(uintptr_t)r) : Py_NewRef(Py_None))"
        else:
            conv = "tvx_pointer_result(entry, (void*)(uintptr_t)r)"
    lines.append("    PyObject* result = %s;" % conv)
    if e.shape == "release":
        lines.append("    tvx_consumed(args[0]);")
    if e.err:
        lines.append("    result = tvx_finish(size, message, result);")
    outputs = [i for i, k in enumerate(kinds) if k == "out"]
    if outputs:
        made = []
        for i in outputs:
            base = c_type(e.params[i].ctype)[:-1].strip()
            made.append({"bool": "PyBool_FromLong(o%d)", "double": "PyFloat_FromDouble(o%d)",
                         "float": "PyFloat_FromDouble(o%d)", "size_t": "PyLong_FromSize_t(o%d)"}.get(
                base, "PyLong_FromLongLong((long long)o%d)") % i)
        lines.append("    if (result == NULL) return NULL;")
        lines.append("    return tvx_with_outputs(result, %d, %s);" % (len(outputs), ", ".join(made)))
    else:
        lines.append("    return result;")
    if body and any("goto fail" in line for line in body):
        lines += ["fail:"]
        if held:
            lines.append("    tvx_release_args(held, %d);" % len(held))
        lines.append("    return NULL;")
    lines += ["}", ""]
    return lines


def gen_header(cat, banner):
    exports = cat.exports
    index = {e.name: i for i, e in enumerate(exports)}
    return "\n".join([
        "/* " + banner + " */",
        "/* The exports by index, and the entries the compiled path calls on its own. */",
        "#ifndef TVXAPI_ENTRIES_GEN_H", "#define TVXAPI_ENTRIES_GEN_H", "",
        "#define TVX_ENTRY_COUNT %d" % len(exports),
        "#define TVX_RELEASE_OBJECT %d  /* Quorix_delete_shared_object */" % index["Quorix_delete_shared_object"],
        "#define TVX_RELEASE_VECTOR %d  /* TvxVector_delete */" % index["TvxVector_delete"],
        "#define TVX_RELEASE_STRING_FOR_OBJECT %d  /* Quorix_deleteString_for_object */"
        % index["Quorix_deleteString_for_object"], "",
        "extern const char* const tvx_entry_names[TVX_ENTRY_COUNT];", "", "#endif", ""])


def gen_source(cat, banner):
    exports = cat.exports
    raw_arrays = {e.binding.release for e in exports if e.binding.result == "handles"}
    export_index = {e.name: i for i, e in enumerate(exports)}
    out = ["/* " + banner + " */",
           "/* One function per export of TVXClientAPI (included by tvxapi_native.c). */",
           '#include "TVXClientAPI.h"', "",
           "TvxEntry tvx_api[TVX_ENTRY_COUNT];", "",
           "const char* const tvx_entry_names[TVX_ENTRY_COUNT] = {"]
    out += ["    %s," % c_string(e.name) for e in exports]
    out += ["};", ""]
    for i, e in enumerate(exports):
        out += entry_function(e, i, raw_arrays, export_index)
    out.append("static const PyMethodDef tvx_entry_methods[TVX_ENTRY_COUNT] = {")
    for e in exports:
        b, kinds, arrays, _, detail = gp.row_fields(e, raw_arrays)
        doc = gp.docstring(e, kinds, arrays, c_decl.param_names(e), b.result, detail)
        out.append("    {%s, (PyCFunction)(void (*)(void))f_%s, METH_FASTCALL, %s}," % (c_string(e.name), e.name, c_string(doc)))
    out += ["};", ""]
    return "\n".join(out)


def outputs(cat, banner):
    return {HEADER: gen_header(cat, banner), SOURCE: gen_source(cat, banner)}
