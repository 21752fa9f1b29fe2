// The superword stage: after the subword stage, merges that join whole words across their
// markers ("की ओर", "के लिए", "of the"), learned from counts of word runs.
//
// A run is a stretch of consecutive words of one line that the subword tokenizer encodes
// as one token each, with single spaces between them, all with the same word marker
// (Latin or not). A run ends after a word that ends a sentence (".", "?", "!", a danda or
// a double danda) and at anything else between words (a tab, two spaces, the line's end).
// Words of several tokens end runs too: a superword joins whole-word tokens only, so
// counting runs that hold them would cost memory and change no merge.
//
// The stage is a plain BPE over the runs, the whole-word tokens its units, whose merged
// tokens hold at most `max_words` words and occur at least twice.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "common/word_table.hpp"
#include "encode/encoder.hpp"
#include "train/word_texts.hpp"

namespace larkspur {

// A run holds at most this many words; a longer stretch is cut into runs of this length.
// A merge joins at most kMaxSuperwordWords words, so long runs gain nothing but length.
inline constexpr std::size_t kMaxRunWords = 32;

// Whether a word (normalized, without white space) ends a sentence.
bool ends_sentence(std::string_view word);

// Cuts normalized text into runs for counting. `ctx` (and what it refers to) must outlive
// the cutter; its encoder tells which words are one token.
class SuperwordRuns final : public KeyCutter {
   public:
    explicit SuperwordRuns(EncodeContext ctx);
    void cut(std::string_view text, const std::function<void(std::string_view)>& add) const override;
    // The token of a word encoded alone, when it is one token (and not a Latin-joined word
    // that opens with punctuation).
    std::optional<TokenId> word_token(std::string_view word) const;

   private:
    EncodeContext ctx_;
    std::uint64_t serial_;
};

// One merge of the stage: the two tokens it joins (ids of the vocabulary, or of earlier
// merges numbered from the vocabulary's size on).
struct SuperwordMerge {
    TokenId left, right;
};

// Up to `merges` merges over the counted `runs` (each word of a run encoded alone
// with `cutter`'s tokenizer; a word that is not one token, as with runs counted by another
// tokenizer, ends the run there). `interrupted` is asked now and then (Interrupted).
std::vector<SuperwordMerge> train_superwords(const WordTable& runs, const SuperwordRuns& cutter,
                                             std::size_t vocab_size, std::size_t merges, std::size_t max_words,
                                             const std::function<bool()>& interrupted = {});

}  // namespace larkspur
