"""The tracing library's entries (programs/tvxtrace/trace_entries.gen.cpp): every export of the
catalogue, recording its call (arguments decoded by their kind, the result, the error pair) and
forwarding it to the real library. One pattern for every entry; what differs comes from the
catalogue's kinds."""
import re

import c_decl
from catalogue import array_element, pointer_base

INTEGERS = {"int", "long", "long long", "short", "char", "unsigned char"}
UNSIGNED = {"size_t", "unsigned int", "unsigned long", "unsigned long long", "unsigned", "uint64_t", "int64_t"}
REALS = {"double", "float"}

# Entries that take back a string or array an entry handed out (besides releasing handles).
HANDING_BACK = {"Quorix_deleteString", "Quorix_deleteString_for_object", "Quorix_free_ints",
                "Quorix_free_ints_for_object", "Quorix_free_doubles", "Quorix_free_doubles_for_object"}


def handle_label(e):
    """What a new handle is called in the log: its class, or the family that made it."""
    if e.result in ("Operator", "Workflow"):
        return e.result
    if e.result == "SharedTvxVector":
        return "Vector"
    m = re.match(r"(?:CS(?=[A-Z]))?([A-Z][A-Za-z0-9]*?)_(?:new|New)", e.name)
    if m:
        return m.group(1)
    m = re.search(r"_getoutput_([A-Za-z]+?)(?:_|$)", e.name)
    if m and m.group(1) not in ("int", "double", "bool", "string"):
        return m.group(1)
    return "TvxObject"


def scalar(ctype):
    """The recorder of a value passed as it is, by its C type."""
    t = c_decl.public_type(ctype).strip()
    if t == "bool":
        return "boolean"
    if t in INTEGERS:
        return "number"
    if t in UNSIGNED:
        return "unsigned_number"
    if t in REALS:
        return "real"
    if t == "const char*":
        return "text"
    if t == "const wchar_t*":
        return "wide_text"
    return "pointer"


def record_argument(e, b, i, p, kind, names):
    n = names[i]
    if kind in ("handle", "vector"):
        pair = "error_size, error_message" if e.err else "nullptr, nullptr"
        zero = "" if e.result == "void" else " {}"
        return ["if (!c.handle(%s)) {" % n, "    c.refuse(%s);" % pair,
                "    return%s;" % zero, "}"]
    if kind in ("handles", "array"):
        count = "static_cast<long long>(%s)" % names[b.arrays[i]]
        element = array_element(p)
        if element == "handle":
            return ["c.handles(reinterpret_cast<const void* const*>(%s), %s);" % (n, count)]
        if element in ("int", "double", "size_t"):
            return ["c.numbers<%s>(%s, %s);" % (element, n, count)]
        if element == "byte":
            return ["c.bytes(reinterpret_cast<const char*>(%s), %s);" % (n, count)]
        return ["c.texts(%s, %s);" % (n, count)]
    if kind in ("out", "size"):
        return ['c.out("%s", %s);' % (n, n)]
    how = scalar(p.ctype)
    if p.is_array and how == "text":  # a buffer whose length the entry knows: not read here
        how = "pointer"
    if how == "pointer":
        return ["c.pointer(reinterpret_cast<const void*>(%s));" % n]
    return ["c.%s(%s);" % (how, n)]


def record_outputs(e, b, names):
    out = []
    for i, (p, kind) in enumerate(b.params):
        if kind not in ("out", "size"):
            continue
        base, stars = pointer_base(p.ctype)
        if stars != 1:
            continue
        how = scalar(base)
        if how in ("number", "unsigned_number", "boolean"):
            out.append('if (%s) c.output_number("%s", static_cast<long long>(*%s));' % (names[i], names[i], names[i]))
        elif how == "real":
            out.append('if (%s) c.output_real("%s", *%s);' % (names[i], names[i], names[i]))
    return out


def record_result(e, b, names):
    kind = b.result
    if kind == "void":
        return []
    if kind in ("handle", "vector"):
        return ['c.result_handle(r, "%s");' % handle_label(e)]
    if kind == "handles":
        count = names[b.size_param] if b.size_param is not None else None
        n = "(%s ? static_cast<long long>(*%s) : 0)" % (count, count) if count else "0"
        return ["c.result_handles(reinterpret_cast<const void* const*>(r), %s);" % n]
    if kind == "string":
        return ["c.result_text(r);"]
    if kind == "owned_string":
        return ["c.result_owned_text(r);"]
    if kind == "array" and b.size_param is not None:
        size = names[b.size_param]
        return ["c.result_numbers<%s>(r, %s ? static_cast<long long>(*%s) : 0);" % (b.element(e), size, size)]
    if b.release in HANDING_BACK:
        return ["c.result_owned_array(r);"]
    how = scalar(e.result)
    if how in ("text", "wide_text"):
        return ["c.result_text(r);"] if how == "text" else ["c.result_pointer(r);"]
    if how == "pointer":
        return ["c.result_pointer(reinterpret_cast<const void*>(r));"]
    return ["c.result_%s(r);" % {"number": "number", "unsigned_number": "unsigned", "real": "real",
                                 "boolean": "boolean"}[how]]


def wrapper(e, index):
    b = e.binding
    names = c_decl.param_names(e)
    types = [c_decl.public_type(p.ctype) for p in e.params] + (["int*", "wchar_t**"] if e.err else [])
    args = names + (["error_size", "error_message"] if e.err else [])
    result = c_decl.public_result(e.result)
    call = "real(%s)" % ", ".join(args)
    body = ["using Real = %s (*)(%s);" % (result, ", ".join(types)),
            "tvxtrace::Call c(%d);  // first: the first call of all finds the real entries" % index,
            "const Real real = reinterpret_cast<Real>(g_real[%d]);" % index,
            "if (!c.active()) return %s;" % call]
    for i, (p, kind) in enumerate(b.params):
        body += record_argument(e, b, i, p, kind, names)
    if e.shape == "release" and e.params and e.params[0].ctype == "handle":
        body.append("c.note_moved(%s);" % names[0])
    body.append("c.start();")
    body.append(("%s;" if result == "void" else "const auto r = %s;") % call)
    body.append("c.stop();")
    body += record_result(e, b, names)
    body += record_outputs(e, b, names)
    if e.err:
        body.append("c.error(error_size, error_message);")
    if e.shape == "release":
        ok = "error_size == nullptr || *error_size == 0" if e.err else "true"
        body.append("c.released(%s, %s);" % (names[0], ok))
    if e.name in HANDING_BACK:
        given = next(i for i, p in enumerate(e.params) if p.ctype not in ("handle", "client"))
        body.append("c.handed_back(%s);" % names[given])
    if result != "void":
        body.append("return r;")
    return ["%s {" % c_decl.declaration(e)] + ["    " + line for line in body] + ["}", ""]


def gen_trace_entries(cat, banner):
    exports = [e for _, family in cat.families for e in family]
    out = ["// " + banner,
           "// Every export of TVXClientAPI, recorded and forwarded to the real library (runtime.h).",
           '#include "TVXClientAPI.h"', '#include "runtime.h"', "",
           "using tvxtrace::g_real;", "",
           "namespace tvxtrace {", "",
           "const int kEntryCount = %d;" % len(exports),
           "Symbol g_real[%d];" % len(exports), "",
           "const char* const kEntryNames[] = {"]
    out += ['    "%s",' % e.name for e in exports]
    out += ["};", "", "}  // namespace tvxtrace", "", 'extern "C" {', ""]
    for i, e in enumerate(exports):
        out += wrapper(e, i)
    out += ['}  // extern "C"', ""]
    return "\n".join(out)
