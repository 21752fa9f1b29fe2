#include "vocab/token_table.hpp"

#include <algorithm>

#include "common/errors.hpp"
#include "common/numbers.hpp"

namespace larkspur {

namespace {

constexpr char kKindLetters[] = {'A', 'P', 'Z', 'B', 'S', 'M', 'T', 'O'};
constexpr char kScriptLetters[] = {'D', 'L', 'P', 'F', 'M'};

std::string join_ids(const std::vector<std::size_t>& ids) {
    std::string s;
    append_u64_list(s, ids);
    return s;
}

std::vector<std::size_t> split_ids(std::string_view s) {
    std::vector<std::size_t> out;
    split_u64_list(s, out);
    return out;
}

}  // namespace

char kind_letter(TokenKind kind) { return kKindLetters[static_cast<int>(kind) & 7]; }

TokenKind kind_of_letter(char c) {
    for (int k = 0; k < 8; ++k) {
        if (kKindLetters[k] == c) return static_cast<TokenKind>(k);
    }
    return TokenKind::Other;
}

bool is_kind_letter(char c) { return std::find(std::begin(kKindLetters), std::end(kKindLetters), c) != std::end(kKindLetters); }

char script_letter(Script script) {
    const int s = static_cast<int>(script);
    return kScriptLetters[s <= 4 ? s : 4];
}

Script script_of_letter(char c) {
    for (int s = 0; s < 4; ++s) {
        if (kScriptLetters[s] == c) return static_cast<Script>(s);
    }
    return Script::MAL;
}

std::vector<TokenRow> export_token_rows(const Vocabulary& vocab) {
    std::vector<TokenRow> rows(vocab.size());
    for (TokenId id = 0; id < vocab.size(); ++id) {
        const Token& t = *vocab.token(id);
        TokenRow& r = rows[id];
        r.id = id;
        r.kind = kind_letter(t.kind);
        // The payload stays "-" except for Byte and Merge tokens.
        if (t.kind == TokenKind::Byte) {
            r.payload = std::to_string(t.byte);
        } else if (t.kind == TokenKind::Merge) {
            r.payload = join_ids(t.parts);
        }
        r.script = vocab.script(id);
        r.flags = vocab.flags(id);
        r.root_set = vocab.root_set(id);
        if (const double* c = vocab.induced_count(id)) r.induced_count = *c;
        r.surface = vocab.surface(id);
    }
    return rows;
}

void import_token_rows(Vocabulary& vocab, std::vector<TokenRow> rows) {
    std::stable_sort(rows.begin(), rows.end(), [](const TokenRow& x, const TokenRow& y) { return x.id < y.id; });
    vocab.reset();
    vocab.reserve(rows.size());
    for (auto& r : rows) {
        TokenKind kind = kind_of_letter(r.kind);
        TokenRef tok;
        switch (kind) {
            case TokenKind::BaseAkshara:
                tok = Token::base_akshara(Akshara{r.surface, r.root_set});
                break;
            case TokenKind::Format:
                tok = Token::format();
                break;
            case TokenKind::Byte: {
                std::uint64_t b;
                tok = Token::byte_token(parse_u64(r.payload, b) && b <= 255 ? static_cast<std::uint8_t>(b) : 0);
                break;
            }
            case TokenKind::Merge:
                tok = Token::merge(split_ids(r.payload));
                break;
            default:
                tok = Token::with_text(kind, r.surface);
        }
        TokenId id = vocab.append(std::move(tok), std::move(r.surface), r.script, true);
        if (r.flags & Vocabulary::kStrict) vocab.set_strict(id);
        if (r.flags & Vocabulary::kAmbiguous) vocab.set_ambiguous(id);
        if (!r.root_set.empty()) vocab.set_root_set(id, std::move(r.root_set));
        if (r.induced_count) vocab.set_induced_count(id, *r.induced_count);
    }
}

TokenColumns to_columns(const std::vector<TokenRow>& rows) {
    TokenColumns c;
    c.surfaces.reserve(rows.size());
    c.flags.reserve(rows.size());
    for (const TokenRow& r : rows) {
        c.surfaces.push_back(r.surface);
        c.kinds += r.kind;
        c.scripts += script_letter(r.script);
        c.flags.push_back(r.flags & 3);
        if (!r.root_set.empty()) c.root_sets.emplace_back(r.id, r.root_set);
    }
    return c;
}

std::vector<TokenRow> from_columns(TokenColumns c) {
    const std::size_t n = c.surfaces.size();
    if (c.kinds.size() != n || c.scripts.size() != n || c.flags.size() != n) {
        throw_value("token kinds, scripts and flags must each have one entry per token");
    }
    const ByteSymbols& symbols = ByteSymbols::standard();
    std::vector<TokenRow> rows(n);
    for (std::size_t i = 0; i < n; ++i) {
        TokenRow& r = rows[i];
        r.id = i;
        r.kind = c.kinds[i];
        if (!is_kind_letter(r.kind)) {
            throw_value("token " + std::to_string(i) + " has an unknown kind '" + std::string(1, r.kind) + "'");
        }
        r.script = script_of_letter(c.scripts[i]);
        r.flags = c.flags[i] & 3;
        if (r.kind == kind_letter(TokenKind::Byte)) {
            auto [kind, byte] = kind_of_loaded_surface(c.surfaces[i], symbols);
            if (kind != TokenKind::Byte) {
                throw_value("token " + std::to_string(i) + " is a byte token but its surface is not a byte symbol");
            }
            r.payload = std::to_string(byte);
        }
        r.surface = std::move(c.surfaces[i]);
    }
    for (auto& [id, set] : c.root_sets) {
        if (id >= n) throw_value("a root set names token " + std::to_string(id) + ", beyond the vocabulary");
        rows[id].root_set = std::move(set);
    }
    return rows;
}

}  // namespace larkspur
