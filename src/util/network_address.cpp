// Parsing and comparing mynetworks elements.
#include "util/network_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <boost/regex.hpp>
#include <cstring>

namespace marun {

namespace {

// The numeric form of `text` in `family`; false when inet_pton refuses it.
bool numeric(int family, const std::string& text, in6_addr* out) {
    std::memset(out, 0, sizeof *out);
    return inet_pton(family, text.c_str(), out) == 1;
}

unsigned prefixOf(const boost::smatch& match) {
    return match[2].matched && match[2].length() > 0 ? std::stoul(match[2].str()) : 0;
}

}  // namespace

NetworkAddress NetworkAddress::parse(const std::string& text) {
    static const boost::regex ipv4("(\\d{1,3}\\.\\d{1,3}\\.\\d{1,3}\\.\\d{1,3})(?:/(\\d{0,2}))?");
    static const boost::regex ipv6("\\[?([0-9a-fA-F:]+)\\]?(?:/(\\d{0,3}))?");
    NetworkAddress parsed;
    boost::smatch match;
    if (boost::regex_match(text, match, ipv4)) {
        parsed.kind = IPV4;
    } else if (boost::regex_match(text, match, ipv6)) {
        parsed.kind = IPV6;
    } else {
        parsed.address = text;
        return parsed;
    }
    parsed.address = match[1].str();
    parsed.prefix = prefixOf(match);
    return parsed;
}

bool NetworkAddress::sameAddress(const NetworkAddress& other) const {
    if (kind != other.kind) {
        return false;
    }
    if (address == other.address) {
        return true;
    }
    if (kind == NAME) {
        return false;
    }
    const int family = kind == IPV4 ? AF_INET : AF_INET6;
    in6_addr mine;
    in6_addr theirs;
    return numeric(family, address, &mine) && numeric(family, other.address, &theirs) &&
           std::memcmp(&mine, &theirs, sizeof mine) == 0;
}

bool isLoopbackAddress(const std::string& text) {
    if (text.compare(0, 4, "127.") == 0) {
        return true;
    }
    in6_addr address;
    if (!numeric(AF_INET6, text, &address)) {
        return false;
    }
    in6_addr mappedLoopback;
    numeric(AF_INET6, "::ffff:127.0.0.1", &mappedLoopback);
    return IN6_IS_ADDR_LOOPBACK(&address) || std::memcmp(&address, &mappedLoopback, 13) == 0;
}

}  // namespace marun
