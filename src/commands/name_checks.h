// Checks of the domain names and mail names a command receives, made before
// anything changes: a name that would corrupt a lookup table's text form
// (white space, control characters, bytes that are not UTF-8, which postmap
// would skip) or reach outside the mail tree ("/", "..") is refused with a
// clear error.
#pragma once

#include <string>

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

// Throw std::invalid_argument naming what is wrong, e.g.
// "invalid domain name 'a b': it contains white space".
void checkDomainName(const std::string& domain);
void checkMailName(const std::string& mailname);

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
