// The program's error stream `uerr`: every character goes to standard error at
// once and is collected; at each flush the collected text is repeated on
// standard output, so the panel sees error lines in both streams.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>

namespace marun {

class UtilityErrorStreamBuf : public std::streambuf {
  public:
    ~UtilityErrorStreamBuf() override;

  protected:
    int_type overflow(int_type ch) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;
    int sync() override;

  private:
    std::string collected_;
};

class UtilityErrorStream : public std::ostream {
  public:
    UtilityErrorStream();

  private:
    UtilityErrorStreamBuf buf_;
};

extern UtilityErrorStream uerr;

}  // namespace marun
