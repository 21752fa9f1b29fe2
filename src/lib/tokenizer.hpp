// The state of one tokenizer object as a plain C++ struct, and the operations that span
// several subsystems (the training drivers, resuming, the encoder cache). No Python here:
// the binding layer converts arguments, takes the borrow and calls these.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "checkpoint/format.hpp"
#include "common/report.hpp"
#include "encode/encoder.hpp"
#include "encode/stats.hpp"
#include "text/akshara_dfa.hpp"
#include "text/normalizer.hpp"
#include "train/trainer.hpp"
#include "train/word_counts.hpp"
#include "vocab/paradigms.hpp"
#include "vocab/seeding.hpp"
#include "vocab/vocabulary.hpp"

namespace larkspur {

// Values of checkpoint_info.
struct CheckpointInfo {
    std::string path;
    CheckpointMeta meta;
};

struct FileTrainOptions {
    std::uint64_t min_word_freq = 1;
    std::uint64_t progress_lines = 500000;
    std::uint64_t progress_merges = 1000;
    std::optional<std::string> checkpoint_dir;
    std::uint64_t checkpoint_every = 0;
    std::size_t checkpoint_keep = 3;
};

class Tokenizer {
   public:
    Tokenizer(FoldMode mode, const Normalizer::RulePairs& folding_rules,
              const Normalizer::RulePairs& minimal_folding_rules);

    Normalizer normalizer;
    AksharaDFA dfa;
    Vocabulary vocab;
    ParadigmRegistry registry;
    const ByteSymbols& byte_symbols;
    Lexicon lexicon;
    RootPrior root_prior;
    TokenWeights token_weights;
    std::vector<std::optional<RootId>> paradigm_ids;
    std::size_t seed_max_len = 0;
    std::size_t root_set_cap = 0;
    bool use_probabilistic_k = false;

    // Where progress and warning lines go (standard error unless set).
    void set_line_sink(LineSink& sink) { lines_ = &sink; }

    // The encoder's lookup tables for the current vocabulary, rebuilt when it changed.
    std::shared_ptr<const SurfaceIndex> surface_index() const;

    std::vector<TokenId> encode(std::string_view text) const;
    // Encodes a text that arrives in pieces: next_piece appends the next piece of UTF-8 to
    // its argument and returns false once there is none left. The ids go to emit in order,
    // in batches. Working memory stays bounded whatever the text's length (for texts with
    // spaces): the text is normalized and encoded segment by segment, cut before spaces.
    using TextPieces = std::function<bool(std::string&)>;
    using IdBatches = std::function<void(std::span<const TokenId>)>;
    void encode_stream(const TextPieces& next_piece, const IdBatches& emit) const;
    std::string decode(std::span<const TokenId> ids) const;
    std::vector<std::string> tokenize_to_strings(std::string_view text) const;
    bool verify_roundtrip(std::string_view s) const;
    CorpusStats corpus_stats(const std::vector<std::string>& texts) const;

    std::size_t initialize_vocab(const SeedLists& lists);
    std::size_t load_vocab(std::vector<std::pair<std::size_t, std::string>> pairs);
    std::size_t load_vocab_tsv(const std::string& path, bool allow_mode_mismatch);
    void save_vocab_tsv(const std::string& path) const;
    std::size_t build_paradigm_embedding(bool seed_ambiguous_by_prior);
    std::vector<std::int64_t> paradigm_embedding_ids() const;

    // Training drivers. The file drivers are meant to run without the interpreter lock;
    // `summary_lock` hooks let the caller retake it around the summary lines.
    std::size_t train_bpe(const std::vector<std::vector<TokenId>>& sequences, std::size_t vocab_budget,
                          std::uint64_t theta);
    std::size_t train_from_text(const std::vector<std::string>& texts, std::size_t vocab_budget,
                                std::uint64_t theta);
    std::size_t train_from_file(const std::string& path, std::size_t vocab_budget, std::uint64_t theta,
                                const FileTrainOptions& opt);
    std::size_t train_latin_from_file(const std::string& path, std::size_t lat_budget,
                                      const FileTrainOptions& opt);
    std::size_t train_bilingual_from_file(const std::string& path, std::size_t dev_budget,
                                          std::size_t lat_budget, std::uint64_t theta,
                                          const FileTrainOptions& opt);

    struct ResumeOptions {
        std::uint64_t progress_merges = 1000;
        std::uint64_t checkpoint_every = 0;
        std::size_t checkpoint_keep = 3;
        bool allow_mode_mismatch = false;
        bool allow_paradigm_mismatch = false;
    };
    std::size_t resume_from_checkpoint(const std::string& dir, const ResumeOptions& opt);
    static std::optional<CheckpointInfo> checkpoint_info(const std::string& dir);

   private:
    EncodeContext encode_context(const SurfaceIndex& index) const {
        return EncodeContext{vocab, index, dfa, seed_max_len};
    }
    CheckpointConfig ckpt_config(std::optional<std::string> dir, std::uint64_t every, std::size_t keep,
                                 std::size_t dev_budget, std::size_t total_budget) const;
    ConstrainedBPETrainer make_trainer(CheckpointConfig config);
    // Counts the word types of a corpus file and writes the "[build] done" (or
    // "[build:LAT] done") summary line.
    WordCountResult count_file(const std::string& path, const FileTrainOptions& opt, bool latin_only) const;
    void reclaim(ConstrainedBPETrainer& trainer);

    LineSink* lines_ = &stderr_sink();
    mutable std::mutex index_mu_;
    mutable std::shared_ptr<const SurfaceIndex> index_;
};

}  // namespace larkspur
