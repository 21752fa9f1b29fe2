#include "common/report.hpp"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace larkspur {

namespace {

class StderrSink final : public LineSink {
   public:
    void write_line(std::string_view line) noexcept override {
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    }
};

}  // namespace

LineSink& stderr_sink() {
    static StderrSink sink;
    return sink;
}

void report(LineSink& sink, const char* fmt, ...) {
    char small[512];
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof small) {
        va_end(again);
        sink.write_line(std::string_view(small, static_cast<std::size_t>(n)));
        return;
    }
    // A line with a long path in it.
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), fmt, again);
    va_end(again);
    big.resize(static_cast<std::size_t>(n));
    sink.write_line(big);
}

}  // namespace larkspur
