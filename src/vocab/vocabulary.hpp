// The token table of one tokenizer: dense ids 0..n-1 in order of addition, the shared
// token records, surface <-> id lookups (byte equality, never normalized), scripts, the
// seed sets V_strict and V_ambiguous, root sets and induced counts.
//
// Invariants kept by add_token: every id has a script and a surface, each surface maps
// back to its id, and each surface occurs once. Whole-table loads (load_vocab, checkpoint
// import) may repeat a surface; the surface map then names the later id.
//
// Per-id data is kept in dense arrays. An id "without a root set" and an id with an
// empty one behave identically everywhere, so both are an empty list here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/flat_map.hpp"
#include "vocab/token.hpp"

namespace larkspur {

class Vocabulary {
   public:
    Vocabulary();

    std::size_t size() const { return tokens_.size(); }
    bool empty() const { return tokens_.empty(); }

    // Adds a token unless its surface is present; either way applies the requested seed-set
    // memberships and returns the surface's id. The first registration of a surface wins.
    TokenId add_token(TokenRef token, std::string surface, bool strict, bool ambiguous);
    // Appends without looking for an equal surface (whole-table loads). The surface map
    // entry is replaced. `count_chars` says whether the surface length may raise
    // max_token_chars.
    TokenId append(TokenRef token, std::string surface, Script script, bool count_chars);
    // Empties the table (every list, map and set) and sets max_token_chars to 0.
    void reset();
    // Room for n tokens, so that rebuilding a vocabulary of known size does not rehash.
    void reserve(std::size_t n);
    // Removes the tokens whose `drop` entry is true and renumbers the others densely in
    // their order; a merge token keeps its parts only while both remain. Returns each old
    // id's new id (none for a removed one).
    std::vector<std::optional<TokenId>> remove_tokens(const std::vector<bool>& drop);

    const TokenRef& token(TokenId id) const { return tokens_[id]; }
    const std::string& surface(TokenId id) const { return surfaces_[id]; }
    std::optional<TokenId> find(std::string_view surface) const;

    Script script(TokenId id) const {
        return id < scripts_.size() ? static_cast<Script>(scripts_[id]) : Script::MAL;
    }
    void set_script(TokenId id, Script s) { scripts_[id] = static_cast<std::uint8_t>(s); }
    std::size_t count_script(Script s) const;
    std::vector<std::uint8_t> script_vector() const { return scripts_; }

    bool is_strict(TokenId id) const { return id < flags_.size() && (flags_[id] & kStrict); }
    bool is_ambiguous(TokenId id) const { return id < flags_.size() && (flags_[id] & kAmbiguous); }
    void set_strict(TokenId id) { flags_[id] |= kStrict; }
    void set_ambiguous(TokenId id) { flags_[id] |= kAmbiguous; }
    void clear_ambiguous(TokenId id) { flags_[id] &= static_cast<std::uint8_t>(~kAmbiguous); }

    const std::vector<RootId>& root_set(TokenId id) const {
        return id < root_sets_.size() ? root_sets_[id] : kNoRoots;
    }
    void set_root_set(TokenId id, std::vector<RootId> roots) { root_sets_[id] = std::move(roots); }

    const double* induced_count(TokenId id) const;
    void set_induced_count(TokenId id, double c) { induced_counts_[id] = c; }

    std::size_t max_token_chars() const { return max_token_chars_; }
    void raise_max_token_chars(std::size_t n) {
        if (n > max_token_chars_) max_token_chars_ = n;
    }

    // Changes whenever the set of surfaces or tokens changes; caches derived from the
    // surface table compare it. Unique across all vocabularies of the process.
    std::uint64_t generation() const { return generation_; }

    static constexpr std::uint8_t kStrict = 1, kAmbiguous = 2;
    std::uint8_t flags(TokenId id) const { return flags_[id]; }

   private:
    void touch();
    static const std::vector<RootId> kNoRoots;

    std::vector<TokenRef> tokens_;
    std::unordered_map<std::string, TokenId, StringHash, std::equal_to<>> surface_to_id_;
    std::vector<std::uint8_t> scripts_;
    std::vector<std::uint8_t> flags_;
    std::vector<std::vector<RootId>> root_sets_;
    std::vector<std::string> surfaces_;
    std::unordered_map<TokenId, double> induced_counts_;
    std::size_t max_token_chars_ = 0;
    std::uint64_t generation_ = 0;
};

}  // namespace larkspur
