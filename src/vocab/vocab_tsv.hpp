// The vocabulary file: a "# tamsil-v4 mode={}" header recording the fold mode, then one
// "id TAB escaped-surface" line per token in id order. Kinds, scripts, seed sets and root
// sets are not stored; loading derives kinds from the surfaces again.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/report.hpp"
#include "text/fold_mode.hpp"
#include "vocab/vocabulary.hpp"

namespace larkspur {

// TAB -> \t, LF -> \n, backslash -> \\; everything else (CR included) unchanged.
std::string escape_tsv(std::string_view s);
std::string unescape_tsv(std::string_view s);

// Writes the file through an 8 KiB buffer. IOError "create {}: {}" or "write: {}"; with
// `name_path`, IOError "{path}: {}" carrying the errno and the path instead.
void save_vocab_tsv(const Vocabulary& vocab, FoldMode mode, const std::string& path, bool name_path = false);

// Reads the (id, surface) pairs of a vocabulary file and checks its mode header against
// `mode`: a foreign mode raises ValueError unless allowed; a missing header writes the
// "[load] warning" line to `lines`. IOError "open {}: {}" and "read: {}" (invalid UTF-8 included).
std::vector<std::pair<std::size_t, std::string>> read_vocab_tsv(const std::string& path,
                                                                FoldMode mode,
                                                                bool allow_mode_mismatch,
                                                                LineSink& lines);

// The surfaces by id of a vocabulary file that save_vocab_tsv wrote for `mode` (the
// companion's bundles keep one). ValueError "has no mode header" and "ids must run from 0
// without gaps"; the errors of read_vocab_tsv otherwise.
std::vector<std::string> read_vocab_surfaces(const std::string& path, FoldMode mode);

}  // namespace larkspur
