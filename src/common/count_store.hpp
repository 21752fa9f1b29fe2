// Word counts wherever they are: in memory as a WordTable, or in a sorted file (a
// CountsFile) once they outgrew the memory they were given. Both read the same way (size,
// lookups, words by position, a stream in byte order), so that callers never ask which.
//
// A store never changes; adding two stores makes a third. Stores share what they hold, so
// copies are cheap.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/word_runs.hpp"
#include "common/word_table.hpp"

namespace larkspur {

// How much memory counts may hold and where they spill beyond it. A limit of 0 means no
// limit; an empty directory means the system's temporary directory ($TMPDIR or /tmp).
struct SpillSettings {
    std::uint64_t memory_limit = 0;
    std::string tmp_dir;
    // Told how many words a merge of runs has written, every 65,536 words (may block).
    std::function<void(std::uint64_t words)> merge_progress;
    // A counting worker's table never goes to disk smaller than this, whatever the limit:
    // its empty shards alone take 512 KiB, and under a limit below what counting needs at
    // all it would write a run every thousand words. (Tests set 0 to spill tiny tables.)
    std::uint64_t smallest_run = std::uint64_t{2} << 20;
    std::string directory() const;
    // The directory for one job's temporary files (IOError naming the parent).
    std::shared_ptr<files::TempDir> make_dir() const;
};

// A stream of counts in byte order.
class CountCursor {
   public:
    virtual ~CountCursor() = default;
    virtual bool next() = 0;
    std::string_view word;
    std::uint64_t count = 0;
};

// A cursor over a run file that removes the file once the cursor goes (runs are read once).
std::unique_ptr<CountCursor> open_run(const std::string& path);

// Merges streams in byte order, adding the counts of equal words.
class CountMerger {
   public:
    explicit CountMerger(std::vector<std::unique_ptr<CountCursor>> inputs);
    // The next merged word (valid until the next call); false at the end.
    bool next(std::string_view& word, std::uint64_t& count);

   private:
    std::vector<std::unique_ptr<CountCursor>> in_;
    std::vector<std::size_t> heap_;  // inputs with a current word, smallest word on top
    std::string word_;
};

class CountStore {
   public:
    CountStore() : table_(std::make_shared<WordTable>()) {}
    explicit CountStore(WordTable table) : table_(std::make_shared<WordTable>(std::move(table))) {}
    explicit CountStore(std::shared_ptr<const CountsFile> file) : file_(std::move(file)) {}

    bool on_disk() const { return file_ != nullptr; }
    // The table in memory, or null when the counts are on disk.
    const WordTable* table() const { return table_.get(); }
    std::uint64_t size() const { return file_ ? file_->size() : table_->size(); }
    std::uint64_t total() const { return file_ ? file_->total() : table_->total(); }
    const CountSource& source() const { return file_ ? file_->source() : table_->source; }
    std::optional<std::uint64_t> find(std::string_view word) const;
    // Calls f(word, count) for the words [start, stop) in order; f returns false to stop.
    void scan(std::uint64_t start, std::uint64_t stop, const std::function<bool(std::string_view, std::uint64_t)>& f) const;
    std::unique_ptr<CountCursor> cursor() const;
    // The (word, count) pairs of the words [start, stop).
    std::vector<std::pair<std::string, std::uint64_t>> items(std::uint64_t start, std::uint64_t stop) const;
    // Bytes of memory the store holds.
    std::size_t memory_bytes() const { return table_ ? table_->memory_bytes() : 0; }

    // The streamed bytes of the counts (the pickled form), and a store of such bytes.
    std::string to_bytes() const;
    static CountStore from_bytes(std::string_view data);
    // word<TAB>count lines in byte order, written whole or not at all (see WordTable::save).
    void save(const std::string& path) const;

    // The counts of the word<TAB>count files (any order, any number of lines; equal words
    // add up), within the spill settings' memory. Errors as WordTable::load.
    static CountStore load(const std::vector<std::string>& paths, const SpillSettings& spill);
    // a + b, in memory when both are and the result fits the limit, else on disk.
    static CountStore sum(const CountStore& a, const CountStore& b, const SpillSettings& spill);
    // The merge of sorted streams into a store: in memory while the table stays within
    // `memory_budget` bytes (0: no budget), else in a counts file of `dir`.
    static CountStore merge(std::vector<std::unique_ptr<CountCursor>> inputs, const CountSource& source,
                            std::uint64_t memory_budget, const std::function<std::shared_ptr<files::TempDir>()>& dir,
                            const std::function<void(std::uint64_t)>& progress = {});

    bool operator==(const CountStore& o) const;

   private:
    std::shared_ptr<const WordTable> table_;
    std::shared_ptr<const CountsFile> file_;
};

}  // namespace larkspur
