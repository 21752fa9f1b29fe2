// The normalizer's fast paths (composition quick check, rule trie, byte prefilters) agree
// with the plain definition: compose, scan the rules in order at every position, drop
// U+200D in LM mode, compose again. The input's first bytes describe the rules.
#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "common/utf8.hpp"
#include "text/normalizer.hpp"

using namespace larkspur;

namespace {
std::string icu_nfc(std::string_view s) {
    UErrorCode err = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(err);
    icu::UnicodeString u = icu::UnicodeString::fromUTF8(icu::StringPiece(s.data(), s.size()));
    icu::UnicodeString out = nfc->normalize(u, err);
    if (U_FAILURE(err)) std::abort();
    std::string r;
    out.toUTF8String(r);
    return r;
}

std::u32string cps(std::string_view s) {
    std::u32string out;
    for (std::size_t i = 0; i < s.size();) out.push_back(utf8::next(s, i));
    return out;
}

std::string reference(std::string_view text, FoldMode mode, const std::vector<FoldingRule>& rules) {
    std::u32string c = cps(icu_nfc(text));
    std::vector<std::u32string> pats;
    for (const auto& r : rules) pats.push_back(cps(r.pattern));
    std::string out;
    for (std::size_t i = 0; i < c.size();) {
        bool matched = false;
        for (std::size_t k = 0; k < rules.size(); ++k) {
            const auto& p = pats[k];
            if (!p.empty() && i + p.size() <= c.size() && c.compare(i, p.size(), p) == 0) {
                out += rules[k].replacement;
                i += p.size();
                matched = true;
                break;
            }
        }
        if (matched) continue;
        if (!(c[i] == 0x200D && mode == FoldMode::LM)) utf8::append(out, c[i]);
        ++i;
    }
    return icu_nfc(out);
}

// Maps a byte to a character from a small alphabet where rules, composition and the
// fast paths interact: Devanagari with nukta and virama, joiners, Latin with combining
// marks, spaces and a character outside the BMP.
char32_t pick(std::uint8_t b) {
    static const char32_t alphabet[] = {
        0x0915, 0x0916, 0x0921, 0x0922, 0x092F, 0x0930, 0x093C, 0x093E, 0x093F, 0x0940, 0x094D,
        0x0958, 0x0962, 0x0964, 0x0901, 0x0902, 0x200C, 0x200D, 'a',    'b',    'e',    'A',
        0x0301, 0x0327, 0x00E9, 0x1E09, ' ',    '.',    0x3000, 0x1F600, 0x0928, 0x0929, 0x0933,
        0x0934, 0x0931, 0x09BC, 0x0B3C, 0x1100, 0x1161, 0x11A8, 0xAC00, 0x0344, 0x0F73,
    };
    return alphabet[b % (sizeof alphabet / sizeof alphabet[0])];
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2 || size > 4096) return 0;
    FoldMode mode = (data[0] & 1) ? FoldMode::OCR : FoldMode::LM;
    std::size_t n_rules = (data[0] >> 1) % 8;
    bool raw_text = data[0] & 0x80;
    std::size_t i = 1;
    Normalizer::RulePairs rules;
    for (std::size_t r = 0; r < n_rules && i + 2 <= size; ++r) {
        std::size_t plen = data[i] % 4, rlen = data[i + 1] % 3;
        i += 2;
        std::string from, to;
        for (std::size_t k = 0; k < plen && i < size; ++k) utf8::append(from, pick(data[i++]));
        for (std::size_t k = 0; k < rlen && i < size; ++k) utf8::append(to, pick(data[i++]));
        rules.emplace_back(from, to);
    }
    std::string text;
    if (raw_text) {
        text.assign(reinterpret_cast<const char*>(data + i), size - i);
        if (!utf8::is_valid(text)) return 0;
    } else {
        while (i < size) utf8::append(text, pick(data[i++]));
    }
    Normalizer norm(mode, rules);
    std::string got = norm.normalize(text);
    if (got != reference(text, mode, norm.rules())) std::abort();
    NormalizeScratch scratch;
    if (norm.normalize_view(text, scratch) != got) std::abort();
    if (!utf8::is_valid(got)) std::abort();
    // Long lines are normalized in pieces cut before spaces; any piece size joins to N.
    std::string joined;
    norm.normalize_pieces(text, scratch, [&](std::string_view p) { joined += p; }, 1 + data[size - 1] % 16);
    if (joined != got) std::abort();
    return 0;
}
