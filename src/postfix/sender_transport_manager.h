// SenderTransportManager: outgoing addresses per domain. Each address (an
// IPv4 address, an IPv6 address, or a pair) has one SMTP client service in
// master.cf bound to it, and "sdd_transport_maps" maps "@domain" to the
// service of the domain's address.
#pragma once

#include <string>

#include "postfix/module_info.h"

namespace marun {
namespace mail {
namespace postfix {

extern const char* const
    SENDER_TRANSPORT_TABLE;  // hash:/var/spool/postfix/marun/sdd_transport_maps

class SenderTransportManager {
  public:
    // The service entry of an address pair (either may be empty):
    // "<ip4>-<ip6> unix - n n - - smtp -o smtp_bind_address=<ip4>
    //  -o smtp_bind_address6=<ip6> -o smtp_address_preference=<any|ipv4|ipv6>",
    // with the colons of the name turned into dashes.
    struct SenderTransport : ModuleInfo {
        SenderTransport(const std::string& ip4, const std::string& ip6);
    };

    // "<ip4>-<ip6>" with every ":" replaced by "-".
    static std::string transportName(const std::string& ip4, const std::string& ip6);

    // Maps the domain (ASCII form) to the transport, replacing its record.
    static void addDomainToTransport(const std::string& domain, const std::string& ip4,
                                     const std::string& ip6);

    // Removes from master.cf (and the disabled file) every unix service of
    // the address: the one of the address alone and each pair holding it.
    // Table records that name them stay.
    static void removeTransport(const std::string& ip);
};

}  // namespace postfix
}  // namespace mail
}  // namespace marun
