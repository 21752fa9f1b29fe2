// Word counts of corpus files by word text: every line normalized and split at Unicode
// white space, exactly as the file drivers read a corpus, but keyed by the word itself
// instead of its encoding, so that counts from several machines add up and training from
// them gives the vocabulary that training from the files would. Files are read in chunks
// on several threads; the counts do not depend on the number of threads.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "text/akshara_dfa.hpp"
#include "text/normalizer.hpp"

namespace larkspur {

struct WordTextCounts {
    // Grouped by a hash of the word, each group in byte order: the same order whatever the
    // number of threads.
    std::vector<std::pair<std::string, std::uint64_t>> words;
    std::uint64_t lines = 0, occurrences = 0, bytes = 0;
};

// The same counts as fixed-width code units, for a caller that builds string objects of
// its own and should only have to copy. The words of a shard come in the order of their
// hash (then bytes), again the same for any number of threads. Each shard's
// words with, per word, its count, its length in code points and its largest code point,
// and its code points in `units` at `offset` (bytes) as 1, 2 or 4 bytes each by
// unit_width(max_char). The conversion runs on the counting threads.
struct WordUnitCounts {
    static constexpr std::size_t kShards = 64;
    struct Word {
        std::uint64_t count;
        std::size_t offset, length;
        char32_t max_char;
    };
    struct Shard {
        std::vector<Word> words;
        std::vector<unsigned char> units;
    };
    std::vector<Shard> shards;
    std::uint64_t lines = 0, occurrences = 0, bytes = 0;
    static std::size_t unit_width(char32_t max_char) { return max_char <= 0xFF ? 1 : max_char <= 0xFFFF ? 2 : 4; }
};

// Called with the bytes read so far, from whichever thread finished a chunk (one at a
// time); it may block.
using BytesProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Lines that are not valid UTF-8 are skipped. IOError "open {}: {}" for a file that cannot
// be opened (before anything is counted) and "read: {}" for a read error.
WordTextCounts count_word_texts(const std::vector<std::string>& paths, const Normalizer& normalizer,
                                std::size_t threads, const BytesProgress& progress = {});

// Fills `out` (its kShards shards, then its totals) and calls ready(s), from a counting
// thread, as soon as shard s is complete, so that a caller on another thread can take
// the shards in order while later ones are still being merged. The shards are ready in
// no particular order; ready is not called after an exception.
void count_word_units(const std::vector<std::string>& paths, const Normalizer& normalizer, std::size_t threads,
                      const BytesProgress& progress, WordUnitCounts& out,
                      const std::function<void(std::size_t shard)>& ready = {});

// The same over texts in memory, each a line of its own.
WordTextCounts count_word_texts(const std::vector<std::string>& texts, const Normalizer& normalizer);

// The akshara inventory of word counts: the Devanagari runs of each word (U+0900..U+097F
// without the dandas) cut by the automaton, each akshara counted with the word's count;
// those seen at least `min_freq` times, by count (highest first) then text.
std::vector<std::string> harvest_from_words(const std::vector<std::pair<std::string, std::uint64_t>>& words,
                                            std::uint64_t min_freq, const AksharaDFA& dfa);

// The symbols of word counts (characters outside ASCII, the C1 controls, Devanagari, the
// punctuation and format classes' quotation marks, dashes and joiners, the word markers
// and white space), each counted with the word's count; those seen at least `min_freq`
// times, by count (highest first) then code point, at most `limit` of them.
std::vector<std::string> symbol_inventory(const std::vector<std::pair<std::string, std::uint64_t>>& words,
                                          std::uint64_t min_freq, std::size_t limit);

}  // namespace larkspur
