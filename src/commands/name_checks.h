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
// "invalid domain name 'a b': it contains white space". Commas are refused
// too (they would split a table value or a main.cf list), and "@" in a mail
// name.
void checkDomainName(const std::string& domain);
void checkMailName(const std::string& mailname);
// A mail alias is a further local name of a mailbox: the mail name rules.
void checkMailAlias(const std::string& alias);

// The one way a command turns a domain name it was given into the ASCII form
// that reaches tables, files and databases: the name is checked as given
// (so "a..b" is reported as such), converted, and checked again, since IDNA
// maps some characters that pass as given onto "/", "." or " ". Throws
// std::invalid_argument or idn::IdnaError.
std::string asciiDomainName(const std::string& given);

// The same for one mail address: exactly one "@", a local part that passes
// the name checks and does not start with "|", "&" or "." (it could become a
// program or file line of a delivery file), and a domain through
// asciiDomainName.
std::string asciiAddress(const std::string& given);

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
