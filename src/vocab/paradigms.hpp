// Paradigms, root ordering, root tagging and the paradigm embedding.
//
// A paradigm says, for one root, which surfaces may follow which. The registry keeps
// every registration in order (it never shrinks); `by_root` points at the latest one of
// each root, which alone answers check_allowed, while every registration counts when
// root sets are derived.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/flat_map.hpp"
#include "vocab/vocabulary.hpp"

namespace larkspur {

using StringSet = std::unordered_set<std::string, StringHash, std::equal_to<>>;
using Transitions = std::unordered_map<std::string, StringSet, StringHash, std::equal_to<>>;
using RootPrior = std::unordered_map<RootId, double>;
using Lexicon = std::unordered_map<std::string, RootId, StringHash, std::equal_to<>>;

struct Paradigm {
    Transitions transitions;
    RootId root_id = 0;
};

class ParadigmRegistry {
   public:
    void add(RootId root, Transitions transitions);
    // Whether the latest paradigm of `root` allows `to` after `from`; false when anything
    // is missing.
    bool check_allowed(RootId root, std::string_view from, std::string_view to) const;
    // The root of every registration, in registration order, that has `surface` as a key.
    std::vector<RootId> roots_with_key(std::string_view surface) const;
    const std::vector<Paradigm>& paradigms() const { return paradigms_; }
    bool empty() const { return paradigms_.empty(); }

   private:
    std::vector<Paradigm> paradigms_;
    std::unordered_map<RootId, std::size_t> by_root_;
    // key surface -> indices of the registrations that have it, ascending.
    std::unordered_map<std::string, std::vector<std::size_t>, StringHash, std::equal_to<>> key_index_;
};

// The ordering rule for root ids: with an empty prior, ascending ids; otherwise higher
// P(root) first (missing roots count 1.0) and, for equal or incomparable priors, the
// smaller id first.
class RootOrder {
   public:
    explicit RootOrder(const RootPrior& prior) : prior_(prior) {}
    bool before(RootId a, RootId b) const;
    // Stable sort safe for any prior values (NaN included).
    void sort(std::vector<RootId>& roots) const;
    // The best root by the same rule, by a left-to-right scan.
    RootId best(const std::vector<RootId>& roots) const;

   private:
    double p(RootId r) const;
    const RootPrior& prior_;
};

// Gives every Devanagari-kind token whose surface is a paradigm key its ordered root set;
// tokens whose surface no paradigm knows keep what they had. With `marker_stems` a surface
// that starts with a word marker is looked up without it, so that word-initial tokens get
// the roots of their stems.
void tag_roots(Vocabulary& vocab, const ParadigmRegistry& registry, const RootPrior& prior,
               bool marker_stems = false);
// A surface without its leading word marker (the surface itself when it has none).
std::string_view without_marker(std::string_view surface);

// U(t) per token: the lexicon entry of its surface, else its single root, else (with
// `by_prior`) the best of several roots, else none. Returns the table and how many
// tokens got a root.
std::vector<std::optional<RootId>> build_paradigm_embedding(const Vocabulary& vocab,
                                                            const Lexicon& lexicon,
                                                            const RootPrior& prior, bool by_prior,
                                                            std::size_t& count);

// 64-bit FNV-1a over "root \x01 surface \x01 next" of every allowed transition, summed.
std::uint64_t fingerprint_paradigms(const ParadigmRegistry& registry);

inline std::uint64_t fnv1a(const void* data, std::size_t n,
                           std::uint64_t h = 0xcbf29ce484222325ULL) {
    auto p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < n; ++i) {
        h ^= p[i];
        h *= 0x100000001b3ULL;
    }
    return h;
}

// The transitions of (surface, the surfaces that may follow it) pairs.
Transitions transitions_of(const std::vector<std::pair<std::string, std::vector<std::string>>>& pairs);

}  // namespace larkspur
