// Escaping of text fields in line-based files: backslash, TAB and LF (and, where the file
// asks for it, CR) become a backslash and one letter. Reading reverses that; a backslash
// before any other character, and a trailing one, are kept as they are, so every text
// comes back unchanged from escape then unescape.
#pragma once

#include <string>
#include <string_view>

namespace larkspur {

enum class EscapeCr : bool { No = false, Yes = true };

std::string escape_field(std::string_view s, EscapeCr cr);
std::string unescape_field(std::string_view s, EscapeCr cr);

}  // namespace larkspur
