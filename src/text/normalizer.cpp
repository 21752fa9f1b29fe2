#include "text/normalizer.hpp"

#include <algorithm>

#include "common/utf8.hpp"
#include "text/nfc.hpp"

namespace larkspur {

bool Normalizer::is_nfc(std::string_view text) { return nfc::is_nfc(text); }

void Normalizer::nfc(std::string_view text, std::string& out) { nfc::to_nfc(text, out); }

Normalizer::Normalizer(FoldMode mode, const RulePairs& rules) : mode_(mode) {
    nfc::warm_up();  // fail at construction, not at the first text
    rules_.reserve(rules.size());
    for (const auto& [from, to] : rules) rules_.push_back({from, to});
    std::stable_sort(rules_.begin(), rules_.end(), [](const FoldingRule& x, const FoldingRule& y) {
        return utf8::count_chars(x.pattern) > utf8::count_chars(y.pattern);
    });

    // Build with a map of edges, then lay each node's children out as one sorted run.
    FlatMap<std::uint64_t, std::int32_t> edges;
    std::vector<std::vector<std::pair<char32_t, std::int32_t>>> children(1);
    std::vector<std::int32_t> rule_at(1, -1);
    for (std::size_t r = 0; r < rules_.size(); ++r) {
        const std::string& p = rules_[r].pattern;
        if (p.empty()) continue;  // an empty pattern never matches
        std::int32_t node = 0;
        std::size_t i = 0;
        while (i < p.size()) {
            char32_t cp = utf8::next(p, i);
            auto [slot, created] = edges.try_emplace((static_cast<std::uint64_t>(node) << 21) | cp);
            if (created) {
                *slot = static_cast<std::int32_t>(rule_at.size());
                rule_at.push_back(-1);
                children.emplace_back();
                children[node].emplace_back(cp, *slot);
            }
            node = *slot;
        }
        // Equal patterns: the first in stored order wins.
        if (rule_at[node] < 0) rule_at[node] = static_cast<std::int32_t>(r);
    }
    nodes_.resize(rule_at.size());
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
        auto& ch = children[n];
        std::sort(ch.begin(), ch.end());
        Node& node = nodes_[n];
        node.rule = rule_at[n];
        node.first_child = static_cast<std::uint32_t>(child_cp_.size());
        node.children = static_cast<std::uint32_t>(ch.size());
        for (auto& [cp, c] : ch) {
            node.filter |= std::uint64_t{1} << (cp & 63);
            child_cp_.push_back(cp);
            child_node_.push_back(c);
        }
    }
    // A replacement that is composed and begins with a boundary cannot combine with what
    // precedes it.
    clean_replacement_.resize(rules_.size());
    for (std::size_t r = 0; r < rules_.size(); ++r) {
        const std::string& rep = rules_[r].replacement;
        std::size_t k = 0;
        clean_replacement_[r] = rep.empty() || (nfc::is_nfc(rep) && nfc::boundary_before(utf8::next(rep, k)));
    }

    // Byte filters of pattern ends, for skipping text that no pattern can touch.
    end_byte_.fill(0);
    end_pair_.assign(65536 / 64, 0);
    auto mark_end = [&](std::string_view p) {
        unsigned last = static_cast<unsigned char>(p.back());
        if (p.size() == 1) {
            end_byte_[last >> 6] |= std::uint64_t{1} << (last & 63);
            has_one_byte_pattern_ = true;
        } else {
            unsigned pair = (static_cast<unsigned>(static_cast<unsigned char>(p[p.size() - 2])) << 8) | last;
            end_pair_[pair >> 6] |= std::uint64_t{1} << (pair & 63);
        }
        max_pattern_bytes_ = std::max(max_pattern_bytes_, p.size());
    };
    for (const auto& r : rules_) {
        if (!r.pattern.empty()) mark_end(r.pattern);
        space_in_pattern_ |= r.pattern.find(' ') != std::string::npos;
    }
    if (mode_ == FoldMode::LM) mark_end("\xE2\x80\x8D");

    // First code points go through a dense table below U+1000 (ASCII, Latin, Devanagari)
    // and a page table for the rest of the Basic Multilingual Plane.
    first_dense_.assign(kDenseFirst, -1);
    for (auto& [cp, c] : children[0]) {
        if (cp < kDenseFirst) {
            first_dense_[cp] = c;
            continue;
        }
        if (cp >= 0x10000) continue;
        if (first_page_.empty()) first_page_.assign(256, -1);
        std::size_t page = cp >> 8;
        if (first_page_[page] < 0) {
            first_page_[page] = static_cast<std::int32_t>(first_nodes_.size() / 256);
            first_nodes_.resize(first_nodes_.size() + 256, -1);
        }
        first_nodes_[first_page_[page] * 256 + (cp & 0xFF)] = c;
    }
}

bool Normalizer::fold(std::string_view text, std::string& out, bool& recheck) const {
    static constexpr std::string_view kZwj = "\xE2\x80\x8D";
    const bool drop_zwj = mode_ == FoldMode::LM;
    recheck = false;
    // Dropping U+200D (or a pattern) from composed text keeps it composed when what follows
    // is a boundary (U+200D itself combines with nothing); otherwise the result is checked
    // again.
    auto note_drop = [&](std::size_t after) {
        std::size_t k = after;
        while (k < text.size() && text.compare(k, 3, kZwj) == 0) k += 3;
        if (k < text.size()) {
            std::size_t j = k;
            if (!nfc::boundary_before(utf8::next(text, j))) recheck = true;
        }
    };
    if (nodes_.size() <= 1) {
        // No usable rule: only U+200D removal can change the text.
        if (!drop_zwj || text.find(kZwj) == std::string_view::npos) return false;
        out.clear();
        out.reserve(text.size());
        std::size_t from = 0;
        for (std::size_t at; (at = text.find(kZwj, from)) != std::string_view::npos; from = at + 3) {
            out.append(text.data() + from, at - from);
            note_drop(at + 3);
        }
        out.append(text.data() + from, text.size() - from);
        return true;
    }
    bool changed = false;
    std::size_t copied = 0;  // text[0..copied) has been emitted into out
    const std::size_t n = text.size();
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    auto start_output = [&] {
        if (!changed) {
            out.clear();
            out.reserve(text.size());
            changed = true;
        }
    };

    // Whether some pattern (or U+200D when it is dropped) can end with the byte at q: the
    // last two bytes of every pattern are in a bitmap of byte pairs, one-byte patterns in a
    // bitmap of bytes. Text with no candidate is skipped without decoding it.
    auto candidate = [&](std::size_t q, std::size_t from) -> bool {
        unsigned b = bytes[q];
        if ((end_byte_[b >> 6] >> (b & 63)) & 1) return true;
        if (q == from) return false;
        unsigned pair = (static_cast<unsigned>(bytes[q - 1]) << 8) | b;
        return (end_pair_[pair >> 6] >> (pair & 63)) & 1;
    };
    std::size_t i = 0;
    while (i < n) {
        std::size_t q = i;
        if (has_one_byte_pattern_) {
            while (q < n && !candidate(q, i)) ++q;
        } else {
            // Only byte pairs to test: carry the previous byte along.
            unsigned prev = bytes[q];
            for (++q; q < n; ++q) {
                unsigned pair = (prev << 8) | bytes[q];
                if ((end_pair_[pair >> 6] >> (pair & 63)) & 1) break;
                prev = bytes[q];
            }
        }
        if (q >= n) break;
        // No match ends before q, so none starts before q + 1 - longest pattern: the exact
        // scan can start there (on a character boundary) and run until it has passed q.
        if (q + 1 > i + max_pattern_bytes_) {
            i = q + 1 - max_pattern_bytes_;
            while ((bytes[i] & 0xC0) == 0x80) --i;
        }
        while (i < n && i <= q) {
            std::size_t next = i;
            const char32_t cp = utf8::next(text, next);
            if (std::int32_t node = first_node(cp); node >= 0) {
                // The longest pattern that starts here.
                int best = nodes_[node].rule;
                std::size_t best_end = next, j = next;
                while (j < n && nodes_[node].children) {
                    std::size_t k = j;
                    std::int32_t child = child_of(node, utf8::next(text, k));
                    if (child < 0) break;
                    node = child;
                    j = k;
                    if (nodes_[node].rule >= 0) {
                        best = nodes_[node].rule;
                        best_end = j;
                    }
                }
                if (best >= 0) {
                    start_output();
                    out.append(text.data() + copied, i - copied);
                    out += rules_[best].replacement;
                    i = copied = best_end;
                    // The result stays composed when the replacement is composed and starts
                    // and is followed by a boundary.
                    if (clean_replacement_[best]) {
                        note_drop(i);
                    } else {
                        recheck = true;
                    }
                    continue;
                }
            }
            if (cp == 0x200D && drop_zwj) {
                start_output();
                out.append(text.data() + copied, i - copied);
                copied = next;
                note_drop(next);
            }
            i = next;
        }
    }
    if (changed) out.append(text.data() + copied, text.size() - copied);
    return changed;
}

std::string_view Normalizer::normalize_view(std::string_view text, NormalizeScratch& s) const {
    std::string_view cur = text;
    if (const std::size_t ok = nfc::nfc_prefix(cur); ok != cur.size()) {
        nfc::to_nfc(cur, s.a, ok);
        cur = s.a;
    }
    bool recheck;
    if (!fold(cur, s.b, recheck)) return cur;
    if (!recheck || nfc::is_nfc(s.b)) return s.b;
    nfc::to_nfc(s.b, s.a);
    return s.a;
}

std::string Normalizer::normalize(std::string_view text) const {
    NormalizeScratch s;
    return std::string(normalize_view(text, s));
}

std::vector<std::string> Normalizer::validate_rules() const {
    std::vector<std::string> msgs;
    for (const auto& e : rules_) {
        for (const auto& f : rules_) {
            if (!f.pattern.empty() && e.replacement.find(f.pattern) != std::string::npos) {
                msgs.push_back(e.pattern + " -> " + e.replacement + " re-triggers " + f.pattern);
            }
        }
    }
    return msgs;
}

}  // namespace larkspur
