// Word counts of corpus files by word text: every line normalized and split at Unicode
// white space, exactly as the file drivers read a corpus, but keyed by the word itself
// instead of its encoding, so that counts from several machines add up and training from
// them gives the vocabulary that training from the files would. Files are read in chunks
// on several threads; the counts do not depend on the number of threads.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "common/count_store.hpp"
#include "common/word_table.hpp"
#include "text/normalizer.hpp"

namespace larkspur {

// Called with the bytes read so far, from whichever thread finished a chunk (one at a
// time); it may block.
using BytesProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Lines that are not valid UTF-8 are skipped (and counted in the table's source).
// IOError "open {}: {}" for a file that cannot be opened (before anything is counted) and
// "read: {}" for a read error.
//
// With a memory limit, each worker's table stays within its share of half the limit:
// beyond it the table is written as a sorted run to a temporary directory and emptied, and
// the runs are merged at the end, in memory while the result stays within the other half,
// else into a counts file. The counts are the same either way. The temporary files are
// removed however the call ends (a counts file lives as long as the store that reads it).
// The calling thread asks `interrupted` between its chunks; when it says yes, the call ends
// with Interrupted once the other workers finish their chunks.
CountStore count_word_texts(const std::vector<std::string>& paths, const Normalizer& normalizer,
                            std::size_t threads, const BytesProgress& progress = {},
                            const SpillSettings& spill = {}, const std::function<bool()>& interrupted = {});

// The same over texts in memory, each a line of its own.
WordTable count_word_texts(std::span<const std::string_view> texts, const Normalizer& normalizer);

}  // namespace larkspur
