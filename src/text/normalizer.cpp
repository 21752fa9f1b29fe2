#include "text/normalizer.hpp"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
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

    NfcQuickCheck() : info_(0x10000) {
        const icu::Normalizer2& nfc = nfc_instance();
        icu::UnicodeString d;
        for (UChar32 c = 0; c < 0x10000; ++c) {
            unsigned ccc = u_getCombiningClass(c);
            int q = u_getIntPropertyValue(c, UCHAR_NFC_QUICK_CHECK);
            unsigned qc = q == UNORM_YES ? kYes : q == UNORM_NO ? kNo : kMaybe;
            const bool decomposes = nfc.getRawDecomposition(c, d);
            info_[c] = static_cast<std::uint16_t>(ccc | (qc << 8) | (decomposes ? kDecomposes : 0));
            // The pairs that canonical composition joins: a character that decomposes into
            // two, and is not excluded from composition, is what the pair composes to.
            if (decomposes && d.countChar32() == 2) {
                UChar32 a = d.char32At(0), b = d.char32At(d.moveIndex32(0, 1));
                if (nfc.composePair(a, b) == c) composable_[pair_key(a, b)] = 1;
            }
        }
        for (char32_t c = 0x0900; c < 0x0980; ++c) {
            devanagari_kind_[c - 0x0900] = info_[c] == 0 ? kPlain : c == 0x094D ? kVirama : 0;
        }
    }

    // Whether the text is in NFC. Characters the tables settle are checked here; around
    // the others (a "maybe" that may compose, characters beyond the tables) ICU checks just
    // the normalization segment: from the last boundary before to the next boundary after.
    bool is_nfc(std::string_view text) const {
        const auto* s = reinterpret_cast<const unsigned char*>(text.data());
        const std::size_t n = text.size();
        State st;
        std::size_t i = 0;
        while (i < n) {
            const unsigned char b = s[i];
            if (b < 0x80) {
                // ASCII: boundaries that never combine; skip them in blocks.
                ++i;
                while (i + 8 <= n) {
                    std::uint64_t w;
                    std::memcpy(&w, s + i, 8);
                    if (w & 0x8080808080808080ULL) break;
                    i += 8;
                }
                while (i < n && s[i] < 0x80) ++i;
                st.last_ccc = 0;
                st.prev = s[i - 1];
                st.segment = i - 1;
                continue;
            }
            if (b == 0xE0 || b == 0x20) {
                // Devanagari text: runs of plain Devanagari characters (E0 A4 xx, E0 A5 xx),
                // viramas and spaces, stepped through without a branch per character kind,
                // since word boundaries come every few characters. A virama (combining class
                // 9) after these is in canonical order; only what follows the run can break it.
                std::size_t last = n, boundary = st.segment;
                unsigned ccc = st.last_ccc;
                while (i + 2 < n) {
                    const unsigned b0 = s[i], b1 = s[i + 1], b2 = s[i + 2];
                    const bool space = b0 == 0x20;
                    const unsigned kind = devanagari_kind_[((b1 & 1) << 6) | (b2 & 0x3F)];
                    const bool virama = kind == kVirama;
                    const bool dev = (b0 == 0xE0) & ((b1 & 0xFE) == 0xA4) &
                                     ((kind == kPlain) | (virama & (ccc <= 9)));
                    if (!(space | dev)) break;
                    last = i;
                    boundary = (dev & virama) ? boundary : i;
                    ccc = (dev & virama) ? 9 : 0;
                    i += space ? 1 : 3;
                }
                if (last != n) {
                    const bool virama = s[last] == 0xE0 && s[last + 1] == 0xA5 && s[last + 2] == 0x8D;
                    st.last_ccc = virama ? 9 : 0;
                    st.prev = virama ? 0
                              : s[last] == 0x20 ? 0x20
                                                : 0x0900 + (((s[last + 1] & 1) << 6) | (s[last + 2] & 0x3F));
                    st.segment = boundary;
                    continue;
                }
                if (b == 0x20) {  // a space too close to the end for the loop above
                    ++i;
                    st.last_ccc = 0;
                    st.prev = 0x20;
                    st.segment = i - 1;
                    continue;
                }
            }
            const std::size_t at = i;
            char32_t c;
            if (b == 0xE0 && i + 2 < n) {  // U+0800..U+0FFF
                c = (char32_t(s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F);
                i += 3;
            } else {
                c = utf8::next(text, i);
            }
            const unsigned v = c < 0x10000 ? info_[c] : kUnknown;
            if (v == 0) {  // the common case: a starter that is fine as it is
                st.last_ccc = 0;
                st.prev = c;
                st.segment = at;
                continue;
            }
            if (!other_char(text, c, v, i, st)) return false;
        }
        return true;
    }

    // A starter that nothing before it can combine with: a normalization boundary.
    bool boundary_before(char32_t c) const { return c < 0x10000 && (info_[c] & ~kDecomposes) == 0; }

   private:
    struct State {
        std::size_t segment = 0;  // start of the last boundary character
        unsigned last_ccc = 0;
        char32_t prev = 0;  // the previous code point, when it was a starter; else 0
    };

    // Checks a character the common case did not settle (its table value v is not 0); i is
    // just past it. Returns false when the text is not in NFC; may move i ahead.
    [[gnu::noinline]] bool other_char(std::string_view text, char32_t c, unsigned v, std::size_t& i,
                                      State& st) const {
        if (v != kUnknown) {
            const unsigned cc = v & 0xFF;
            if (cc != 0 && st.last_ccc > cc) return false;
            const unsigned q = (v >> 8) & 3;
            if (q == kNo) return false;
            // A combining mark right after a starter that has no decomposition and does not
            // compose with it stays as it is: nothing else can compose with it, and it
            // composes with nothing after it.
            if (q == kYes || (cc != 0 && st.prev != 0 && !composable_.contains(pair_key(st.prev, c)))) {
                st.last_ccc = cc;
                st.prev = (cc == 0 && !(v & kDecomposes)) ? c : 0;
                return true;
            }
        }
        // Let ICU check the normalization segment: from the last boundary to the next.
        std::size_t end = i;
        while (end < text.size()) {
            std::size_t k = end;
            const char32_t d = utf8::next(text, k);
            if (d < 0x10000 && info_[d] == 0) break;
            end = k;
        }
        UErrorCode ec = U_ZERO_ERROR;
        bool yes = nfc_instance().isNormalizedUTF8(
            icu::StringPiece(text.data() + st.segment, static_cast<int32_t>(end - st.segment)), ec);
        if (U_FAILURE(ec)) throw_runtime(std::string("NFC check failed: ") + u_errorName(ec));
        i = end;
        st.last_ccc = 0;
        st.prev = 0;
        return yes;
    }

    static constexpr unsigned kUnknown = 0xFFFF, kDecomposes = 0x400;
    // U+0900 + i: kPlain for a starter that is fine as it is, kVirama for the virama.
    static constexpr unsigned char kPlain = 1, kVirama = 2;
    std::array<unsigned char, 128> devanagari_kind_{};
    static std::uint64_t pair_key(char32_t a, char32_t b) { return (std::uint64_t{a} << 21) | b; }
    FlatMap<std::uint64_t, unsigned char> composable_;
    // Combining class | quick-check value << 8 | kDecomposes for characters with a canonical
    // decomposition. 0 means a starter that is fine as it is and a normalization boundary.
    std::vector<std::uint16_t> info_;
};

const NfcQuickCheck& quick_check() {
    static const NfcQuickCheck table;
    return table;
}

}  // namespace

bool Normalizer::is_nfc(std::string_view text) { return quick_check().is_nfc(text); }

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
        clean_replacement_[r] = rep.empty() || (is_nfc(rep) && quick_check().boundary_before(utf8::next(rep, k)));
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
            if (!quick_check().boundary_before(utf8::next(text, j))) recheck = true;
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
    if (!is_nfc(cur)) {
        nfc(cur, s.a);
        cur = s.a;
    }
    bool recheck;
    if (!fold(cur, s.b, recheck)) return cur;
    if (!recheck || is_nfc(s.b)) return s.b;
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
