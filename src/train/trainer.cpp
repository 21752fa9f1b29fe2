#include "train/trainer.hpp"

#include <cmath>


namespace larkspur {

std::string_view ConstrainedBPETrainer::morph_surface(TokenId a) const {
    const std::string& s = vocab.surface(a);
    return rules.marker_stems ? without_marker(s) : std::string_view(s);
}

bool ConstrainedBPETrainer::makes_reserved(TokenId a, TokenId b) const {
    const std::string& left = vocab.surface(a);
    const std::string& right = vocab.surface(b);
    for (const std::string& r : reserved) {
        if (r.size() == left.size() + right.size() && r.compare(0, left.size(), left) == 0 &&
            r.compare(left.size(), right.size(), right) == 0) {
            return true;
        }
    }
    return false;
}

bool ConstrainedBPETrainer::legal(TokenId a, TokenId b, std::uint64_t freq) const {
    if (vocab.empty()) return false;
    if (!reserved.empty() && makes_reserved(a, b)) return false;
    Script sa = vocab.script(a), sb = vocab.script(b);
    if (sa > Script::PUN || sb > Script::PUN) return false;
    if (phase == Phase::LAT) {
        if (rules.latin_joins) {
            return (sa == Script::LAT || sa == Script::PUN) && (sb == Script::LAT || sb == Script::PUN);
        }
        return sa == Script::LAT && (sb == Script::LAT || (rules.edge_joins && sb == Script::PUN));
    }
    if (rules.edge_joins) {
        if (sa == Script::LAT || sb == Script::LAT) return false;
    } else if (sa != sb || (sa != Script::DEV && sa != Script::PUN)) {
        return false;
    }
    if (vocab.is_strict(b) || vocab.is_ambiguous(b)) return false;
    if (vocab.is_strict(a)) return false;
    if (vocab.is_ambiguous(a) && freq < theta) return false;
    if (rules.edge_joins && sb == Script::PUN) return true;  // punctuation is no morpheme
    const auto& roots = vocab.root_set(a);
    if (roots.empty()) return true;
    const std::string_view from = morph_surface(a);
    const std::string& to = vocab.surface(b);
    for (RootId r : roots) {
        if (registry.check_allowed(r, from, to)) return true;
    }
    return false;
}

std::pair<std::uint8_t, std::uint64_t> ConstrainedBPETrainer::priority_key(TokenId a, TokenId b,
                                                                           std::uint64_t freq) const {
    Script sa = vocab.script(a);
    // The Latin pass ranks its pairs by count alone (its left parts were all Latin before
    // Latin joins let punctuation lead).
    std::uint8_t rank = phase == Phase::LAT ? 0 : sa == Script::DEV ? 2 : sa == Script::PUN ? 1 : 0;

    double p_allowed = 1.0;
    if (phase == Phase::DEV && probabilistic_k) {
        const auto& roots = vocab.root_set(a);
        if (!roots.empty()) {
            std::size_t n = roots.size();
            if (root_set_cap != 0 && root_set_cap < n) n = root_set_cap;
            const std::string_view from = morph_surface(a);
            const std::string& to = vocab.surface(b);
            double num = 0, den = 0;
            for (std::size_t i = 0; i < n; ++i) {
                double w = 1.0;
                if (!root_prior.empty()) {
                    auto it = root_prior.find(roots[i]);
                    // A negative or NaN prior weighs nothing.
                    if (it != root_prior.end()) w = it->second > 0 ? it->second : 0.0;
                }
                den += w;
                if (registry.check_allowed(roots[i], from, to)) num += w;
            }
            p_allowed = den > 0 ? num / den : 1.0;
        }
    }
    double weight = 1.0;
    if (auto it = token_weights.find(a); it != token_weights.end()) {
        weight = it->second > 0 ? it->second : 0.0;
    }
    double x = static_cast<double>(freq) * (p_allowed * weight) * 1024.0;
    std::uint64_t key;
    if (!std::isfinite(x) || x <= 0) {
        key = 0;
    } else if (x >= 18446744073709551616.0) {
        key = UINT64_MAX;
    } else {
        key = static_cast<std::uint64_t>(x);
    }
    return {rank, key};
}

}  // namespace larkspur
