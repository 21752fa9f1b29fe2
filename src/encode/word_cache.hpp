// A bounded cache of word encodings, shared by the threads that encode one long text or
// one batch of texts with one vocabulary. Running text repeats its words (a few thousand
// types make most of the occurrences), and a word that the abbreviation step cannot reach
// encodes the same wherever it stands, so its ids can be copied instead of walking the
// automaton and the trie again. A lookup is one slot and one arena entry, where the walk
// it replaces is several dependent loads per code point.
//
// Sharing matters: with a cache per thread, every thread would encode every word type
// once, and on two threads that repeated work ate most of the second core's gain.
// The table is insert-only and never moves: each thread writes entries into an arena of
// its own, then publishes one with a compare-and-swap on a slot (release), and readers
// load slots with acquire, so an entry is complete before anyone can see it. When the
// table or an arena is full, later words are simply encoded every time.
//
// The cache belongs to one encoding context: it must be dropped when the vocabulary or
// the options change.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "common/string_counter.hpp"

namespace larkspur {

class WordCache {
   public:
    // Longest word and longest id sequence kept; longer words are encoded every time.
    static constexpr std::size_t kMaxKeyBytes = 1024, kMaxIds = 1024;
    // Below this many bytes of text a cache costs more to set up than it saves.
    static constexpr std::size_t kWorthFrom = 1 << 13;

    // A cache for about `text_bytes` bytes of text (0: as large as it gets), used by
    // `workers` threads at once, thread w inserting as worker w.
    explicit WordCache(std::size_t text_bytes = 0, std::size_t workers = 1)
        : slots_count_(slot_count(text_bytes)),
          mask_(slots_count_ - 1),
          slots_(new std::atomic<std::uint64_t>[slots_count_]()),
          arenas_(std::clamp<std::size_t>(workers, 1, kMaxWorkers)) {
        const std::size_t cap = text_bytes == 0 ? kMaxArena : std::clamp(text_bytes / 2 + 4096, kMinArena, kMaxArena);
        for (Arena& a : arenas_) {
            a.data.reset(new std::uint32_t[cap]);  // left untouched until written
            a.cap = cap;
        }
    }

    // Whether `word` (whose hash_bytes is h) is cached; its ids go to `ids`.
    bool find(std::string_view word, std::uint64_t h, std::span<const std::uint32_t>& ids) const {
        const std::uint64_t tag = h >> 48;
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            const std::uint64_t s = slots_[i].load(std::memory_order_acquire);
            if (s == 0) return false;
            if ((s >> 48) == tag && matches(s, word, ids)) return true;
        }
    }

    // Remembers the ids of `word` (hash h), which find() has just missed; `worker` is the
    // calling thread's number, below the number of workers the cache was made for.
    template <class Id>
    void insert(std::string_view word, std::uint64_t h, std::span<const Id> ids, std::size_t worker = 0) {
        if (word.size() > kMaxKeyBytes || ids.size() > kMaxIds || worker >= arenas_.size()) return;
        // At most half the slots are taken (give or take one per thread), so every probe
        // meets an empty slot.
        if (entries_.load(std::memory_order_relaxed) >= slots_count_ / 2) return;
        Arena& a = arenas_[worker];
        const std::size_t words = 1 + ids.size() + (word.size() + 3) / 4;
        if (a.used + words > a.cap) return;
        std::uint32_t* e = a.data.get() + a.used;
        e[0] = static_cast<std::uint32_t>(word.size()) | static_cast<std::uint32_t>(ids.size()) << 16;
        for (std::size_t k = 0; k < ids.size(); ++k) e[1 + k] = static_cast<std::uint32_t>(ids[k]);
        if (!word.empty()) e[words - 1] = 0;  // the key's last word may be partly padding
        std::memcpy(e + 1 + ids.size(), word.data(), word.size());
        const std::uint64_t tag = h >> 48;
        const std::uint64_t slot = tag << 48 | std::uint64_t{worker} << 32 | (a.used + 1);
        std::span<const std::uint32_t> ignored;
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            std::uint64_t cur = slots_[i].load(std::memory_order_acquire);
            if (cur == 0) {
                if (slots_[i].compare_exchange_strong(cur, slot, std::memory_order_release,
                                                      std::memory_order_acquire)) {
                    a.used += words;
                    entries_.fetch_add(1, std::memory_order_relaxed);
                    return;
                }
                // Another thread took the slot first; `cur` is what it put there.
            }
            if ((cur >> 48) == tag && matches(cur, word, ignored)) return;  // cached meanwhile
        }
    }

   private:
    static constexpr std::size_t kMaxWorkers = 1 << 16;
    static constexpr std::size_t kMinSlots = 1 << 12, kMaxSlots = 1 << 18;
    static constexpr std::size_t kMinArena = 1 << 12, kMaxArena = 1 << 20;  // 32-bit words

    // Slots for the word types of that much text: about one per 8 bytes, a power of two.
    static std::size_t slot_count(std::size_t text_bytes) {
        if (text_bytes == 0) return kMaxSlots;
        return std::bit_ceil(std::clamp(text_bytes / 8, kMinSlots, kMaxSlots));
    }

    // Per entry: key length | id count << 16, the ids, the key's bytes (padded).
    struct Arena {
        std::unique_ptr<std::uint32_t[]> data;
        std::size_t cap = 0, used = 0;  // only its own thread writes `used`
        char pad[64 - sizeof(std::unique_ptr<std::uint32_t[]>) - 2 * sizeof(std::size_t)];
    };

    bool matches(std::uint64_t s, std::string_view word, std::span<const std::uint32_t>& ids) const {
        const std::uint32_t* e = arenas_[(s >> 32) & 0xFFFF].data.get() + (static_cast<std::uint32_t>(s) - 1);
        const std::uint32_t key_len = e[0] & 0xFFFF, n_ids = e[0] >> 16;
        if (key_len != word.size() || std::memcmp(e + 1 + n_ids, word.data(), key_len) != 0) return false;
        ids = std::span<const std::uint32_t>(e + 1, n_ids);
        return true;
    }

    std::size_t slots_count_, mask_;
    std::unique_ptr<std::atomic<std::uint64_t>[]> slots_;
    std::vector<Arena> arenas_;
    std::atomic<std::size_t> entries_{0};
};

}  // namespace larkspur
