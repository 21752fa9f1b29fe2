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
        const std::size_t e = (s & kIndexMask) - 1;
        const Seq& seq = entries_[e].first;
        if (hashes_[e] == h && std::equal(seq.begin(), seq.end(), ids.begin(), ids.end())) return i;
    }
}

std::size_t WordCounts::insert(Seq&& ids, std::uint64_t h, std::size_t slot) {
    if (entries_.size() >= kIndexMask - 1) throw_runtime("too many word types");
    const std::size_t e = entries_.size();
    slots_[slot] = (h & kTagMask) | (e + 1);
    entries_.emplace_back(std::move(ids), 0);
    hashes_.push_back(h);
    if (entries_.size() * 2 > slots_.size()) reindex(slots_.size() * 2);
    return e;
}

std::size_t WordCounts::entry(std::span<const std::uint32_t> ids) {
    if (slots_.empty()) reindex(1024);
    const std::uint64_t h = hash(ids);
    const std::size_t i = slot_of(ids, h);
    if (slots_[i] != 0) return (slots_[i] & kIndexMask) - 1;
    return insert(Seq(ids.begin(), ids.end()), h, i);
}

std::size_t WordCounts::entry(Seq&& ids) {
    if (slots_.empty()) reindex(1024);
    const std::uint64_t h = hash(ids);
    const std::size_t i = slot_of(ids, h);
    if (slots_[i] != 0) return (slots_[i] & kIndexMask) - 1;
    return insert(std::move(ids), h, i);
}

void WordCounts::reindex(std::size_t slots) {
    slots_.assign(slots, 0);
    const std::size_t mask = slots - 1;
    for (std::size_t e = 0; e < entries_.size(); ++e) {
        std::size_t i = hashes_[e] & mask;
        while (slots_[i] != 0) i = (i + 1) & mask;
        slots_[i] = (hashes_[e] & kTagMask) | (e + 1);
    }
}

void WordCounts::retain_at_least(std::uint64_t min) {
    std::vector<std::pair<Seq, std::uint64_t>> kept;
    std::vector<std::uint64_t> kept_hashes;
    kept.reserve(entries_.size());
    for (std::size_t e = 0; e < entries_.size(); ++e) {
        if (entries_[e].second >= min) {
            kept.push_back(std::move(entries_[e]));
            kept_hashes.push_back(hashes_[e]);
        }
    }
    entries_.swap(kept);
    hashes_.swap(kept_hashes);
    std::size_t slots = 1024;
    while (entries_.size() * 2 > slots) slots *= 2;
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
    c.words.reserve(table.size());
    std::size_t total = 0;
    for (const auto& e : table.entries()) total += e.first.size();
    c.arena.reserve(total);
    // Each sequence is released once copied, so the table and the arena are not both
    // held in full.
    for (auto& [ids, count] : table.entries()) {
        c.add_word(std::span<const std::uint32_t>(ids), count);
        WordCounts::Seq().swap(ids);
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
