// A plain BPE over sequences of unit numbers, each with a count: the most frequent adjacent
// pair merges first, ties to the smaller pair (first unit, then second), every occurrence
// counted (a run of three equal units holds the pair twice) and merged left to right.
//
// The sequences lie end to end in one array and shrink in place as pairs merge; a pair's
// count changes only by the pairs that a merge really replaces in a sequence, so the heap
// gets entries for those alone. Two stages use it: choosing the Latin share (a BPE over both
// scripts' runs) and the superword stage (a BPE over runs of whole-word tokens).
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <queue>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/flat_map.hpp"
#include "train/pair_index.hpp"

namespace larkspur {

class PlainBpe {
   public:
    // A merge: its pair, the unit it makes, and each sequence it changed with the places it
    // merged there.
    struct Merge {
        std::uint32_t left, right, merged;
        const std::vector<std::pair<std::uint32_t, std::uint32_t>>& places;
    };

    void add(const std::vector<std::uint32_t>& seq, std::uint64_t count) {
        start_.push_back(units_.size());
        units_.insert(units_.end(), seq.begin(), seq.end());
        length_.push_back(static_cast<std::uint32_t>(seq.size()));
        count_.push_back(count);
    }
    std::size_t sequences() const { return count_.size(); }

    // Makes up to `merges` merges of pairs that `admit(left, right)` allows and that occur at
    // least `min_count` times, numbering the merged units from `next_unit` on. Each merge is
    // announced to `on_new(left, right, merged)` before the sequences change (so that `admit`
    // may ask about the new unit) and given to `on_merge` after. Returns the merges made. `interrupted` is asked every few merges
    // (and while counting); the call then ends with Interrupted.
    template <class Admit, class OnNew, class OnMerge>
    std::size_t run(std::size_t merges, std::uint32_t next_unit, std::uint64_t min_count, Admit&& admit,
                    OnNew&& on_new, OnMerge&& on_merge, const std::function<bool()>& interrupted) {
        auto admitted = [&](std::uint64_t k) {
            return admit(static_cast<std::uint32_t>(k >> 32), static_cast<std::uint32_t>(k));
        };
        for (std::uint32_t s = 0; s < count_.size(); ++s) {
            if ((s & 0xFFFF) == 0xFFFF && interrupted && interrupted()) throw Interrupted();
            const std::uint32_t* u = &units_[start_[s]];
            for (std::uint32_t i = 0; i + 1 < length_[s]; ++i) {
                const std::uint64_t k = key(u[i], u[i + 1]);
                if (!admitted(k)) continue;
                pairs_[k] += count_[s];
                where_.note(k, s);
            }
        }
        pairs_.for_each([&](std::uint64_t k, std::uint64_t n) { heap_.push({n, ~k}); });
        std::vector<std::uint32_t> seen(count_.size(), UINT32_MAX), seqs;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> places;
        std::size_t done = 0;
        while (done < merges && !heap_.empty()) {
            const auto [n, inverted] = heap_.top();
            if (n < min_count) break;
            heap_.pop();
            const std::uint64_t k = ~inverted;
            const std::uint64_t* now = pairs_.find(k);
            if (!now || *now != n) continue;  // stale: its current count has an entry of its own
            const std::uint32_t merged = next_unit++;
            on_new(static_cast<std::uint32_t>(k >> 32), static_cast<std::uint32_t>(k), merged);
            where_.take(k, seqs);
            places.clear();
            for (std::uint32_t s : seqs) {
                if (seen[s] == done) continue;  // a sequence noted twice for the same pair
                seen[s] = static_cast<std::uint32_t>(done);
                if (const std::uint32_t p = merge_in(s, k, merged, admitted)) places.emplace_back(s, p);
            }
            pairs_.erase(k);
            std::sort(touched_.begin(), touched_.end());
            touched_.erase(std::unique(touched_.begin(), touched_.end()), touched_.end());
            for (std::uint64_t t : touched_) {
                std::uint64_t* c = pairs_.find(t);
                if (!c || t == k) continue;
                if (*c == 0) {
                    pairs_.erase(t);
                } else {
                    heap_.push({*c, ~t});
                }
            }
            touched_.clear();
            ++done;
            on_merge(Merge{static_cast<std::uint32_t>(k >> 32), static_cast<std::uint32_t>(k), merged, places});
            // The first merges each rewrite much of the corpus: those are asked after each.
            if (((done & 0xF) == 0 || seqs.size() > 4096) && interrupted && interrupted()) throw Interrupted();
        }
        return done;
    }

    std::uint64_t count(std::uint32_t s) const { return count_[s]; }

   private:
    static std::uint64_t key(std::uint32_t a, std::uint32_t b) { return (std::uint64_t{a} << 32) | b; }

    // Merges pair k in sequence s into `merged`; gives the number of places merged.
    template <class Admitted>
    std::uint32_t merge_in(std::uint32_t s, std::uint64_t k, std::uint32_t merged, Admitted& admitted) {
        const auto a = static_cast<std::uint32_t>(k >> 32), b = static_cast<std::uint32_t>(k);
        std::uint32_t* u = &units_[start_[s]];
        const std::uint32_t len = length_[s];
        old_.clear();
        for (std::uint32_t i = 0; i + 1 < len; ++i) {
            if (admitted(key(u[i], u[i + 1]))) old_.push_back(key(u[i], u[i + 1]));
        }
        std::uint32_t out = 0;
        for (std::uint32_t i = 0; i < len;) {
            if (i + 1 < len && u[i] == a && u[i + 1] == b) {
                u[out++] = merged;
                i += 2;
            } else {
                u[out++] = u[i++];
            }
        }
        if (out == len) return 0;
        length_[s] = out;
        new_.clear();
        for (std::uint32_t i = 0; i + 1 < out; ++i) {
            const std::uint64_t p = key(u[i], u[i + 1]);
            if (!admitted(p)) continue;
            new_.push_back(p);
            if (u[i] == merged || u[i + 1] == merged) where_.note(p, s);
        }
        // The pairs that changed: those of the old sequence not in the new one, and the
        // reverse (as multisets).
        std::sort(old_.begin(), old_.end());
        std::sort(new_.begin(), new_.end());
        const std::uint64_t n = count_[s];
        std::size_t i = 0, j = 0;
        while (i < old_.size() || j < new_.size()) {
            if (j == new_.size() || (i < old_.size() && old_[i] < new_[j])) {
                pairs_[old_[i]] -= n;
                touched_.push_back(old_[i++]);
            } else if (i == old_.size() || new_[j] < old_[i]) {
                pairs_[new_[j]] += n;
                touched_.push_back(new_[j++]);
            } else {
                ++i;
                ++j;
            }
        }
        return len - out;
    }

    std::vector<std::uint32_t> units_, length_;
    std::vector<std::size_t> start_;
    std::vector<std::uint64_t> count_;
    FlatMap<std::uint64_t, std::uint64_t> pairs_;
    PairIndex where_;
    // The most frequent pair first; of equal counts, the smaller key (stored inverted).
    std::priority_queue<std::pair<std::uint64_t, std::uint64_t>> heap_;
    std::vector<std::uint64_t> touched_, old_, new_;
};

}  // namespace larkspur
