#include "train/corpus.hpp"

#include <algorithm>
#include <cstring>

#include "common/errors.hpp"
#include "vocab/paradigms.hpp"

namespace larkspur {

std::uint64_t WordCounts::hash(std::span<const std::uint32_t> ids) {
    return fnv1a(ids.data(), ids.size() * sizeof(std::uint32_t));
}

std::size_t WordCounts::find(std::span<const std::uint32_t> ids, std::uint64_t h) const {
    auto [first, last] = index_.equal_range(h);
    for (auto it = first; it != last; ++it) {
        const Seq& seq = entries_[it->second].first;
        if (std::equal(seq.begin(), seq.end(), ids.begin(), ids.end())) return it->second;
    }
    return entries_.size();
}

std::size_t WordCounts::entry(std::span<const std::uint32_t> ids) {
    const std::uint64_t h = hash(ids);
    const std::size_t found = find(ids, h);
    if (found < entries_.size()) return found;
    index_.emplace(h, entries_.size());
    entries_.emplace_back(Seq(ids.begin(), ids.end()), 0);
    return found;
}

std::size_t WordCounts::entry(Seq&& ids) {
    const std::uint64_t h = hash(ids);
    const std::size_t found = find(ids, h);
    if (found < entries_.size()) return found;
    index_.emplace(h, entries_.size());
    entries_.emplace_back(std::move(ids), 0);
    return found;
}

void WordCounts::reindex() {
    index_.clear();
    for (std::size_t i = 0; i < entries_.size(); ++i) index_.emplace(hash(entries_[i].first), i);
}

void WordCounts::retain_at_least(std::uint64_t min) {
    std::vector<std::pair<Seq, std::uint64_t>> kept;
    kept.reserve(entries_.size());
    for (auto& e : entries_) {
        if (e.second >= min) kept.push_back(std::move(e));
    }
    entries_.swap(kept);
    reindex();
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
