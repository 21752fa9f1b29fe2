// Progress and warning lines. The core formats each line and hands it, whole and ending
// in a line feed, to a sink; it never writes to a stream itself. The default sink writes
// to the process's standard error; a binding may route the lines elsewhere (the exact
// module sends them through the interpreter's sys.stderr, so that notebooks see them).
#pragma once

#include <cstddef>
#include <string_view>

namespace larkspur {

class LineSink {
   public:
    virtual ~LineSink() = default;
    // One complete line, line feed included. May be called without the interpreter lock;
    // must not throw.
    virtual void write_line(std::string_view line) noexcept = 0;
    // Told the vocabulary size at every periodic training progress line, for sinks that
    // drive a progress bar rather than print lines.
    virtual void vocab_progress(std::size_t vocab_size) noexcept { (void)vocab_size; }
};

// Writes each line to file descriptor 2 at once (nothing is buffered across lines).
LineSink& stderr_sink();

// Formats printf-style into one line and hands it to the sink.
void report(LineSink& sink, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace larkspur
