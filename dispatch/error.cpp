#include "dispatch/error.h"

#include <cstring>
#include <stdexcept>

#include "platform/module.h"

namespace tvx {

namespace {

// The messages this library stored on this thread while an OwnMessages scope is open. A handful is
// enough: a move makes at most a few before they are discarded or handed on. When the list is
// full the oldest is forgotten, which can only leak one of our own buffers, never free a foreign one.
struct OwnMessageList {
    int depth = 0;
    int count = 0;
    wchar_t* made[16] = {};
};
thread_local OwnMessageList own_messages;

void remember_own(wchar_t* buffer) noexcept {
    OwnMessageList& list = own_messages;
    if (list.depth == 0 || buffer == nullptr) return;
    constexpr int capacity = static_cast<int>(sizeof list.made / sizeof list.made[0]);
    if (list.count == capacity) {
        for (int i = 1; i < capacity; ++i) list.made[i - 1] = list.made[i];
        --list.count;
    }
    list.made[list.count++] = buffer;
}

}  // namespace

OwnMessages::OwnMessages() noexcept {
    if (own_messages.depth++ == 0) own_messages.count = 0;
}

OwnMessages::~OwnMessages() {
    if (--own_messages.depth == 0) own_messages.count = 0;
}

bool OwnMessages::release(wchar_t* message) noexcept {
    OwnMessageList& list = own_messages;
    if (message == nullptr) return false;
    for (int i = 0; i < list.count; ++i) {
        if (list.made[i] != message) continue;
        for (int k = i + 1; k < list.count; ++k) list.made[k - 1] = list.made[k];
        --list.count;
        platform::free_message(message);
        return true;
    }
    return false;
}

int store_message(std::wstring_view text, wchar_t** message) noexcept {
    const std::size_t chars = text.size() + 1;
    wchar_t* buffer = platform::allocate_message(chars);
    *message = buffer;
    remember_own(buffer);
    if (buffer == nullptr) return -1;
    if (!text.empty()) std::memcpy(buffer, text.data(), text.size() * sizeof(wchar_t));
    buffer[text.size()] = L'\0';
    return static_cast<int>(chars);
}

void report(std::wstring_view text, int* size, wchar_t** message) noexcept {
    if (message == nullptr) {
        if (size != nullptr) *size = static_cast<int>(text.size() + 1);
        return;
    }
    const int n = store_message(text, message);
    if (size != nullptr) *size = n;
}

void report_invalid_api(const char* entry, int* size, wchar_t** message) noexcept {
    static constexpr std::wstring_view prefix = L"Invalid API pointer when calling function ";
    // Entry names are ASCII; widen them without allocating twice.
    const std::size_t n = std::strlen(entry);
    wchar_t local[256];
    std::wstring heap;
    wchar_t* text = local;
    const std::size_t total = prefix.size() + n;
    if (total > sizeof local / sizeof local[0]) {
        try {
            heap.resize(total);
        } catch (...) {
            if (size != nullptr) *size = -1;
            if (message != nullptr) *message = nullptr;
            return;
        }
        text = heap.data();
    }
    std::memcpy(text, prefix.data(), prefix.size() * sizeof(wchar_t));
    for (std::size_t i = 0; i < n; ++i) text[prefix.size() + i] = static_cast<unsigned char>(entry[i]);
    report(std::wstring_view(text, total), size, message);
}

std::wstring decode_utf8(std::string_view bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const unsigned char lead = static_cast<unsigned char>(bytes[i++]);
        if (lead < 0x80) {
            out.push_back(static_cast<wchar_t>(lead));
            continue;
        }
        int extra;
        char32_t value;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            value = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            value = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            value = lead & 0x07;
        } else {
            continue;  // continuation byte without a lead, 0xC0, 0xC1 or 0xF5..0xFF
        }
        bool complete = true;
        bool malformed = false;
        for (int k = 0; k < extra; ++k) {
            if (i >= n) {
                complete = false;
                break;
            }
            const unsigned char c = static_cast<unsigned char>(bytes[i++]);
            if ((c & 0xC0) != 0x80) {  // the offending byte is consumed with the sequence
                malformed = true;
                break;
            }
            value = (value << 6) | (c & 0x3F);
        }
        if (!complete) break;  // the range ends inside a sequence
        if (malformed) continue;
        static constexpr char32_t kShortest[] = {0, 0x80, 0x800, 0x10000};
        if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF) || value < kShortest[extra]) continue;
        if constexpr (sizeof(wchar_t) == 2) {
            if (value > 0xFFFF) {
                const char32_t v = value - 0x10000;
                out.push_back(static_cast<wchar_t>(0xD800 + (v >> 10)));
                out.push_back(static_cast<wchar_t>(0xDC00 + (v & 0x3FF)));
                continue;
            }
        }
        out.push_back(static_cast<wchar_t>(value));
    }
    return out;
}

std::string encode_utf8(std::wstring_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = static_cast<char32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            c &= 0xFFFF;
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
                const char32_t low = static_cast<char32_t>(text[i + 1]) & 0xFFFF;
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c <= 0x10FFFF) {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

void append_call_context(const char* entry, int* size, wchar_t** message) noexcept {
    try {
        std::wstring text;
        wchar_t* old = message != nullptr ? *message : nullptr;
        if (old != nullptr) text = old;
        text += L" when calling function ";
        for (const char* p = entry; *p != '\0'; ++p) text.push_back(static_cast<unsigned char>(*p));
        report(text, size, message);
        // The extended message replaces the old one. Ours is freed; an implementation library's
        // stays with whatever allocator made it.
        OwnMessages::release(old);
    } catch (...) {
        if (size != nullptr) *size = -1;
        if (message != nullptr) *message = nullptr;
    }
}

std::wstring exception_message(std::exception_ptr error, std::wstring_view entry) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return decode_utf8(e.what());
    } catch (...) {
        std::wstring text(entry);
        text += L" error : -Unknown exception occurred-";
        return text;
    }
}

}  // namespace tvx
