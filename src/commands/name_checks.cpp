// Domain and mail name checks for the command handlers.
#include "commands/name_checks.h"

#include <stdexcept>

#include "mail/lib/mail_tree_name.h"
#include "util/idn.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

namespace {

// What is wrong with `name`, or null when nothing is: the rules of a level
// of the mail tree, and no comma (it would split a table value or a main.cf
// list).
const char* problemWith(const std::string& name) {
    if (const char* problem = mail_tree_name_error(name.data(), name.size())) {
        return problem;
    }
    return name.find(',') != std::string::npos ? "it contains ','" : nullptr;
}

void check(const char* what, const std::string& name) {
    if (const char* problem = problemWith(name)) {
        throw std::invalid_argument(std::string("invalid ") + what + " '" + name + "': " + problem);
    }
}

// A local part without a domain: a mail name or a mail alias.
void checkLocalName(const char* what, const std::string& name) {
    check(what, name);
    if (name.find('@') != std::string::npos) {
        throw std::invalid_argument(std::string("invalid ") + what + " '" + name +
                                    "': it contains '@'");
    }
}

}  // namespace

void checkDomainName(const std::string& domain) {
    check("domain name", domain);
}
void checkMailName(const std::string& mailname) {
    checkLocalName("mail name", mailname);
}
void checkMailAlias(const std::string& alias) {
    checkLocalName("mail alias", alias);
}

std::string asciiDomainName(const std::string& given) {
    checkDomainName(given);
    std::string domain = idn::toAscii(given);
    checkDomainName(domain);
    return domain;
}

std::string asciiAddress(const std::string& given) {
    std::string::size_type at = given.find('@');
    if (at == std::string::npos || given.find('@', at + 1) != std::string::npos) {
        throw std::invalid_argument("invalid address '" + given +
                                    "': it must hold exactly one '@'");
    }
    std::string local = given.substr(0, at);
    if (local.empty() || local[0] == '|' || local[0] == '&' || local[0] == '.') {
        throw std::invalid_argument("invalid address '" + given +
                                    "': its local part is empty or starts with '|', '&' or '.'");
    }
    if (const char* problem = problemWith(local)) {
        throw std::invalid_argument("invalid address '" + given + "': " + problem);
    }
    return local + "@" + asciiDomainName(given.substr(at + 1));
}

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
