// A compact open-addressing hash map (linear probing, backward-shift deletion, no
// tombstones) for the hot integer-keyed tables: pair counts, the pair index, trie edges
// and automaton transitions. Iteration order is the slot order: deterministic for the
// same sequence of operations, and never relied upon where the system fixes an order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <functional>
#include <utility>
#include <vector>

namespace larkspur {

struct IntHash {
    std::size_t operator()(std::uint64_t x) const {
        x ^= x >> 32;
        x *= 0xd6e8feb86659fd93ULL;
        x ^= x >> 32;
        x *= 0xd6e8feb86659fd93ULL;
        x ^= x >> 32;
        return static_cast<std::size_t>(x);
    }
};

template <class K, class V, class Hash = IntHash, class Eq = std::equal_to<>>
class FlatMap {
   public:
    struct Entry {
        K key;
        V value;
    };

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }

    void clear() {
        if (size_ == 0) return;
        for (std::size_t i = 0; i < used_.size(); ++i) {
            if (used_[i]) {
                slots_[i] = Entry{};
                used_[i] = 0;
            }
        }
        size_ = 0;
    }

    void reserve(std::size_t n) {
        std::size_t cap = 16;
        while (cap * 3 < n * 4 + 4) cap <<= 1;
        if (cap > slots_.size()) rehash(cap);
    }

    template <class Q>
    V* find(const Q& key) {
        if (size_ == 0) return nullptr;
        for (std::size_t i = Hash{}(key)&mask_;; i = (i + 1) & mask_) {
            if (!used_[i]) return nullptr;
            if (Eq{}(slots_[i].key, key)) return &slots_[i].value;
        }
    }
    template <class Q>
    const V* find(const Q& key) const {
        return const_cast<FlatMap*>(this)->find(key);
    }
    template <class Q>
    bool contains(const Q& key) const {
        return find(key) != nullptr;
    }

    // Returns the value slot and whether it was created (value-initialised).
    std::pair<V*, bool> try_emplace(const K& key) {
        if ((size_ + 1) * 4 > slots_.size() * 3) rehash(slots_.empty() ? 16 : slots_.size() * 2);
        for (std::size_t i = Hash{}(key)&mask_;; i = (i + 1) & mask_) {
            if (!used_[i]) {
                used_[i] = 1;
                slots_[i].key = key;
                slots_[i].value = V{};
                ++size_;
                return {&slots_[i].value, true};
            }
            if (Eq{}(slots_[i].key, key)) return {&slots_[i].value, false};
        }
    }
    V& operator[](const K& key) { return *try_emplace(key).first; }

    template <class Q>
    bool erase(const Q& key) {
        if (size_ == 0) return false;
        std::size_t i = Hash{}(key)&mask_;
        for (;; i = (i + 1) & mask_) {
            if (!used_[i]) return false;
            if (Eq{}(slots_[i].key, key)) break;
        }
        // Backward-shift: pull later members of the probe run into the hole.
        std::size_t hole = i;
        for (std::size_t j = (hole + 1) & mask_; used_[j]; j = (j + 1) & mask_) {
            std::size_t ideal = Hash{}(slots_[j].key) & mask_;
            bool movable = hole <= j ? (ideal <= hole || ideal > j) : (ideal <= hole && ideal > j);
            if (movable) {
                slots_[hole] = std::move(slots_[j]);
                hole = j;
            }
        }
        slots_[hole] = Entry{};
        used_[hole] = 0;
        --size_;
        return true;
    }

    template <class F>
    void for_each(F&& f) const {
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (used_[i]) f(slots_[i].key, slots_[i].value);
        }
    }
    template <class F>
    void for_each_mut(F&& f) {
        for (std::size_t i = 0; i < slots_.size(); ++i) {
            if (used_[i]) f(slots_[i].key, slots_[i].value);
        }
    }

   private:
    void rehash(std::size_t cap) {
        std::vector<Entry> old_slots(cap);
        std::vector<unsigned char> old_used(cap, 0);
        old_slots.swap(slots_);
        old_used.swap(used_);
        mask_ = cap - 1;
        for (std::size_t i = 0; i < old_slots.size(); ++i) {
            if (!old_used[i]) continue;
            std::size_t j = Hash{}(old_slots[i].key) & mask_;
            while (used_[j]) j = (j + 1) & mask_;
            used_[j] = 1;
            slots_[j] = std::move(old_slots[i]);
        }
    }

    std::vector<Entry> slots_;
    std::vector<unsigned char> used_;
    std::size_t size_ = 0;
    std::size_t mask_ = 0;
};

// Transparent string hashing for std::unordered_map/set lookups by string_view.
struct StringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
};

}  // namespace larkspur
