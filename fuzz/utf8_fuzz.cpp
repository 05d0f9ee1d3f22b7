// The UTF-8 decoder against a second decoder written separately from the same rules: for any bytes
// both give the same wide text. The second one works on whole sequences looked up by their lead
// byte's length, where the decoder under test accumulates byte by byte.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "dispatch/error.h"

namespace {

// Length of the sequence a byte starts, or 0 for a byte no sequence starts with.
int sequence_length(unsigned char b) {
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF4) return 4;
    return 0;
}

std::wstring reference_decode(const unsigned char* p, std::size_t n) {
    std::wstring out;
    std::size_t i = 0;
    while (i < n) {
        const int len = sequence_length(p[i]);
        if (len == 0) {  // a stray continuation byte, 0xC0, 0xC1 or 0xF5..0xFF: dropped alone
            ++i;
            continue;
        }
        if (len == 1) {
            out.push_back(static_cast<wchar_t>(p[i++]));
            continue;
        }
        // The first byte among the expected continuations that is not one ends the sequence there,
        // and is dropped with it; a range ending early drops the unfinished sequence and stops.
        std::size_t k = 1;
        while (k < static_cast<std::size_t>(len) && i + k < n && (p[i + k] & 0xC0) == 0x80) ++k;
        if (k < static_cast<std::size_t>(len)) {
            if (i + k >= n) break;
            i += k + 1;
            continue;
        }
        static const std::uint32_t lead_mask[5] = {0, 0, 0x1F, 0x0F, 0x07};
        std::uint32_t v = p[i] & lead_mask[len];
        for (int j = 1; j < len; ++j) v = (v << 6) | (p[i + j] & 0x3F);
        i += static_cast<std::size_t>(len);
        static const std::uint32_t smallest[5] = {0, 0, 0x80, 0x800, 0x10000};
        if (v < smallest[len] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) continue;
        if (sizeof(wchar_t) == 2 && v > 0xFFFF) {
            out.push_back(static_cast<wchar_t>(0xD800 + ((v - 0x10000) >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + ((v - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(v));
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::wstring got = tvx::decode_utf8(std::string_view(reinterpret_cast<const char*>(data), size));
    const std::wstring want = reference_decode(data, size);
    if (got != want) {
        std::fprintf(stderr, "the decoders differ on %zu bytes:", size);
        for (std::size_t i = 0; i < size; ++i) std::fprintf(stderr, " %02X", data[i]);
        std::fprintf(stderr, "\n");
        std::abort();
    }
    return 0;
}
