// Building a base vocabulary: base aksharas, seed morphemes, punctuation, the word
// markers, typographic marks, ASCII letters and digits and the 256 byte tokens; loading a
// vocabulary from (id, surface) pairs; induced ambiguous seeds and promotion to strict.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/markers.hpp"
#include "vocab/vocabulary.hpp"

namespace larkspur {


struct SeedLists {
    std::vector<std::string> aksharas, seed_morphemes, punctuation, v_strict, v_ambiguous;
};

// Appends the seeding material to `vocab` (it is not cleared) and returns the new
// seed_max_len: the longest seed morpheme, in characters, containing "." or U+0964.
std::size_t initialize_vocab(Vocabulary& vocab, const SeedLists& lists, const ByteSymbols& symbols);

// Replaces the vocabulary by the pairs: sorted stably by id, renumbered densely, kinds
// from kind_of_loaded_surface, both markers appended when missing. Returns the new
// seed_max_len (surfaces of two or more characters with "." or U+0964).
std::size_t load_vocab(Vocabulary& vocab, std::vector<std::pair<std::size_t, std::string>> pairs,
                       const ByteSymbols& symbols);

// Adds the candidates with count >= c_lo (NaN rejects) and a non-empty surface to
// V_ambiguous, never to V_strict; returns the number accepted.
std::size_t induce_ambiguous_seeds(Vocabulary& vocab,
                                   const std::vector<std::pair<std::string, double>>& candidates,
                                   double c_lo);

// Moves a surface from V_ambiguous to V_strict, only with human validation.
bool promote_to_strict(Vocabulary& vocab, std::string_view surface, bool human_validated);

}  // namespace larkspur
