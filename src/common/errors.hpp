// Typed failures of the core. The core throws `Error` with a kind and the finished message;
// the binding layer alone turns kinds into Python exception types. Nothing in the core
// aborts: internal faults are thrown as Runtime errors like everything else.
#pragma once

#include <stdexcept>
#include <string>

namespace larkspur {

enum class ErrorKind { Value, Runtime, Io, FileNotFound };

class Error : public std::runtime_error {
   public:
    Error(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
    ErrorKind kind() const { return kind_; }

   private:
    ErrorKind kind_;
};

[[noreturn]] inline void throw_value(const std::string& msg) { throw Error(ErrorKind::Value, msg); }
[[noreturn]] inline void throw_runtime(const std::string& msg) {
    throw Error(ErrorKind::Runtime, msg);
}
[[noreturn]] inline void throw_io(const std::string& msg) { throw Error(ErrorKind::Io, msg); }

// An operating-system error as users see it: the system's description, then
// " (os error N)".
std::string os_error_text(int errnum);

// The decoder's description of a line that is not valid UTF-8; it stands where an
// operating-system error text would.
inline constexpr const char* kInvalidUtf8Text = "stream did not contain valid UTF-8";

}  // namespace larkspur
