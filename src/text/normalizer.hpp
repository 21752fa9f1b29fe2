// The normalization function N that every reader of text applies first:
//   N(s) = NFC( fold( NFC(s) ) )
// where fold rewrites by the caller's literal rules (longest pattern first, the first
// listed among equal lengths, replacements never rescanned) and, in LM mode only, drops
// U+200D ZERO WIDTH JOINER. The normalizer is immutable after construction and safe to
// use from several threads at once; callers pass their own scratch buffers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/flat_map.hpp"
#include "text/fold_mode.hpp"

namespace larkspur {

struct FoldingRule {
    std::string pattern;  // code points as written by the caller, not normalized
    std::string replacement;
};

// Reusable buffers for `Normalizer::normalize_view`.
struct NormalizeScratch {
    std::string a, b;
};

class Normalizer {
   public:
    using RulePairs = std::vector<std::pair<std::string, std::string>>;

    // Keeps the rules as given, sorted stably by pattern length in code points, longest
    // first. Patterns must be valid UTF-8.
    Normalizer(FoldMode mode, const RulePairs& rules);

    FoldMode mode() const { return mode_; }
    const std::vector<FoldingRule>& rules() const { return rules_; }

    std::string normalize(std::string_view text) const;
    // N(text), returned either as `text` itself (when N leaves it unchanged, the common
    // case) or as a view into `scratch`.
    std::string_view normalize_view(std::string_view text, NormalizeScratch& scratch) const;

    // One "{} -> {} re-triggers {}" message per (rule, rule) pair whose replacement
    // contains the other's non-empty pattern, in stored order.
    std::vector<std::string> validate_rules() const;

    // Bare Normalization Form C, for the benchmarks and tests.
    static bool is_nfc(std::string_view text);
    static void nfc(std::string_view text, std::string& out);

   private:
    // Appends fold(text) to `out` and returns true, or returns false without touching
    // `out` when folding would leave the text unchanged.
    bool fold(std::string_view text, std::string& out) const;
    // Longest rule matching at text[i..]; returns the rule index or -1 and sets `end`.
    int match_at(std::string_view text, std::size_t i, std::size_t& end) const;
    int first_node(char32_t cp) const;

    FoldMode mode_;
    std::vector<FoldingRule> rules_;
    // Code-point trie of the non-empty patterns. Node 0 is the root; rule_at_[node] is the
    // index of the first stored rule whose pattern ends there, or -1.
    std::vector<std::int32_t> rule_at_;
    std::vector<std::int32_t> first_page_;   // cp >> 8 -> page index or -1 (BMP)
    std::vector<std::int32_t> first_nodes_;  // page * 256 + (cp & 255) -> node or -1
    FlatMap<std::uint64_t, std::int32_t> edges_;  // (node << 21 | cp) -> child
};

}  // namespace larkspur
