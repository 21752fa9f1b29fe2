// The fold mode: LM (language modelling) or OCR (recognised text). It is fixed when a
// tokenizer is built, and a vocabulary or checkpoint of one mode is refused under the
// other, because the same ids stand for differently normalized text.
#pragma once

#include <optional>
#include <string_view>

namespace larkspur {

enum class FoldMode : unsigned char { LM = 0, OCR = 1 };

// Parses a mode tag: Unicode white space trimmed from both ends, ASCII letters
// upper-cased, then "LM" or "OCR". Anything else gives nullopt.
std::optional<FoldMode> fold_mode_from_tag(std::string_view tag);
// The same, or a Value error "mode must be 'LM' or 'OCR', not '<tag>'".
FoldMode parse_fold_mode(std::string_view tag);

inline const char* fold_mode_name(FoldMode m) { return m == FoldMode::LM ? "LM" : "OCR"; }

}  // namespace larkspur
