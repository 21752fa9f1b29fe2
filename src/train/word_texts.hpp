// Word counts of corpus files by word text: every line normalized and split at Unicode
// white space, exactly as the file drivers read a corpus, but keyed by the word itself
// instead of its encoding, so that counts from several machines add up and training from
// them gives the vocabulary that training from the files would. Files are read in chunks
// on several threads; the counts do not depend on the number of threads.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
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

// What counting counts in a normalized line, when not its words: keys(text, add) calls
// add(key) for each key, a piece of text (the superword stage's runs of words). Called on
// the worker threads at once.
class KeyCutter {
   public:
    virtual ~KeyCutter() = default;
    virtual void cut(std::string_view text, const std::function<void(std::string_view)>& add) const = 0;
};

// How counting goes besides the text: within a memory limit (see below), strict or not
// about lines that are not UTF-8, reporting progress, and asked whether to stop.
struct CountOptions {
    SpillSettings spill;
    // The first line that is not valid UTF-8 is a ValueError "{name}:{line}: the line is not
    // valid UTF-8 (strict counting stops here)" instead of a skipped line.
    bool strict_utf8 = false;
    BytesProgress progress;
    std::function<bool()> interrupted;
    // Counts these keys instead of words (none: words).
    std::shared_ptr<const KeyCutter> keys;
};

// What counting saw besides the counts: per input, the lines that were not UTF-8.
struct CountReport {
    std::vector<std::uint64_t> invalid_lines;
};

// Lines that are not valid UTF-8 are skipped and counted (in the table's source and, per
// file, in the report). IOError naming a file that cannot be opened (before anything is
// counted) or read.
//
// With a memory limit, each worker's table stays within its share of half the limit:
// beyond it the table is written as a sorted run to a temporary directory and emptied, and
// the runs are merged at the end, in memory while the result stays within the other half,
// else into a counts file. The counts are the same either way. The temporary files are
// removed however the call ends (a counts file lives as long as the store that reads it).
// The calling thread asks `interrupted` between its chunks; when it says yes, the call ends
// with Interrupted once the other workers finish their chunks.
CountStore count_word_texts(const std::vector<std::string>& paths, const Normalizer& normalizer,
                            std::size_t threads, const CountOptions& opt = {}, CountReport* report = nullptr);

// Counts text that arrives in blocks (a decompressed file, a pipe, the text fields of
// JSON Lines, an iterable of texts) on worker threads while the caller reads the next
// block. Blocks wait in a short queue, so memory stays bounded whatever the input's size.
// Lines are numbered per source for strict counting. Destroying the counter stops its
// threads and removes its temporary files.
class BlockCounter {
   public:
    // `sources` names each input, for messages.
    BlockCounter(const Normalizer& normalizer, std::size_t threads, CountOptions opt, std::vector<std::string> sources);
    ~BlockCounter();
    BlockCounter(const BlockCounter&) = delete;
    BlockCounter& operator=(const BlockCounter&) = delete;
    // Queues whole lines separated by LF (a CR before an LF is dropped) of a source, its first
    // line being line `first_line` there; waits while the queue is full. False once counting
    // stopped (strict counting met a bad line): finish() then says why.
    bool add(std::string lines, std::size_t source, std::uint64_t first_line);
    // Queues texts, each a line of its own (they may hold line feeds).
    bool add_texts(std::vector<std::string> texts, std::size_t source, std::uint64_t first_line);
    // Waits for the queued blocks and gives the counts. Once finished or cancelled, a counter
    // takes nothing more (ValueError).
    CountStore finish(CountReport* report = nullptr);
    // Stops the workers without waiting for the queue and drops what was counted, temporary
    // files included (as destroying it does).
    void cancel();

   private:
    struct State;
    std::unique_ptr<State> s_;
};

// The same over texts in memory, each a line of its own.
WordTable count_word_texts(std::span<const std::string_view> texts, const Normalizer& normalizer);

}  // namespace larkspur
