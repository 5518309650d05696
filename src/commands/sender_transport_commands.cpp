// Sender transport commands. Addresses are checked and written in their
// canonical form (inet_ntop of inet_pton) before anything changes: a blank,
// comma, "#" or line feed can never reach a master.cf entry or a table
// record, an upper-case IPv6 digit can never make master.cf unreadable, and
// one address has one service name however it was spelled.
#include "commands/sender_transport_commands.h"

#include <arpa/inet.h>

#include <stdexcept>
#include <string>

#include "commands/name_checks.h"
#include "commands/program_options_helper.h"
#include "postfix/database_helper.h"
#include "postfix/module_manager.h"
#include "postfix/sender_transport_manager.h"
#include "postfix/service_manager.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

namespace {

// The address in canonical form, tried in `families` order (AF_INET6 and
// AF_INET); std::invalid_argument naming the option otherwise.
std::string canonicalAddress(const char* option, const std::string& text,
                             std::initializer_list<int> families) {
    for (int family : families) {
        unsigned char binary[sizeof(struct in6_addr)];
        char canonical[INET6_ADDRSTRLEN];
        if (::inet_pton(family, text.c_str(), binary) == 1 &&
            ::inet_ntop(family, binary, canonical, sizeof canonical) != nullptr) {
            return canonical;
        }
    }
    throw std::invalid_argument(std::string("invalid --") + option + " \"" + text +
                                "\": not an IP address of the expected family");
}

std::string optionalText(const ProgramOptionsHelper& options, const char* name) {
    return options.has(name) ? options.get<std::string>(name) : std::string();
}

std::string asciiDomainOption(const ProgramOptionsHelper& options) {
    return asciiDomainName(options.get<std::string>("domain-name"));
}

}  // namespace

int addDomainToIpTransport(int argc, char** argv) {
    ProgramOptionsHelper options("add sender transport for domain",
                                 "--add-domain-to-sender-transport --domain-name=<domain> "
                                 "[--ip4-addr=<ip_address>] [--ip6-addr=<ip_address>]");
    options.add_options()("domain-name", po::value<std::string>(), "domain name", true)(
        "ip4-addr", po::value<std::string>(), "ipv4 address")("ip6-addr", po::value<std::string>(),
                                                              "ipv6 address");
    standardOptionsParse(options, argc, argv);
    std::string ip4 = optionalText(options, "ip4-addr");
    std::string ip6 = optionalText(options, "ip6-addr");
    if (ip4.empty() && ip6.empty()) {
        throw MissingMandatoryOption("ip4-addr or ip6-addr");
    }
    const std::string domain = asciiDomainOption(options);
    if (!ip4.empty()) {
        ip4 = canonicalAddress("ip4-addr", ip4, {AF_INET});
    }
    if (!ip6.empty()) {
        ip6 = canonicalAddress("ip6-addr", ip6, {AF_INET6});
    }

    ModuleManager& modules = ModuleManager::getInstance();
    modules.loadModules(false);
    modules.addModule(SenderTransportManager::SenderTransport(ip4, ip6), true);
    modules.storeModules(false);
    SenderTransportManager::addDomainToTransport(domain, ip4, ip6);
    ServiceManager::restartServer();
    return 0;
}

int removeDomainFromIpTransport(int argc, char** argv) {
    ProgramOptionsHelper options("remove domain from sender transports",
                                 "--remove-domain-from-sender-transport --domain-name=<domain>");
    options.add_options()("domain-name", po::value<std::string>(), "domain name", true);
    standardOptionsParse(options, argc, argv);
    const std::string domain = asciiDomainOption(options);
    DatabaseHelper::removeRecord(SENDER_TRANSPORT_TABLE, "@" + domain);
    ServiceManager::restartServer();
    return 0;
}

int removeIPTransport(int argc, char** argv) {
    ProgramOptionsHelper options("remove sender transport",
                                 "--remove-sender-transport --ip-addr=<ip_address>");
    options.add_options()("ip-addr", po::value<std::string>(), "ip address");
    standardOptionsParse(options, argc, argv);
    // Optional in the option list, yet required: an absent value fails here.
    const std::string ip =
        canonicalAddress("ip-addr", options.get<std::string>("ip-addr"), {AF_INET, AF_INET6});
    SenderTransportManager::removeTransport(ip);
    ServiceManager::restartServer();
    return 0;
}

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
