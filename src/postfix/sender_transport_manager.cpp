// Sender-dependent transports: master.cf services and table records.
#include "postfix/sender_transport_manager.h"

#include <algorithm>
#include <vector>

#include "postfix/database_helper.h"
#include "postfix/module_manager.h"

namespace marun {
namespace mail {
namespace postfix {

const char* const SENDER_TRANSPORT_TABLE = "hash:/var/spool/postfix/marun/sdd_transport_maps";

namespace {

std::string dashed(std::string text) {
    std::replace(text.begin(), text.end(), ':', '-');
    return text;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

SenderTransportManager::SenderTransport::SenderTransport(const std::string& ip4,
                                                         const std::string& ip6) {
    name = transportName(ip4, ip6);
    type = MODULE_UNIX;
    unprivileged = false;
    const char* preference = ip4.empty() ? "ipv6" : ip6.empty() ? "ipv4" : "any";
    commandWords = {"smtp", "-o smtp_bind_address=" + ip4, "-o smtp_bind_address6=" + ip6,
                    std::string("-o smtp_address_preference=") + preference};
}

std::string SenderTransportManager::transportName(const std::string& ip4, const std::string& ip6) {
    return dashed(ip4 + "-" + ip6);
}

void SenderTransportManager::addDomainToTransport(const std::string& domain, const std::string& ip4,
                                                  const std::string& ip6) {
    BatchDatabaseHelper batch(true, true);
    batch.addChange(SENDER_TRANSPORT_TABLE, "@" + domain, transportName(ip4, ip6) + ":");
}

void SenderTransportManager::removeTransport(const std::string& ip) {
    ModuleManager& modules = ModuleManager::getInstance();
    modules.loadModules(false);
    const std::string prefix = dashed(ip + "-");
    const std::string suffix = dashed("-" + ip);
    std::vector<ModuleInfo> entries;
    for (const auto& entry : modules.enabledContent().modules()) {
        entries.push_back(entry.second);
    }
    for (const ModuleInfo& entry : entries) {
        if (entry.type == MODULE_UNIX &&
            (startsWith(entry.name, prefix) || endsWith(entry.name, suffix))) {
            modules.removeModule(entry.name, entry.type);
        }
    }
    modules.storeModules(false);
}

}  // namespace postfix
}  // namespace mail
}  // namespace marun
