"""Writes include/TVXClientAPI.hpp, the C++17 binding of TVXClientAPI, from the entry catalogue.

The header is one fixed preamble (the error class, the owning handle types, the parameter types
that accept them, library loading) followed by one inline function per export in namespace `tvx`,
named as the C entry, without the error pair and throwing `tvx::Error` when the call failed.
Each function is put together from one pattern per parameter kind and one per result kind of the
catalogue's binding model (`Export.binding`); nothing is written per entry. Standard library only.
"""

import re

import c_decl
import catalogue

# The owning C++ class of each handle class a result can have.
OWNER = {"TvxObject": "Object", "Operator": "Operator", "Workflow": "Workflow", "SharedTvxVector": "Vector"}
# The entries the owning types and the result patterns rely on; checked against the catalogue.
RELEASES = {"handle": "Quorix_delete_shared_object", "vector": "TvxVector_delete",
            "handles": "Quorix_delete_shared_object_array"}
# How an owned string goes back: to the default library, or to the library of the entry's first handle.
STRING_RELEASES = {"Quorix_deleteString": False, "Quorix_deleteString_for_object": True}
# Names of the locals of the generated functions; a parameter must never take one.
LOCALS = {"error_", "result_", "size_", "text_", "array_", "data_"}


# --- C types as the public C headers declare them ------------------------------------------------

c_type = c_decl.public_type
c_result = c_decl.public_result
declare = c_decl.declare
strip_top_const = c_decl.strip_top_const
array_element = catalogue.array_element
pointer_base = catalogue.pointer_base


def pointee(ctype):
    """`int&` / `int*` -> `int`: the type of the local an output pointer refers to."""
    return ctype[:-1].rstrip()


def param_names(e):
    """The C headers' parameter names, which must not clash with the binding's own locals."""
    names = c_decl.param_names(e)
    for n in names:
        if n in LOCALS:
            raise ValueError("%s: parameter name %s is a local of the C++ binding" % (e.where(), n))
    return names


# --- the catalogue's entries that the binding treats in a particular way -----------------------

def consumes_handle(e):
    """A releasing entry ends the handle it receives first: the parameter takes ownership."""
    return e.shape == "release"


def array_releasers(cat):
    """Entries that free an array of handles they receive (the release of every `handles` result):
    their array parameter is the raw array a C caller got, passed as it is."""
    return {e.binding.release for e in cat.exports if e.binding.result == "handles"}


# --- one pattern per parameter kind --------------------------------------------------------------

class Param:
    """A parameter of the C++ function: its declaration (None when absorbed) and the C argument."""

    def __init__(self, decl, arg):
        self.decl = decl
        self.arg = arg


def const_input(e, p, kind):
    """The type of an input array with every level it reads made const (`double*` -> `const double*`,
    `char**` -> `const char* const*`), or None when `p` is no input array. Arrays of handles stay as
    they are (Handles, or the raw array an entry frees); outputs are never const."""
    if kind != "array" and not (kind == "value" and p.is_array):
        return None
    if p.ctype == "handle*" or p.name in e.outputs:
        return None
    base, stars = pointer_base(p.ctype)
    assert stars >= 1, e.where()
    return "const %s%s*" % (base, "* const" * (stars - 1))


def input_param(e, p, kind, name):
    """A parameter passed as the caller gives it, reading through a const pointer when it is an input
    array; the C entry gets the same pointer in its own type (most C declarations are not const)."""
    ctype = c_type(p.ctype)
    const = const_input(e, p, kind)
    if const is None:
        return Param(declare(ctype, name), name)
    target = strip_top_const(ctype)
    return Param(declare(const, name), name if target == const else "const_cast<%s>(%s)" % (target, name))


def counts_handles(b, index):
    """Whether the `count` parameter at `index` is the length of arrays of handles (a Handles
    parameter carries it); otherwise it is the length of arrays of numbers, bytes or texts."""
    counted = [b.params[a][1] for a in b.counted(index)]
    assert counted and (all(k == "handles" for k in counted) or "handles" not in counted), counted
    return counted[0] == "handles"


def param_patterns(e, raw_arrays):
    names = param_names(e)
    b = e.binding
    kinds = [k for _, k in b.params]
    out = []
    for i, ((p, kind), n) in enumerate(zip(b.params, names)):
        consumed = i == 0 and consumes_handle(e)
        if kind == "count" and not counts_handles(b, i):
            kind = "value"  # given with its pointer here; the overloads on views fill it in
        if kind == "handle":
            out.append(Param("%s %s" % ("Sink" if consumed else "Ref", n), "%s.get()" % n))
        elif kind == "vector":
            out.append(Param("%s %s" % ("VectorSink" if consumed else "VectorRef", n), "%s.get()" % n))
        elif kind == "handles" and not raw_arrays:
            out.append(Param("Handles %s" % n, "%s.data()" % n))
        elif kind == "count" and not raw_arrays:
            out.append(Param(None, "static_cast<%s>(%s.size())" % (p.ctype, names[b.counted(i)[0]])))
        elif kind == "out":
            out.append(Param("%s& %s" % (pointee(p.ctype), n), "&%s" % n))
        elif kind == "size":
            out.append(Param(None, "&size_"))
        else:  # value, input arrays with a pointer, and the raw array of an entry that frees it
            out.append(input_param(e, p, kind, n))
    assert kinds.count("size") <= 1, e.where()
    return out


# --- the overloads on views of the arrays an entry counts ------------------------------------------
#
# Where an input integer is the length of arrays, a second function takes each array as a view
# (tvx::ArrayView, std::string_view for bytes) and fills the integer in from the views, refusing
# before the call a length the integer cannot hold and views of one count that differ in length;
# where those arrays are texts, a third takes std::vector<std::string>. Each forwards to the one
# before it, so the call itself is written once.

def counted_arrays(e):
    """The `array` parameters whose length is an input `count`, by index, in order."""
    b = e.binding
    return [a for a, c in sorted(b.arrays.items())
            if b.params[a][1] == "array" and b.params[c][1] == "count"]


def view_type(e, p):
    """The view an input array is given as: a std::string_view of bytes that are chars, else an
    ArrayView of its const element (`const double`, `const char* const`)."""
    const = const_input(e, p, "array")
    if array_element(p) == "byte" and const == "const char*":
        return "std::string_view"
    return "ArrayView<%s>" % const[:-1]


def forwarding(ret, name, decls, args, checks=()):
    out = ["inline %s %s(%s) {" % (ret, name, ", ".join(decls))]
    call = "tvx::%s(%s);" % (name, ", ".join(args))
    out += ["    " + line for line in list(checks) + [call if ret == "void" else "return " + call]]
    out.append("}")
    return "\n".join(out)


def gen_view_overloads(e, params, ret):
    """The overloads on views of `e`, whose pointer form has `params` and returns `ret`; none when the
    entry counts no input array."""
    arrays = counted_arrays(e)
    if not arrays:
        return []
    b = e.binding
    names = param_names(e)
    filled = {b.arrays[a] for a in arrays}
    views = {a: view_type(e, b.params[a][0]) for a in arrays}
    decls, args = [], []  # (index, declaration), and the arguments of the pointer form
    for i, (param, n) in enumerate(zip(params, names)):
        if param.decl is None:
            continue
        if i in filled:
            first = names[b.counted(i)[0]]
            args.append('detail::count_of<%s>(%s.size(), "%s", "%s")' % (b.params[i][0].ctype, first, e.name, first))
        elif i in views:
            decls.append((i, "%s %s" % (views[i], n)))
            args.append("%s.data()" % n)
        else:
            decls.append((i, param.decl))
            args.append(n)
    checks = []
    for c in sorted(filled):
        first, *others = [names[a] for a in b.counted(c)]
        for other in others:
            checks.append('detail::check_same_length("%s", "%s", %s.size(), "%s", %s.size());'
                          % (e.name, first, first, other, other))
    out = [forwarding(ret, e.name, [d for _, d in decls], args, checks)]
    texts = {a for a in arrays if views[a] == "ArrayView<const char* const>"}
    if texts:
        strings = ["const std::vector<std::string>& %s" % names[i] if i in texts else d for i, d in decls]
        passed = ["detail::c_strings(%s)" % names[i] if i in texts else names[i] for i, _ in decls]
        out.append(forwarding(ret, e.name, strings, passed))
    return out


# --- one pattern per result kind -----------------------------------------------------------------
#
# Each returns (C++ result type, body lines) around `call`, the C call with its arguments. `check`
# is the error test, empty for an entry without an error pair. A result the caller owns is owned
# before the test, so that a call that fails and still returns something releases it.

def result_void(e, call, check, first):
    return "void", [call + ";"] + check


def result_value(e, call, check, first):
    if not check:
        return c_result(e.result), ["return %s;" % call]
    return c_result(e.result), ["const auto result_ = %s;" % call] + check + ["return result_;"]


def result_handle(e, call, check, first):
    assert e.binding.release == RELEASES[e.binding.result], e.where()
    owner = OWNER[e.handle_class if e.binding.result == "handle" else "SharedTvxVector"]
    if not check:
        return owner, ["return %s(%s);" % (owner, call)]
    return owner, ["%s result_(%s);" % (owner, call)] + check + ["return result_;"]


def result_handles(e, call, check, first):
    assert e.binding.release == RELEASES["handles"], e.where()
    body = ["TvxObject** const array_ = %s;" % call,
            "std::vector<Object> result_ = detail::take_handles(array_, size_);"]
    return "std::vector<Object>", body + check + ["return result_;"]


def result_string(e, call, check, first):
    return "std::string", ["const char* const text_ = %s;" % call] + check + ["return detail::copy_text(text_);"]


def result_owned_string(e, call, check, first):
    by_object = STRING_RELEASES[e.binding.release]
    if by_object:
        assert first is not None and not consumes_handle(e), e.where()
        own = "detail::OwnedText text_(%s, %s.get());" % (call, first)
    else:
        own = "detail::OwnedText text_(%s);" % call
    length = ", size_" if e.binding.size_param is not None else ""
    return "std::string", [own] + check + ['return text_.take("%s"%s);' % (e.name, length)]


def result_array(e, call, check, first):
    element = e.binding.element(e)
    body = ["const %s* const data_ = %s;" % (element, call)]
    return "std::vector<%s>" % element, body + check + ["return detail::copy_array(data_, size_);"]


RESULTS = {"void": result_void, "value": result_value, "handle": result_handle, "vector": result_handle,
           "handles": result_handles, "string": result_string, "owned_string": result_owned_string,
           "array": result_array}


def gen_function(e, raw_arrays):
    b = e.binding
    params = param_patterns(e, raw_arrays)
    args = [p.arg for p in params]
    body = []
    if b.size_param is not None:
        body.append("%s size_ = 0;" % pointee(e.params[b.size_param].ctype))
    if e.err:
        body.insert(0, "detail::ErrorPair error_;")
        args += ["&error_.size", "&error_.message"]
    check = ["error_.check();"] if e.err else []
    first = param_names(e)[0] if e.params and b.params[0][1] == "handle" else None
    call = "::%s(%s)" % (e.name, ", ".join(args))
    ret, lines = RESULTS[b.result](e, call, check, first)
    decls = ", ".join(p.decl for p in params if p.decl is not None)
    out = ["inline %s %s(%s) {" % (ret, e.name, decls)]
    out += ["    " + line for line in body + lines]
    out.append("}")
    return "\n\n".join(["\n".join(out)] + gen_view_overloads(e, params, ret))


def check_releases(cat):
    """The preamble calls these entries by name: they must be in the catalogue as it assumes."""
    for name in list(RELEASES.values()) + list(STRING_RELEASES):
        if name not in cat.by_name:
            raise ValueError("the C++ binding releases with %s, which the catalogue lacks" % name)


def gen_hpp(cat, banner):
    check_releases(cat)
    raw = array_releasers(cat)
    out = ["// " + banner, PREAMBLE.strip("\n"), ""]
    for family, exports in cat.families:
        out.append("// --- %s %s" % (family.replace("_", " "), "-" * (93 - len(family))))
        out.append("")
        for e in exports:
            out.append(gen_function(e, e.name in raw))
            out.append("")
    out += ["}  // namespace tvx", "", "#endif", ""]
    text = "\n".join(out)
    assert not re.search(r"[ \t]+$", text, re.M)
    return text


PREAMBLE = r'''
// The C++ binding of TVXClientAPI: header-only, C++17, no dependency beyond the C headers.
//
//   #include "TVXClientAPI.hpp"
//
//   tvx::Library common("/opt/framework/libframework", "common");   // throws tvx::Error on failure
//   tvx::Object field = tvx::Field_new(1, 3, "Nodal");               // owned: released when it goes
//   tvx::CSField_SetData(field, values);                             // a std::vector<double>
//   std::vector<double> data = tvx::CSField_GetData(field);          // copied out of the library
//   std::string location = tvx::CSField_GetLocation(field);
//
// Every export is a function of namespace tvx with the C name, without the error pair:
// - A failed call (error size not 0) throws tvx::Error: what() is the message as UTF-8, size() the
//   error size; the C message is freed with TVX_FreeErrorMessage once copied. Entries without an
//   error pair never throw.
// - A handle parameter takes a tvx::Ref: an owning object (Object, Operator, Workflow) or a raw
//   TvxObject*, borrowed for the call; a vector parameter takes a tvx::VectorRef (Vector or raw
//   SharedTvxVector*). The releasing entries (Quorix_delete_shared_object, TvxVector_delete, the
//   family _delete entries) take ownership instead: pass std::move(owner) or a raw pointer.
// - An array of handles with its count is one tvx::Handles parameter, a view made from a
//   std::vector<TvxObject*> (tvx::raw(owners) makes one of owning objects) or from a pointer and a
//   count. Quorix_delete_shared_object_array, which frees the raw array a C caller got, takes that
//   array as it is.
// - Arrays the entry reads are const (const double*, const char* const*); outputs are not.
// - An entry that takes arrays with their length as an integer is there twice: as in C, a pointer and
//   the integer; and with the integer filled in from views of the arrays: a tvx::ArrayView<const T>
//   (made from a std::vector, a C array, or a pointer and a count) or, for bytes, a
//   std::string_view. Arrays of texts are also taken as std::vector<std::string>. Views
//   that share one length must have it (else std::invalid_argument), and a length beyond the
//   integer's type is refused (std::length_error); both before the call.
// - Output parameters are references (int&); the size output of a returned array or text is
//   absorbed into the returned std::vector / std::string.
// - Results: a new handle -> the owning type of its class (Object, Operator, Workflow, Vector); an
//   array of handles -> std::vector<tvx::Object> (the array itself is freed at once); text ->
//   std::string (empty for null; text the caller owns is handed back to its library after the
//   copy); numbers the library keeps -> std::vector<int|double> (a copy); anything else as it is.
// - A handle that a failing call still returns is owned before the exception, so it is released.
//
// Owning types are move-only. Their destructors release with the entry of their class and ignore a
// failure; get() reads the raw handle, release() gives up ownership and returns it. Release every
// handle before the library that made it is unloaded (declare the tvx::Library objects first).
#ifndef TVXCLIENTAPI_HPP
#define TVXCLIENTAPI_HPP

#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "TVXClientAPI.h"

// The error path is out of line and marked cold: a succeeding call pays only for the size test.
#if defined(__GNUC__) || defined(__clang__)
#  define TVX_CPP_COLD __attribute__((cold, noinline))
#elif defined(_MSC_VER)
#  define TVX_CPP_COLD __declspec(noinline)
#else
#  define TVX_CPP_COLD
#endif

namespace tvx {

// A failed call: the message of the error pair as UTF-8, and the error size.
class Error : public std::runtime_error {
public:
    Error(int size, const std::string& message) : std::runtime_error(message), size_(size) {}
    // The error size the call reported: the message's length in wchar_t with its terminator, or -1
    // when the library had no memory left for a message.
    int size() const noexcept { return size_; }

private:
    int size_;
};

// A call succeeded and handed out text, which the library then refused to take back (it lacks
// Quorix_deleteString, or reported a failure): the memory stays with the library. text() is the
// copy the call would have returned.
class ReleaseError : public Error {
public:
    ReleaseError(int size, const std::string& message, std::string text)
        : Error(size, message), text_(std::move(text)) {}
    const std::string& text() const noexcept { return text_; }

private:
    std::string text_;
};

namespace detail {

inline void append_utf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Wide text as UTF-8, up to its terminator or `length` characters: UTF-16 where wchar_t has 16 bits
// (Windows), one code point per wchar_t elsewhere. A lone surrogate or a value beyond Unicode
// becomes U+FFFD.
inline std::string utf8(const wchar_t* text, std::size_t length = static_cast<std::size_t>(-1)) {
    std::string out;
    if (text == nullptr) return out;
    for (std::size_t i = 0; i < length && text[i] != 0; ++i) {
        std::uint32_t c = static_cast<std::uint32_t>(text[i]);
        if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && i + 1 < length) {
            const std::uint32_t low = static_cast<std::uint32_t>(text[i + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
        append_utf8(out, c);
    }
    return out;
}

// Throws the failure of a call; the message is the caller's, freed here once copied.
[[noreturn]] TVX_CPP_COLD inline void raise(int size, wchar_t* message) {
    struct Free {
        wchar_t* message;
        ~Free() { TVX_FreeErrorMessage(message); }
    } const free_message{message};
    throw Error(size, utf8(message));
}

// The error pair of one call.
struct ErrorPair {
    int size = 0;
    wchar_t* message = nullptr;

    void check() const {
        if (size != 0) raise(size, message);
    }
};

// A release whose failure is ignored: its message is freed and nothing else happens.
struct IgnoredError : ErrorPair {
    IgnoredError() = default;
    IgnoredError(const IgnoredError&) = delete;
    IgnoredError& operator=(const IgnoredError&) = delete;
    ~IgnoredError() {
        if (size != 0) TVX_FreeErrorMessage(message);
    }
};

inline void release_object(TvxObject* handle) noexcept {
    IgnoredError error;
    ::Quorix_delete_shared_object(handle, &error.size, &error.message);
}

inline void release_vector(SharedTvxVector* handle) noexcept {
    IgnoredError error;
    ::TvxVector_delete(handle, &error.size, &error.message);
}

// Owns one handle and releases it with `Release` when it goes, unless given up with release().
template <class Raw, void (*Release)(Raw*) noexcept>
class Owner {
public:
    Owner(const Owner&) = delete;
    Owner& operator=(const Owner&) = delete;

    Raw* get() const noexcept { return raw_; }
    // Gives up ownership: the caller releases the returned handle.
    Raw* release() noexcept {
        Raw* const raw = raw_;
        raw_ = nullptr;
        return raw;
    }
    // Releases the handle held, if any, and owns `raw` instead.
    void reset(Raw* raw = nullptr) noexcept {
        Raw* const old = raw_;
        raw_ = raw;
        if (old != nullptr) Release(old);
    }
    explicit operator bool() const noexcept { return raw_ != nullptr; }

protected:
    Owner() noexcept = default;
    explicit Owner(Raw* raw) noexcept : raw_(raw) {}
    Owner(Owner&& other) noexcept : raw_(other.release()) {}
    Owner& operator=(Owner&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Owner() {
        if (raw_ != nullptr) Release(raw_);
    }

private:
    Raw* raw_ = nullptr;
};

}  // namespace detail

// The common base of the owners of TvxObject handles (released with Quorix_delete_shared_object).
using ObjectOwner = detail::Owner<TvxObject, detail::release_object>;

// An ordinary object's handle.
class Object : public ObjectOwner {
public:
    Object() noexcept = default;
    explicit Object(TvxObject* handle) noexcept : ObjectOwner(handle) {}
};

// An operator's handle.
class Operator : public ObjectOwner {
public:
    Operator() noexcept = default;
    explicit Operator(TvxObject* handle) noexcept : ObjectOwner(handle) {}
};

// A workflow's handle.
class Workflow : public ObjectOwner {
public:
    Workflow() noexcept = default;
    explicit Workflow(TvxObject* handle) noexcept : ObjectOwner(handle) {}
};

// A vector's handle (released with TvxVector_delete).
class Vector : public detail::Owner<SharedTvxVector, detail::release_vector> {
public:
    Vector() noexcept = default;
    explicit Vector(SharedTvxVector* handle) noexcept : Owner(handle) {}
};

// A handle parameter: an owner or a raw handle, borrowed for one call. Not to be kept: it does not
// keep a temporary owner alive past the call.
class Ref {
public:
    Ref(TvxObject* handle) noexcept : handle_(handle) {}
    Ref(const ObjectOwner& owner) noexcept : handle_(owner.get()) {}
    TvxObject* get() const noexcept { return handle_; }

private:
    TvxObject* handle_;
};

// The handle parameter of a releasing entry: the handle is given to the entry, which ends it.
class Sink {
public:
    Sink(TvxObject* handle) noexcept : handle_(handle) {}
    Sink(ObjectOwner&& owner) noexcept : handle_(owner.release()) {}
    TvxObject* get() const noexcept { return handle_; }

private:
    TvxObject* handle_;
};

// A vector parameter, borrowed for one call.
class VectorRef {
public:
    VectorRef(SharedTvxVector* handle) noexcept : handle_(handle) {}
    VectorRef(const Vector& owner) noexcept : handle_(owner.get()) {}
    SharedTvxVector* get() const noexcept { return handle_; }

private:
    SharedTvxVector* handle_;
};

// The vector parameter of TvxVector_delete: the handle is given to the entry, which ends it.
class VectorSink {
public:
    VectorSink(SharedTvxVector* handle) noexcept : handle_(handle) {}
    VectorSink(Vector&& owner) noexcept : handle_(owner.release()) {}
    SharedTvxVector* get() const noexcept { return handle_; }

private:
    SharedTvxVector* handle_;
};

// An array of handles for one call, with its count: a view of the caller's array for the call,
// it owns nothing.
class Handles {
public:
    Handles() noexcept = default;
    Handles(TvxObject* const* data, std::size_t size) noexcept : data_(data), size_(size) {}
    Handles(const std::vector<TvxObject*>& handles) noexcept : data_(handles.data()), size_(handles.size()) {}
    // The C entries take a non-const array; they only read it.
    TvxObject** data() const noexcept { return size_ == 0 ? nullptr : const_cast<TvxObject**>(data_); }
    std::size_t size() const noexcept { return size_; }

private:
    TvxObject* const* data_ = nullptr;
    std::size_t size_ = 0;
};

// An array the entry reads, for one call: a view of the caller's elements with their count, which
// fills in the length the entry takes. It owns nothing: made from a temporary std::vector, it is
// for the call it is an argument of. Not made from a braced list, whose elements would go before
// a view kept past the full expression (write std::vector<double>{...} instead).
template <class T>
class ArrayView {
    static_assert(std::is_const<T>::value, "a view of the elements an entry reads: ArrayView<const T>");

public:
    using value_type = std::remove_const_t<T>;

    constexpr ArrayView() noexcept = default;
    constexpr ArrayView(T* pointer, std::size_t count) noexcept : data_(pointer), size_(count) {}
    template <std::size_t N>
    constexpr ArrayView(T (&array)[N]) noexcept : data_(array), size_(N) {}
    ArrayView(const std::vector<value_type>& values) noexcept : data_(values.data()), size_(values.size()) {}

    constexpr T* data() const noexcept { return data_; }
    constexpr std::size_t size() const noexcept { return size_; }
    constexpr bool empty() const noexcept { return size_ == 0; }
    constexpr T* begin() const noexcept { return data_; }
    constexpr T* end() const noexcept { return data_ + size_; }

private:
    T* data_ = nullptr;
    std::size_t size_ = 0;
};

// The raw handles of owners, for a Handles parameter: tvx::raw(objects).
template <class Owned>
std::vector<TvxObject*> raw(const std::vector<Owned>& owners) {
    std::vector<TvxObject*> out;
    out.reserve(owners.size());
    for (const Owned& o : owners) out.push_back(o.get());
    return out;
}

// A library loaded under a name for the life of this object: the destructor unloads the name
// (one count of it: loading a name again only counts it). Move-only.
class Library {
public:
    enum Resolution {
        lenient,  // a missing entry leaves its slot empty; calling it fails then
        strict,   // the load fails on the first missing entry
    };

    // Loads `path` (the platform's suffix appended) under `name`; throws tvx::Error on failure.
    Library(const std::string& path, std::string name, Resolution resolution = lenient) : name_(std::move(name)) {
        detail::ErrorPair error;
        if (resolution == strict)
            ::QuorixCore_LoadAPIWithOptions(path.c_str(), name_.c_str(), 0, &error.size, &error.message);
        else
            ::QuorixCore_LoadAPI(path.c_str(), name_.c_str(), &error.size, &error.message);
        error.check();
        loaded_ = true;
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    Library(Library&& other) noexcept : name_(std::move(other.name_)), loaded_(other.loaded_) { other.loaded_ = false; }
    Library& operator=(Library&& other) noexcept {
        if (this != &other) {
            unload_quietly();
            name_ = std::move(other.name_);
            loaded_ = other.loaded_;
            other.loaded_ = false;
        }
        return *this;
    }
    ~Library() { unload_quietly(); }

    const std::string& name() const noexcept { return name_; }
    explicit operator bool() const noexcept { return loaded_; }

    // Unloads now; throws tvx::Error when the library reports a failure (it is unloaded either way).
    void unload() {
        if (!loaded_) return;
        loaded_ = false;
        detail::ErrorPair error;
        ::QuorixCore_UnloadAPI(name_.c_str(), &error.size, &error.message);
        error.check();
    }

private:
    void unload_quietly() noexcept {
        if (!loaded_) return;
        loaded_ = false;
        detail::IgnoredError error;
        ::QuorixCore_UnloadAPI(name_.c_str(), &error.size, &error.message);
    }

    std::string name_;
    bool loaded_ = false;
};

namespace detail {

// Wraps every handle of an array a call returned, then frees the array with
// Quorix_delete_shared_object_array. Should the vector fail to grow, the handles not yet owned are
// released before the array goes, so none is lost.
inline std::vector<Object> take_handles(TvxObject** array, std::size_t count) {
    struct Array {
        TvxObject** handles;
        std::size_t count;
        std::size_t owned;
        ~Array() {
            if (handles == nullptr) return;
            for (std::size_t i = owned; i < count; ++i) release_object(handles[i]);
            IgnoredError error;
            ::Quorix_delete_shared_object_array(handles, count, &error.size, &error.message);
        }
    } guard{array, count, 0};
    std::vector<Object> out;
    if (array == nullptr) return out;
    out.reserve(count);
    for (; guard.owned < count; ++guard.owned) out.emplace_back(array[guard.owned]);
    return out;
}

// Text a call handed to the caller: take() copies it and gives it back to its library (to the
// library of the entry's handle for the _for_object form), throwing ReleaseError when the library
// does not take it back. Text never taken (the call failed) goes back when this goes, a failure
// then ignored.
class OwnedText {
public:
    explicit OwnedText(char* text) noexcept : text_(text), owner_(nullptr), by_object_(false) {}
    OwnedText(char* text, TvxObject* owner) noexcept : text_(text), owner_(owner), by_object_(true) {}
    OwnedText(const OwnedText&) = delete;
    OwnedText& operator=(const OwnedText&) = delete;
    ~OwnedText() {
        if (text_ == nullptr) return;
        IgnoredError error;
        give_back(error);
    }
    std::string take(const char* entry) {
        return text_ != nullptr ? hand_back(entry, std::string(text_)) : std::string();
    }
    template <class Size>
    std::string take(const char* entry, Size length) {
        if (text_ == nullptr) return std::string();
        return hand_back(entry, length > 0 ? std::string(text_, static_cast<std::size_t>(length)) : std::string());
    }

private:
    std::string hand_back(const char* entry, std::string copy) {
        ErrorPair error;
        give_back(error);
        text_ = nullptr;
        if (error.size != 0) refuse_release(entry, by_object_, std::move(copy), error);
        return copy;
    }
    void give_back(ErrorPair& error) noexcept {
        if (by_object_)
            ::Quorix_deleteString_for_object(owner_, text_, &error.size, &error.message);
        else
            ::Quorix_deleteString(text_, &error.size, &error.message);
    }
    [[noreturn]] TVX_CPP_COLD static void refuse_release(const char* entry, bool by_object, std::string text,
                                                         ErrorPair& error) {
        struct Free {
            wchar_t* message;
            ~Free() { TVX_FreeErrorMessage(message); }
        } const free_message{error.message};
        const int size = error.size;
        const std::string reason = utf8(error.message);
        throw ReleaseError(size, std::string(entry) + " returned text that " +
                                     (by_object ? "Quorix_deleteString_for_object" : "Quorix_deleteString") +
                                     " could not hand back: " + reason,
                           std::move(text));
    }

    char* text_;
    TvxObject* owner_;
    bool by_object_;
};

inline std::string copy_text(const char* text) { return text != nullptr ? std::string(text) : std::string(); }

[[noreturn]] TVX_CPP_COLD inline void refuse_length(const char* entry, const char* array, std::size_t length) {
    throw std::length_error(std::string(entry) + ": " + array + " has " + std::to_string(length) +
                            " elements, more than the entry's length parameter can hold");
}

[[noreturn]] TVX_CPP_COLD inline void refuse_lengths(const char* entry, const char* first, std::size_t first_length,
                                                     const char* other, std::size_t other_length) {
    throw std::invalid_argument(std::string(entry) + ": " + first + " and " + other +
                                " share one length but have " + std::to_string(first_length) + " and " +
                                std::to_string(other_length) + " elements");
}

// The length of an array as the entry's length parameter of type Count; refused when it does not fit.
template <class Count>
Count count_of(std::size_t length, const char* entry, const char* array) {
    constexpr auto most = static_cast<std::uintmax_t>(std::numeric_limits<Count>::max());
    if constexpr (most < std::numeric_limits<std::size_t>::max()) {
        if (length > most) refuse_length(entry, array, length);
    }
    return static_cast<Count>(length);
}

// Arrays whose length one parameter gives must have that length.
inline void check_same_length(const char* entry, const char* first, std::size_t first_length, const char* other,
                              std::size_t other_length) {
    if (first_length != other_length) refuse_lengths(entry, first, first_length, other, other_length);
}

// The C strings of texts, for an entry that takes an array of them; valid while `texts` is unchanged.
inline std::vector<const char*> c_strings(const std::vector<std::string>& texts) {
    std::vector<const char*> out;
    out.reserve(texts.size());
    for (const std::string& text : texts) out.push_back(text.c_str());
    return out;
}

template <class T, class Size>
std::vector<T> copy_array(const T* data, Size count) {
    if (data == nullptr || count <= 0) return {};
    return std::vector<T>(data, data + count);
}

}  // namespace detail
'''
