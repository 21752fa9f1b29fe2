#include "tokenizer/specials.hpp"

#include "common/errors.hpp"

namespace larkspur {

SpecialTokens::SpecialTokens(std::vector<std::string> texts, std::size_t first_id)
    : texts_(std::move(texts)), first_id_(first_id) {
    for (std::size_t i = 0; i < texts_.size(); ++i) {
        if (texts_[i].empty()) throw_value("a special token cannot be the empty text");
        for (std::size_t j = 0; j < i; ++j) {
            if (texts_[j] == texts_[i]) throw_value("special token " + texts_[i] + " is given twice");
        }
    }
}

std::optional<std::size_t> SpecialTokens::id_of(std::string_view text) const {
    for (std::size_t i = 0; i < texts_.size(); ++i) {
        if (texts_[i] == text) return first_id_ + i;
    }
    return std::nullopt;
}

std::vector<SpecialTokens::Piece> SpecialTokens::split(std::string_view text,
                                                       std::span<const std::size_t> allowed) const {
    std::vector<Piece> out;
    std::size_t plain = 0, at = 0;
    // The next occurrence of each allowed special at or after `at`, found again only once
    // the cut has passed it, so that a long text with many specials is read once per special.
    constexpr std::size_t kUnknown = std::string_view::npos - 1;
    std::vector<std::size_t> next(allowed.size(), kUnknown);
    while (!allowed.empty() && at < text.size()) {
        // The leftmost occurrence of any allowed special, the longest at equal starts.
        std::size_t best_at = std::string_view::npos, best_len = 0, best_id = 0;
        for (std::size_t k = 0; k < allowed.size(); ++k) {
            const std::size_t id = allowed[k];
            const std::string& s = texts_[id - first_id_];
            if (next[k] == kUnknown || (next[k] != std::string_view::npos && next[k] < at)) next[k] = text.find(s, at);
            const std::size_t f = next[k];
            if (f == std::string_view::npos) continue;
            if (f < best_at || (f == best_at && s.size() > best_len)) {
                best_at = f;
                best_len = s.size();
                best_id = id;
            }
        }
        if (best_at == std::string_view::npos) break;
        if (best_at > plain) out.push_back({plain, best_at, std::nullopt});
        out.push_back({best_at, best_at + best_len, best_id});
        plain = at = best_at + best_len;
    }
    if (plain < text.size()) out.push_back({plain, text.size(), std::nullopt});
    return out;
}

}  // namespace larkspur
