#include "text/fold_mode.hpp"

#include <string>

#include "common/errors.hpp"
#include "common/utf8.hpp"

namespace larkspur {

std::optional<FoldMode> fold_mode_from_tag(std::string_view tag) {
    tag = utf8::trim_white_space(tag);
    if (tag.empty()) return std::nullopt;
    std::string upper(tag);
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (upper == "LM") return FoldMode::LM;
    if (upper == "OCR") return FoldMode::OCR;
    return std::nullopt;
}

FoldMode parse_fold_mode(std::string_view tag) {
    if (auto m = fold_mode_from_tag(tag)) return *m;
    throw Error(ErrorKind::Value, "mode must be 'LM' or 'OCR', not '" + std::string(tag) + "'");
}

}  // namespace larkspur
