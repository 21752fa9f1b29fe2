// Writing checkpoints during training.
//
// A save builds the whole step directory under a temporary name that readers and
// pruning ignore (it does not begin with "step_"), writes COMPLETE into it last, and
// only then moves it into place, atomically exchanging it with an earlier directory of
// the same name where there is one. A crash or a full disk at any moment therefore
// leaves the newest complete checkpoint readable. LATEST is rewritten after the move,
// and pruning keeps the `keep` highest-named step directories, never the one just
// written.
#pragma once

#include "train/trainer.hpp"

namespace larkspur {

class CheckpointWriter : public CheckpointSink {
   public:
    SaveOutcome save(const ConstrainedBPETrainer& trainer, const Corpus& corpus,
                     std::uint64_t step) override;
};

// Removes what interrupted or failed saves left under `dir` (their temporary directories);
// the next save does the same before it starts.
void remove_partial_steps(const std::string& dir);

}  // namespace larkspur
