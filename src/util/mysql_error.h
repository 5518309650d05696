// mError: a failure talking to the panel's MySQL database.
#pragma once

#include <mysql.h>

#include <exception>
#include <string>

namespace marun {
namespace mysql {

class mError : public std::exception {
  public:
    explicit mError(const std::string& message) : message_(message) {}
    // "MySQL error N: <client text><context>", or "Unknown error\n<context>"
    // when the connection holds no error.
    mError(MYSQL* connection, const std::string& context);
    const char* what() const noexcept override { return message_.c_str(); }

  private:
    std::string message_;
};

}  // namespace mysql
}  // namespace marun
