// Token records and the byte-fallback symbol table.
//
// A token is immutable and shared by reference count: the vocabulary holds one reference
// per id and other components may hold more while they work. Its kind fixes its script at
// the moment it is added to a vocabulary.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace larkspur {

using TokenId = std::size_t;
using RootId = std::size_t;

// Script classes; the numbers are external (script_ids) and must not change.
enum class Script : std::uint8_t { DEV = 0, LAT = 1, PUN = 2, FMT = 3, MAL = 4 };

enum class TokenKind : std::uint8_t {
    BaseAkshara = 0,
    Punct = 1,
    Format = 2,
    Byte = 3,
    Seed = 4,
    Merge = 5,
    Latin = 6,
    Other = 7,
};

Script script_of_kind(TokenKind kind);
// The kinds that take part in root tagging: BaseAkshara, Seed, Merge, Other.
bool is_dev_kind(TokenKind kind);

// The payload of a BaseAkshara token.
struct Akshara {
    std::string surface;
    std::vector<RootId> roots;  // initial root set; empty when built from a plain string
};

struct Token {
    TokenKind kind = TokenKind::Other;
    std::string text;             // the surface string of BaseAkshara, Punct, Seed, Latin, Other
    std::vector<RootId> roots;    // BaseAkshara: the akshara's initial roots
    std::uint8_t byte = 0;        // Byte: the byte value
    std::vector<TokenId> parts;   // Merge: the left and right ids

    static std::shared_ptr<const Token> base_akshara(Akshara a);
    static std::shared_ptr<const Token> with_text(TokenKind kind, std::string text);
    static std::shared_ptr<const Token> format();
    static std::shared_ptr<const Token> byte_token(std::uint8_t b);
    static std::shared_ptr<const Token> merge(std::vector<TokenId> parts);
};

using TokenRef = std::shared_ptr<const Token>;

// byte value -> printable character: 0x21..0x7E, 0xA1..0xAC and 0xAE..0xFF map to
// themselves; the other 68 bytes, in increasing order, to U+0100..U+0143.
class ByteSymbols {
   public:
    static const ByteSymbols& standard();
    char32_t symbol(std::uint8_t b) const { return symbols_[b]; }
    // UTF-8 text of the symbol of b.
    std::string_view text(std::uint8_t b) const { return texts_[b]; }
    // Position of a character in the table, if it is one of the 256 symbols.
    std::optional<std::uint8_t> byte_of(char32_t c) const;

   private:
    ByteSymbols();
    std::array<char32_t, 256> symbols_{};
    std::array<std::string, 256> texts_{};
};

// How a surface read from a list or a file is classified: the kind, and the byte value
// for Byte tokens.
std::pair<TokenKind, std::uint8_t> kind_of_loaded_surface(std::string_view surface,
                                                          const ByteSymbols& symbols);

// Builds the token that loading gives a surface of that kind.
TokenRef make_loaded_token(TokenKind kind, std::uint8_t byte, std::string_view surface);

}  // namespace larkspur
