// Unicode Normalization Form C, through ICU, with a table-driven quick check in front:
// most text is already composed, and the check settles that without running ICU's
// normalizer. The tables are read from ICU's own character properties, so the two
// always agree. Thread-safe; the tables are built on first use.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace larkspur::nfc {

// Whether valid UTF-8 `text` is in NFC.
bool is_nfc(std::string_view text);
// The length of valid UTF-8 `text` when it is in NFC; else the start of its first
// normalization segment that is not (a boundary: what comes before it is in NFC and
// normalizing from there on does not depend on it).
std::size_t nfc_prefix(std::string_view text);
// Writes NFC(text) to `out`. `known_prefix` is a length that nfc_prefix(text) returned
// (or 0): that much is copied without checking it again.
void to_nfc(std::string_view text, std::string& out, std::size_t known_prefix = 0);
// Whether c is a starter that nothing before it can combine with (a normalization
// boundary).
bool boundary_before(char32_t c);
// Builds the tables now, so that a missing ICU data file fails here and not at the
// first text.
void warm_up();

}  // namespace larkspur::nfc
