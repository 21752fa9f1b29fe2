// The corpus of word types the trainer works on: every distinct word as a sequence of
// token ids with its occurrence count, and the weighted counts of adjacent pairs inside
// words. Pairs never span two words, so no merge can cross a word boundary.
//
// Ids are stored as 32-bit codes. Vocabulary ids are far below 2^31 and stand for
// themselves; ids at or above 2^31 (possible only in hand-made sequences) get codes from
// 2^31 up and are mapped back wherever ids leave the corpus. Such ids can never be
// merged, because no vocabulary holds them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/flat_map.hpp"
#include "vocab/token.hpp"

namespace larkspur {

using PairKey = std::uint64_t;
inline PairKey pair_key(std::uint32_t a, std::uint32_t b) {
    return (static_cast<std::uint64_t>(a) << 32) | b;
}
inline std::uint32_t pair_left(PairKey k) { return static_cast<std::uint32_t>(k >> 32); }
inline std::uint32_t pair_right(PairKey k) { return static_cast<std::uint32_t>(k); }

// One word type of a corpus: its ids at `offset` of an arena, `len` of them, and how often
// it occurs.
struct WordRec {
    std::size_t offset;
    std::size_t len;
    std::uint64_t count;
};

// A table from an id sequence to its occurrence count, in order of first insertion.
//
// The sequences lie end to end in one arena with a record each, exactly as a Corpus keeps
// its words, so that the corpus takes the table over without a copy: a word type costs
// its ids, its record and its hash slots, and nothing is held twice while the corpus is
// made from the table.
class WordCounts {
   public:
    // Sequences are stored as 32-bit ids: the encoder's ids index the vocabulary, which
    // stays far below 2^31 tokens, and a word type costs half the memory.
    using Seq = std::vector<std::uint32_t>;

    // Index of the entry for `ids`, created with count 0 when new.
    std::size_t entry(std::span<const std::uint32_t> ids);
    void add(std::size_t index, std::uint64_t n) { recs_[index].count += n; }
    std::size_t size() const { return recs_.size(); }
    // Removes the entries counted fewer than `min` times (the others keep their order).
    void retain_at_least(std::uint64_t min);
    std::span<const std::uint32_t> ids(std::size_t e) const { return {arena_.data() + recs_[e].offset, recs_[e].len}; }
    std::uint64_t count(std::size_t e) const { return recs_[e].count; }
    // Bytes held by the table.
    std::size_t memory_bytes() const {
        return 4 * arena_.capacity() + sizeof(WordRec) * recs_.capacity() + 8 * slots_.capacity();
    }

   private:
    friend class Corpus;
    static std::uint64_t hash(std::span<const std::uint32_t> ids);
    // The slot that holds `ids`, or the empty slot where it would go.
    std::size_t slot_of(std::span<const std::uint32_t> ids, std::uint64_t h) const;
    void reindex(std::size_t slots);
    std::vector<std::uint32_t> arena_;
    std::vector<WordRec> recs_;
    // Open addressing, linear probing: a slot holds the top half of the sequence's hash
    // above the entry index + 1 (0 = empty), so a probe reads an entry only when the
    // hashes agree. Growing the slots hashes the sequences again from the arena.
    std::vector<std::uint64_t> slots_;
    // Whether an id at or above 2^31 was stored (the corpus then codes the ids itself).
    bool foreign_ = false;
};

class Corpus {
   public:
    static constexpr std::uint32_t kForeignBase = 0x80000000u;

    using WordRec = larkspur::WordRec;

    static Corpus from_word_counts(WordCounts&& table);
    // Each sequence one word of count 1; equal sequences stay separate words.
    static Corpus from_sequences(const std::vector<std::vector<TokenId>>& sequences);
    // Words from checkpoint rows, in row order, with the stored fingerprint.
    static Corpus from_checkpoint_words(
        const std::vector<std::pair<std::uint64_t, std::vector<TokenId>>>& rows,
        std::uint64_t fingerprint);

    // Rebuilds pair_counts from the words.
    void recompute_all_frequencies();

    std::size_t word_count() const { return words.size(); }
    std::span<std::uint32_t> codes(std::size_t w) {
        return {arena.data() + words[w].offset, words[w].len};
    }
    std::span<const std::uint32_t> codes(std::size_t w) const {
        return {arena.data() + words[w].offset, words[w].len};
    }
    TokenId id_of(std::uint32_t code) const {
        return code < kForeignBase ? code : static_cast<TokenId>(foreign[code - kForeignBase]);
    }
    // The ids of word w.
    void word_ids(std::size_t w, std::vector<TokenId>& out) const;

    std::vector<std::uint32_t> arena;
    std::vector<WordRec> words;
    std::vector<std::uint64_t> foreign;
    FlatMap<PairKey, std::uint64_t> pair_counts;
    std::uint64_t fingerprint = 0;

   private:
    template <class Id>
    void add_word(std::span<const Id> ids, std::uint64_t count);
    std::unordered_map<std::uint64_t, std::uint32_t> foreign_codes_;
};

// Order-independent 64-bit fingerprint of (ids, count) words.
std::uint64_t fingerprint_words(const Corpus& corpus);

}  // namespace larkspur
