#include "text/normalizer.hpp"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <cstring>

#include "common/errors.hpp"
#include "common/utf8.hpp"

namespace larkspur {

namespace {

const icu::Normalizer2& nfc_instance() {
    // ICU caches the instance for the life of the process; it is thread-safe for const use.
    static const icu::Normalizer2* inst = [] {
        UErrorCode ec = U_ZERO_ERROR;
        const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(ec);
        if (U_FAILURE(ec) || !n) throw_runtime(std::string("ICU NFC unavailable: ") + u_errorName(ec));
        return n;
    }();
    return *inst;
}

constexpr std::uint64_t edge_key(std::int32_t node, char32_t cp) {
    return (static_cast<std::uint64_t>(node) << 21) | cp;
}

}  // namespace

namespace {

// The Unicode quick check for NFC, table-driven for the Basic Multilingual Plane, with
// the tables read from ICU's own character properties so that both always agree. It
// answers most texts without running ICU's normalizer; "maybe" answers fall back to ICU.
class NfcQuickCheck {
   public:
    enum Result { kYes, kNo, kMaybe };

    NfcQuickCheck() : ccc_(0x10000), qc_(0x10000) {
        for (UChar32 c = 0; c < 0x10000; ++c) {
            ccc_[c] = static_cast<std::uint8_t>(u_getCombiningClass(c));
            int q = u_getIntPropertyValue(c, UCHAR_NFC_QUICK_CHECK);
            qc_[c] = static_cast<std::uint8_t>(q == UNORM_YES ? kYes : q == UNORM_NO ? kNo : kMaybe);
        }
    }

    Result check(std::string_view text) const {
        const auto* s = reinterpret_cast<const unsigned char*>(text.data());
        const std::size_t n = text.size();
        std::size_t i = 0;
        std::uint8_t last_ccc = 0;
        char32_t prev = 0;  // the previous code point, when it was a starter; else 0
        while (i < n) {
            if (s[i] < 0x80) {
                // ASCII: starters that never compose backwards.
                last_ccc = 0;
                prev = s[i++];
                continue;
            }
            std::size_t len = utf8::seq_len(s[i]);
            if (len == 4) return kMaybe;  // outside the tables: let ICU decide
            char32_t c = len == 2 ? ((s[i] & 0x1F) << 6) | (s[i + 1] & 0x3F)
                                  : ((s[i] & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
            i += len;
            std::uint8_t cc = ccc_[c];
            if (cc != 0 && last_ccc > cc) return kNo;
            switch (qc_[c]) {
                case kNo:
                    return kNo;
                case kMaybe:
                    // A combining mark right after a starter it does not compose with stays
                    // as it is: nothing else can compose with it, and it composes with
                    // nothing after it.
                    if (cc == 0 || prev == 0 || nfc_instance().composePair(prev, c) >= 0) return kMaybe;
                    break;
                default:
                    break;
            }
            last_ccc = cc;
            prev = cc == 0 ? c : 0;
        }
        return kYes;
    }

   private:
    std::vector<std::uint8_t> ccc_, qc_;
};

const NfcQuickCheck& quick_check() {
    static const NfcQuickCheck table;
    return table;
}

}  // namespace

bool Normalizer::is_nfc(std::string_view text) {
    switch (quick_check().check(text)) {
        case NfcQuickCheck::kYes:
            return true;
        case NfcQuickCheck::kNo:
            return false;
        default:
            break;
    }
    UErrorCode ec = U_ZERO_ERROR;
    bool yes = nfc_instance().isNormalizedUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())), ec);
    if (U_FAILURE(ec)) throw_runtime(std::string("NFC check failed: ") + u_errorName(ec));
    return yes;
}

void Normalizer::nfc(std::string_view text, std::string& out) {
    out.clear();
    out.reserve(text.size());
    UErrorCode ec = U_ZERO_ERROR;
    icu::StringByteSink<std::string> sink(&out);
    nfc_instance().normalizeUTF8(0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())),
                                 sink, nullptr, ec);
    if (U_FAILURE(ec)) throw_runtime(std::string("NFC failed: ") + u_errorName(ec));
}

Normalizer::Normalizer(FoldMode mode, const RulePairs& rules) : mode_(mode) {
    quick_check();  // fail at construction, not at the first text
    rules_.reserve(rules.size());
    for (const auto& [from, to] : rules) rules_.push_back({from, to});
    std::stable_sort(rules_.begin(), rules_.end(), [](const FoldingRule& x, const FoldingRule& y) {
        return utf8::count_chars(x.pattern) > utf8::count_chars(y.pattern);
    });

    rule_at_.push_back(-1);
    for (std::size_t r = 0; r < rules_.size(); ++r) {
        const std::string& p = rules_[r].pattern;
        if (p.empty()) continue;  // an empty pattern never matches
        std::int32_t node = 0;
        std::size_t i = 0;
        bool first = true;
        while (i < p.size()) {
            char32_t cp = utf8::next(p, i);
            std::int32_t child = -1;
            if (first && cp < 0x10000) {
                std::size_t page = cp >> 8;
                if (first_page_.empty()) first_page_.assign(256, -1);
                if (first_page_[page] < 0) {
                    first_page_[page] = static_cast<std::int32_t>(first_nodes_.size() / 256);
                    first_nodes_.resize(first_nodes_.size() + 256, -1);
                }
                std::int32_t& slot = first_nodes_[first_page_[page] * 256 + (cp & 0xFF)];
                if (slot < 0) {
                    slot = static_cast<std::int32_t>(rule_at_.size());
                    rule_at_.push_back(-1);
                }
                child = slot;
            } else {
                auto [slot, created] = edges_.try_emplace(edge_key(node, cp));
                if (created) {
                    *slot = static_cast<std::int32_t>(rule_at_.size());
                    rule_at_.push_back(-1);
                }
                child = *slot;
            }
            node = child;
            first = false;
        }
        // Equal patterns: the first in stored order wins.
        if (rule_at_[node] < 0) rule_at_[node] = static_cast<std::int32_t>(r);
    }
}

int Normalizer::first_node(char32_t cp) const {
    if (cp < 0x10000) {
        if (first_page_.empty()) return -1;
        std::int32_t page = first_page_[cp >> 8];
        return page < 0 ? -1 : first_nodes_[page * 256 + (cp & 0xFF)];
    }
    const std::int32_t* child = edges_.find(edge_key(0, cp));
    return child ? *child : -1;
}

int Normalizer::match_at(std::string_view text, std::size_t i, std::size_t& end) const {
    std::size_t j = i;
    std::int32_t node = first_node(utf8::next(text, j));
    if (node < 0) return -1;
    int best = rule_at_[node];
    end = j;
    while (j < text.size()) {
        std::size_t k = j;
        const std::int32_t* child = edges_.find(edge_key(node, utf8::next(text, k)));
        if (!child) break;
        node = *child;
        j = k;
        if (rule_at_[node] >= 0) {
            best = rule_at_[node];
            end = j;
        }
    }
    return best;
}

bool Normalizer::fold(std::string_view text, std::string& out) const {
    static constexpr std::string_view kZwj = "\xE2\x80\x8D";
    const bool drop_zwj = mode_ == FoldMode::LM;
    if (rule_at_.size() <= 1) {
        // No usable rule: only U+200D removal can change the text.
        if (!drop_zwj || text.find(kZwj) == std::string_view::npos) return false;
        out.clear();
        out.reserve(text.size());
        std::size_t from = 0;
        for (std::size_t at; (at = text.find(kZwj, from)) != std::string_view::npos; from = at + 3) {
            out.append(text.data() + from, at - from);
        }
        out.append(text.data() + from, text.size() - from);
        return true;
    }
    bool changed = false;
    std::size_t copied = 0;  // text[0..copied) has been emitted into out
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t end;
        int r = match_at(text, i, end);
        if (r >= 0) {
            if (!changed) {
                out.clear();
                out.reserve(text.size());
                changed = true;
            }
            out.append(text.data() + copied, i - copied);
            out += rules_[r].replacement;
            i = copied = end;
            continue;
        }
        std::size_t len = utf8::seq_len(static_cast<unsigned char>(text[i]));
        if (drop_zwj && len == 3 && text.compare(i, 3, kZwj) == 0) {
            if (!changed) {
                out.clear();
                out.reserve(text.size());
                changed = true;
            }
            out.append(text.data() + copied, i - copied);
            copied = i + 3;
        }
        i += len;
    }
    if (changed) out.append(text.data() + copied, text.size() - copied);
    return changed;
}

std::string_view Normalizer::normalize_view(std::string_view text, NormalizeScratch& s) const {
    std::string_view cur = text;
    if (!is_nfc(cur)) {
        nfc(cur, s.a);
        cur = s.a;
    }
    if (!fold(cur, s.b)) return cur;
    if (is_nfc(s.b)) return s.b;
    nfc(s.b, s.a);
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
