// Domain and mail name checks for the command handlers.
#include "commands/name_checks.h"

#include <stdexcept>

#include "lib/utf8.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

namespace {

// What is wrong with `name`, or null when nothing is.
const char* problemWith(const std::string& name) {
    if (name.empty()) {
        return "it is empty";
    }
    for (char c : name) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
            return "it contains white space";
        }
        if (u < 0x20 || u == 0x7f) {
            return "it contains a control character";
        }
        if (c == '/') {
            return "it contains '/'";
        }
    }
    if (!utf8_valid(name)) {
        return "it is not valid UTF-8";
    }
    if (name.find("..") != std::string::npos) {
        return "it contains '..'";
    }
    if (name[0] == '.') {
        return "it starts with '.'";
    }
    return nullptr;
}

void check(const char* what, const std::string& name) {
    if (const char* problem = problemWith(name)) {
        throw std::invalid_argument(std::string("invalid ") + what + " '" + name + "': " + problem);
    }
}

}  // namespace

void checkDomainName(const std::string& domain) {
    check("domain name", domain);
}
void checkMailName(const std::string& mailname) {
    check("mail name", mailname);
}

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
