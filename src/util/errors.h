// Exception types thrown by the class layers, the errno-to-exception mapping,
// and the two reporters that main() uses to turn an escaping exception into
// the one "Fatal error: " line the panel reads.
#pragma once

#include <stdexcept>
#include <string>

namespace marun {

// A failed system call: message plus errno, rendered as "message: strerror".
class SystemError : public std::runtime_error {
  public:
    // A code of 0 takes the current errno.
    SystemError(const std::string& message, int code = 0);
    int code() const noexcept { return code_; }
    const char* what() const noexcept override;

  private:
    int code_;
    mutable std::string text_;
};

// One type per errno value that callers want to catch by type.
template <int N>
class ExSystemError : public SystemError {
  public:
    explicit ExSystemError(const std::string& message) : SystemError(message, N) {}
};

class NotSupportedError : public std::runtime_error {
  public:
    explicit NotSupportedError(const std::string& subject)
        : std::runtime_error(subject + " isn't supported") {}
};

// Throws ExSystemError<code> for EPERM, ENOENT, EINTR, EAGAIN, ECHILD and a
// plain SystemError for every other code.
[[noreturn]] void throwSystemError(const std::string& message, int code);

// The demangled, fully qualified name of the dynamic type of `e`.
std::string demangledTypeName(const std::exception& e);

// Writes "Fatal error: <type>(<what>)" and a newline to uerr, and flushes.
void reportException(const std::exception& e);

// Writes "UNSPECIFIED ERROR OCCURED" and a newline to uerr, and flushes.
void reportUntypedException();

}  // namespace marun
