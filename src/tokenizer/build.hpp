// How the companion makes a tokenizer: the training plan, training from word counts,
// resuming a broken run and loading a bundle's token table. Each gives a FrozenTokenizer.
//
// The plan is computed here and nowhere else: which harvested aksharas and symbols get
// base ids at the size asked for, the smallest size that holds that base, how the ids
// are shared between the Devanagari and the Latin pass, and how many merges are trained
// past the size and then given back. A recipe (the companion's named presets) only
// supplies the numbers the plan reads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/report.hpp"
#include "common/count_store.hpp"
#include "common/word_table.hpp"
#include "tokenizer/frozen.hpp"
#include "tokenizer/scheme.hpp"
#include "train/script_split.hpp"
#include "train/word_texts.hpp"
#include "vocab/paradigms.hpp"
#include "vocab/token_table.hpp"

namespace larkspur {

// Ambiguous seeds for vocabularies up to a size.
struct SeedTier {
    std::size_t up_to = 0;
    std::vector<std::string> seeds;
};

// The word types that training takes from the counts. Within a memory limit, when all of
// them would not fit, training keeps the most frequent: every type counted at least
// `min_count` times, for the smallest such number that fits; the rest is left out (and
// said). Without a limit, or when everything fits, nothing is left out.
struct WordSelection {
    std::shared_ptr<const WordTable> words;
    std::uint64_t min_count = 1;
    std::uint64_t left_out_types = 0, left_out_occurrences = 0;
};

// Bytes that training is estimated to need per word type of `bytes` bytes: its record and
// ids in the corpus, its hash slots, its places in the pair index (measured at 180 bytes per
// type on web-like text, words of 16 bytes on average), and its copy in a selected table.
inline std::uint64_t training_bytes(std::size_t word_bytes) { return 160 + 3 * static_cast<std::uint64_t>(word_bytes); }

// `memory_limit` 0 means no limit. The counts' own memory counts against the limit.
WordSelection select_words(const CountStore& counts, std::uint64_t memory_limit);

// The numbers of a recipe.
struct Recipe {
    std::vector<SeedTier> seed_tiers;  // from small sizes to large; above the last, no seeds
    std::vector<std::string> punctuation;
    std::uint64_t theta = 100;
    std::uint64_t word_min_freq = 1;
    // With code-point fallback, at most this share of the size are base aksharas, the most
    // frequent first (at least one); 0 keeps every harvested akshara.
    double akshara_share = 0;
    // With code-point fallback, one symbol token per this many ids at most.
    std::size_t ids_per_symbol = 100;
    std::uint64_t symbol_min_freq = 1;
    std::size_t symbol_limit = 1000;
    // The share of the merges (beyond the base) trained past the size and given back.
    double prune_share = 0;
    // The share of the trained ids that the Latin pass gets; none: the plan chooses it
    // from the words (joint_merge_split).
    std::optional<double> latin_share = 0.0;
};

// What a tokenizer is to be: everything training depends on besides the word counts.
struct TrainingRequest {
    FoldMode mode = FoldMode::LM;
    Normalizer::RulePairs folding_rules;
    Scheme scheme;
    Recipe recipe;
    std::size_t vocab_size = 0;  // every id, the specials included
    std::vector<std::string> special_tokens;
    std::vector<std::pair<RootId, Transitions>> paradigms;
    Lexicon lexicon;
};

struct TrainingPlan {
    WordSelection words;  // what training reads
    std::size_t vocab_size = 0, special_count = 0;
    std::size_t base_size = 0;     // base tokens at this size
    std::size_t trained_size = 0;  // the ids before the specials
    std::size_t dev_budget = 0, lat_budget = 0;
    std::size_t beyond = 0;  // merges trained past the size, then given back
    double latin_share = 0;  // as asked for, or as chosen from the words
    // When the words chose the share: how a plain BPE over both scripts split the merges
    // between them (the share's inputs).
    std::optional<ScriptSplit> split;
    // The other scripts of the words, with their word occurrences (for the report).
    std::vector<std::pair<std::string, std::uint64_t>> other_scripts;
    std::vector<std::string> seeds, aksharas, symbols;  // the base material at this size
    // The most aksharas the base takes (a share of the Devanagari ids); 0: every one harvested.
    std::size_t akshara_limit = 0;
};

// ValueError "vocab_size {} is below the smallest possible size {} for this corpus and
// recipe ({} base tokens at that size and {} special tokens)".
// A share chosen from the words asks `interrupted` now and then (Interrupted).
TrainingPlan plan_training(const WordTable& words, const TrainingRequest& request,
                           const std::function<bool()>& interrupted = {});
// The plan of training from counts within a memory limit (0: none): the words selected
// (select_words), then the plan over them.
TrainingPlan plan_training(const CountStore& counts, std::uint64_t memory_limit, const TrainingRequest& request,
                           const std::function<bool()>& interrupted = {});

// What a checkpoint that cannot be written does to the run: it goes on without it (and is
// told), or it stops with the error.
enum class CheckpointErrors { Warn, Raise };

// How a run goes: checkpoints, and progress every this many merges (0: none).
struct RunSettings {
    std::optional<std::string> checkpoint_dir;
    std::uint64_t checkpoint_every = 0;
    std::size_t checkpoint_keep = 3;
    std::uint64_t progress_every = 0;
    CheckpointErrors checkpoint_errors = CheckpointErrors::Warn;
    // Told each checkpoint that could not be written: the directory and the system's error
    // (whatever the policy, before a Raise stops the run). What the save left is removed.
    std::function<void(const std::string& dir, const std::string& error)> checkpoint_failed;
    // Asked now and then whether to stop (Ctrl-C): the run ends with Interrupted.
    std::function<bool()> interrupted;
};

// Trains as planned, gives back the merges trained past the size and adds the specials.
// `words` are those of the plan (plan.words.words when it selected them).
// Progress and checkpoint warnings go to `lines`.
FrozenTokenizer train_tokenizer(const WordTable& words, const TrainingRequest& request, const TrainingPlan& plan,
                                const RunSettings& run, LineSink& lines);

// Continues the run checkpointed under `run.checkpoint_dir` with what the run was made
// with (`request`: mode, rules, scheme, paradigms, lexicon, specials), then gives back the
// merges beyond `prune_to` when set. Errors as resume_from_checkpoint.
FrozenTokenizer resume_tokenizer(const TrainingRequest& request, std::optional<std::size_t> prune_to,
                                 const RunSettings& run, LineSink& lines);

// The superword stage on a tokenizer trained by the subword stage of `request` (whose
// scheme's superword_words is the most words a superword holds, at least 2): up to `merges`
// superwords learned from `runs` (counted with word_runs(base)), added after the base's
// vocabulary, then the request's specials. Within `memory_limit` (0: none) the stage keeps
// the runs seen at least min_count times, as training keeps words.
struct SuperwordStage {
    FrozenTokenizer tokenizer;
    std::size_t added = 0;  // fewer than asked when the runs run out of pairs seen twice
    WordSelection runs;     // the runs the stage trained from
};
SuperwordStage add_superwords(const TrainingRequest& request, const FrozenTokenizer& base, const CountStore& runs,
                              std::size_t merges, std::uint64_t memory_limit,
                              const std::function<bool()>& interrupted = {});

// What the superword stage counts, for a tokenizer of its subword stage: its runs of words
// (see SuperwordRuns), the tokenizer kept alive as long as the cutter.
std::shared_ptr<const KeyCutter> word_runs(const FrozenTokenizer& subwords);

// A tokenizer from a bundle's token table (checked: see from_columns).
FrozenTokenizer load_tokenizer(const TrainingRequest& request, TokenColumns columns, std::size_t seed_max_len);

}  // namespace larkspur
