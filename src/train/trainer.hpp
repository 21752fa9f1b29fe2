// The constrained BPE trainer: the record a training call works in, the legality test
// of a candidate merge, its priority key, and the merge loop.
//
// A merge of the adjacent pair (a, b) must pass the script constraint (DEV joins DEV,
// punctuation joins punctuation, Latin joins Latin only in the Latin pass), the seed
// protection (no seed morpheme is absorbed as a right part, a validated one is never
// extended, an induced one only by pairs seen at least theta times) and the paradigm
// constraint Morph (some root of a's root set must allow b after a). Candidates compete
// by (ScriptRank, K), K being the frequency scaled by the posterior that the merge is
// morphologically allowed and by the weight W(a), in units of 1/1024.
//
// The trainer writes checkpoints through a sink it is given, so this module knows no
// checkpoint file format.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "common/report.hpp"
#include "train/corpus.hpp"
#include "vocab/paradigms.hpp"
#include "vocab/vocabulary.hpp"

namespace larkspur {

enum class Phase : std::uint8_t { DEV, LAT };
inline const char* phase_name(Phase p) { return p == Phase::DEV ? "DEV" : "LAT"; }

using TokenWeights = std::unordered_map<TokenId, double>;

// Checkpoint and budget settings handed to the trainer by a training entry point.
struct CheckpointConfig {
    std::optional<std::string> dir;
    std::string mode;
    Lexicon lexicon;
    std::size_t every = 0;
    std::size_t keep = 0;
    std::size_t seed_max_len = 0;
    std::size_t dev_budget = 0;
    std::size_t total_budget = 0;
    std::uint64_t paradigm_fingerprint = 0;
};

struct ConstrainedBPETrainer;

// Outcome of one checkpoint save: nothing written (no directory), written (text is the
// step directory's path) or failed (text is the error).
struct SaveOutcome {
    enum class Kind { Nothing, Written, Failed } kind = Kind::Nothing;
    std::string text;
};

class CheckpointSink {
   public:
    virtual ~CheckpointSink() = default;
    virtual SaveOutcome save(const ConstrainedBPETrainer& trainer, const Corpus& corpus,
                             std::uint64_t step) = 0;
};

struct MergeCandidate {
    std::uint8_t rank;
    std::uint64_t key;
    std::uint32_t left, right;
    std::uint64_t freq;
    // Heap order: rank, then key, then left, then right; freq takes no part.
    bool operator<(const MergeCandidate& o) const {
        if (rank != o.rank) return rank < o.rank;
        if (key != o.key) return key < o.key;
        if (left != o.left) return left < o.left;
        return right < o.right;
    }
};

// Merge rules beyond the default ones, each off by default (the default rules are the
// ones described above, which checkpoints and their callers rely on).
struct MergeRules {
    // In the Devanagari pass Devanagari and punctuation tokens join each other too (a word
    // and its danda, a marker and a quotation mark, the halves of a hyphenated pair), and
    // a join with punctuation on the right skips the paradigm test: punctuation is no
    // morpheme. In the Latin pass a Latin token joins the punctuation after it ("N.").
    bool edge_joins = false;
    // Paradigms see a surface without its leading word marker, and a merged Devanagari
    // token whose left part has no roots takes the roots of its own surface (without the
    // marker), so that word-initial stems are constrained like the stems inside words.
    bool marker_stems = false;
    // The Latin pass joins Latin and punctuation tokens in any order: the punctuation that
    // opens a Latin word or stands inside one merges with the Latin after it ("(the", "’s"),
    // and marks with marks ("),", "__"), which the Devanagari pass ranks below every
    // Devanagari pair. Every token the pass makes is Latin.
    bool latin_joins = false;
};

struct ConstrainedBPETrainer {
    Vocabulary vocab;
    ParadigmRegistry registry;
    CheckpointConfig ckpt;
    RootPrior root_prior;
    TokenWeights token_weights;
    std::uint64_t theta = 100;
    // Surfaces that no merge may make: the special tokens' texts, which the tokenizer adds
    // after training and which must stay tokens of their own ("<unk>" in a corpus that
    // quotes it would otherwise become a trained token first).
    std::vector<std::string> reserved;
    std::size_t root_set_cap = 0;
    std::uint64_t merges_done = 0;
    Phase phase = Phase::DEV;
    bool probabilistic_k = false;
    MergeRules rules;
    // How the run keeps its heap, not a rule: a pair whose count falls pushes no heap
    // entry; its older entry, which ranks at least as high, stays, and when it surfaces
    // with a count that has fallen since, it is pushed again with the current one.
    // Candidates rank by a key that never falls when the count rises, so the same merges
    // happen in the same order; the heap only holds fewer stale entries (which the
    // progress lines' heap size shows, so the exact module keeps every entry).
    bool lazy_decreases = false;
    // Asked every few hundred merges whether to stop (Ctrl-C); the run then ends with
    // Interrupted. None for the exact module.
    std::function<bool()> interrupted;

    bool legal(TokenId a, TokenId b, std::uint64_t freq) const;
    // Whether a and b together spell a reserved surface.
    bool makes_reserved(TokenId a, TokenId b) const;
    // The surface of a that the paradigms are asked about.
    std::string_view morph_surface(TokenId a) const;
    // (ScriptRank, K).
    std::pair<std::uint8_t, std::uint64_t> priority_key(TokenId a, TokenId b, std::uint64_t freq) const;
};

// Merges the best admissible pair until the vocabulary holds `budget` tokens or no
// admissible pair is left, writing checkpoints through `sink` (periodic and final) and
// progress lines to `lines` every `progress_merges` merges (0 for silence). The corpus is
// rewritten in place. Never fails: a failed save is reported as a warning line.
void train(ConstrainedBPETrainer& trainer, Corpus& corpus, std::size_t budget,
           std::uint64_t progress_merges, CheckpointSink* sink, LineSink& lines);

}  // namespace larkspur
