// The akshara automaton: a deterministic finite automaton over code points that cuts
// Devanagari text into aksharas (orthographic syllables) by longest accepted prefix,
// falling back to a single character where no accepted prefix starts. Concatenating the
// aksharas of a text always gives the text back.
//
// States are plain numbers chosen by whoever adds transitions; the start state is 0.
// Lookups go through a dense table for the Devanagari block and small state numbers (the
// default grammar lives entirely there), and through a hash map for everything else;
// both give identical answers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_set>
#include <vector>

#include "common/flat_map.hpp"
#include "common/utf8.hpp"

namespace larkspur {

using DfaState = std::uint64_t;

class AksharaDFA {
   public:
    AksharaDFA();  // empty: no transitions, no accepting states
    static AksharaDFA devanagari_default();

    void clear();
    // Sets (state, ch) -> next, replacing an earlier target; marks `next` accepting when asked
    // (a false flag removes nothing).
    void add_transition(DfaState state, char32_t ch, DfaState next, bool accepting);
    bool has_transition(DfaState state, char32_t ch) const;
    // (ch, next, next is accepting) for every transition leaving `state`; order unspecified.
    std::vector<std::tuple<char32_t, DfaState, bool>> transitions_from(DfaState state) const;

    // Calls emit(begin, end) with the byte range of each akshara of valid UTF-8 `text`, in order.
    template <class Emit>
    void segment(std::string_view text, Emit&& emit) const;
    // Byte length of the first akshara of non-empty valid UTF-8 `text`.
    std::size_t first_akshara(std::string_view text) const;
    // The same, also appending the akshara's code points to `cps`.
    std::size_t first_akshara(std::string_view text, std::vector<char32_t>& cps) const;
    std::vector<std::string> tokenize(std::string_view text) const;

   private:
    struct Key {
        DfaState state;
        char32_t ch;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const {
            return IntHash{}(k.state * 0x9E3779B97F4A7C15ULL ^ k.ch);
        }
    };
    static constexpr DfaState kDenseStates = 64;
    static constexpr char32_t kDenseBase = 0x0900, kDenseSize = 0x80;
    static constexpr std::int32_t kNone = -1, kInMap = -2;

    // Next state of (state, ch), or false when there is no transition.
    bool step(DfaState state, char32_t ch, DfaState& next) const {
        if (state < kDenseStates && ch - kDenseBase < kDenseSize) {
            std::int32_t d = dense_[state * kDenseSize + (ch - kDenseBase)];
            if (d >= 0) {
                next = static_cast<DfaState>(d);
                return true;
            }
            if (d == kNone) return false;
        }
        const DfaState* n = map_.find(Key{state, ch});
        if (!n) return false;
        next = *n;
        return true;
    }
    bool accepting(DfaState s) const {
        if (s < kDenseStates) return (accept_bits_ >> s) & 1;
        return accepting_.count(s) != 0;
    }

    FlatMap<Key, DfaState, KeyHash> map_;
    std::unordered_set<DfaState> accepting_;
    std::vector<std::int32_t> dense_;  // kDenseStates x kDenseSize
    std::uint64_t accept_bits_ = 0;
};

inline std::size_t AksharaDFA::first_akshara(std::string_view text) const {
    DfaState state = 0;
    std::size_t j = 0, last = 0;
    while (j < text.size()) {
        std::size_t k = j;
        DfaState next;
        if (!step(state, utf8::next(text, k), next)) break;
        state = next;
        j = k;
        if (accepting(state)) last = j;
    }
    // The walk may have gone past the last accepting state; what follows it is read again.
    return last ? last : utf8::seq_len(static_cast<unsigned char>(text[0]));
}

inline std::size_t AksharaDFA::first_akshara(std::string_view text, std::vector<char32_t>& cps) const {
    const std::size_t base = cps.size();
    DfaState state = 0;
    std::size_t j = 0, last = 0, last_chars = 0;
    while (j < text.size()) {
        std::size_t k = j;
        char32_t c = utf8::next(text, k);
        DfaState next;
        if (!step(state, c, next)) break;
        cps.push_back(c);
        state = next;
        j = k;
        if (accepting(state)) {
            last = j;
            last_chars = cps.size() - base;
        }
    }
    if (last) {
        cps.resize(base + last_chars);
        return last;
    }
    cps.resize(base);
    std::size_t k = 0;
    cps.push_back(utf8::next(text, k));
    return k;
}

template <class Emit>
void AksharaDFA::segment(std::string_view text, Emit&& emit) const {
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t len = first_akshara(text.substr(i));
        emit(i, i + len);
        i += len;
    }
}

}  // namespace larkspur
