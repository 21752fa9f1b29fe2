#include "vocab/token.hpp"

#include "common/markers.hpp"
#include "common/utf8.hpp"

namespace larkspur {

Script script_of_kind(TokenKind kind) {
    switch (kind) {
        case TokenKind::Punct:
            return Script::PUN;
        case TokenKind::Format:
            return Script::FMT;
        case TokenKind::Byte:
            return Script::MAL;
        case TokenKind::Latin:
            return Script::LAT;
        default:
            return Script::DEV;
    }
}

bool is_dev_kind(TokenKind kind) {
    return kind == TokenKind::BaseAkshara || kind == TokenKind::Seed || kind == TokenKind::Merge ||
           kind == TokenKind::Other;
}

TokenRef Token::base_akshara(Akshara a) {
    auto t = std::make_shared<Token>();
    t->kind = TokenKind::BaseAkshara;
    t->text = std::move(a.surface);
    t->roots = std::move(a.roots);
    return t;
}

TokenRef Token::with_text(TokenKind kind, std::string text) {
    auto t = std::make_shared<Token>();
    t->kind = kind;
    t->text = std::move(text);
    return t;
}

TokenRef Token::format() {
    auto t = std::make_shared<Token>();
    t->kind = TokenKind::Format;
    return t;
}

TokenRef Token::byte_token(std::uint8_t b) {
    auto t = std::make_shared<Token>();
    t->kind = TokenKind::Byte;
    t->byte = b;
    return t;
}

TokenRef Token::merge(std::vector<TokenId> parts) {
    auto t = std::make_shared<Token>();
    t->kind = TokenKind::Merge;
    t->parts = std::move(parts);
    return t;
}

ByteSymbols::ByteSymbols() {
    char32_t next_free = 0x0100;
    for (int b = 0; b < 256; ++b) {
        bool printable = (b >= 0x21 && b <= 0x7E) || (b >= 0xA1 && b <= 0xAC) || (b >= 0xAE);
        symbols_[b] = printable ? static_cast<char32_t>(b) : next_free++;
        texts_[b] = utf8::encode(symbols_[b]);
    }
}

const ByteSymbols& ByteSymbols::standard() {
    static const ByteSymbols table;
    return table;
}

std::optional<std::uint8_t> ByteSymbols::byte_of(char32_t c) const {
    // The symbols are the code points 0x21..0xFF (less the 68 remapped) and U+0100..U+0143.
    if (c >= 0x0100 && c <= 0x0143) {
        for (int b = 0; b < 256; ++b) {
            if (symbols_[b] == c) return static_cast<std::uint8_t>(b);
        }
        return std::nullopt;
    }
    if (c < 0x100 && symbols_[c] == c) return static_cast<std::uint8_t>(c);
    return std::nullopt;
}

std::pair<TokenKind, std::uint8_t> kind_of_loaded_surface(std::string_view s,
                                                          const ByteSymbols& symbols) {
    if (s.empty()) return {TokenKind::Latin, 0};
    std::size_t i = 0;
    char32_t first = utf8::next(s, i);
    if (i == s.size()) {
        if (first == 0x200C) return {TokenKind::Format, 0};
        if (first == markers::kWordCp) return {TokenKind::Seed, 0};
        if (first == markers::kLatinCp) return {TokenKind::Latin, 0};
        if (utf8::is_ascii_alnum(first)) return {TokenKind::Latin, 0};
        if (auto b = symbols.byte_of(first)) return {TokenKind::Byte, *b};
        return {TokenKind::Other, 0};
    }
    bool rest_alnum = true;
    while (i < s.size()) {
        if (!utf8::is_ascii_alnum(utf8::next(s, i))) {
            rest_alnum = false;
            break;
        }
    }
    if (rest_alnum && (first == markers::kLatinCp || utf8::is_ascii_alnum(first))) return {TokenKind::Latin, 0};
    return {TokenKind::Other, 0};
}

TokenRef make_loaded_token(TokenKind kind, std::uint8_t byte, std::string_view surface) {
    switch (kind) {
        case TokenKind::Byte:
            return Token::byte_token(byte);
        case TokenKind::Format:
            return Token::format();
        default:
            return Token::with_text(kind, std::string(surface));
    }
}

}  // namespace larkspur
