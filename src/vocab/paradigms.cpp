#include "vocab/paradigms.hpp"

#include <utility>

#include "common/markers.hpp"

namespace larkspur {

void ParadigmRegistry::add(RootId root, Transitions transitions) {
    std::size_t index = paradigms_.size();
    for (const auto& entry : transitions) key_index_[entry.first].push_back(index);
    by_root_[root] = index;
    paradigms_.push_back(Paradigm{std::move(transitions), root});
}

bool ParadigmRegistry::check_allowed(RootId root, std::string_view from, std::string_view to) const {
    auto it = by_root_.find(root);
    if (it == by_root_.end()) return false;
    const Transitions& t = paradigms_[it->second].transitions;
    auto f = t.find(from);
    if (f == t.end()) return false;
    return f->second.find(to) != f->second.end();
}

std::vector<RootId> ParadigmRegistry::roots_with_key(std::string_view surface) const {
    std::vector<RootId> out;
    auto it = key_index_.find(surface);
    if (it == key_index_.end()) return out;
    out.reserve(it->second.size());
    for (std::size_t index : it->second) out.push_back(paradigms_[index].root_id);
    return out;
}

double RootOrder::p(RootId r) const {
    auto it = prior_.find(r);
    return it == prior_.end() ? 1.0 : it->second;
}

bool RootOrder::before(RootId a, RootId b) const {
    if (prior_.empty()) return a < b;
    double pa = p(a), pb = p(b);
    if (pa > pb) return true;
    if (pa < pb) return false;
    return a < b;  // equal, or incomparable because of a NaN
}

void RootOrder::sort(std::vector<RootId>& roots) const {
    // Insertion sort from the left: stable, and bounded whatever the comparator answers
    // (priors may hold NaN, which makes the order inconsistent).
    for (std::size_t i = 1; i < roots.size(); ++i) {
        RootId x = roots[i];
        std::size_t j = i;
        while (j > 0 && before(x, roots[j - 1])) {
            roots[j] = roots[j - 1];
            --j;
        }
        roots[j] = x;
    }
}

RootId RootOrder::best(const std::vector<RootId>& roots) const {
    RootId b = roots.front();
    for (std::size_t i = 1; i < roots.size(); ++i) {
        if (before(roots[i], b)) b = roots[i];
    }
    return b;
}

std::string_view without_marker(std::string_view surface) {
    if (surface.starts_with(markers::kWord) || surface.starts_with(markers::kLatin)) surface.remove_prefix(markers::kWord.size());
    return surface;
}

void tag_roots(Vocabulary& vocab, const ParadigmRegistry& registry, const RootPrior& prior, bool marker_stems) {
    if (registry.empty()) return;
    RootPrior prior_copy = prior;
    RootOrder order(prior_copy);
    for (TokenId t = 0; t < vocab.size(); ++t) {
        if (!is_dev_kind(vocab.token(t)->kind)) continue;
        const std::string_view s = vocab.surface(t);
        std::vector<RootId> roots = registry.roots_with_key(marker_stems ? without_marker(s) : s);
        if (roots.empty()) continue;
        order.sort(roots);
        vocab.set_root_set(t, std::move(roots));
    }
}

std::vector<std::optional<RootId>> build_paradigm_embedding(const Vocabulary& vocab,
                                                            const Lexicon& lexicon,
                                                            const RootPrior& prior, bool by_prior,
                                                            std::size_t& count) {
    RootOrder order(prior);
    std::vector<std::optional<RootId>> u(vocab.size());
    count = 0;
    for (TokenId t = 0; t < vocab.size(); ++t) {
        if (auto it = lexicon.find(vocab.surface(t)); it != lexicon.end()) {
            u[t] = it->second;
        } else {
            const auto& roots = vocab.root_set(t);
            if (roots.size() == 1) {
                u[t] = roots.front();
            } else if (roots.size() >= 2 && by_prior) {
                u[t] = order.best(roots);
            }
        }
        if (u[t]) ++count;
    }
    return u;
}

std::uint64_t fingerprint_paradigms(const ParadigmRegistry& registry) {
    std::uint64_t acc = 0;
    std::string text;
    for (const auto& p : registry.paradigms()) {
        std::string root = std::to_string(p.root_id);
        for (const auto& [surface, nexts] : p.transitions) {
            for (const auto& next : nexts) {
                text.clear();
                text += root;
                text += '\x01';
                text += surface;
                text += '\x01';
                text += next;
                acc += fnv1a(text.data(), text.size());
            }
        }
    }
    return acc;
}

Transitions transitions_of(const std::vector<std::pair<std::string, std::vector<std::string>>>& pairs) {
    Transitions t;
    for (const auto& [key, nexts] : pairs) t[key].insert(nexts.begin(), nexts.end());
    return t;
}

}  // namespace larkspur
