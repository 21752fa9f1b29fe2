// UTF-8 helpers shared by every subsystem. Texts inside the core are valid UTF-8
// (they come from Python strings or from validated file lines), so the decoders
// below trust their input; `is_valid_utf8` is the gate for bytes from files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace larkspur::utf8 {

bool is_valid(std::string_view s);

// Length of the sequence that starts with lead byte b (1 for continuation bytes, so that a
// walk over valid text never stalls).
inline std::size_t seq_len(unsigned char b) {
    if (b < 0x80) return 1;
    if (b >= 0xF0) return 4;
    if (b >= 0xE0) return 3;
    if (b >= 0xC0) return 2;
    return 1;
}

// Decodes the code point at s[i] of valid UTF-8 and advances i past it. A sequence cut
// off by the end of the view (never the case for valid text) reads as U+FFFD.
inline char32_t next(std::string_view s, std::size_t& i) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
    const unsigned char b0 = p[0];
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    const std::size_t n = seq_len(b0);
    if (i + n > s.size()) {
        i = s.size();
        return 0xFFFD;
    }
    i += n;
    switch (n) {
        case 2:
            return (char32_t(b0 & 0x1F) << 6) | (p[1] & 0x3F);
        case 3:
            return (char32_t(b0 & 0x0F) << 12) | (char32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        case 4:
            return (char32_t(b0 & 0x07) << 18) | (char32_t(p[1] & 0x3F) << 12) | (char32_t(p[2] & 0x3F) << 6) |
                   (p[3] & 0x3F);
        default:
            return 0xFFFD;  // a stray continuation byte
    }
}

// Number of code points of valid UTF-8.
inline std::size_t count_chars(std::string_view s) {
    std::size_t n = 0;
    for (unsigned char c : s) n += (c & 0xC0) != 0x80;
    return n;
}

void append(std::string& out, char32_t cp);
inline std::string encode(char32_t cp) {
    std::string s;
    append(s, cp);
    return s;
}

// Appends the lossy decoding of raw bytes: every maximal invalid subpart becomes U+FFFD.
void append_lossy(std::string& out, std::string_view bytes);

// The Unicode White_Space property.
inline bool is_white_space(char32_t c) {
    if (c <= 0x20) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
    if (c < 0x85) return false;
    return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
           c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Byte length of the White_Space character at s[i], or 0 when s[i] starts another
// character. Works on the UTF-8 bytes, without decoding: only a few lead bytes can start
// a white-space character.
inline std::size_t white_space_len(std::string_view s, std::size_t i) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + i;
    const std::size_t avail = s.size() - i;
    const unsigned char b = p[0];
    if (b < 0x80) return (b == 0x20 || (b >= 0x09 && b <= 0x0D)) ? 1 : 0;
    if (b == 0xC2) return avail >= 2 && (p[1] == 0x85 || p[1] == 0xA0) ? 2 : 0;
    if (b < 0xE1 || b > 0xE3 || avail < 3) return 0;
    if (b == 0xE1) return p[1] == 0x9A && p[2] == 0x80 ? 3 : 0;                  // U+1680
    if (b == 0xE3) return p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;                  // U+3000
    if (p[1] == 0x80) {
        return (p[2] <= 0x8A || p[2] == 0xA8 || p[2] == 0xA9 || p[2] == 0xAF) ? 3 : 0;  // U+2000..
    }
    return p[1] == 0x81 && p[2] == 0x9F ? 3 : 0;                                 // U+205F
}

// `s` without the White_Space characters at either end.
std::string_view trim_white_space(std::string_view s);

// Appends code units of a fixed width (1, 2 or 4 bytes: Latin-1, UCS-2 or UCS-4 text)
// encoded as UTF-8. The units are code points; surrogates must not occur.
template <class Unit>
void append_units(std::string& out, const Unit* src, std::size_t n) {
    const std::size_t old = out.size();
    // Two bytes of slack: every unit below U+10000 stores three bytes (see below).
    out.resize(old + n * (sizeof(Unit) == 1 ? 2 : sizeof(Unit) == 2 ? 3 : 4) + 2);
    auto* p = reinterpret_cast<unsigned char*>(out.data() + old);
    for (std::size_t i = 0; i < n; ++i) {
        const char32_t c = src[i];
        if (c < 0x10000) {
            // One to three bytes without a branch on the length: text that mixes ASCII
            // spaces with Devanagari would mispredict one at every word. All three bytes
            // are stored and p moves by the length.
            const bool two = c >= 0x80, three = c >= 0x800;
            const unsigned lead = three ? 0xE0 | (c >> 12) : two ? 0xC0 | (c >> 6) : c;
            const unsigned mid = 0x80 | ((three ? c >> 6 : c) & 0x3F);
            p[0] = static_cast<unsigned char>(lead);
            p[1] = static_cast<unsigned char>(mid);
            p[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            p += 1 + two + three;
        } else {
            *p++ = static_cast<unsigned char>(0xF0 | (c >> 18));
            *p++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
        }
    }
    out.resize(static_cast<std::size_t>(reinterpret_cast<char*>(p) - out.data()));
}

inline bool is_ascii_alnum(char32_t c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Calls f(start, end, has_ascii_alnum) for each maximal run of characters of valid UTF-8
// `text` without the White_Space property (the words of a line), in order.
template <class F>
void for_each_word(std::string_view text, F&& f) {
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n) {
        if (std::size_t ws = white_space_len(text, i)) {
            i += ws;
            continue;
        }
        const std::size_t start = i;
        bool has_alnum = false;
        while (i < n && white_space_len(text, i) == 0) {
            const auto b = static_cast<unsigned char>(text[i]);
            has_alnum |= is_ascii_alnum(b);
            i += seq_len(b);
        }
        if (i > n) i = n;
        f(start, i, has_alnum);
    }
}

}  // namespace larkspur::utf8
