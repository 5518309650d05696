// ".qmail" operations of one home: library calls turned into exceptions.
#include "mail/dotqmail_manager.h"

#include <cerrno>

#include "mail/lib/dotqmail.h"
#include "util/errors.h"

namespace marun {
namespace mail {

DotQMailManager::DotQMailManager(const boost::filesystem::path& home)
    : path_((home / ".qmail").string()) {}

int DotQMailManager::check(int result) const {
    if (result != 0) {
        throw SystemError("unable to modify " + path_, errno);
    }
    return 0;
}

int DotQMailManager::reset() {
    return check(dotqmail_reset(path_.c_str()));
}

int DotQMailManager::enableDelivery() {
    return check(dotqmail_add_delivery(path_.c_str()));
}

int DotQMailManager::disableDelivery() {
    return check(dotqmail_remove_delivery(path_.c_str()));
}

int DotQMailManager::addRedirect(const std::string& address, Position) {
    if (address.find('\0') != std::string::npos) {
        throw SystemError("unable to modify " + path_, EINVAL);
    }
    return check(dotqmail_add_forward(path_.c_str(), address.c_str()));
}

int DotQMailManager::removeRedirect(const std::string& address) {
    if (address.find('\0') != std::string::npos) {
        throw SystemError("unable to modify " + path_, EINVAL);
    }
    return check(dotqmail_remove_forward(path_.c_str(), address.c_str()));
}

}  // namespace mail
}  // namespace marun
