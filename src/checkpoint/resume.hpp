// Resuming a training run from its newest complete checkpoint, and inspecting a
// checkpoint without loading it.
//
// A resume reads and checks everything it needs before it replaces anything, so a failed
// resume leaves the model as it was; only a missing or unreadable corpus.tsv, read last,
// fails after the vocabulary and tables have been restored. Root sets come from the
// checkpoint and are never re-derived from the registry: tokens made by training carry
// narrowed root sets that re-tagging would loosen.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "checkpoint/format.hpp"
#include "train/drivers.hpp"

namespace larkspur {

struct ResumeOptions {
    std::uint64_t progress_merges = 0;
    std::uint64_t checkpoint_every = 0;
    std::size_t checkpoint_keep = 0;
    bool allow_mode_mismatch = false;
    bool allow_paradigm_mismatch = false;
    // When set, receives each token's use in the corpus at the end (see RunSpec).
    std::vector<std::uint64_t>* token_use = nullptr;
    // The heap strategy of the merge loop (ConstrainedBPETrainer::lazy_decreases).
    bool lazy_decreases = false;
    std::function<bool()> interrupted;
};

struct CheckpointInfo {
    std::string path;  // the step directory
    CheckpointMeta meta;
};

// Restores the model from the newest complete checkpoint under `dir` and continues the
// run through its remaining passes with `driver` (whose model is `model`). Returns the
// vocabulary size at the end. FileNotFoundError when there is no complete checkpoint;
// ValueError for a fold mode or paradigm fingerprint that differs (unless allowed);
// IOError for unreadable files.
std::size_t resume_from_checkpoint(TrainingDriver& driver, ModelState& model, FoldMode mode,
                                   const std::string& dir, const ResumeOptions& opt, LineSink& lines);

// The metadata of the newest complete checkpoint under `dir`, or nullopt when there is
// none. IOError "read meta: {}" when its meta.tsv cannot be read.
std::optional<CheckpointInfo> checkpoint_info(const std::string& dir);

}  // namespace larkspur
