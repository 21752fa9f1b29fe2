// Buffered POSIX file input and output, and the few directory operations the system
// needs. Errors are reported as errno values; callers turn them into their own messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/utf8.hpp"

namespace larkspur::files {

// Reads a file line by line through a fixed buffer. A line ends at LF; the LF, and a CR
// right before it, are not part of the line. A final line without LF is returned as is.
class LineReader {
   public:
    enum class Status { Line, Eof, Error };

    LineReader() = default;
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    ~LineReader();

    // Returns 0 or the errno of open(2) (or of the seek to `offset`).
    int open(const std::string& path, std::size_t buffer_size, std::uint64_t offset = 0);
    // File offset just past the last line returned (its line feed included).
    std::uint64_t offset() const { return offset_; }
    // On Status::Line, `line` stays valid until the next call.
    Status next(std::string_view& line);
    int error() const { return error_; }

   private:
    int fd_ = -1;
    std::vector<char> buf_;
    std::size_t pos_ = 0, end_ = 0;
    std::string overflow_;
    int error_ = 0;
    bool eof_ = false;
    std::uint64_t offset_ = 0;
};

// How a loop over the lines of a reader ended.
struct LinesEnd {
    enum class Kind { Eof, ReadError, InvalidUtf8 } kind = Kind::Eof;
    int error = 0;  // errno of a read error
};
enum class OnInvalidUtf8 { Skip, Stop };

// Calls f(line) for every line of `reader` that is valid UTF-8. A line that is not is
// skipped or ends the loop, as asked; a read error ends it.
template <class F>
LinesEnd for_each_line(LineReader& reader, OnInvalidUtf8 invalid, F&& f) {
    std::string_view line;
    for (;;) {
        switch (reader.next(line)) {
            case LineReader::Status::Eof:
                return {};
            case LineReader::Status::Error:
                return {LinesEnd::Kind::ReadError, reader.error()};
            case LineReader::Status::Line:
                break;
        }
        if (!utf8::is_valid(line)) {
            if (invalid == OnInvalidUtf8::Stop) return {LinesEnd::Kind::InvalidUtf8, 0};
            continue;
        }
        f(line);
    }
}

// Writes a file through a fixed buffer. The first error sticks and later writes do nothing.
class FileWriter {
   public:
    FileWriter() = default;
    FileWriter(const FileWriter&) = delete;
    FileWriter& operator=(const FileWriter&) = delete;
    ~FileWriter();

    // Creates or truncates the file (mode 0666 before the umask). Returns 0 or errno.
    int create(const std::string& path, std::size_t buffer_size);
    void write(std::string_view data);
    void put(char c) {
        if (used_ < buf_.size()) {
            buf_[used_++] = c;
        } else {
            write(std::string_view(&c, 1));
        }
    }
    // Flushes and closes; returns the first error of the whole life of the writer, or 0.
    int finish();
    int error() const { return error_; }

   private:
    void flush_buffer();
    int fd_ = -1;
    std::vector<char> buf_;
    std::size_t used_ = 0;
    int error_ = 0;
};

// Writes `path` whole or not at all: `fill` writes the content to a temporary file beside
// it, which is then renamed into place, so that a reader never sees half a file and a
// failed write leaves the old file (or none) and no temporary behind. Returns 0 or the
// errno of the first failure. An exception from `fill` removes the temporary too.
int write_replacing(const std::string& path, const std::function<void(FileWriter&)>& fill);

// Writes each line followed by LF through a 1 MiB buffer. Returns 0 or errno.
int write_lines(const std::string& path, const std::vector<std::string>& lines);

// Reads a whole file. Returns 0 or errno.
int read_file(const std::string& path, std::string& out);

// Reads a file's bytes through a fixed buffer from any offset (pread: several readers may
// share nothing and one file).
class ByteReader {
   public:
    ByteReader() = default;
    ByteReader(const ByteReader&) = delete;
    ByteReader& operator=(const ByteReader&) = delete;
    ~ByteReader();
    // Returns 0 or errno.
    int open(const std::string& path, std::size_t buffer_size);
    // Moves to `offset` (the next byte read).
    void seek(std::uint64_t offset);
    std::uint64_t offset() const { return base_ + pos_; }
    // The next byte, or -1 at the end of the file or on an error (error() then says which).
    int get() {
        if (pos_ == end_ && !fill()) return -1;
        return static_cast<unsigned char>(buf_[pos_++]);
    }
    // Appends n bytes to out; false when the file ends first or on an error.
    bool read(std::size_t n, std::string& out);
    int error() const { return error_; }

   private:
    bool fill();
    int fd_ = -1;
    std::vector<char> buf_;
    std::uint64_t base_ = 0;  // file offset of buf_[0]
    std::size_t pos_ = 0, end_ = 0;
    int error_ = 0;
};

// A directory of temporary files, made under `parent` with a unique name and removed
// with everything in it when the object goes (on success, errors and interrupts alike).
class TempDir {
   public:
    // Throws IOError naming `parent` when the directory cannot be made.
    explicit TempDir(const std::string& parent, const std::string& prefix);
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    ~TempDir();
    const std::string& path() const { return path_; }
    // A new file name inside it.
    std::string file(const std::string& stem);

   private:
    std::string path_;
    std::size_t next_ = 0;
};

bool is_dir(const std::string& path);  // follows symbolic links
bool exists(const std::string& path);  // follows symbolic links
int make_dirs(const std::string& path);  // mkdir -p, mode 0777; 0 or errno
int remove_tree(const std::string& path);  // 0 or errno; ENOTDIR for a non-directory
// Swaps two existing paths in one step (renameat2's RENAME_EXCHANGE); 0 or errno, EINVAL or
// ENOSYS where the file system or the kernel cannot.
int exchange(const std::string& a, const std::string& b);
// Entry names of a directory (without . and ..); returns 0 or errno.
int list_dir(const std::string& path, std::vector<std::string>& names);
std::string join(const std::string& dir, const std::string& name);

}  // namespace larkspur::files
