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
    std::size_t add(std::string_view key, std::uint64_t n = 1) {
        std::uint64_t h = hash_bytes(key);
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            std::uint32_t e = slots_[i];
            if (e == kEmpty) {
                if (arena_.size() + key.size() > UINT32_MAX) throw std::length_error("string counter arena full");
                slots_[i] = static_cast<std::uint32_t>(entries_.size());
                entries_.push_back(Entry{h, static_cast<std::uint32_t>(arena_.size()),
                                         static_cast<std::uint32_t>(key.size()), n});
                arena_.append(key);
                if (entries_.size() * 2 > slots_.size()) grow();
                return entries_.size() - 1;
            }
            Entry& en = entries_[e];
            if (en.hash == h && en.length == key.size() &&
                std::memcmp(arena_.data() + en.offset, key.data(), key.size()) == 0) {
                en.count += n;
                return e;
            }
        }
    }

    std::size_t size() const { return entries_.size(); }
    const std::vector<Entry>& entries() const { return entries_; }
    std::string_view key(const Entry& e) const { return std::string_view(arena_).substr(e.offset, e.length); }
    std::size_t memory_bytes() const { return arena_.capacity() + entries_.capacity() * sizeof(Entry) + slots_.capacity() * 4; }

    void clear() {
        entries_.clear();
        arena_.clear();
        std::fill(slots_.begin(), slots_.end(), kEmpty);
    }

   private:
    static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

    void grow() {
        std::vector<std::uint32_t> slots(slots_.size() * 2, kEmpty);
        std::size_t mask = slots.size() - 1;
        for (std::uint32_t e = 0; e < entries_.size(); ++e) {
            std::size_t i = entries_[e].hash & mask;
            while (slots[i] != kEmpty) i = (i + 1) & mask;
            slots[i] = e;
        }
        slots_.swap(slots);
    }

    std::vector<std::uint32_t> slots_;
    std::vector<Entry> entries_;
    std::string arena_;
};

}  // namespace larkspur
