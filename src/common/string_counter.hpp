// A counter keyed by short strings: open addressing over a flat slot array, keys stored
// once in an arena, lookups by string_view without allocation. Used where text is
// counted at corpus scale (akshara and word inventories).
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace larkspur {

inline std::uint64_t hash_bytes(std::string_view s) {
    // 64-bit FNV-1a over 8-byte words, then a final mix: fast for the short keys here.
    std::uint64_t h = 0xcbf29ce484222325ULL ^ s.size();
    const char* p = s.data();
    std::size_t n = s.size();
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        h = (h ^ w) * 0x100000001b3ULL;
        h ^= h >> 29;
        p += 8;
        n -= 8;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    h = (h ^ tail) * 0x100000001b3ULL;
    h ^= h >> 32;
    h *= 0xd6e8feb86659fd93ULL;
    h ^= h >> 32;
    return h;
}

class StringCounter {
   public:
    struct Entry {
        std::uint64_t hash;
        std::uint32_t offset, length;  // into the arena
        std::uint64_t count;
    };

    StringCounter() { slots_.assign(1024, kEmpty); }

    // Adds n to the count of `key` (creating it at 0) and returns the entry index.
    std::size_t add(std::string_view key, std::uint64_t n = 1) { return add_hashed(key, hash_bytes(key), n); }

    // Starts loading the slot where a key of hash h is looked up, so that several lookups
    // can wait on memory at the same time.
    void prefetch(std::uint64_t h) const { __builtin_prefetch(&slots_[h & (slots_.size() - 1)]); }
    // The second step: once the slot is loaded, starts loading the entry and the key it
    // names (when the slot's hash agrees).
    void prefetch_entry(std::uint64_t h) const {
        const std::uint64_t slot = slots_[h & (slots_.size() - 1)];
        if (slot == kEmpty || (slot & kTagMask) != (h & kTagMask)) return;
        const Entry& e = entries_[slot & kIndexMask];
        __builtin_prefetch(&e);
        __builtin_prefetch(arena_.data() + e.offset);
    }

    // add() with the key's hash_bytes() already computed.
    std::size_t add_hashed(std::string_view key, std::uint64_t h, std::uint64_t n = 1) {
        const std::uint64_t tag = h & kTagMask;
        const std::size_t mask = slots_.size() - 1;
        // A slot holds the entry index in its low half and the top of the hash in its high
        // half, so that a probe touches an entry only when the hashes agree.
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            const std::uint64_t slot = slots_[i];
            if (slot == kEmpty) {
                if (arena_.size() + key.size() > UINT32_MAX || entries_.size() >= UINT32_MAX) {
                    throw std::length_error("string counter full");
                }
                slots_[i] = tag | entries_.size();
                entries_.push_back(Entry{h, static_cast<std::uint32_t>(arena_.size()),
                                         static_cast<std::uint32_t>(key.size()), n});
                arena_.append(key);
                if (entries_.size() * 2 > slots_.size()) grow();
                return entries_.size() - 1;
            }
            if ((slot & kTagMask) != tag) continue;
            const std::size_t e = slot & kIndexMask;
            Entry& en = entries_[e];
            if (en.hash == h && en.length == key.size() && equal(arena_.data() + en.offset, key)) {
                en.count += n;
                return e;
            }
        }
    }

    std::size_t size() const { return entries_.size(); }
    // Bytes held: slots, entries and keys.
    std::size_t memory_bytes() const {
        return 8 * slots_.capacity() + sizeof(Entry) * entries_.capacity() + arena_.capacity();
    }
    const std::vector<Entry>& entries() const { return entries_; }
    std::string_view key(const Entry& e) const { return std::string_view(arena_).substr(e.offset, e.length); }

    void clear() {
        entries_.clear();
        arena_.clear();
        std::fill(slots_.begin(), slots_.end(), kEmpty);
    }

   private:
    static constexpr std::uint64_t kEmpty = ~std::uint64_t{0};
    static constexpr std::uint64_t kIndexMask = 0xFFFFFFFFULL, kTagMask = ~kIndexMask;

    static bool equal(const char* a, std::string_view b) {
        // Keys are short: compare eight bytes at a time without a library call.
        std::size_t n = b.size(), i = 0;
        for (; i + 8 <= n; i += 8) {
            std::uint64_t x, y;
            std::memcpy(&x, a + i, 8);
            std::memcpy(&y, b.data() + i, 8);
            if (x != y) return false;
        }
        for (; i < n; ++i) {
            if (a[i] != b[i]) return false;
        }
        return true;
    }

    void grow() {
        std::vector<std::uint64_t> slots(slots_.size() * 2, kEmpty);
        const std::size_t mask = slots.size() - 1;
        for (std::size_t e = 0; e < entries_.size(); ++e) {
            std::size_t i = entries_[e].hash & mask;
            while (slots[i] != kEmpty) i = (i + 1) & mask;
            slots[i] = (entries_[e].hash & kTagMask) | e;
        }
        slots_.swap(slots);
    }

    std::vector<std::uint64_t> slots_;
    std::vector<Entry> entries_;
    std::string arena_;
};

}  // namespace larkspur
