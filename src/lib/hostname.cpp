// Host name lookup: gethostname/getdomainname, then /etc/HOSTNAME and
// /etc/hostname as the last resort.
#include "lib/hostname.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "lib/log.h"

namespace {

// The first line of `path`, trimmed; empty when unreadable.
std::string firstLine(const char* path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return "";
    }
    const char* blanks = " \t\r\n\v\f";
    size_t begin = line.find_first_not_of(blanks);
    if (begin == std::string::npos) {
        return "";
    }
    size_t end = line.find_last_not_of(blanks);
    return line.substr(begin, end - begin + 1);
}

}  // namespace

int get_hostname_fqdn(char* buffer, size_t size) {
    char host[64] = {0};
    char domain[64] = {0};
    if (gethostname(host, sizeof host) != 0 || getdomainname(domain, sizeof domain) != 0) {
        marun_log(3, "Unable to get hostname or domainname: %s", std::strerror(errno));
        return -1;
    }
    host[sizeof host - 1] = '\0';
    domain[sizeof domain - 1] = '\0';
    if (std::strchr(host, '.') != nullptr) {
        if (std::strlen(host) + 1 > size) {
            marun_log(3, "Buffer too short for hostname");
            return -1;
        }
        std::strcpy(buffer, host);
        return 0;
    }
    // An unset NIS domain reads as "(none)" on Linux.
    if (domain[0] != '\0' && std::strcmp(domain, "(none)") != 0) {
        int n = std::snprintf(buffer, size, "%s.%s", host, domain);
        if (n < 0 || static_cast<size_t>(n) >= size) {
            marun_log(3, "Buffer too short for compose FQDN hostname");
            return -1;
        }
        return 0;
    }
    for (const char* path : {"/etc/HOSTNAME", "/etc/hostname"}) {
        std::string name = firstLine(path);
        if (name.empty()) {
            continue;
        }
        if (name.find('.') != std::string::npos && name.size() + 1 <= size) {
            std::strcpy(buffer, name.c_str());
            return 0;
        }
        break;
    }
    marun_log(3,
              "Unable to detect the FQDN of the host.\nPlease make sure that the host name is "
              "correctly specified in /etc/hosts and goes right after the host's IP "
              "address.\nDepending on your OS, you might need to set the host name in "
              "/etc/HOSTNAME or /etc/hostname.");
    return -1;
}
