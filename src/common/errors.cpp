#include "common/errors.hpp"

#include <cstring>

namespace larkspur {

std::string os_error_text(int errnum) {
    char buf[256];
    // GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(errnum, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

void throw_os(const std::string& path, int errnum) {
    throw Error(ErrorKind::Io, path + ": " + os_error_text(errnum), errnum, path);
}

}  // namespace larkspur
