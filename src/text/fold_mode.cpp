#include "text/fold_mode.hpp"

#include <string>

#include "common/utf8.hpp"

namespace larkspur {

std::optional<FoldMode> fold_mode_from_tag(std::string_view tag) {
    // Trim by code points, since the white space set reaches beyond ASCII.
    std::size_t begin = 0, end = tag.size();
    while (begin < end) {
        std::size_t i = begin;
        if (!utf8::is_white_space(utf8::next(tag, i))) break;
        begin = i;
    }
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(tag[start]) & 0xC0) == 0x80) --start;
        std::size_t i = start;
        if (!utf8::is_white_space(utf8::next(tag, i))) break;
        end = start;
    }
    if (begin == end) return std::nullopt;
    std::string upper(tag.substr(begin, end - begin));
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    if (upper == "LM") return FoldMode::LM;
    if (upper == "OCR") return FoldMode::OCR;
    return std::nullopt;
}

}  // namespace larkspur
