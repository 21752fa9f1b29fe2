#include "vocab/vocabulary.hpp"

#include <atomic>

#include "common/utf8.hpp"

namespace larkspur {

namespace {
std::atomic<std::uint64_t> g_next_generation{1};
}

const std::vector<RootId> Vocabulary::kNoRoots;

Vocabulary::Vocabulary() { touch(); }

void Vocabulary::touch() { generation_ = g_next_generation.fetch_add(1, std::memory_order_relaxed); }

std::optional<TokenId> Vocabulary::find(std::string_view surface) const {
    auto it = surface_to_id_.find(surface);
    if (it == surface_to_id_.end()) return std::nullopt;
    return it->second;
}

TokenId Vocabulary::add_token(TokenRef token, std::string surface, bool strict, bool ambiguous) {
    if (auto it = surface_to_id_.find(surface); it != surface_to_id_.end()) {
        TokenId id = it->second;
        if (strict) set_strict(id);
        if (ambiguous) set_ambiguous(id);
        return id;
    }
    TokenId id = tokens_.size();
    raise_max_token_chars(utf8::count_chars(surface));
    surface_to_id_.emplace(surface, id);
    scripts_.push_back(static_cast<std::uint8_t>(script_of_kind(token->kind)));
    flags_.push_back(static_cast<std::uint8_t>((strict ? kStrict : 0) | (ambiguous ? kAmbiguous : 0)));
    root_sets_.emplace_back(token->kind == TokenKind::BaseAkshara ? token->roots
                                                                  : std::vector<RootId>{});
    surfaces_.push_back(std::move(surface));
    tokens_.push_back(std::move(token));
    touch();
    return id;
}

TokenId Vocabulary::append(TokenRef token, std::string surface, Script script, bool count_chars) {
    TokenId id = tokens_.size();
    if (count_chars) raise_max_token_chars(utf8::count_chars(surface));
    surface_to_id_[surface] = id;
    scripts_.push_back(static_cast<std::uint8_t>(script));
    flags_.push_back(0);
    root_sets_.emplace_back();
    surfaces_.push_back(std::move(surface));
    tokens_.push_back(std::move(token));
    touch();
    return id;
}

void Vocabulary::reset() {
    tokens_.clear();
    surface_to_id_.clear();
    scripts_.clear();
    flags_.clear();
    root_sets_.clear();
    surfaces_.clear();
    induced_counts_.clear();
    max_token_chars_ = 0;
    touch();
}

void Vocabulary::reserve(std::size_t n) {
    tokens_.reserve(n);
    surface_to_id_.reserve(n);
    scripts_.reserve(n);
    flags_.reserve(n);
    root_sets_.reserve(n);
    surfaces_.reserve(n);
}

std::vector<std::optional<TokenId>> Vocabulary::remove_tokens(const std::vector<bool>& drop) {
    const std::size_t n = tokens_.size();
    std::vector<std::optional<TokenId>> renumbered(n);
    TokenId next = 0;
    for (TokenId id = 0; id < n; ++id) {
        if (id < drop.size() && drop[id]) continue;
        renumbered[id] = next;
        if (next != id) {
            tokens_[next] = std::move(tokens_[id]);
            scripts_[next] = scripts_[id];
            flags_[next] = flags_[id];
            root_sets_[next] = std::move(root_sets_[id]);
            surfaces_[next] = std::move(surfaces_[id]);
        }
        ++next;
    }
    tokens_.resize(next);
    scripts_.resize(next);
    flags_.resize(next);
    root_sets_.resize(next);
    surfaces_.resize(next);
    // The surface map is updated in place: no key is copied.
    for (auto it = surface_to_id_.begin(); it != surface_to_id_.end();) {
        const std::optional<TokenId> to = it->second < n ? renumbered[it->second] : std::nullopt;
        if (!to) {
            it = surface_to_id_.erase(it);
        } else {
            it->second = *to;
            ++it;
        }
    }
    std::unordered_map<TokenId, double> counts;
    counts.reserve(induced_counts_.size());
    for (const auto& [id, c] : induced_counts_) {
        if (id < n && renumbered[id]) counts[*renumbered[id]] = c;
    }
    induced_counts_ = std::move(counts);
    for (TokenRef& t : tokens_) {
        if (t->kind != TokenKind::Merge) continue;
        // A new token only where a part moved (a merge that loses a part has none left);
        // most merges below the first removed id keep theirs.
        bool moved = false, lost = false;
        for (TokenId p : t->parts) {
            if (p >= n || !renumbered[p]) {
                lost = true;
                break;
            }
            moved = moved || *renumbered[p] != p;
        }
        if (lost) {
            t = Token::merge({});
        } else if (moved) {
            std::vector<TokenId> parts;
            parts.reserve(t->parts.size());
            for (TokenId p : t->parts) parts.push_back(*renumbered[p]);
            t = Token::merge(std::move(parts));
        }
    }
    max_token_chars_ = 0;
    for (const std::string& s : surfaces_) raise_max_token_chars(utf8::count_chars(s));
    touch();
    return renumbered;
}

std::size_t Vocabulary::count_script(Script s) const {
    std::size_t n = 0;
    for (auto v : scripts_) n += v == static_cast<std::uint8_t>(s);
    return n;
}

const double* Vocabulary::induced_count(TokenId id) const {
    auto it = induced_counts_.find(id);
    return it == induced_counts_.end() ? nullptr : &it->second;
}

}  // namespace larkspur
