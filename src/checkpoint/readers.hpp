// Readers of a checkpoint directory. They never write. Missing optional tables read as
// empty; files that cannot be read where they are required throw Io errors whose message
// is the error text alone (the callers add their own prefixes).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "checkpoint/format.hpp"
#include "vocab/paradigms.hpp"

namespace larkspur {

// meta.tsv of a step directory. Throws Io with the error text.
CheckpointMeta load_meta(const std::string& step_dir);
// weights.tsv / prior.tsv: id TAB float. An unopenable file gives an empty map; a read
// error stops quietly.
std::unordered_map<std::size_t, double> load_num_map(const std::string& path);
// lexicon.tsv: escaped surface TAB root id, read like load_num_map.
Lexicon load_lexicon(const std::string& path);
// corpus.tsv: (count, ids) rows in file order. Throws Io with the error text.
std::vector<std::pair<std::uint64_t, std::vector<TokenId>>> load_corpus_rows(const std::string& path);
// vocab.tsv rows. Throws Io with the error text.
std::vector<CkptRow> load_vocab_rows(const std::string& path);

// Step directories ("step_" prefix, valid UTF-8 names, following links), ascending by name.
std::vector<std::string> step_dirs(const std::string& dir);
// The step directory to resume from or inspect: the complete one LATEST names (when it
// names a place inside `dir`), else the highest-named complete one.
std::optional<std::string> resolve_latest(const std::string& dir);

}  // namespace larkspur
