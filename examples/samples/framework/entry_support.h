// What every exported entry of a sample implementation library does around its work.
//
// An entry runs its work through guarded(), given its own name as __func__: the error size is
// cleared, a failure becomes the error pair with the entry's name in front ("CSField_SetData: the
// field is null"), in a message from the process-wide allocator so that a client frees it with
// TVX_FreeErrorMessage, and the result is zero. The argument checks below throw what the entry then
// reports. Text an entry returns as char* is a copy the caller owns and hands back through
// Quorix_deleteString, which frees it with the allocator that made it (new_text, delete_text).
//
// A library loaded as "remote" defines TVX_IMPLEMENTATION_REMOTE before including this header.
#pragma once

#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  include <windows.h>
#endif

#include "sample_framework.h"
#include "tvx/implementation.h"

namespace tvxsample {

// --- the error pair ----------------------------------------------------------------------------

// The message as wide text (UTF-16 on Windows, one code point per wchar_t elsewhere), in a buffer
// from the allocator every module of the process shares.
inline wchar_t* new_message(const std::string& utf8) {
    std::wstring text;
    for (std::size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        char32_t v = c;
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (extra > 0) v = c & (0x3F >> extra);
        ++i;
        for (int k = 0; k < extra && i < utf8.size(); ++k, ++i) v = (v << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
        if (sizeof(wchar_t) == 2 && v > 0xFFFF) {
            v -= 0x10000;
            text.push_back(static_cast<wchar_t>(0xD800 + (v >> 10)));
            text.push_back(static_cast<wchar_t>(0xDC00 + (v & 0x3FF)));
        } else {
            text.push_back(static_cast<wchar_t>(v));
        }
    }
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
#if defined(_WIN32)
    auto* buffer = static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, bytes));
#else
    auto* buffer = static_cast<wchar_t*>(std::malloc(bytes));
#endif
    if (buffer != nullptr) std::memcpy(buffer, text.c_str(), bytes);
    return buffer;
}

inline void fail(const std::string& utf8, int* size, wchar_t** message) {
    wchar_t* buffer = new_message(utf8);
    if (message != nullptr) *message = buffer;
    if (size != nullptr) *size = buffer != nullptr ? static_cast<int>(std::wcslen(buffer) + 1) : -1;
}

// Never thrown: guarded()'s default for failures passed on as they are worded.
struct NoFailureAsWorded : std::exception {};

// Runs `work` for the entry called `entry` (its __func__): size 0 on success; on failure the
// message, "entry: " in front, through the pair and a zero result. A failure of type AsWorded
// (the server's own words, for a client library) is passed on without the entry's name.
template <class AsWorded = NoFailureAsWorded, class Work>
auto guarded(const char* entry, int* size, wchar_t** message, Work&& work) -> decltype(work()) {
    using R = decltype(work());
    if (size != nullptr) *size = 0;
    try {
        return work();
    } catch (const AsWorded& e) {
        fail(e.what(), size, message);
    } catch (const std::exception& e) {
        fail(std::string(entry) + ": " + e.what(), size, message);
    } catch (...) {
        fail(std::string(entry) + ": unknown failure", size, message);
    }
    if constexpr (!std::is_void_v<R>) return R{};
}

// --- objects and argument checks ---------------------------------------------------------------

// Objects go out as the opaque pointers of the entries' signatures and come back as framework
// objects; a library's own object types derive from Object.
inline CSharedObjectBase* handed_out(Object* object) { return reinterpret_cast<CSharedObjectBase*>(object); }

// The object behind `p`; `role` names the argument in the message when there is none.
inline Object& expect_any(const void* p, const char* role = "object") {
    if (p == nullptr) throw std::runtime_error(std::string("the ") + role + " is null");
    return *static_cast<Object*>(const_cast<void*>(p));
}

// The object behind `p`, checked to be of `kind`: "the scoping is a field, not a scoping".
template <class T = Object>
T& expect(const void* p, Kind kind, const char* role) {
    Object& object = expect_any(p, role);
    if (object.kind() != kind)
        throw std::runtime_error(std::string("the ") + role + " is " + kind_name(object.kind()) + ", not " +
                                 kind_name(kind));
    return static_cast<T&>(object);
}

// `n` items of `what` at `data`: not a negative count, and no null array behind a positive one.
inline void check_count(int n, const void* data, const char* what) {
    if (n < 0) throw std::runtime_error(std::string("a negative number of ") + what + " (" + std::to_string(n) + ")");
    if (n > 0 && data == nullptr) throw std::runtime_error(std::string("the ") + what + " are null");
}

// --- text the caller owns ----------------------------------------------------------------------

// A copy of `text` for a char* result, from the C heap of this library.
inline char* new_text(const std::string& text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

// Frees a copy new_text made (Quorix_deleteString); null is nothing to free.
inline void delete_text(const char* text) { std::free(const_cast<char*>(text)); }

}  // namespace tvxsample
