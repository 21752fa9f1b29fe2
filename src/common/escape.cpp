#include "common/escape.hpp"

namespace larkspur {

std::string escape_field(std::string_view s, EscapeCr cr) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                if (cr == EscapeCr::Yes) {
                    out += "\\r";
                    break;
                }
                [[fallthrough]];
            default:
                out += c;
        }
    }
    return out;
}

std::string unescape_field(std::string_view s, EscapeCr cr) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        const char n = s[++i];
        if (n == '\\') {
            out += '\\';
        } else if (n == 't') {
            out += '\t';
        } else if (n == 'n') {
            out += '\n';
        } else if (n == 'r' && cr == EscapeCr::Yes) {
            out += '\r';
        } else {
            out += '\\';
            out += n;
        }
    }
    return out;
}

}  // namespace larkspur
