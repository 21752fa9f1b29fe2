// Changes to a vocabulary beyond the exact scheme's seeding and merging: the base tokens
// that the companion's encoding options spell with, and giving back the least used merges
// after training past the size asked for.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vocab/vocabulary.hpp"

namespace larkspur {

// Adds the base tokens that the encoding options spell with and the vocabulary lacks:
// every code point of the Devanagari block but the dandas (with `codepoint_fallback`),
// line feed and tab (with `whitespace_tokens`), and `symbols` (with `codepoint_fallback`:
// characters such as the degree sign that are then tokens of their own instead of bytes).
// A Latin-1 or Latin Extended-A letter whose surface is also a byte token's gets a token
// of its own after the byte token, so that the surface names the character and byte
// fallback finds byte tokens by their byte. ValueError for a symbol that is not one
// symbol character (text/harvest.hpp). Returns the vocabulary size.
std::size_t add_fallback_tokens(Vocabulary& vocab, bool codepoint_fallback, bool whitespace_tokens,
                                const std::vector<std::string>& symbols);

// Drops the `drop` merged Devanagari tokens with the least use (per id, as a training
// run's token use gives it), the least used first and among equally used ones the newest,
// and renumbers the ids after them. A word marker joined with its first akshara stays:
// it is what an unseen word starts with. ValueError when `use` does not cover the
// vocabulary. Returns each old id's new id (none for a dropped one).
std::vector<std::optional<TokenId>> prune_merges(Vocabulary& vocab, std::span<const std::uint64_t> use,
                                                 std::size_t drop);

}  // namespace larkspur
