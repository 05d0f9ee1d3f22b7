// What every exported entry of a sample implementation library does around its work: clear the
// error size, turn an exception into the error pair (a message from the process-wide allocator, so
// a client frees it with TVX_FreeErrorMessage), and return a zero result on failure.
#pragma once

#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <type_traits>

#if defined(_WIN32)
#  define TVX_SAMPLE_ENTRY extern "C" __declspec(dllexport)
#  define WIN32_LEAN_AND_MEAN
#  include <windows.h>
#else
#  define TVX_SAMPLE_ENTRY extern "C" __attribute__((visibility("default")))
#endif

namespace tvxsample {

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

// Runs `work`: size 0 on success, the exception's text through the pair on failure.
template <class Work>
auto guarded(int* size, wchar_t** message, Work&& work) -> decltype(work()) {
    using R = decltype(work());
    if (size != nullptr) *size = 0;
    try {
        return work();
    } catch (const std::exception& e) {
        fail(e.what(), size, message);
    } catch (...) {
        fail("unknown failure", size, message);
    }
    if constexpr (!std::is_void_v<R>) return R{};
}

}  // namespace tvxsample
