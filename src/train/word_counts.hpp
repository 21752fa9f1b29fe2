// Counting the word types of a corpus file or of in-memory texts: each line is
// normalized, split at Unicode white space, and each word encoded with the encoder and
// counted by its id sequence. A distinct word text is encoded once; later occurrences hit
// a cache, which gives the same table as encoding every occurrence.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/flat_map.hpp"
#include "common/report.hpp"
#include "common/string_counter.hpp"
#include "encode/encoder.hpp"
#include "text/normalizer.hpp"
#include "train/corpus.hpp"

namespace larkspur {

struct WordCountResult {
    WordCounts table;
    std::uint64_t lines = 0, occurrences = 0;
    double seconds = 0;
};

// Adds the words of normalized texts to a table, encoding each distinct word once.
class WordCounter {
   public:
    WordCounter(const EncodeContext& ctx, bool latin_only) : ctx_(ctx), latin_only_(latin_only) {}
    // Splits normalized text at white space and counts its words; returns the number of
    // word occurrences counted.
    std::uint64_t add_text(std::string_view normalized);
    // Number of entries of the table so far.
    std::size_t types() const { return table_.size(); }
    // The finished table: occurrences are kept per word text while counting and added up
    // per id sequence here.
    WordCounts take_table();

   private:
    static constexpr std::int64_t kSkip = -1;
    static constexpr std::size_t kHugeWord = std::size_t(1) << 20;
    const EncodeContext& ctx_;
    bool latin_only_;
    WordCounts table_;
    // Word text -> table entry (kSkip for words that encode to nothing), by the text's
    // entry index in the counter.
    StringCounter cache_;
    std::vector<std::int64_t> cache_entry_;
    struct Span {
        std::size_t start, length;
        std::uint64_t hash;
    };
    std::vector<Span> words_;
    WordCounts::Seq ids_;
    EncodeScratch scratch_;
};

// Reads a corpus file through a 1 MiB buffer (lines that are not valid UTF-8 skipped),
// writing "[build] ..." progress lines to `lines` every `progress_lines` lines, and filters the
// table by `min_word_freq` at the end. IOError "open {}: {}" when the file cannot be
// opened; a read error ends reading with the counts gathered so far. Runs without the
// interpreter lock.
WordCountResult build_word_counts(const std::string& path, std::uint64_t min_word_freq,
                                  std::uint64_t progress_lines, bool latin_only,
                                  const Normalizer& normalizer, const EncodeContext& ctx,
                                  LineSink& lines);

}  // namespace larkspur
