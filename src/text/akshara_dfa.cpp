#include "text/akshara_dfa.hpp"

namespace larkspur {

AksharaDFA::AksharaDFA() : dense_(kDenseStates * kDenseSize, kNone) {}

void AksharaDFA::clear() {
    map_.clear();
    accepting_.clear();
    dense_.assign(kDenseStates * kDenseSize, kNone);
    accept_bits_ = 0;
}

void AksharaDFA::add_transition(DfaState state, char32_t ch, DfaState next, bool accept) {
    map_[Key{state, ch}] = next;
    if (state < kDenseStates && ch - kDenseBase < kDenseSize) {
        dense_[state * kDenseSize + (ch - kDenseBase)] =
            next <= 0x7FFFFFFF ? static_cast<std::int32_t>(next) : kInMap;
    }
    if (accept) {
        accepting_.insert(next);
        if (next < kDenseStates) accept_bits_ |= std::uint64_t{1} << next;
    }
}

bool AksharaDFA::has_transition(DfaState state, char32_t ch) const {
    DfaState next;
    return step(state, ch, next);
}

std::vector<std::tuple<char32_t, DfaState, bool>> AksharaDFA::transitions_from(DfaState state) const {
    std::vector<std::tuple<char32_t, DfaState, bool>> out;
    map_.for_each([&](const Key& k, DfaState next) {
        if (k.state == state) out.emplace_back(k.ch, next, accepting(next));
    });
    return out;
}

std::vector<std::string> AksharaDFA::tokenize(std::string_view text) const {
    std::vector<std::string> out;
    segment(text, [&](std::size_t b, std::size_t e) { out.emplace_back(text.substr(b, e - b)); });
    return out;
}

AksharaDFA AksharaDFA::devanagari_default() {
    // States: 0 start, 1 consonant, 2 consonant + virama, 3 vowel, 4 nasal/visarga sign,
    // 6 standalone sign or digit.
    enum : DfaState { kStart = 0, kCons = 1, kVirama = 2, kVowel = 3, kNasal = 4, kSign = 6 };
    AksharaDFA d;
    auto in = [](char32_t c, char32_t lo, char32_t hi) { return c >= lo && c <= hi; };
    for (char32_t c = 0x0900; c <= 0x097F; ++c) {
        if (in(c, 0x0915, 0x0939) || in(c, 0x0958, 0x095F) || in(c, 0x0978, 0x097F)) {
            d.add_transition(kStart, c, kCons, true);
            d.add_transition(kVirama, c, kCons, true);
        } else if (in(c, 0x093A, 0x093B) || in(c, 0x093E, 0x094C) || in(c, 0x094E, 0x094F) ||
                   in(c, 0x0955, 0x0957) || in(c, 0x0962, 0x0963)) {
            d.add_transition(kCons, c, kVowel, true);
            d.add_transition(kVowel, c, kVowel, true);
        } else if (in(c, 0x0900, 0x0903)) {
            d.add_transition(kCons, c, kNasal, true);
            d.add_transition(kVowel, c, kNasal, true);
        } else if (in(c, 0x0904, 0x0914) || in(c, 0x0972, 0x0977)) {
            d.add_transition(kStart, c, kVowel, true);
        } else if (c == 0x093D || c == 0x0950 || in(c, 0x0966, 0x0971)) {
            d.add_transition(kStart, c, kSign, true);
        }
    }
    d.add_transition(kCons, 0x093C, kCons, true);    // nukta
    d.add_transition(kCons, 0x094D, kVirama, true);  // virama
    return d;
}

}  // namespace larkspur
