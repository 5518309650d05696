// Domain names and mail addresses in their ASCII (IDNA) form for the class
// layers; failures are thrown as IdnaError.
#pragma once

#include <exception>
#include <string>

namespace marun {
namespace idn {

// A failed conversion, with libidn's result code; what() is its text.
class IdnaError : public std::exception {
  public:
    explicit IdnaError(int code) : code_(code) {}
    int code() const noexcept { return code_; }
    const char* what() const noexcept override;

  private:
    int code_;
};

// The ASCII form of a domain name; an ASCII name is returned unchanged.
std::string toAscii(const std::string& name);
// The Unicode (UTF-8) form of a domain name.
std::string toUtf8(const std::string& name);
// The address with its domain part (after the first "@") in ASCII form; an
// address without "@" is returned unchanged.
std::string emailToAscii(const std::string& address);

}  // namespace idn
}  // namespace marun
