// Network addresses as they stand in Postfix's "mynetworks": an IPv4 network
// ("192.0.2.0/24"), an IPv6 network ("[2001:db8::]/32") or anything else
// (a lookup table such as "hash:/var/spool/postfix/marun/poplock"), and
// whether two of them denote the same address whatever their prefix lengths.
#pragma once

#include <string>

namespace marun {

struct NetworkAddress {
    enum Kind { IPV4, IPV6, NAME };

    // Whole-text forms: four groups of 1 to 3 digits, optionally "/" and 0
    // to 2 digits, is IPv4; else an optional "[", hexadecimal digits and
    // ":", an optional "]", optionally "/" and 0 to 3 digits, is IPv6; else
    // the text is a name. `address` is the dotted or hexadecimal part as
    // written (the whole text for a name); `prefix` the digits (0 without).
    static NetworkAddress parse(const std::string& text);

    // Same kind, and equal address texts or (for IPv4 and IPv6) the same
    // numeric address by inet_pton. Prefix lengths are not compared.
    bool sameAddress(const NetworkAddress& other) const;

    Kind kind = NAME;
    std::string address;
    unsigned prefix = 0;
};

// True for a text beginning with "127.", and for one that inet_pton reads as
// the IPv6 loopback ::1 or as an IPv4-mapped address in 127.0.0.0/8.
bool isLoopbackAddress(const std::string& text);

}  // namespace marun
