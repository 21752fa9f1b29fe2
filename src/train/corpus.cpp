#include "train/corpus.hpp"

#include <algorithm>
#include <cstring>

#include "common/errors.hpp"
#include "vocab/paradigms.hpp"

namespace larkspur {

std::uint64_t WordCounts::hash(std::span<const std::uint32_t> ids) {
    // 32-bit ids four bytes at a time, then a final mix; the table uses both halves.
    std::uint64_t h = 0xcbf29ce484222325ULL ^ ids.size();
    for (std::uint32_t id : ids) {
        h = (h ^ id) * 0x100000001b3ULL;
        h ^= h >> 29;
    }
    h ^= h >> 32;
    h *= 0xd6e8feb86659fd93ULL;
    h ^= h >> 32;
    return h;
}

namespace {
constexpr std::uint64_t kIndexMask = 0xFFFFFFFFULL, kTagMask = ~kIndexMask;
}

std::size_t WordCounts::slot_of(std::span<const std::uint32_t> ids, std::uint64_t h) const {
    const std::size_t mask = slots_.size() - 1;
    const std::uint64_t tag = h & kTagMask;
    for (std::size_t i = h & mask;; i = (i + 1) & mask) {
        const std::uint64_t s = slots_[i];
        if (s == 0) return i;
        if ((s & kTagMask) != tag) continue;
        const std::span<const std::uint32_t> have = this->ids((s & kIndexMask) - 1);
        if (std::equal(have.begin(), have.end(), ids.begin(), ids.end())) return i;
    }
}

std::size_t WordCounts::entry(std::span<const std::uint32_t> ids) {
    if (slots_.empty()) reindex(1024);
    const std::uint64_t h = hash(ids);
    const std::size_t i = slot_of(ids, h);
    if (slots_[i] != 0) return (slots_[i] & kIndexMask) - 1;
    if (recs_.size() >= kIndexMask - 1) throw_runtime("too many word types");
    const std::size_t e = recs_.size();
    // A very long word (a line without spaces) gets room for itself alone instead of the
    // slack of a doubling.
    if (ids.size() > arena_.capacity() - arena_.size() && ids.size() > arena_.size()) {
        arena_.reserve(arena_.size() + ids.size());
    }
    recs_.push_back(WordRec{arena_.size(), ids.size(), 0});
    arena_.insert(arena_.end(), ids.begin(), ids.end());
    for (std::uint32_t id : ids) foreign_ |= id >= Corpus::kForeignBase;
    slots_[i] = (h & kTagMask) | (e + 1);
    if (recs_.size() * 2 > slots_.size()) reindex(slots_.size() * 2);
    return e;
}

void WordCounts::reindex(std::size_t slots) {
    slots_.assign(slots, 0);
    const std::size_t mask = slots - 1;
    for (std::size_t e = 0; e < recs_.size(); ++e) {
        const std::uint64_t h = hash(ids(e));
        std::size_t i = h & mask;
        while (slots_[i] != 0) i = (i + 1) & mask;
        slots_[i] = (h & kTagMask) | (e + 1);
    }
}

void WordCounts::retain_at_least(std::uint64_t min) {
    std::size_t kept = 0, at = 0;
    for (std::size_t e = 0; e < recs_.size(); ++e) {
        if (recs_[e].count < min) continue;
        const WordRec r = recs_[e];
        std::copy(arena_.begin() + static_cast<std::ptrdiff_t>(r.offset),
                  arena_.begin() + static_cast<std::ptrdiff_t>(r.offset + r.len),
                  arena_.begin() + static_cast<std::ptrdiff_t>(at));
        recs_[kept++] = WordRec{at, r.len, r.count};
        at += r.len;
    }
    recs_.resize(kept);
    arena_.resize(at);
    std::size_t slots = 1024;
    while (recs_.size() * 2 > slots) slots *= 2;
    reindex(slots);
}

template <class Id>
void Corpus::add_word(std::span<const Id> ids, std::uint64_t count) {
    WordRec rec{arena.size(), ids.size(), count};
    for (TokenId id : ids) {
        std::uint32_t code;
        if (id < kForeignBase) {
            code = static_cast<std::uint32_t>(id);
        } else {
            auto [it, created] =
                foreign_codes_.try_emplace(id, kForeignBase + static_cast<std::uint32_t>(foreign.size()));
            if (created) {
                if (foreign.size() >= 0x7FFFFFFFu) throw_runtime("too many distinct foreign token ids");
                foreign.push_back(id);
            }
            code = it->second;
        }
        arena.push_back(code);
    }
    words.push_back(rec);
}

void Corpus::word_ids(std::size_t w, std::vector<TokenId>& out) const {
    out.clear();
    for (std::uint32_t c : codes(w)) out.push_back(id_of(c));
}

void Corpus::recompute_all_frequencies() {
    pair_counts.clear();
    for (std::size_t w = 0; w < words.size(); ++w) {
        auto ids = codes(w);
        std::uint64_t c = words[w].count;
        for (std::size_t i = 0; i + 1 < ids.size(); ++i) pair_counts[pair_key(ids[i], ids[i + 1])] += c;
    }
}

Corpus Corpus::from_word_counts(WordCounts&& table) {
    Corpus c;
    if (!table.foreign_) {
        // The table is laid out as the corpus is: take it over.
        c.arena = std::move(table.arena_);
        c.words = std::move(table.recs_);
    } else {
        c.words.reserve(table.size());
        c.arena.reserve(table.arena_.size());
        for (std::size_t e = 0; e < table.size(); ++e) c.add_word(table.ids(e), table.count(e));
    }
    table = WordCounts();
    c.fingerprint = fingerprint_words(c);
    c.recompute_all_frequencies();
    return c;
}

Corpus Corpus::from_sequences(const std::vector<std::vector<TokenId>>& sequences) {
    Corpus c;
    c.words.reserve(sequences.size());
    for (const auto& s : sequences) c.add_word(std::span<const TokenId>(s), 1);
    c.fingerprint = fingerprint_words(c);
    c.recompute_all_frequencies();
    return c;
}

Corpus Corpus::from_checkpoint_words(
    const std::vector<std::pair<std::uint64_t, std::vector<TokenId>>>& rows, std::uint64_t fingerprint) {
    Corpus c;
    c.words.reserve(rows.size());
    for (const auto& [count, ids] : rows) c.add_word(std::span<const TokenId>(ids), count);
    c.fingerprint = fingerprint;
    c.recompute_all_frequencies();
    return c;
}

std::uint64_t fingerprint_words(const Corpus& corpus) {
    std::uint64_t acc = 0;
    for (std::size_t w = 0; w < corpus.words.size(); ++w) {
        std::uint64_t h = 0xcbf29ce484222325ULL;
        unsigned char le[8];
        auto mix = [&](std::uint64_t v) {
            for (int k = 0; k < 8; ++k) le[k] = static_cast<unsigned char>(v >> (8 * k));
            h = fnv1a(le, 8, h);
        };
        for (std::uint32_t code : corpus.codes(w)) mix(corpus.id_of(code));
        mix(corpus.words[w].count);
        acc += h;
    }
    return acc ^ (static_cast<std::uint64_t>(corpus.words.size()) * 0x9E3779B97F4A7C15ULL);
}

}  // namespace larkspur
