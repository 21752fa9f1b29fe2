// Intrinsic measurements through exactly the encoding path that training and inference
// use: the round-trip check and corpus statistics.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "encode/encoder.hpp"
#include "text/normalizer.hpp"

namespace larkspur {

struct CorpusStats {
    std::uint64_t texts = 0, tokens = 0, words = 0, chars = 0, bytes = 0;
    double fertility = 0, tokens_per_char = 0, byte_fallback_rate = 0, roundtrip_pass_rate = 0;
    std::uint64_t vocab_size = 0;
    double dev_budget_share = 0, lat_budget_share = 0;
};

// Whether decode(encode(N(s))) equals N(s) byte for byte.
bool verify_roundtrip(const Normalizer& normalizer, const EncodeContext& ctx, std::string_view s);

// Counts and ratios over the texts; every denominator is raised to 1 when it is 0.
CorpusStats corpus_stats(const Normalizer& normalizer, const EncodeContext& ctx,
                         const std::vector<std::string>& texts);

// Number of maximal runs of characters without the White_Space property.
std::uint64_t count_words(std::string_view text);

}  // namespace larkspur
