// Errors of the Postfix layer: a Postfix tool failed (configuration) or a
// lookup table could not be read or written (database).
#pragma once

#include <stdexcept>
#include <string>

namespace marun {
namespace mail {
namespace postfix {

class PostfixError : public std::runtime_error {
  public:
    explicit PostfixError(const std::string& message) : std::runtime_error(message) {}
};

class PostfixDatabaseError : public PostfixError {
  public:
    explicit PostfixDatabaseError(const std::string& message) : PostfixError(message) {}
};

class PostfixConfigurationError : public PostfixError {
  public:
    explicit PostfixConfigurationError(const std::string& message) : PostfixError(message) {}
};

}  // namespace postfix
}  // namespace mail
}  // namespace marun
