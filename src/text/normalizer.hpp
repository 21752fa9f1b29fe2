// The normalization function N that every reader of text applies first:
//   N(s) = NFC( fold( NFC(s) ) )
// where fold rewrites by the caller's literal rules (longest pattern first, the first
// listed among equal lengths, replacements never rescanned) and, in LM mode only, drops
// U+200D ZERO WIDTH JOINER. The normalizer is immutable after construction and safe to
// use from several threads at once; callers pass their own scratch buffers.
#pragma once

#include <algorithm>
#include <array>
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
    // Whether N(a + b) = N(a) + N(b) whenever b starts with U+0020: true unless a pattern
    // contains a space (the space is a normalization boundary, and nothing composes with it).
    bool splits_at_spaces() const { return !space_in_pattern_; }
    const std::vector<FoldingRule>& rules() const { return rules_; }

    std::string normalize(std::string_view text) const;
    // N(text), returned either as `text` itself (when N leaves it unchanged, the common
    // case) or as a view into `scratch`.
    std::string_view normalize_view(std::string_view text, NormalizeScratch& scratch) const;

    // N(text) handed to `f` in pieces that join to it, cut before spaces, so that a corpus
    // line of any length is normalized within scratch buffers of about a MiB. Neither
    // composition nor a rule without a space in its pattern reaches across a space, so
    // the pieces are exactly N's output. Lines without spaces, and rule sets that match
    // spaces, go through whole.
    template <class F>
    void normalize_pieces(std::string_view text, NormalizeScratch& scratch, F&& f,
                          std::size_t piece_bytes = std::size_t(1) << 20) const;

    // One "{} -> {} re-triggers {}" message per (rule, rule) pair whose replacement
    // contains the other's non-empty pattern, in stored order.
    std::vector<std::string> validate_rules() const;

    // Bare Normalization Form C, for the benchmarks and tests.
    static bool is_nfc(std::string_view text);
    static void nfc(std::string_view text, std::string& out);

   private:
    // Writes fold(text) to `out` and returns true, or returns false without touching `out`
    // when folding would leave the text unchanged. `recheck` tells whether composed input
    // may have become uncomposed.
    bool fold(std::string_view text, std::string& out, bool& recheck) const;
    int first_node(char32_t cp) const;

    FoldMode mode_;
    std::vector<FoldingRule> rules_;
    // Code-point trie of the non-empty patterns. Node 0 is the root, reached through a page
    // table for the first code point. Each node has the index of the first stored rule
    // whose pattern ends there (or -1), a 64-bit filter of its children's code points
    // (bit cp % 64) that rejects most continuations at once, and a sorted run of children.
    struct Node {
        std::uint64_t filter = 0;
        std::uint32_t first_child = 0, children = 0;
        std::int32_t rule = -1;
    };
    std::int32_t child_of(std::int32_t node, char32_t cp) const;
    std::vector<Node> nodes_;
    std::vector<char32_t> child_cp_;
    std::vector<std::int32_t> child_node_;
    std::array<std::uint64_t, 4> end_byte_{};  // last bytes of one-byte patterns
    std::vector<std::uint64_t> end_pair_;     // last two bytes of longer patterns (and U+200D)
    std::size_t max_pattern_bytes_ = 0;
    bool has_one_byte_pattern_ = false;
    bool space_in_pattern_ = false;
    std::vector<bool> clean_replacement_;
    static constexpr char32_t kDenseFirst = 0x1000;
    std::vector<std::int32_t> first_dense_;  // cp -> node or -1, below kDenseFirst
    std::vector<std::int32_t> first_page_;   // cp >> 8 -> page index or -1 (BMP)
    std::vector<std::int32_t> first_nodes_;  // page * 256 + (cp & 255) -> node or -1
};

template <class F>
void Normalizer::normalize_pieces(std::string_view text, NormalizeScratch& scratch, F&& f,
                                  std::size_t piece_bytes) const {
    const std::size_t kPiece = std::max<std::size_t>(piece_bytes, 1);
    if (text.size() > kPiece && splits_at_spaces()) {
        while (text.size() > kPiece) {
            std::size_t cut = text.rfind(' ', kPiece);
            if (cut == std::string_view::npos || cut == 0) cut = text.find(' ', kPiece);
            if (cut == std::string_view::npos) break;
            f(normalize_view(text.substr(0, cut), scratch));
            text.remove_prefix(cut);
        }
    }
    f(normalize_view(text, scratch));
}

inline std::int32_t Normalizer::child_of(std::int32_t n, char32_t cp) const {
    const Node& node = nodes_[n];
    if (!((node.filter >> (cp & 63)) & 1)) return -1;
    const char32_t* cps = child_cp_.data() + node.first_child;
    if (node.children <= 8) {
        for (std::uint32_t i = 0; i < node.children; ++i) {
            if (cps[i] == cp) return child_node_[node.first_child + i];
        }
        return -1;
    }
    const char32_t* it = std::lower_bound(cps, cps + node.children, cp);
    return it != cps + node.children && *it == cp ? child_node_[node.first_child + (it - cps)] : -1;
}

inline int Normalizer::first_node(char32_t cp) const {
    if (cp < kDenseFirst) return first_dense_[cp];
    if (cp < 0x10000) {
        if (first_page_.empty()) return -1;
        std::int32_t page = first_page_[cp >> 8];
        return page < 0 ? -1 : first_nodes_[page * 256 + (cp & 0xFF)];
    }
    return child_of(0, cp);
}

}  // namespace larkspur
