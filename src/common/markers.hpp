// The word markers. A marker stands for a word boundary inside a surface: one is put at
// the start of every text and in place of every space, U+2582 before an ASCII letter or
// digit and U+2581 before anything else. Every vocabulary holds both as tokens, and
// decoding turns them back into spaces.
#pragma once

#include <string_view>

namespace larkspur::markers {

inline constexpr char32_t kWordCp = 0x2581;
inline constexpr char32_t kLatinCp = 0x2582;
inline constexpr std::string_view kWord = "\xE2\x96\x81";
inline constexpr std::string_view kLatin = "\xE2\x96\x82";
// Both markers are E2 96 followed by this byte.
inline constexpr std::string_view kLead = "\xE2\x96";
inline constexpr char kWordLast = '\x81', kLatinLast = '\x82';

inline constexpr bool is_marker(char32_t c) { return c == kWordCp || c == kLatinCp; }

// U+200C ZERO WIDTH NON-JOINER, the one format character with a token of its own.
inline constexpr std::string_view kZwnj = "\xE2\x80\x8C";

}  // namespace larkspur::markers
