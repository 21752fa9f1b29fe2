// The akshara inventory of a corpus file: every line is normalized, its Devanagari runs
// (U+0900..U+097F without the dandas U+0964 and U+0965) are cut by the automaton, and each
// akshara text is counted. Memory grows with the number of distinct aksharas only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/string_counter.hpp"
#include "common/word_table.hpp"
#include "text/akshara_dfa.hpp"
#include "text/normalizer.hpp"

namespace larkspur {

// Calls f(begin, end) for each maximal Devanagari run of valid UTF-8 `text` (byte offsets).
template <class F>
void for_each_devanagari_run(std::string_view text, F&& f) {
    auto dev_at = [&](std::size_t i) {
        // U+0900..U+097F is E0 A4 80 .. E0 A5 BF; U+0964/U+0965 are E0 A5 A4/A5.
        if (i + 3 > text.size()) return false;
        auto b0 = static_cast<unsigned char>(text[i]), b1 = static_cast<unsigned char>(text[i + 1]),
             b2 = static_cast<unsigned char>(text[i + 2]);
        if (b0 != 0xE0 || (b1 != 0xA4 && b1 != 0xA5)) return false;
        return !(b1 == 0xA5 && (b2 == 0xA4 || b2 == 0xA5));
    };
    std::size_t i = 0, n = text.size();
    while (i < n) {
        if (!dev_at(i)) {
            i += utf8::seq_len(static_cast<unsigned char>(text[i]));
            continue;
        }
        std::size_t start = i;
        while (i < n && dev_at(i)) i += 3;
        f(start, i);
    }
}

// The texts counted at least `min_freq` times, by count (highest first), then text
// (ascending bytes).
std::vector<std::string> sorted_inventory(const StringCounter& aksharas, std::uint64_t min_freq);

// Opens `path` (IOError "open {}: {}"), reads it through a 1 MiB buffer, skips lines that
// are not valid UTF-8, and returns the aksharas seen at least `min_freq` times, by count
// (highest first) then text (ascending bytes). A read error ends the scan with IOError
// "read: {}". Runs without the interpreter lock.
std::vector<std::string> harvest_aksharas(const std::string& path, std::uint64_t min_freq,
                                          const Normalizer& normalizer, const AksharaDFA& dfa);

// The akshara inventory of word counts: the Devanagari runs of each word cut by the
// automaton, each akshara counted with the word's count; those seen at least `min_freq`
// times, by count (highest first) then text.
std::vector<std::string> harvest_from_words(const WordTable& words, std::uint64_t min_freq,
                                            const AksharaDFA& dfa);

// A symbol: a character that no script class of the encoder claims and that is none of
// the characters it treats apart: not ASCII or a C1 control (everything below U+00A0), not
// Devanagari, not a joiner (U+200C, U+200D), dash (U+2010..U+2015), quotation mark
// (U+2018..U+201F) or ellipsis, not a word marker and not white space. Latin-1 and Latin
// Extended-A letters are symbols although 188 of them look like byte tokens: the
// tokenizer gives them tokens of their own beside the byte tokens.
bool is_symbol_char(char32_t c);

// The symbols of word counts, each counted with the word's count; those seen at least
// `min_freq` times, by count (highest first) then code point, at most `limit` of them.
std::vector<std::string> symbol_inventory(const WordTable& words, std::uint64_t min_freq, std::size_t limit);

// Both inventories of the same words, in one pass over them.
struct Inventories {
    std::vector<std::string> aksharas, symbols;
};
Inventories harvest_inventories(const WordTable& words, std::uint64_t akshara_min_freq,
                                std::uint64_t symbol_min_freq, std::size_t symbol_limit, const AksharaDFA& dfa);

}  // namespace larkspur
