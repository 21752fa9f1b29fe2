// The scheme: one record of the core's optional behaviour, fixed when a tokenizer is made.
//
// Its default is the exact behaviour that the exact module, its vocabulary files and its
// checkpoints rely on; every field switches on something beyond it. The encoder's options
// and the trainer's merge rules are derived from the scheme here and nowhere else, so that
// training encodes its words exactly as encoding will and no two settings can disagree.
// How a run goes (the heap strategy, threads, checkpoints) is not part of the scheme: a
// scheme says what a tokenizer is, not how it was computed.
//
// The fields are data (scheme_fields()): the bindings export their names and defaults from
// this table, and bundles and run files store a scheme by those names.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "encode/encoder.hpp"
#include "train/trainer.hpp"

namespace larkspur {

struct Scheme {
    // A Devanagari akshara without a token of its own is spelled with the tokens of its
    // code points (every code point of the block is a base token), and characters outside
    // the script classes that the training words hold get tokens of their own, instead
    // of bytes in both cases.
    bool codepoint_fallback = false;
    // Line feed and tab are tokens, and the word after one keeps its word marker, as it
    // had in training (which sees words cut at white space).
    bool whitespace_tokens = false;
    // Words and punctuation join: encoding lets punctuation inside a word join its run,
    // training lets such pairs merge ("है।", a quotation mark with its word, "बार-बार").
    bool edge_joins = false;
    // Paradigms see word-initial tokens without their word marker, and merged tokens
    // take the roots of their stems, so that paradigms constrain stems at word starts.
    bool marker_stems = false;
    // Latin words join the punctuation before them and inside them: a word that opens with
    // punctuation before an ASCII letter or digit takes the Latin marker, its punctuation
    // in the Latin run, and the Latin pass merges punctuation before a Latin token as well
    // as after it, and marks with marks ("(the", "’s", "_Type", "),"), as a BPE over such
    // text would.
    bool latin_joins = false;
    // The most words a superword token holds: tokens that join whole words across their
    // markers, matched by the encoder only where they end at a word end. 0: none, and the
    // encoder never looks past a word.
    std::int64_t superword_words = 0;

    EncodeOptions encode_options() const {
        return EncodeOptions{codepoint_fallback, whitespace_tokens, edge_joins, superword_words > 0, latin_joins};
    }
    MergeRules merge_rules() const { return MergeRules{edge_joins, marker_stems, latin_joins}; }
    bool operator==(const Scheme&) const = default;
};

// A superword of more words than this would be a sentence, not a unit of text.
inline constexpr std::int64_t kMaxSuperwordWords = 16;

// A field's value as the bindings see it.
using SchemeValue = std::variant<bool, std::int64_t, double>;

struct SchemeField {
    const char* name;
    std::variant<bool Scheme::*, std::int64_t Scheme::*, double Scheme::*> member;
    const char* doc;
};

// Every field, in a fixed order.
std::span<const SchemeField> scheme_fields();

// The value of each field, in the table's order.
std::vector<std::pair<std::string, SchemeValue>> scheme_values(const Scheme& scheme);

// The scheme with the named fields set and the others at their defaults. ValueError for
// an unknown name ("unknown scheme field 'x' (known: ...)") or a value of the wrong type
// ("scheme field 'x' must be a bool, not ...").
Scheme scheme_from(const std::vector<std::pair<std::string, SchemeValue>>& values);

}  // namespace larkspur
