#include "common/files.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>

#include "common/errors.hpp"

namespace larkspur::files {

LineReader::~LineReader() {
    if (fd_ >= 0) ::close(fd_);
}

int LineReader::open(const std::string& path, std::size_t buffer_size, std::uint64_t offset) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    if (offset != 0 && ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        const int err = errno;
        ::close(fd);
        return err;
    }
    fd_ = fd;
    offset_ = offset;
    buf_.resize(buffer_size ? buffer_size : 1);
    return 0;
}

LineReader::Status LineReader::next(std::string_view& line) {
    // Give back the memory of an exceptionally long line instead of keeping it for the
    // rest of the file.
    if (overflow_.capacity() > 4 * buf_.size()) {
        std::string().swap(overflow_);
    } else {
        overflow_.clear();
    }
    bool spilled = false;
    for (;;) {
        if (pos_ < end_) {
            const char* start = buf_.data() + pos_;
            auto* nl = static_cast<const char*>(std::memchr(start, '\n', end_ - pos_));
            if (nl) {
                std::size_t len = static_cast<std::size_t>(nl - start);
                if (spilled) {
                    overflow_.append(start, len);
                    line = overflow_;
                } else {
                    line = std::string_view(start, len);
                }
                pos_ += len + 1;
                offset_ += line.size() + 1;
                if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
                return Status::Line;
            }
        }
        if (eof_ || fd_ < 0) {
            if (spilled || pos_ < end_) {
                overflow_.append(buf_.data() + pos_, end_ - pos_);
                pos_ = end_ = 0;
                line = overflow_;
                offset_ += line.size();
                return Status::Line;
            }
            return Status::Eof;
        }
        // No line end in the buffer: keep the partial line and read more.
        if (spilled || (pos_ == 0 && end_ == buf_.size())) {
            overflow_.append(buf_.data() + pos_, end_ - pos_);
            spilled = true;
            pos_ = end_ = 0;
        } else if (pos_ > 0) {
            std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
            end_ -= pos_;
            pos_ = 0;
        }
        ssize_t n;
        do {
            n = ::read(fd_, buf_.data() + end_, buf_.size() - end_);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            error_ = errno;
            return Status::Error;
        }
        if (n == 0) {
            eof_ = true;
        } else {
            end_ += static_cast<std::size_t>(n);
        }
    }
}

FileWriter::~FileWriter() {
    if (fd_ >= 0) ::close(fd_);
}

int FileWriter::create(const std::string& path, std::size_t buffer_size) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    fd_ = fd;
    buf_.resize(buffer_size ? buffer_size : 1);
    used_ = 0;
    error_ = 0;
    return 0;
}

static int write_all(int fd, const char* p, std::size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (w == 0) return EIO;
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return 0;
}

void FileWriter::flush_buffer() {
    if (used_ == 0 || error_) return;
    error_ = write_all(fd_, buf_.data(), used_);
    used_ = 0;
}

void FileWriter::write(std::string_view data) {
    if (error_ || fd_ < 0) return;
    if (data.size() <= buf_.size() - used_) {
        std::memcpy(buf_.data() + used_, data.data(), data.size());
        used_ += data.size();
        return;
    }
    flush_buffer();
    if (error_) return;
    if (data.size() >= buf_.size()) {
        error_ = write_all(fd_, data.data(), data.size());
    } else {
        std::memcpy(buf_.data(), data.data(), data.size());
        used_ = data.size();
    }
}

int FileWriter::finish() {
    if (fd_ < 0) return error_;
    flush_buffer();
    if (::close(fd_) != 0 && !error_) error_ = errno;
    fd_ = -1;
    return error_;
}

ByteReader::~ByteReader() {
    if (fd_ >= 0) ::close(fd_);
}

int ByteReader::open(const std::string& path, std::size_t buffer_size) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    fd_ = fd;
    buf_.resize(buffer_size ? buffer_size : 1);
    base_ = 0;
    pos_ = end_ = 0;
    return 0;
}

void ByteReader::seek(std::uint64_t offset) {
    if (offset >= base_ && offset <= base_ + end_) {
        pos_ = static_cast<std::size_t>(offset - base_);
        return;
    }
    base_ = offset;
    pos_ = end_ = 0;
}

bool ByteReader::fill() {
    if (error_ || fd_ < 0) return false;
    base_ += end_;
    pos_ = end_ = 0;
    for (;;) {
        const ssize_t n = ::pread(fd_, buf_.data(), buf_.size(), static_cast<off_t>(base_));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error_ = errno;
            return false;
        }
        end_ = static_cast<std::size_t>(n);
        return n > 0;
    }
}

bool ByteReader::read(std::size_t n, std::string& out) {
    while (n > 0) {
        if (pos_ == end_ && !fill()) return false;
        const std::size_t take = std::min(n, end_ - pos_);
        out.append(buf_.data() + pos_, take);
        pos_ += take;
        n -= take;
    }
    return true;
}

TempDir::TempDir(const std::string& parent, const std::string& prefix) {
    std::string pattern = join(parent.empty() ? "." : parent, prefix + "XXXXXX");
    if (!::mkdtemp(pattern.data())) throw_os(parent, errno);
    path_ = pattern;
}

TempDir::~TempDir() { remove_tree(path_); }

std::string TempDir::file(const std::string& stem) { return join(path_, stem + "-" + std::to_string(next_++)); }

int write_replacing(const std::string& path, const std::function<void(FileWriter&)>& fill) {
    const std::string tmp = path + ".tmp-" + std::to_string(::getpid());
    int err = 0;
    {
        FileWriter w;
        if ((err = w.create(tmp, 1 << 20)) != 0) return err;
        try {
            fill(w);
        } catch (...) {
            w.finish();
            ::unlink(tmp.c_str());
            throw;
        }
        err = w.finish();
    }
    if (err == 0 && ::rename(tmp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) ::unlink(tmp.c_str());
    return err;
}

int write_lines(const std::string& path, const std::vector<std::string>& lines) {
    FileWriter w;
    if (int err = w.create(path, 1 << 20)) return err;
    for (const auto& l : lines) {
        w.write(l);
        w.put('\n');
    }
    return w.finish();
}

int read_file(const std::string& path, std::string& out) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    out.clear();
    char buf[8192];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            int err = errno;
            ::close(fd);
            return err;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return 0;
}

bool is_dir(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

int exchange(const std::string& a, const std::string& b) {
    // Through syscall(2): the C library's renameat2 wrapper came with glibc 2.28, newer than
    // the oldest C library the published wheel supports. The kernel's flag value is fixed.
#ifdef SYS_renameat2
    constexpr unsigned kRenameExchange = 1u << 1;
    if (::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), kRenameExchange) == 0) return 0;
    return errno;
#else
    (void)a;
    (void)b;
    return ENOSYS;
#endif
}

int make_dirs(const std::string& path) {
    if (path.empty()) return 0;
    // Try the directory itself first, so that a parent which is not a directory reports
    // ENOTDIR rather than EEXIST; climb to the parent only when it is missing.
    if (::mkdir(path.c_str(), 0777) == 0) return 0;
    int err = errno;
    if (err != ENOENT) return is_dir(path) ? 0 : err;
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return err;
    if (slash > 0) {
        if (int perr = make_dirs(path.substr(0, slash))) return perr;
    }
    if (::mkdir(path.c_str(), 0777) == 0) return 0;
    err = errno;
    return is_dir(path) ? 0 : err;
}

static int remove_tree_at(int parent_fd, const char* name) {
    int fd = ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return errno;
    DIR* d = ::fdopendir(fd);
    if (!d) {
        int err = errno;
        ::close(fd);
        return err;
    }
    int result = 0;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        struct stat st;
        if (::fstatat(fd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            result = errno;
            break;
        }
        if (S_ISDIR(st.st_mode)) {
            if (int err = remove_tree_at(fd, e->d_name)) {
                result = err;
                break;
            }
        } else if (::unlinkat(fd, e->d_name, 0) != 0) {
            result = errno;
            break;
        }
    }
    ::closedir(d);
    if (result) return result;
    if (::unlinkat(parent_fd, name, AT_REMOVEDIR) != 0) return errno;
    return 0;
}

int remove_tree(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return errno;
    if (S_ISLNK(st.st_mode)) return ::unlink(path.c_str()) == 0 ? 0 : errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    return remove_tree_at(AT_FDCWD, path.c_str());
}

int list_dir(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    DIR* d = ::opendir(path.c_str());
    if (!d) return errno;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    ::closedir(d);
    return 0;
}

std::string join(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (!name.empty() && name.front() == '/') return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

}  // namespace larkspur::files
