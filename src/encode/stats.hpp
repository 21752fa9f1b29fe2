// Intrinsic measurements through exactly the encoding path that training and inference
// use: the round-trip check and corpus statistics.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "encode/encoder.hpp"
#include "text/normalizer.hpp"

namespace larkspur {

// A byte-fallback token is a token of kind Byte (or an id without a token): one byte of
// text that the vocabulary had no better token for. The exact module's figure counts
// tokens of script MAL, which under the exact scheme are exactly these; the companion's
// options add MAL tokens that are not bytes (line feed and tab, symbol characters), so
// its figure counts by kind.
bool is_byte_fallback_token(const Vocabulary& vocab, TokenId id);

struct CorpusStats {
    std::uint64_t texts = 0, tokens = 0, words = 0, chars = 0, bytes = 0;
    // Byte-fallback tokens (above), tokens per script (DEV, LAT, PUN, FMT, MAL by value),
    // and texts that decode back to their normalized form.
    std::uint64_t byte_tokens = 0, script_tokens[5] = {0, 0, 0, 0, 0}, roundtrip_passes = 0;
    double fertility = 0, tokens_per_char = 0, byte_fallback_rate = 0, roundtrip_pass_rate = 0;
    std::uint64_t vocab_size = 0;
    double dev_budget_share = 0, lat_budget_share = 0;
};

// Whether decode(encode(N(s))) equals N(s) byte for byte.
bool verify_roundtrip(const Normalizer& normalizer, const EncodeContext& ctx, std::string_view s);

// Adds the counts of one normalized text and its ids to `st` (texts, chars, bytes, words,
// tokens, the token kinds and scripts, the round trip); the ratios are left alone.
void add_text_stats(CorpusStats& st, const EncodeContext& ctx, std::string_view normalized,
                    std::span<const std::uint32_t> ids);
// Adds the counts of `o` to `st` (the ratios are left alone).
void add_counts(CorpusStats& st, const CorpusStats& o);
// Computes the ratios from the counts and the vocabulary.
void finish_stats(CorpusStats& st, const Vocabulary& vocab);

// Counts and ratios over the texts; every denominator is raised to 1 when it is 0.
CorpusStats corpus_stats(const Normalizer& normalizer, const EncodeContext& ctx,
                         const std::vector<std::string>& texts);

// Number of maximal runs of characters without the White_Space property.
std::uint64_t count_words(std::string_view text);

}  // namespace larkspur
