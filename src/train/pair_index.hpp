// The words (or runs) each pair of tokens has occurred in, for merge loops that must not
// scan every word type at every merge.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "common/flat_map.hpp"

namespace larkspur {

// The words each pair has occurred in, as chains of fixed-size chunks in one pool. A
// corpus has hundreds of thousands of pairs, and a vector of its own for each made
// allocating and freeing them a tenth of the training time. The chunks of a list that a
// merge takes are reused.
class PairIndex {
   public:
    // Notes that word w holds pair k (once for a run of notes of the same word).
    void note(std::uint64_t k, std::uint32_t w) {
        List& l = lists_[k];
        if (l.size != 0 && l.last == w) return;
        const std::uint32_t at = l.size % kChunk;
        if (at == 0) {
            const std::uint32_t c = new_chunk();
            if (l.size == 0) {
                l.head = c;
            } else {
                chunks_[l.tail].next = c;
            }
            l.tail = c;
        }
        chunks_[l.tail].words[at] = w;
        ++l.size;
        l.last = w;
    }

    // The words noted for k, in no particular order and possibly repeated, into `out`;
    // k's list is empty afterwards.
    void take(std::uint64_t k, std::vector<std::uint32_t>& out) {
        out.clear();
        List* l = lists_.find(k);
        if (!l || l->size == 0) return;
        out.reserve(l->size);
        std::uint32_t c = l->head;
        for (std::uint32_t left = l->size;;) {
            const std::uint32_t n = std::min(left, kChunk);
            out.insert(out.end(), chunks_[c].words, chunks_[c].words + n);
            left -= n;
            if (left == 0) break;
            c = chunks_[c].next;
        }
        chunks_[l->tail].next = free_;
        free_ = l->head;
        *l = List{};
    }

   private:
    static constexpr std::uint32_t kChunk = 7;
    static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
    struct Chunk {
        std::uint32_t words[kChunk];
        std::uint32_t next;
    };
    struct List {
        std::uint32_t head = 0, tail = 0, size = 0, last = 0;
    };

    // Chunk numbers are 32-bit: 2^32 chunks would be 128 GiB, far past what a run can hold.
    std::uint32_t new_chunk() {
        if (free_ != kNone) {
            const std::uint32_t c = free_;
            free_ = chunks_[c].next;
            return c;
        }
        chunks_.emplace_back();
        return static_cast<std::uint32_t>(chunks_.size() - 1);
    }

    FlatMap<std::uint64_t, List> lists_;
    std::vector<Chunk> chunks_;
    std::uint32_t free_ = kNone;
};

}  // namespace larkspur
