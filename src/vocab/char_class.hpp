// The script class of a character as the encoder cuts text into runs: ASCII letters and
// digits are Latin; ASCII punctuation, the dandas, dashes, quotation marks and the
// ellipsis are punctuation; the rest of the Devanagari block is Devanagari; U+200C is a
// format character; everything else (a literal word marker included) is MAL.
#pragma once

#include "common/utf8.hpp"
#include "vocab/token.hpp"

namespace larkspur {

inline Script char_class(char32_t c) {
    if (c < 0x80) {
        if (utf8::is_ascii_alnum(c)) return Script::LAT;
        if ((c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
            (c >= 0x7B && c <= 0x7E))
            return Script::PUN;
        return Script::MAL;
    }
    if (c >= 0x0900 && c <= 0x097F) return (c == 0x0964 || c == 0x0965) ? Script::PUN : Script::DEV;
    if (c == 0x200C) return Script::FMT;
    if ((c >= 0x2010 && c <= 0x2015) || (c >= 0x2018 && c <= 0x201F) || c == 0x2026) return Script::PUN;
    return Script::MAL;
}

// Whether the word that starts at byte `at` of `s` opens, after any punctuation, with an
// ASCII letter or digit: the encoder's rule for the Latin marker under Latin joins. A
// character outside the classes (a space, a marker) ends the look.
inline bool latin_after_punctuation(std::string_view s, std::size_t at) {
    for (std::size_t i = at; i < s.size();) {
        const char32_t c = utf8::next(s, i);
        if (char_class(c) != Script::PUN) return utf8::is_ascii_alnum(c);
    }
    return false;
}

}  // namespace larkspur
