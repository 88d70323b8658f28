#pragma once

// UTF-8 for the export and import formats: validation (well-formed sequences only: no overlong
// forms, no encoded surrogates, nothing above U+10FFFF) and the encoding of one code point.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

// The length of the well-formed sequence that starts at p (1 to 4), or 0 when it is not one: the
// careful part, for what is neither ASCII nor a plain three-byte sequence.
inline std::size_t Utf8SequenceLengthSlow(const unsigned char* p, const unsigned char* end) {
    unsigned lead = p[0];
    auto continuation = [&](std::size_t i, unsigned low, unsigned high) {
        return p + i < end && p[i] >= low && p[i] <= high;
    };
    if (lead < 0x80)
        return 1;
    if (lead < 0xC2)
        return 0;
    if (lead < 0xE0)
        return continuation(1, 0x80, 0xBF) ? 2 : 0;
    if (lead < 0xF0) {
        unsigned low = lead == 0xE0 ? 0xA0 : 0x80;
        unsigned high = lead == 0xED ? 0x9F : 0xBF;
        return continuation(1, low, high) && continuation(2, 0x80, 0xBF) ? 3 : 0;
    }
    if (lead < 0xF5) {
        unsigned low = lead == 0xF0 ? 0x90 : 0x80;
        unsigned high = lead == 0xF4 ? 0x8F : 0xBF;
        return continuation(1, low, high) && continuation(2, 0x80, 0xBF) && continuation(3, 0x80, 0xBF) ? 4 : 0;
    }
    return 0;
}

// The length of the well-formed sequence that starts at p (1 to 4), or 0 when it is not one.
[[gnu::always_inline]] inline std::size_t Utf8SequenceLength(const unsigned char* p, const unsigned char* end) {
    unsigned lead = p[0];
    if (lead < 0x80)
        return 1;
    // Three bytes without the lead bytes that need a narrower second byte (E0, ED): most Chinese text.
    if (lead >= 0xE1 && lead <= 0xEF && lead != 0xED && end - p >= 3 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80)
        return 3;
    return Utf8SequenceLengthSlow(p, end);
}

// The length of the longest prefix of text that is valid UTF-8; text.size() when all of it is.
inline std::size_t ValidUtf8Length(std::string_view text) {
    const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
    const unsigned char* end = begin + text.size();
    const unsigned char* p = begin;
    while (p < end) {
        unsigned lead = *p;
        if (lead < 0x80) {
            // ASCII eight bytes at a time.
            ++p;
            for (std::uint64_t word; end - p >= 8; p += 8) {
                std::memcpy(&word, p, 8);
                if (word & 0x8080808080808080ull)
                    break;
            }
            continue;
        }
        std::size_t length = Utf8SequenceLength(p, end);
        if (length == 0)
            return static_cast<std::size_t>(p - begin);
        p += length;
    }
    return text.size();
}

inline bool IsValidUtf8(std::string_view text) {
    return ValidUtf8Length(text) == text.size();
}

// Appends the UTF-8 form of code, a code point (a lone surrogate too: its three-byte form).
inline void AppendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}
