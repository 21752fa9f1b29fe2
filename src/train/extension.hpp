// Merges that extend another tokenizer's BPE with Devanagari tokens.
//
// The words arrive as sequences of that tokenizer's token numbers, as its own merges leave
// them, each number with a class saying what its token's text holds. A pair may merge only
// when the token it makes is one word's run of one kind, optionally after the word marker
// (a leading space or "▁") of the left token: Devanagari letters and signs, perhaps ending
// in punctuation (as a word before its comma or danda); Devanagari digits; or dandas. So
// no new token joins words or mixes Devanagari with other letters, and every new token
// holds Devanagari, which no text without Devanagari can contain: such text keeps every
// id the base tokenizer gives it.
#pragma once

#include <cstdint>
#include <functional>
#include <tuple>
#include <vector>

namespace larkspur {

// A token's class: the kind of its text after an optional word marker, and whether it has one.
enum ExtensionClass : std::uint8_t {
    kExtendNone = 0,          // anything else: never merged by the extension
    kExtendMarker = 1,        // the word marker alone
    kExtendLetters = 2,       // Devanagari letters and signs (aksharas)
    kExtendDigits = 3,        // Devanagari digits
    kExtendPunct = 4,         // the dandas and the abbreviation sign
    kExtendAsciiPunct = 5,    // ASCII punctuation: merged only after Devanagari letters
    kExtendLettersPunct = 6,  // Devanagari letters, then punctuation of either kind
    kExtendLeadMarker = 0x80,
};

// (left, right, merged): a tuple, as the binding hands it on unchanged.
using ExtensionMerge = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>;

// Up to `merges` merges over `units` (the sequences end to end, `lengths[i]` units each,
// seen `counts[i]` times), most frequent pair first (ties to the smaller pair), each made
// only of admissible pairs seen at least `min_count` times. `classes[u]` is the class of
// unit u; merged units are numbered from classes.size() on, and their classes appended.
std::vector<ExtensionMerge> learn_extension_merges(const std::vector<std::uint32_t>& units,
                                                   const std::vector<std::uint32_t>& lengths,
                                                   const std::vector<std::uint64_t>& counts,
                                                   std::vector<std::uint8_t>& classes, std::size_t merges,
                                                   std::uint64_t min_count, const std::function<bool()>& interrupted);

// The class of the token made of `left` then `right`, or kExtendNone when they may not merge.
std::uint8_t merged_extension_class(std::uint8_t left, std::uint8_t right);

}  // namespace larkspur
