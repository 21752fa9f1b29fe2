// How the trained ids are shared between the Devanagari and the Latin pass when the data
// decides: a plain BPE over both scripts at once, on the units and joins that the two
// passes themselves use, is run for as many merges as the passes will make, and the Latin
// pass gets the share of those merges that the plain BPE spent on Latin.
//
// A joint BPE ranks every merge by how many tokens it saves, whatever the script, so the
// split follows the data: the share of each script in the text, how varied its words are
// and how large the vocabulary is. Running it on our own units matters: the Devanagari
// base already holds whole aksharas, and punctuation joins only where the passes let it,
// so a BPE over code points would give Devanagari the merges that build aksharas and
// Latin the merges of leading punctuation, neither of which our passes can use.
//
// Also here: the other scripts of the words (neither Devanagari nor Latin), counted by
// word occurrences, for the training report.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/word_table.hpp"
#include "text/akshara_dfa.hpp"

namespace larkspur {

struct ScriptSplit {
    std::uint64_t dev_merges = 0, lat_merges = 0;
};

// The merges that a plain BPE makes over the runs of the words, by script. The runs: a
// Latin run starts at an ASCII letter or digit and goes on over letters, digits and ASCII
// punctuation (the Latin pass joins a Latin token to the punctuation after it); a
// Devanagari run is Devanagari and punctuation (the dandas and ASCII) together, the
// Devanagari cut into aksharas. Each punctuation mark, letter and digit is a unit. The run
// at the start of the word begins with a word marker unit (U+2582 before Latin, U+2581
// before the rest); a run of punctuation alone counts only there. With `latin_joins` the
// punctuation that opens a word before a Latin letter or digit starts that word's Latin
// run, after U+2582. Runs of one unit are left out: nothing merges in them.
//
// The BPE takes the most frequent adjacent pair first, ties to the pair of smaller unit
// numbers (units numbered in order of first sight over the words in table order), and
// makes `merges` merges, or fewer when the runs run out of pairs. A pair of punctuation
// marks may stand in runs of both scripts: its merge is the script's that holds more of
// it. `interrupted` is asked every few merges; the call then ends with Interrupted.
ScriptSplit joint_merge_split(const WordTable& words, std::size_t merges, const AksharaDFA& dfa,
                              bool latin_joins = false, const std::function<bool()>& interrupted = {});

// The same BPE's merges in order, each true when it is Latin's: the split of any number of
// merges up to `merges` is that of the first ones (split_of), from one run.
std::vector<bool> joint_merge_scripts(const WordTable& words, std::size_t merges, const AksharaDFA& dfa,
                                      bool latin_joins = false, const std::function<bool()>& interrupted = {});
ScriptSplit split_of(const std::vector<bool>& scripts, std::size_t merges);

// The Latin pass's merges out of `merges`, by the split: rounded half to even, and none
// when the split holds no merges at all.
std::size_t latin_merges(const ScriptSplit& split, std::size_t merges);

// The scripts other than Devanagari and Latin that the words' letters belong to (by
// Unicode's script property; digits, punctuation, symbols and marks not counted), each
// with the occurrences of the words holding at least one of its letters, most first (then
// by name).
std::vector<std::pair<std::string, std::uint64_t>> other_scripts(const WordTable& words,
                                                                 const std::function<bool()>& interrupted = {});

}  // namespace larkspur
