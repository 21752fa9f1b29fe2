// Word counts by word text: every distinct word once, in byte order, with its count.
//
// This is what training reads: a corpus is counted once (in parallel, on many machines if
// need be), the tables are added up, and training depends on nothing else. The words'
// UTF-8 bytes lie end to end in one arena with an end offset and a count per word, about
// 16 bytes per word type beyond its text, and no pointer per word, so that millions of
// types stay cheap and the table travels (pickling, worker processes) as one block.
//
// Byte order makes the table canonical: two tables with the same words and counts are
// equal byte for byte, adding two tables is one linear merge, a lookup is a binary
// search, and the saved file is sorted, so that files from many machines merge as streams.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace larkspur {

// Where a table's counts came from, added up with the counts. Lines and bytes of the
// text read; lines that were not valid UTF-8 and were skipped.
struct CountSource {
    std::uint64_t lines = 0, bytes = 0, invalid_lines = 0;
    CountSource& operator+=(const CountSource& o) {
        lines += o.lines;
        bytes += o.bytes;
        invalid_lines += o.invalid_lines;
        return *this;
    }
};

// Calls f(word, count) for each "word<TAB>count" line of a counts file, in file order (a CR
// before the LF and empty lines are allowed). FileNotFound or IOError naming the path;
// ValueError "{path}:{line}: expected word<TAB>count, got '{start of the line}'".
void for_each_count_line(const std::string& path, const std::function<void(std::string_view, std::uint64_t)>& f);

class WordTable {
   public:
    WordTable() = default;

    // From (word, count) pairs in any order: sorted, equal words added up. ValueError for
    // an empty word or a sum beyond 2^64 - 1.
    static WordTable from_pairs(std::vector<std::pair<std::string_view, std::uint64_t>> pairs);
    // From pairs already in strictly increasing byte order (the counting code's output);
    // the order is checked.
    static WordTable from_sorted(std::vector<std::pair<std::string_view, std::uint64_t>> pairs);

    // For code that produces words in byte order itself: room for `words` words of `bytes`
    // bytes in all, and a word appended after the last one (the order is the caller's
    // promise; the public constructors check it).
    void reserve(std::size_t words, std::size_t bytes) {
        arena_.reserve(bytes);
        ends_.reserve(words);
        counts_.reserve(words);
    }
    void append_in_order(std::string_view word, std::uint64_t count) { push(word, count); }

    std::size_t size() const { return counts_.size(); }
    bool empty() const { return counts_.empty(); }
    std::string_view word(std::size_t i) const {
        const std::uint64_t b = i == 0 ? 0 : ends_[i - 1];
        return std::string_view(arena_).substr(b, ends_[i] - b);
    }
    std::uint64_t count(std::size_t i) const { return counts_[i]; }
    std::optional<std::uint64_t> find(std::string_view word) const;
    // The sum of the counts (the word occurrences).
    std::uint64_t total() const;

    // The sum of two tables; the sources add up too. ValueError on a count overflow.
    static WordTable sum(const WordTable& a, const WordTable& b);

    // The table without the words counted fewer than `min` times.
    WordTable at_least(std::uint64_t min) const;

    // "word<TAB>count" lines in the table's (byte) order, written beside the target and
    // renamed into place. IOError naming the path; ValueError naming a word that holds a
    // tab or a line end (it could not be read back).
    void save(const std::string& path) const;
    // Reads such lines in any order (equal words added up; a CR before the LF and empty
    // lines are allowed). FileNotFound or IOError naming the path; ValueError
    // "{path}:{line}: expected word<TAB>count, got '{start of the line}'".
    static WordTable load(const std::string& path);

    // A compact binary form for pickling and worker processes (the stream of
    // common/word_runs.hpp), and its reader (ValueError for bytes that are not such a table).
    std::string to_bytes() const;
    static WordTable from_bytes(std::string_view data);

    bool operator==(const WordTable& o) const {
        return counts_ == o.counts_ && ends_ == o.ends_ && arena_ == o.arena_;
    }
    // Bytes held by the table (its three arrays).
    std::size_t memory_bytes() const {
        return arena_.capacity() + 8 * (ends_.capacity() + counts_.capacity());
    }

    CountSource source;

   private:
    void push(std::string_view word, std::uint64_t count);
    std::string arena_;
    std::vector<std::uint64_t> ends_;
    std::vector<std::uint64_t> counts_;
};

}  // namespace larkspur
