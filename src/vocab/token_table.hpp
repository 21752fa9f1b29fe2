// The token table as plain data, and its one codec: what checkpoints write row by row and
// bundles write column by column. A row holds everything a vocabulary keeps of one id (kind,
// script, seed flags, payload, root set, induced count, surface); importing rows rebuilds
// the vocabulary exactly. Kinds and scripts are written as one letter each: kinds
// A P Z B S M T O in tag order, scripts D L P F M in value order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vocab/token.hpp"
#include "vocab/vocabulary.hpp"

namespace larkspur {

char kind_letter(TokenKind kind);
// The kind of a letter; an unknown letter reads as Other (as checkpoint readers have it).
TokenKind kind_of_letter(char c);
bool is_kind_letter(char c);
char script_letter(Script script);
// The script of a letter; an unknown letter reads as MAL.
Script script_of_letter(char c);

struct TokenRow {
    std::size_t id = 0;
    char kind = 'O';
    Script script = Script::MAL;
    std::uint8_t flags = 0;
    std::string payload = "-";  // the byte of a Byte token, the parts of a Merge token
    std::vector<RootId> root_set;
    std::optional<double> induced_count;
    std::string surface;
};

std::vector<TokenRow> export_token_rows(const Vocabulary& vocab);
// Replaces the whole vocabulary by the rows: sorted stably by id, renumbered densely.
void import_token_rows(Vocabulary& vocab, std::vector<TokenRow> rows);

// The columns a bundle stores: one entry per id in each of surfaces, kinds, scripts and
// flags (seed flags 0 to 3), and the ids that have a root set with their sets.
struct TokenColumns {
    std::vector<std::string> surfaces;
    std::string kinds, scripts;
    std::vector<std::uint8_t> flags;
    std::vector<std::pair<std::size_t, std::vector<RootId>>> root_sets;
};

TokenColumns to_columns(const std::vector<TokenRow>& rows);
// Rows from columns, checked: ValueError when the columns differ in length, a kind letter
// is unknown, a byte token's surface is not a byte symbol, or a root set names an id
// beyond the table.
std::vector<TokenRow> from_columns(TokenColumns columns);

}  // namespace larkspur
