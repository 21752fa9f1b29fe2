// Integers in text files: unsigned decimal, an optional single "+", nothing else; and
// comma-separated lists of them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace larkspur {

// false on anything but an optional "+" and one or more digits, or on overflow.
bool parse_u64(std::string_view s, std::uint64_t& out);

// The items of a comma list that read as unsigned integers, in order; others are dropped.
template <class Id>
void split_u64_list(std::string_view s, std::vector<Id>& out) {
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = s.find(',', from);
        std::uint64_t v;
        if (parse_u64(s.substr(from, comma == std::string_view::npos ? std::string_view::npos : comma - from), v)) {
            out.push_back(static_cast<Id>(v));
        }
        if (comma == std::string_view::npos) return;
        from = comma + 1;
    }
}

// Appends the numbers joined by ",".
template <class Seq>
void append_u64_list(std::string& out, const Seq& ids) {
    bool first = true;
    for (auto id : ids) {
        if (!first) out += ',';
        first = false;
        out += std::to_string(id);
    }
}

}  // namespace larkspur
