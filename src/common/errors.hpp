// Typed failures of the core. The core throws `Error` with a kind and the finished message;
// the binding layer alone turns kinds into Python exception types. Nothing in the core
// aborts: internal faults are thrown as Runtime errors like everything else.
#pragma once

#include <stdexcept>
#include <string>

namespace larkspur {

enum class ErrorKind { Value, Runtime, Io, FileNotFound, Type };

class Error : public std::runtime_error {
   public:
    Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    // An operating-system failure: `errnum` lets a binding raise the precise error type
    // (no such file, is a directory, no space left) with the number attached.
    Error(ErrorKind kind, const std::string& message, int errnum, std::string path)
        : std::runtime_error(message), kind_(kind), errnum_(errnum), path_(std::move(path)) {}
    ErrorKind kind() const { return kind_; }
    int errnum() const { return errnum_; }
    const std::string& path() const { return path_; }

   private:
    ErrorKind kind_;
    int errnum_ = 0;
    std::string path_;
};

// Thrown when a long call's caller asked it to stop (Ctrl-C): every worker has stopped and
// the caller's own error (a pending KeyboardInterrupt) stands.
struct Interrupted : std::exception {
    const char* what() const noexcept override { return "interrupted"; }
};

// For calls that are never asked to stop.
inline bool never_interrupted() { return false; }

// The exception each kind stands for in Python, by its builtin name. Both bindings map
// core errors through this one table, so that a kind means the same exception in each.
// An Io error that carries an errno becomes the OSError subclass for that number.
struct ErrorKindName {
    ErrorKind kind;
    const char* python_name;
};
inline constexpr ErrorKindName kErrorKindNames[] = {
    {ErrorKind::Value, "ValueError"}, {ErrorKind::Runtime, "RuntimeError"}, {ErrorKind::Io, "OSError"},
    {ErrorKind::FileNotFound, "FileNotFoundError"}, {ErrorKind::Type, "TypeError"},
};
inline const char* python_name(ErrorKind kind) {
    for (const ErrorKindName& k : kErrorKindNames) {
        if (k.kind == kind) return k.python_name;
    }
    return "RuntimeError";
}

[[noreturn]] inline void throw_value(const std::string& msg) { throw Error(ErrorKind::Value, msg); }
[[noreturn]] inline void throw_runtime(const std::string& msg) {
    throw Error(ErrorKind::Runtime, msg);
}
[[noreturn]] inline void throw_io(const std::string& msg) { throw Error(ErrorKind::Io, msg); }
// IOError "{path}: {os error text}" carrying the errno and the path.
[[noreturn]] void throw_os(const std::string& path, int errnum);

// An operating-system error as users see it: the system's description, then
// " (os error N)".
std::string os_error_text(int errnum);

// The decoder's description of a line that is not valid UTF-8; it stands where an
// operating-system error text would.
inline constexpr const char* kInvalidUtf8Text = "stream did not contain valid UTF-8";

}  // namespace larkspur
