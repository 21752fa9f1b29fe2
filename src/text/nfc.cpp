#include "text/nfc.hpp"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <array>
#include <cstring>
#include <vector>

#include "common/errors.hpp"
#include "common/flat_map.hpp"
#include "common/utf8.hpp"

namespace larkspur::nfc {

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

    // The length of the text when it is in NFC; else where the first normalization segment
    // that is not in NFC starts (at a boundary: normalizing from there on does not depend
    // on what comes before). Characters the tables settle are checked here; around the
    // others (a "maybe" that may compose, characters beyond the tables) ICU checks just
    // the normalization segment: from the last boundary before to the next boundary after.
    std::size_t nfc_prefix(std::string_view text) const {
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
            if (!other_char(text, c, v, i, st)) return st.segment;
        }
        return n;
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

bool is_nfc(std::string_view text) { return quick_check().nfc_prefix(text) == text.size(); }

std::size_t nfc_prefix(std::string_view text) { return quick_check().nfc_prefix(text); }

bool boundary_before(char32_t c) { return quick_check().boundary_before(c); }

void warm_up() { quick_check(); }

void to_nfc(std::string_view text, std::string& out, std::size_t known_prefix) {
    out.clear();
    out.reserve(text.size());
    const NfcQuickCheck& qc = quick_check();
    icu::StringByteSink<std::string> sink(&out);
    // Only the segments that are not in NFC go through ICU's normalizer: text in NFC up to
    // the next failing segment is copied, the segment is composed up to the next
    // boundary, and the check goes on from there. (A text with one precomposed nukta
    // letter in 64 KiB costs one short segment, not the whole text.)
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::string_view rest = text.substr(pos);
        const std::size_t ok = pos == 0 && known_prefix > 0 ? known_prefix : qc.nfc_prefix(rest);
        out.append(rest.data(), ok);
        if (ok == rest.size()) break;
        std::size_t end = ok;
        utf8::next(rest, end);
        while (end < rest.size()) {
            std::size_t k = end;
            if (qc.boundary_before(utf8::next(rest, k))) break;
            end = k;
        }
        UErrorCode ec = U_ZERO_ERROR;
        nfc_instance().normalizeUTF8(0, icu::StringPiece(rest.data() + ok, static_cast<int32_t>(end - ok)), sink,
                                     nullptr, ec);
        if (U_FAILURE(ec)) throw_runtime(std::string("NFC failed: ") + u_errorName(ec));
        pos += end;
    }
}

}  // namespace larkspur::nfc
