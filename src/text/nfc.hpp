// Unicode Normalization Form C, through ICU, with a table-driven quick check in front:
// most text is already composed, and the check settles that without running ICU's
// normalizer. The tables are read from ICU's own character properties, so the two
// always agree. Thread-safe; the tables are built on first use.
#pragma once

#include <string>
#include <string_view>

namespace larkspur::nfc {

// Whether valid UTF-8 `text` is in NFC.
bool is_nfc(std::string_view text);
// Writes NFC(text) to `out`.
void to_nfc(std::string_view text, std::string& out);
// Whether c is a starter that nothing before it can combine with (a normalization
// boundary).
bool boundary_before(char32_t c);
// Builds the tables now, so that a missing ICU data file fails here and not at the
// first text.
void warm_up();

}  // namespace larkspur::nfc
