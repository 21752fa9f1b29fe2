// The checkpoint directory format: escaping, number formats, vocabulary rows, and the
// metadata record. A checkpoint directory holds LATEST and one "step_" + 12-digit
// directory per save with vocab.tsv, corpus.tsv, weights.tsv, prior.tsv, lexicon.tsv,
// meta.tsv and, written last, COMPLETE. All files are plain UTF-8 lines ending in LF,
// TAB-separated, without headers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/numbers.hpp"
#include "train/trainer.hpp"
#include "vocab/token_table.hpp"
#include "vocab/vocabulary.hpp"

namespace larkspur {

// Backslash, TAB, LF and CR become \\, \t, \n and \r; the reverse keeps a backslash
// before any other character and a trailing backslash as they are.
std::string ckpt_escape(std::string_view s);
std::string ckpt_unescape(std::string_view s);

// Shortest decimal text that reads back to the same double, never with an exponent;
// NaN, inf and -inf for the special values.
std::string format_float(double v);
// Decimal syntax with optional sign and exponent, or inf/infinity/NaN in any case.
bool parse_float(std::string_view s, double& out);

// "step_" and the merge counter zero-padded to 12 digits (longer counters in full).
std::string step_dir_name(std::uint64_t merges_done);

// A checkpoint's vocab.tsv holds the token rows of the vocabulary's codec.
using CkptRow = TokenRow;

inline std::vector<CkptRow> export_ckpt_rows(const Vocabulary& vocab) { return export_token_rows(vocab); }
// Replaces the whole vocabulary by the rows: sorted stably by id, renumbered densely.
inline void import_ckpt_rows(Vocabulary& vocab, std::vector<CkptRow> rows) {
    import_token_rows(vocab, std::move(rows));
}
std::string format_vocab_row(const CkptRow& row);
// Parses one vocab.tsv line; false when it has fewer than eight fields.
bool parse_vocab_row(std::string_view line, CkptRow& row);

struct CheckpointMeta {
    std::string version, mode;
    std::uint64_t theta = 0;
    std::size_t dev_budget = 0, total_budget = 0;
    std::uint64_t merges_done = 0;
    std::size_t vocab_len = 0, word_types = 0, seed_max_len = 0, root_set_cap = 0;
    std::uint64_t corpus_fingerprint = 0, paradigm_fingerprint = 0;
    Phase phase = Phase::DEV;
    bool use_probabilistic_k = false;
};

}  // namespace larkspur
