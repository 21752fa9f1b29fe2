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

// Called with the bytes read so far, from whichever thread finished a chunk (one at a
// time); it may block.
using BytesProgress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// Lines that are not valid UTF-8 are skipped. IOError "open {}: {}" for a file that cannot
// be opened (before anything is counted) and "read: {}" for a read error.
WordTextCounts count_word_texts(const std::vector<std::string>& paths, const Normalizer& normalizer,
                                std::size_t threads, const BytesProgress& progress = {});

// The same over texts in memory, each a line of its own.
WordTextCounts count_word_texts(const std::vector<std::string>& texts, const Normalizer& normalizer);

// The akshara inventory of word counts: the Devanagari runs of each word (U+0900..U+097F
// without the dandas) cut by the automaton, each akshara counted with the word's count;
// those seen at least `min_freq` times, by count (highest first) then text.
std::vector<std::string> harvest_from_words(const std::vector<std::pair<std::string, std::uint64_t>>& words,
                                            std::uint64_t min_freq, const AksharaDFA& dfa);

}  // namespace larkspur
