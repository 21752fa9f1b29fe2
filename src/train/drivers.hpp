// The training entry points and the scaffold they share.
//
// Every run goes the same way: build a corpus of word types, prepare the checkpoint
// settings, move the tokenizer's vocabulary and paradigm registry into a trainer, run one
// or two passes of the merge loop, and hand vocabulary and registry back, however the run
// ends. The entry points differ only in where the words come from (id sequences, texts, a
// corpus file, the Latin words of a file), which passes run and how budgets count; resuming
// a checkpoint re-enters the same scaffold from the checkpoint side.
//
// The drivers never write a checkpoint file themselves: saves go through the sink they are
// given, and progress lines through a line sink.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/report.hpp"
#include "common/word_table.hpp"
#include "encode/encoder.hpp"
#include "text/fold_mode.hpp"
#include "text/normalizer.hpp"
#include "train/trainer.hpp"
#include "train/word_counts.hpp"
#include "vocab/paradigms.hpp"
#include "vocab/vocabulary.hpp"

namespace larkspur {

// What a training run reads of a tokenizer and the two tables it grows (vocab and
// registry are moved into the trainer for the run).
struct ModelState {
    Vocabulary vocab;
    ParadigmRegistry registry;
    Lexicon lexicon;
    RootPrior root_prior;
    TokenWeights token_weights;
    std::size_t seed_max_len = 0;
    std::size_t root_set_cap = 0;
    bool use_probabilistic_k = false;
    MergeRules merge_rules;  // the defaults unless the companion package chose others
    std::vector<std::string> reserved;  // surfaces no merge makes (ConstrainedBPETrainer::reserved)
};

// The tail of the file drivers' arguments.
struct FileTrainOptions {
    std::uint64_t min_word_freq = 0;
    std::uint64_t progress_lines = 0;
    std::uint64_t progress_merges = 0;
    std::optional<std::string> checkpoint_dir;
    std::uint64_t checkpoint_every = 0;
    std::size_t checkpoint_keep = 0;
    // When set, receives each token's use in the corpus at the end (see RunSpec).
    std::vector<std::uint64_t>* token_use = nullptr;
    // The heap strategy of the merge loop (ConstrainedBPETrainer::lazy_decreases).
    bool lazy_decreases = false;
    // Asked now and then whether to stop (ConstrainedBPETrainer::interrupted).
    std::function<bool()> interrupted;
};

// One pass of the merge loop: its phase and the vocabulary size it stops at.
struct Pass {
    Phase phase;
    std::size_t budget;
};

// Everything one run of the scaffold needs besides the model and the corpus.
struct RunSpec {
    CheckpointConfig ckpt;
    std::uint64_t theta = 100;
    std::uint64_t merges_done = 0;  // where the merge counter starts (a resumed run)
    std::uint64_t progress_merges = 0;
    std::vector<Pass> passes;
    // When set, receives for every token id the occurrences of the token in the corpus
    // as the last pass left it (each word counted as often as it occurred).
    std::vector<std::uint64_t>* token_use = nullptr;
    bool lazy_decreases = false;
    std::function<bool()> interrupted;
};

class TrainingDriver {
   public:
    // `checkpoints` may be null when no run of this driver is given a checkpoint
    // directory.
    TrainingDriver(ModelState& model, FoldMode mode, LineSink& lines, CheckpointSink* checkpoints)
        : m_(model), mode_(mode), lines_(lines), checkpoints_(checkpoints) {}

    // Each returns the vocabulary size at the end. `encoder` encodes words with the
    // model's current vocabulary; it is not used once training starts.
    std::size_t train_bpe(const std::vector<std::vector<TokenId>>& sequences, std::size_t vocab_budget,
                          std::uint64_t theta);
    std::size_t train_from_text(const Normalizer& normalizer, const EncodeContext& encoder,
                                const std::vector<std::string>& texts, std::size_t vocab_budget,
                                std::uint64_t theta);
    // IOError "open {}: {}" when the corpus file cannot be opened; the model is unchanged.
    std::size_t train_from_file(const Normalizer& normalizer, const EncodeContext& encoder,
                                const std::string& path, std::size_t vocab_budget, std::uint64_t theta,
                                const FileTrainOptions& opt);
    // RuntimeError when the vocabulary is empty, before the file is opened.
    std::size_t train_latin_from_file(const Normalizer& normalizer, const EncodeContext& encoder,
                                      const std::string& path, std::size_t lat_budget,
                                      const FileTrainOptions& opt);
    std::size_t train_bilingual_from_file(const Normalizer& normalizer, const EncodeContext& encoder,
                                          const std::string& path, std::size_t dev_budget,
                                          std::size_t lat_budget, std::uint64_t theta,
                                          const FileTrainOptions& opt);

    // Trains from counts of normalized words (as count_word_texts gives them; the order
    // does not matter): each word is encoded with the current vocabulary and equal
    // encodings add up, exactly as the file drivers count a corpus; then the passes of
    // the bilingual driver (Devanagari to `dev_budget` in all, Latin on top). The
    // frequency filter and checkpoints of `opt` apply; no summary line is written.
    std::size_t train_from_word_texts(const EncodeContext& encoder, const WordTable& words,
                                      std::size_t dev_budget, std::size_t lat_budget, std::uint64_t theta,
                                      const FileTrainOptions& opt);

    // The checkpoint settings of a run, from the model as it is now.
    CheckpointConfig ckpt_config(std::optional<std::string> dir, std::uint64_t every, std::size_t keep,
                                 std::size_t dev_budget, std::size_t total_budget) const;
    // The scaffold: makes the trainer from the model, runs the passes in order over the
    // corpus and gives vocabulary and registry back. Returns the vocabulary size after
    // each pass.
    std::vector<std::size_t> run(Corpus& corpus, RunSpec spec);

   private:
    // Counts the word types of a corpus file and writes the "[build] done" summary line
    // ("[build:LAT] done" for the Latin words).
    WordCountResult count_file(const Normalizer& normalizer, const EncodeContext& encoder,
                               const std::string& path, const FileTrainOptions& opt, bool latin_only);
    // Runs a corpus read from a file: root tagging (unless Latin only), the corpus, the passes.
    std::vector<std::size_t> run_file_corpus(WordCounts&& table, const FileTrainOptions& opt,
                                             std::uint64_t theta, std::size_t dev_budget,
                                             std::size_t total_budget, std::vector<Pass> passes);

    ModelState& m_;
    FoldMode mode_;
    LineSink& lines_;
    CheckpointSink* checkpoints_;
};

}  // namespace larkspur
