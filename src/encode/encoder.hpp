// Encoding normalized text to token ids, and decoding ids back to text.
//
// The text is marked at word boundaries (a marker at the start and in place of every
// U+0020: U+2582 before an ASCII letter or digit, U+2581 otherwise), cut into runs of one
// script class, and each run encoded by its class: Devanagari runs as aksharas and Latin
// runs as characters, joined greedily into the longest vocabulary surfaces; punctuation
// and U+200C one by one; anything uncovered as byte tokens. Encoding is one pass over the
// text with no allocation per unit or per candidate; its working memory does not grow
// with the length of the text.
//
// Runs never cross a word marker, so a word (a marker and the characters up to the next
// space) encodes the same wherever it stands, except near "." or U+0964, where the
// abbreviation step looks ahead. Long texts therefore go through a bounded cache of word
// encodings; words that the abbreviation step could reach are always encoded afresh.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "encode/surface_index.hpp"
#include "text/akshara_dfa.hpp"
#include "vocab/vocabulary.hpp"

namespace larkspur {

struct EncodeContext {
    const Vocabulary& vocab;
    const SurfaceIndex& index;
    const AksharaDFA& dfa;
    std::size_t seed_max_len;
};

// Working buffers of the encoder, kept by a caller that encodes many short texts (the
// word counter) so that each text allocates nothing.
class EncodeScratch {
   public:
    struct Buffers;
    EncodeScratch();
    ~EncodeScratch();
    Buffers& buffers() { return *b_; }

   private:
    std::unique_ptr<Buffers> b_;
};

// Encodings of words (the characters after a marker up to the next space), by their
// bytes, for one encoding context. Bounded: when full it starts afresh.
class WordCache {
   public:
    std::optional<std::span<const TokenId>> find(std::string_view word, std::uint64_t hash) const;
    void insert(std::string_view word, std::uint64_t hash, std::span<const TokenId> ids);

   private:
    static constexpr std::size_t kMinSlots = 1024, kMaxEntries = 1 << 16;
    static constexpr std::size_t kMaxKeyBytes = 4 << 20, kMaxIds = 1 << 20;
    struct Entry {
        std::uint64_t hash;
        std::uint32_t key_off, key_len, ids_off, ids_len;
    };
    std::vector<std::optional<std::uint32_t>> slots_;  // entry index; linear probing
    std::vector<Entry> entries_;
    std::string keys_;
    std::vector<TokenId> ids_;
};

// Appends the ids of already normalized text to `out`.
void encode_normalized(const EncodeContext& ctx, std::string_view text, std::vector<TokenId>& out);
// The same as 32-bit ids, for tables of many word types.
void encode_normalized(const EncodeContext& ctx, std::string_view text, std::vector<std::uint32_t>& out);
void encode_normalized(const EncodeContext& ctx, std::string_view text, std::vector<std::uint32_t>& out,
                       EncodeScratch& scratch);

// Encodes a segment of a longer normalized text: text[0..stop), where `stop` is the end
// or the position of a space, with the rest of `text` as lookahead (the abbreviation step
// looks up to seed_max_len characters ahead). Only the first segment of a text gets the
// leading word marker; the others start at the space that ended the previous one. The
// segments of one text may share a word cache (it must not outlive the context).
void encode_segment(const EncodeContext& ctx, std::string_view text, std::size_t stop, bool first,
                    std::vector<TokenId>& out, WordCache* cache = nullptr);

// Byte tokens are gathered and decoded as UTF-8 (invalid sequences become U+FFFD); other
// ids append their surface with word markers as spaces; unknown ids add nothing. One
// leading space is removed.
std::string decode(const SurfaceIndex& index, std::span<const TokenId> ids);

}  // namespace larkspur
