// Word counts as a stream: the form in which counts spill to disk when they outgrow the
// memory they may use, merge as streams whatever their number, and travel between
// processes.
//
// A stream holds words in strictly increasing byte order:
//     "LKWT2\n"
//     per word: varint(byte length, at least 1), the word's bytes, varint(count)
//     varint(0)
//     varint(number of words), varint(lines), varint(bytes), varint(invalid lines)
// The same bytes are a word table's pickled form (WordTable::to_bytes).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/files.hpp"
#include "common/word_table.hpp"

namespace larkspur {

inline constexpr std::string_view kRunMagic = "LKWT2\n";

void put_varint(std::string& out, std::uint64_t v);

// Writes a stream to a file. Write failures (a full disk) are IOError naming `where` (the
// directory the caller chose) with the system's error.
class RunWriter {
   public:
    // With `index_every` > 0, the offset and text of every such word are kept (index()).
    RunWriter(const std::string& path, std::string where, std::uint64_t index_every = 0);
    // The next word, after the previous one in byte order (the caller's promise).
    void add(std::string_view word, std::uint64_t count);
    void finish(const CountSource& source);
    std::uint64_t words() const { return words_; }
    std::uint64_t total() const { return total_; }
    const std::string& path() const { return path_; }
    std::vector<std::uint64_t>& index_offsets() { return index_offsets_; }
    std::vector<std::string>& index_words() { return index_words_; }

   private:
    void check();
    files::FileWriter file_;
    std::string path_, where_, record_;
    std::uint64_t words_ = 0, total_ = 0, offset_ = 0, every_ = 0;
    std::vector<std::uint64_t> index_offsets_;
    std::vector<std::string> index_words_;
};

// Reads a stream from a file, word by word. ValueError naming the file when its bytes are
// not such a stream; IOError for a read error.
class RunReader {
   public:
    explicit RunReader(const std::string& path, std::size_t buffer = 1 << 16);
    // The next word (false at the end, where source() and words() become known).
    bool next();
    std::string_view word() const { return word_; }
    std::uint64_t count() const { return count_; }
    std::uint64_t words() const { return words_; }
    const CountSource& source() const { return source_; }
    // Where the next record starts, and a move back to such a place.
    std::uint64_t offset() const { return in_.offset(); }
    void seek(std::uint64_t offset) { in_.seek(offset); }

   private:
    bool varint(std::uint64_t& v);
    [[noreturn]] void bad() const;
    files::ByteReader in_;
    std::string path_, word_;
    std::uint64_t count_ = 0, words_ = 0, read_ = 0;
    CountSource source_;
    bool done_ = false;
};

// A sorted stream of word counts in a temporary file, with a sparse index (every 1024th
// word) for lookups and reads from any position. The file's directory lives as long as any
// table that reads it.
class CountsFile {
   public:
    // The stream written by `fill` (which gets the writer) into a new file of `dir`.
    CountsFile(std::shared_ptr<files::TempDir> dir, const std::function<void(RunWriter&)>& fill,
               const CountSource& source);
    std::uint64_t size() const { return size_; }
    std::uint64_t total() const { return total_; }
    const CountSource& source() const { return source_; }
    const std::string& path() const { return path_; }
    std::optional<std::uint64_t> find(std::string_view word) const;
    // Calls f(word, count) for the words [start, stop) in order; f returns false to stop.
    void scan(std::uint64_t start, std::uint64_t stop,
              const std::function<bool(std::string_view, std::uint64_t)>& f) const;
    const std::shared_ptr<files::TempDir>& dir() const { return dir_; }

   private:
    static constexpr std::uint64_t kEvery = 1024;
    std::shared_ptr<files::TempDir> dir_;
    std::string path_;
    std::uint64_t size_ = 0, total_ = 0;
    CountSource source_;
    std::vector<std::uint64_t> index_offsets_;  // of words 0, kEvery, 2 kEvery, ...
    std::vector<std::string> index_words_;
};

}  // namespace larkspur
