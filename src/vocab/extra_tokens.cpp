#include "vocab/extra_tokens.hpp"

#include <algorithm>

#include "common/errors.hpp"
#include "common/markers.hpp"
#include "common/utf8.hpp"
#include "text/harvest.hpp"

namespace larkspur {

std::size_t add_fallback_tokens(Vocabulary& vocab, bool codepoint_fallback, bool whitespace_tokens,
                                const std::vector<std::string>& symbols) {
    for (const std::string& s : symbols) {
        std::size_t i = 0;
        const char32_t c = s.empty() ? 0 : utf8::next(s, i);
        if (s.empty() || i != s.size() || !is_symbol_char(c)) {
            throw_value("a symbol token must be one character outside the script classes, not '" + s + "'");
        }
    }
    auto add = [&](char32_t c, Script script) {
        std::string s = utf8::encode(c);
        if (const std::optional<TokenId> have = vocab.find(s)) {
            if (vocab.token(*have)->kind != TokenKind::Byte) return;
            // The degree sign has the surface of the byte 0xB0's token: the character's
            // token stands beside it, later in the table, so that the surface names it.
            vocab.append(Token::with_text(TokenKind::Other, s), s, script, true);
            return;
        }
        const TokenId id = vocab.add_token(Token::with_text(TokenKind::Other, s), s, false, false);
        vocab.set_script(id, script);
    };
    if (codepoint_fallback) {
        for (char32_t c = 0x0900; c <= 0x097F; ++c) {
            if (c != 0x0964 && c != 0x0965) add(c, Script::DEV);
        }
    }
    if (whitespace_tokens) {
        for (char32_t c : {U'\n', U'\t'}) add(c, Script::MAL);
    }
    if (codepoint_fallback) {
        for (const std::string& s : symbols) {
            std::size_t i = 0;
            add(utf8::next(s, i), Script::MAL);
        }
    }
    return vocab.size();
}

std::vector<std::optional<TokenId>> prune_merges(Vocabulary& vocab, std::span<const std::uint64_t> use,
                                                 std::size_t drop) {
    const std::size_t n = vocab.size();
    if (use.size() != n) throw_value("token use must give one count per token of the vocabulary");
    std::vector<TokenId> merged;
    const std::optional<TokenId> word_marker = vocab.find(markers::kWord);
    for (TokenId id = 0; id < n && drop > 0; ++id) {
        // Devanagari merges only: the Latin pass has a budget of its own, and its merges,
        // rare in Devanagari text, would otherwise be the first to go. A word marker with
        // its first akshara stays too: in the training words a longer token covers it,
        // but it is what a word that training never saw starts with.
        const Token& t = *vocab.token(id);
        if (t.kind != TokenKind::Merge || vocab.script(id) != Script::DEV) continue;
        if (word_marker && t.parts.size() == 2 && t.parts[0] == *word_marker &&
            vocab.token(t.parts[1])->kind == TokenKind::BaseAkshara) {
            continue;
        }
        merged.push_back(id);
    }
    std::sort(merged.begin(), merged.end(),
              [&](TokenId a, TokenId b) { return use[a] != use[b] ? use[a] < use[b] : a > b; });
    merged.resize(std::min(drop, merged.size()));
    std::vector<bool> dropped(n, false);
    for (TokenId id : merged) dropped[id] = true;
    return vocab.remove_tokens(dropped);
}

}  // namespace larkspur
