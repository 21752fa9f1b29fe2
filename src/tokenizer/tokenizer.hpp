// One tokenizer: the facade over the core that a binding drives.
//
// It owns the whole state of one tokenizer (normalizer, akshara automaton, vocabulary,
// paradigm registry, lexicon, prior and weight tables, paradigm embedding, the settings the
// encoder and trainer read) and offers it only through named operations, so that a
// binding converts values and calls methods, and never reaches into the state. There is
// no global mutable state: two tokenizers are independent.
//
// Threads: const operations may run concurrently with each other; anything else needs
// the caller's exclusive access (the exact module's borrow guard gives it). Nothing here
// touches the interpreter, so every operation may run without its lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "checkpoint/resume.hpp"
#include "checkpoint/writer.hpp"
#include "common/report.hpp"
#include "encode/encoder.hpp"
#include "encode/offsets.hpp"
#include "encode/stats.hpp"
#include "text/akshara_dfa.hpp"
#include "text/normalizer.hpp"
#include "train/drivers.hpp"
#include "common/word_table.hpp"
#include "text/harvest.hpp"
#include "tokenizer/scheme.hpp"
#include "vocab/token_table.hpp"
#include "vocab/paradigms.hpp"
#include "vocab/seeding.hpp"
#include "vocab/vocabulary.hpp"

namespace larkspur {

class WordCache;

class Tokenizer {
   public:
    // Keeps `folding_rules` in LM mode and `minimal_folding_rules` in OCR mode.
    Tokenizer(FoldMode mode, const Normalizer::RulePairs& folding_rules,
              const Normalizer::RulePairs& minimal_folding_rules);

    // Where progress and warning lines go (standard error unless set). The sink must
    // outlive the tokenizer.
    void set_line_sink(LineSink& sink) { lines_ = &sink; }

    // ---- text ------------------------------------------------------------------------
    FoldMode fold_mode() const { return normalizer_.mode(); }
    // N(text): `text` itself when it is already normal, else a view into `scratch`.
    std::string_view normalize(std::string_view text, NormalizeScratch& scratch) const {
        return normalizer_.normalize_view(text, scratch);
    }
    std::string normalize(std::string_view text) const { return normalizer_.normalize(text); }
    std::vector<std::string> validate_folding_rules() const { return normalizer_.validate_rules(); }
    // The akshara inventory of a corpus file, most frequent first (IOError on open/read).
    std::vector<std::string> harvest_aksharas(const std::string& path, std::uint64_t min_freq) const;

    // ---- the akshara automaton ---------------------------------------------------------
    void clear_dfa() { dfa_.clear(); }
    void add_dfa_transition(DfaState state, char32_t ch, DfaState next, bool accepting) {
        dfa_.add_transition(state, ch, next, accepting);
    }
    bool dfa_has_transition(DfaState state, char32_t ch) const { return dfa_.has_transition(state, ch); }
    std::vector<std::tuple<char32_t, DfaState, bool>> dfa_transitions(DfaState state) const {
        return dfa_.transitions_from(state);
    }
    std::vector<std::string> dfa_tokenize(std::string_view text) const { return dfa_.tokenize(text); }
    const AksharaDFA& dfa() const { return dfa_; }

    // ---- the vocabulary -----------------------------------------------------------------
    std::size_t vocab_size() const { return m_.vocab.size(); }
    std::optional<TokenId> find(std::string_view surface) const { return m_.vocab.find(surface); }
    // ValueError "Invalid token ID" for an id without a surface.
    const std::string& surface(TokenId id) const;
    // Every id's surface, in id order: f(id, surface).
    template <class F>
    void for_each_surface(F&& f) const {
        for (TokenId id = 0; id < m_.vocab.size(); ++id) f(id, m_.vocab.surface(id));
    }
    std::vector<std::uint8_t> script_ids() const { return m_.vocab.script_vector(); }
    // Changes whenever the set of surfaces changes (for caches a binding keeps).
    std::uint64_t vocab_generation() const { return m_.vocab.generation(); }

    std::size_t initialize_vocab(const SeedLists& lists);
    std::size_t load_vocab(std::vector<std::pair<std::size_t, std::string>> pairs);
    std::size_t load_vocab_tsv(const std::string& path, bool allow_mode_mismatch);
    void save_vocab_tsv(const std::string& path) const;
    bool set_token_weight(std::string_view surface, double weight);
    void set_root_prior(RootPrior prior) { m_.root_prior = std::move(prior); }
    std::size_t induce_ambiguous_seeds(const std::vector<std::pair<std::string, double>>& candidates,
                                       double c_lo) {
        return larkspur::induce_ambiguous_seeds(m_.vocab, candidates, c_lo);
    }
    bool promote_to_strict(std::string_view surface, bool human_validated) {
        return larkspur::promote_to_strict(m_.vocab, surface, human_validated);
    }
    void enable_probabilistic_k(bool enabled, std::size_t root_set_cap) {
        m_.use_probabilistic_k = enabled;
        m_.root_set_cap = root_set_cap;
    }

    // ---- paradigms, lexicon, root sets ------------------------------------------------
    void add_paradigm(RootId root, Transitions transitions) { m_.registry.add(root, std::move(transitions)); }
    void set_lexicon(Lexicon lexicon) { m_.lexicon = std::move(lexicon); }
    // Surfaces that training never makes (the special tokens' texts).
    void reserve_surfaces(std::vector<std::string> surfaces) { m_.reserved = std::move(surfaces); }
    void assign_initial_roots() { tag_roots(m_.vocab, m_.registry, m_.root_prior); }
    // The stored root set of a surface; empty when it is not in the vocabulary.
    std::vector<RootId> root_set(std::string_view surface) const;
    std::size_t build_paradigm_embedding(bool seed_ambiguous_by_prior);
    // Per id, its root in the paradigm embedding or -1.
    std::vector<std::int64_t> paradigm_embedding_ids() const;

    // ---- encoding ------------------------------------------------------------------------
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

    // ---- training --------------------------------------------------------------------------
    // Each returns the vocabulary size at the end. The file drivers and resuming may run
    // without the interpreter lock.
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
    std::size_t resume_from_checkpoint(const std::string& dir, const ResumeOptions& opt);
    static std::optional<CheckpointInfo> checkpoint_info(const std::string& dir) {
        return larkspur::checkpoint_info(dir);
    }

    // ---- for the companion package ---------------------------------------------------
    // Operations the exact module does not offer; they leave every result of its methods
    // as it was.

    // The optional behaviour (see scheme.hpp); the default scheme is the exact module's.
    // Training encodes its words with the same options as encoding.
    void set_scheme(const Scheme& scheme) {
        scheme_ = scheme;
        options_ = scheme.encode_options();
        m_.merge_rules = scheme.merge_rules();
    }
    const Scheme& scheme() const { return scheme_; }
    // The encoder's lookup tables for the vocabulary as it is now and the context to
    // encode with them, for callers that encode many texts with one vocabulary.
    std::shared_ptr<const SurfaceIndex> surface_index() const;
    EncodeContext encode_context(const SurfaceIndex& index) const {
        return EncodeContext{m_.vocab, index, dfa_, m_.seed_max_len, options_};
    }
    const Normalizer& normalizer() const { return normalizer_; }
    const Vocabulary& vocab() const { return m_.vocab; }
    std::size_t seed_max_len() const { return m_.seed_max_len; }
    // The whole vocabulary with kinds, scripts, seed flags and root sets, and its exact
    // restoration (with the abbreviation window the rows were trained with).
    std::vector<TokenRow> export_tokens() const { return export_token_rows(m_.vocab); }
    void import_tokens(std::vector<TokenRow> rows, std::size_t seed_max_len);
    // The akshara and symbol inventories of word counts (see text/harvest.hpp).
    Inventories harvest_inventories(const WordTable& words, std::uint64_t akshara_min_freq,
                                    std::uint64_t symbol_min_freq, std::size_t symbol_limit) const {
        return larkspur::harvest_inventories(words, akshara_min_freq, symbol_min_freq, symbol_limit, dfa_);
    }
    std::vector<std::string> harvest_from_words(const WordTable& words, std::uint64_t min_freq) const {
        return larkspur::harvest_from_words(words, min_freq, dfa_);
    }
    // Trains from word counts: each word encoded with the current vocabulary, equal
    // encodings added up, then the Devanagari pass to `dev_budget` and the Latin pass on
    // top (see TrainingDriver::train_from_word_texts).
    std::size_t train_from_word_texts(const WordTable& words, std::size_t dev_budget, std::size_t lat_budget,
                                      std::uint64_t theta, const FileTrainOptions& opt);
    // Where training sends its checkpoints instead of the writer (null: the writer). The
    // sink must outlive the training calls; it may pass saves on to writer().
    void set_checkpoint_sink(CheckpointSink* sink) { checkpoint_sink_ = sink ? sink : &checkpoints_; }
    CheckpointSink& checkpoint_writer() { return checkpoints_; }
    // The base tokens the scheme spells with (vocab/extra_tokens.hpp). Returns the size.
    std::size_t add_fallback_tokens(const std::vector<std::string>& symbols);
    // Drops the `drop` least used merges (vocab/extra_tokens.hpp), their weights with
    // them. Returns the vocabulary size.
    std::size_t prune_merges(std::span<const std::uint64_t> use, std::size_t drop);

   private:
    TrainingDriver driver();

    Normalizer normalizer_;
    AksharaDFA dfa_;
    ModelState m_;
    const ByteSymbols& byte_symbols_;
    std::vector<std::optional<RootId>> paradigm_ids_;
    Scheme scheme_;
    EncodeOptions options_;
    LineSink* lines_ = &stderr_sink();
    CheckpointWriter checkpoints_;
    CheckpointSink* checkpoint_sink_ = &checkpoints_;

    mutable std::mutex index_mu_;
    mutable std::shared_ptr<const SurfaceIndex> index_;
};

}  // namespace larkspur
