#include "vocab/seeding.hpp"

#include <algorithm>
#include <unordered_set>

#include "common/flat_map.hpp"
#include "common/utf8.hpp"

namespace larkspur {

namespace {

bool has_abbreviation_mark(std::string_view s) {
    return s.find('.') != std::string_view::npos || s.find("\xE0\xA5\xA4") != std::string_view::npos;
}

// Hyphens and dashes, quotation marks, horizontal ellipsis.
constexpr char32_t kTypographicMarks[] = {0x2010, 0x2011, 0x2012, 0x2013, 0x2014,
                                          0x2015, 0x2018, 0x2019, 0x201A, 0x201B,
                                          0x201C, 0x201D, 0x201E, 0x201F, 0x2026};

}  // namespace

std::size_t initialize_vocab(Vocabulary& vocab, const SeedLists& lists, const ByteSymbols& symbols) {
    std::size_t seed_max_len = 0;
    for (const auto& s : lists.seed_morphemes) {
        if (has_abbreviation_mark(s)) seed_max_len = std::max(seed_max_len, utf8::count_chars(s));
    }
    using StrSet = std::unordered_set<std::string_view>;
    StrSet strict(lists.v_strict.begin(), lists.v_strict.end());
    StrSet ambiguous(lists.v_ambiguous.begin(), lists.v_ambiguous.end());

    for (const auto& a : lists.aksharas) {
        vocab.add_token(Token::base_akshara(Akshara{a, {}}), a, false, false);
    }
    for (const auto& s : lists.seed_morphemes) {
        vocab.add_token(Token::with_text(TokenKind::Seed, s), s, strict.count(s) > 0,
                        ambiguous.count(s) > 0);
    }
    vocab.add_token(Token::with_text(TokenKind::Seed, std::string(markers::kWord)),
                    std::string(markers::kWord), false, false);
    vocab.add_token(Token::with_text(TokenKind::Latin, std::string(markers::kLatin)),
                    std::string(markers::kLatin), false, false);
    for (const auto& p : lists.punctuation) {
        vocab.add_token(Token::with_text(TokenKind::Punct, p), p, false, false);
    }
    for (char32_t c : kTypographicMarks) {
        std::string s = utf8::encode(c);
        vocab.add_token(Token::with_text(TokenKind::Punct, s), s, false, false);
    }
    auto add_latin = [&](char lo, char hi) {
        for (char c = lo; c <= hi; ++c) {
            std::string s(1, c);
            vocab.add_token(Token::with_text(TokenKind::Latin, s), s, false, false);
        }
    };
    add_latin('a', 'z');
    add_latin('A', 'Z');
    add_latin('0', '9');
    for (int b = 0; b < 256; ++b) {
        auto byte = static_cast<std::uint8_t>(b);
        vocab.add_token(Token::byte_token(byte), std::string(symbols.text(byte)), false, false);
    }
    vocab.add_token(Token::format(), std::string(markers::kZwnj), false, false);
    return seed_max_len;
}

std::size_t load_vocab(Vocabulary& vocab, std::vector<std::pair<std::size_t, std::string>> pairs,
                       const ByteSymbols& symbols) {
    std::size_t seed_max_len = 0;
    for (const auto& [id, s] : pairs) {
        std::size_t chars = utf8::count_chars(s);
        if (chars >= 2 && has_abbreviation_mark(s)) seed_max_len = std::max(seed_max_len, chars);
    }
    vocab.reset();
    std::stable_sort(pairs.begin(), pairs.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    for (auto& [id, s] : pairs) {
        auto [kind, byte] = kind_of_loaded_surface(s, symbols);
        TokenRef tok = make_loaded_token(kind, byte, s);
        vocab.append(std::move(tok), std::move(s), script_of_kind(kind), true);
    }
    if (!vocab.find(markers::kWord)) {
        vocab.append(Token::with_text(TokenKind::Seed, std::string(markers::kWord)),
                     std::string(markers::kWord), Script::DEV, false);
    }
    if (!vocab.find(markers::kLatin)) {
        vocab.append(Token::with_text(TokenKind::Latin, std::string(markers::kLatin)),
                     std::string(markers::kLatin), Script::LAT, false);
    }
    return seed_max_len;
}

std::size_t induce_ambiguous_seeds(Vocabulary& vocab,
                                   const std::vector<std::pair<std::string, double>>& candidates,
                                   double c_lo) {
    std::size_t accepted = 0;
    for (const auto& [u, c] : candidates) {
        // A NaN on either side makes the comparison false, which rejects.
        if (!(c >= c_lo) || u.empty()) continue;
        TokenId id = vocab.add_token(Token::with_text(TokenKind::Seed, u), u, false, true);
        vocab.set_induced_count(id, c);
        ++accepted;
    }
    return accepted;
}

bool promote_to_strict(Vocabulary& vocab, std::string_view surface, bool human_validated) {
    if (!human_validated) return false;
    auto id = vocab.find(surface);
    if (!id) return false;
    vocab.clear_ambiguous(*id);
    vocab.set_strict(*id);
    return true;
}

}  // namespace larkspur
