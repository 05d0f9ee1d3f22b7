// The error pair: how every failure of this library reaches the caller.
//
// An entry's last two parameters are `int* size` and `wchar_t** message`. Size 0 means success;
// otherwise it is the message length in wide characters including the terminator. Messages made
// here are new buffers from platform::allocate_message, owned by the caller.
#pragma once

#include <cstddef>
#include <exception>
#include <string>
#include <string_view>

namespace tvx {

// Stores `text` as a new message in *message and returns its size (length + 1), which the caller
// writes to *size. The previous *message is overwritten, not released. When the buffer cannot be
// allocated, *message becomes null and the result is -1: still a failure, with no text.
int store_message(std::wstring_view text, wchar_t** message) noexcept;

// Reports `text` through the pair: stores it and writes the size. Null pair pointers are skipped.
void report(std::wstring_view text, int* size, wchar_t** message) noexcept;

// Reports "Invalid API pointer when calling function " + name: the chosen library or its slot is
// missing. Kept out of line so the forwarding wrappers stay small.
void report_invalid_api(const char* entry, int* size, wchar_t** message) noexcept;

// Decodes UTF-8 into wide text, dropping what is not valid: stray and invalid bytes, truncated
// sequences, overlong forms, surrogates and values above U+10FFFF. With a 16-bit wchar_t a value
// above U+FFFF becomes a surrogate pair; with a 32-bit wchar_t it stays one character.
std::wstring decode_utf8(std::string_view bytes);

// Narrow (UTF-8) text of a wide message, for messages that are built from another message.
std::string encode_utf8(std::wstring_view text);

// Appends " when calling function " + entry to the message in the pair (the empty text when the
// message is null) and stores the result as a new message. The message it replaces is freed only
// when this library made it (see OwnMessages); an implementation library's buffer is left alone.
void append_call_context(const char* entry, int* size, wchar_t** message) noexcept;

// Which messages this library made itself. An implementation library's message may come from any
// allocator (a static text, a debug heap, an arena of its own), so this library frees only the
// buffers it allocated. While an OwnMessages scope is open on a thread, every message this library
// stores on that thread is remembered until it is freed or the outermost scope closes; the scope is
// held by the internal work that may discard or extend messages (moves, deep copies, reconciling).
// Remembering ends with the scope, before any message reaches the caller, so an address the caller
// freed and an implementation library reused is never mistaken for one of ours.
class OwnMessages {
public:
    OwnMessages() noexcept;
    ~OwnMessages();
    OwnMessages(const OwnMessages&) = delete;
    OwnMessages& operator=(const OwnMessages&) = delete;

    // Frees `message` when this library made it in the open scope; otherwise leaves it untouched
    // (an implementation library's message, dropped without being freed). True when it was freed.
    static bool release(wchar_t* message) noexcept;
};

// The message for an exception that escaped an entry's work: the decoded what() of a standard
// exception, else `entry` + " error : -Unknown exception occurred-".
std::wstring exception_message(std::exception_ptr error, std::wstring_view entry);

// Sets *size to 0, runs `work`, and turns an exception into the error pair. True when `work`
// ended normally.
template <class Work>
bool capture(std::wstring_view entry, int* size, wchar_t** message, Work&& work) noexcept {
    if (size != nullptr) *size = 0;
    try {
        work();
        return true;
    } catch (...) {
        try {
            report(exception_message(std::current_exception(), entry), size, message);
        } catch (...) {
            if (size != nullptr) *size = -1;  // no memory left even for the message
            if (message != nullptr) *message = nullptr;
        }
        return false;
    }
}

}  // namespace tvx
