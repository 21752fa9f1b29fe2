// Derived lookup tables for the encoder and decoder, built from a vocabulary's surfaces:
//  - a code-point trie of every surface, whose nodes carry the id the surface map gives,
//    so the longest-match search walks the text once instead of hashing every candidate;
//  - the id of each byte's fallback token, of both word markers and of U+200C;
//  - per id, what decoding appends: the byte of a Byte token, or the surface with word
//    markers turned into spaces;
//  - the superwords (surfaces of whole words with markers inside), by the text they stand
//    for, so that the encoder tries them with one lookup per word.
// An index is immutable once built and is rebuilt when the vocabulary's generation moves.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "vocab/vocabulary.hpp"

namespace larkspur {

// An optional 32-bit index in four bytes, for the index's large tables: the all-ones value
// is no valid index (the index refuses to hold that many nodes or ids), so this type keeps
// it for "none"; outside the type there is only has_value() and the value.
class OptIndex {
   public:
    constexpr OptIndex() = default;
    constexpr OptIndex(std::uint32_t v) : v_(v) {}  // NOLINT: implicit like std::optional
    constexpr bool has_value() const { return v_ != kNone; }
    constexpr explicit operator bool() const { return has_value(); }
    constexpr std::uint32_t operator*() const { return v_; }

   private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    std::uint32_t v_ = kNone;
};

class SurfaceIndex {
   public:
    using Node = std::uint32_t;
    static constexpr Node kRoot = 0;

    // `latin_joins`: words are marked as the encoder marks them with that option, which
    // decides which surfaces are superwords.
    SurfaceIndex(const Vocabulary& vocab, const ByteSymbols& symbols, bool latin_joins = false);

    std::uint64_t generation() const { return generation_; }
    bool latin_joins() const { return latin_joins_; }
    bool empty() const { return empty_; }

    // The child of `node` along `cp`, if the trie has one.
    OptIndex child(Node node, char32_t cp) const {
        if (node == kRoot && cp < kRootDense) return root_dense_[cp];
        // Children are stored per node as a sorted run of code points: short runs are
        // scanned; wide nodes (the word markers have thousands of children) have a direct
        // table for ASCII and Devanagari, and are searched for anything else.
        const NodeInfo& info = nodes_[node];
        const std::uint32_t begin = info.first_child, end = nodes_[node + 1].first_child;
        const char32_t* cps = child_cp_.data();
        if (end - begin <= 8) {
            for (std::uint32_t i = begin; i < end; ++i) {
                if (cps[i] == cp) return child_node_[i];
            }
            return {};
        }
        if (info.dense) {
            if (cp < 0x80) return dense_[*info.dense * 256 + cp];
            if (cp - 0x0900 < 0x80) return dense_[*info.dense * 256 + 128 + (cp - 0x0900)];
        }
        const char32_t* it = std::lower_bound(cps + begin, cps + end, cp);
        if (it != cps + end && *it == cp) return child_node_[it - cps];
        return {};
    }
    // Id of the surface that ends at this node, if one does.
    std::optional<TokenId> id_at(Node node) const {
        const OptIndex id = nodes_[node].id;
        if (!id) return std::nullopt;
        return *id;
    }
    // Id of an exact surface (the same answer as the vocabulary's surface map).
    std::optional<TokenId> lookup(std::string_view surface) const;

    std::optional<TokenId> byte_id(std::uint8_t b) const { return byte_ids_[b]; }
    std::optional<TokenId> word_marker_id() const { return word_marker_id_; }
    std::optional<TokenId> latin_marker_id() const { return latin_marker_id_; }
    std::optional<TokenId> zwnj_id() const { return zwnj_id_; }

    // Decoding: is_byte(id) for Byte tokens, else display(id) (markers as spaces).
    bool is_byte(TokenId id) const { return byte_of_[id].has_value(); }
    std::uint8_t byte(TokenId id) const { return *byte_of_[id]; }
    std::string_view display(TokenId id) const {
        return std::string_view(display_).substr(display_off_[id], display_off_[id + 1] - display_off_[id]);
    }
    // Whether the surface of a non-byte token starts with a word marker.
    bool starts_with_marker(TokenId id) const { return marker_first_[id] != 0; }
    std::size_t size() const { return byte_of_.size(); }

    // A run of whole words as the text has them, single spaces between: the superword it
    // is (if any), and whether a superword of more words starts with it.
    struct Superword {
        OptIndex id;
        bool longer = false;
    };
    bool has_superwords() const { return !superwords_.empty(); }
    // Whether a word whose hash_bytes() is `h` may start a superword: false means it starts
    // none, and saves the lookup for most words.
    bool may_start_superword(std::uint64_t h) const { return (first_words_[(h >> 6) & kFilterMask] >> (h & 63)) & 1; }
    // Whether a surface is a superword: it starts with a marker (the caller knows) and
    // holds at least two, each followed by a word of at least one character that holds no
    // line feed or tab and whose first character takes that kind of marker (with Latin
    // joins, whose first character after its punctuation).
    static bool is_superword(std::string_view surface, bool latin_joins = false);
    const Superword* superword(std::string_view words) const {
        auto it = superwords_.find(words);
        return it == superwords_.end() ? nullptr : &it->second;
    }

   private:
    static constexpr char32_t kRootDense = 0x3000;

    std::uint64_t generation_;
    bool empty_;
    bool latin_joins_;
    std::vector<OptIndex> root_dense_;
    // Node n's children are child_cp_/child_node_[nodes_[n].first_child ..
    // nodes_[n + 1].first_child); the last entry of nodes_ only closes the last range.
    struct NodeInfo {
        std::uint32_t first_child;
        OptIndex dense;  // index of the node's direct child table
        OptIndex id;     // id of the surface that ends here
    };
    std::vector<NodeInfo> nodes_;
    std::vector<char32_t> child_cp_;
    std::vector<Node> child_node_;
    std::vector<OptIndex> dense_;  // 256 per wide node: ASCII, then U+0900..U+097F
    std::array<std::optional<TokenId>, 256> byte_ids_{};
    std::optional<TokenId> word_marker_id_, latin_marker_id_, zwnj_id_;
    std::vector<std::optional<std::uint8_t>> byte_of_;  // the byte of a Byte token
    std::vector<std::uint8_t> marker_first_;
    std::string display_;
    std::vector<std::size_t> display_off_;
    std::unordered_map<std::string, Superword, StringHash, std::equal_to<>> superwords_;
    // A bit per hash of the superwords' first words (2^18 bits).
    static constexpr std::uint64_t kFilterMask = (1u << 12) - 1;
    std::vector<std::uint64_t> first_words_ = std::vector<std::uint64_t>(kFilterMask + 1);
};

}  // namespace larkspur
