// Relay policy, white and black lists, block lists and the mailbox limit,
// through MainCfManager and the lookup-table store.
#include "postfix/settings_manager.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <boost/lexical_cast.hpp>
#include <deque>
#include <stdexcept>

#include "postfix/database_helper.h"
#include "postfix/main_cf_manager.h"
#include "util/network_address.h"

namespace marun {
namespace mail {
namespace postfix {

const char* const BLACKLIST_TABLE = "hash:/var/spool/postfix/marun/blacklists";
const char* const POPLOCK_TABLE = "hash:/var/spool/postfix/marun/poplock";

namespace {

const char* const RECIPIENT_RESTRICTIONS = "smtpd_recipient_restrictions";
const char* const CLIENT_RESTRICTIONS = "smtpd_client_restrictions";
const char* const MYNETWORKS = "mynetworks";
const char* const RBL_CHECK = "reject_rbl_client";

enum SmtpdRecipientRestrictionsRelayEnum {
    RELAY_AUTHENTICATED = 0,
    RELAY_CLOSED = 1,
    RELAY_OPEN = 2,
};

// The recipient restrictions of a relay mode: fixed elements first, then
// the policy services (greylisting and the like) that were already there.
class SmtpdRecipientRestrictionsFilter {
  public:
    explicit SmtpdRecipientRestrictionsFilter(SmtpdRecipientRestrictionsRelayEnum mode)
        : mode_(mode), keptPrefixes_{"check_policy_service"} {
        fixed_.push_back(mode == RELAY_OPEN ? "permit" : "permit_mynetworks");
        fixed_.push_back("check_client_access pcre:/var/spool/postfix/marun/no_relay.re");
        switch (mode_) {
            case RELAY_AUTHENTICATED:
                fixed_.push_back("permit_sasl_authenticated");
                fixed_.push_back("reject_unauth_destination");
                break;
            case RELAY_CLOSED:
                fixed_.push_back("reject_unauth_destination");
                break;
            case RELAY_OPEN:
                fixed_.push_back("reject");
                break;
        }
    }

    const std::deque<std::string>& fixedElements() const { return fixed_; }

    bool operator()(const std::string& element) const {
        for (const std::string& prefix : keptPrefixes_) {
            if (element.compare(0, prefix.size(), prefix) == 0) {
                return true;
            }
        }
        return false;
    }

  private:
    SmtpdRecipientRestrictionsRelayEnum mode_;
    std::deque<std::string> keptPrefixes_;
    std::deque<std::string> fixed_;
};

// Refuses what would split into several list elements or lines.
void checkListElement(const char* what, const std::string& value) {
    for (unsigned char c : value) {
        if (c <= ' ' || c == 0x7f || c == ',') {
            throw std::invalid_argument(std::string("invalid ") + what + " '" + value +
                                        "': it holds white space, a control character or a comma");
        }
    }
}

}  // namespace

void SettingsManager::setOpenRelay() {
    MainCfManager::getInstance().filterStringValues(RECIPIENT_RESTRICTIONS,
                                                    SmtpdRecipientRestrictionsFilter(RELAY_OPEN));
}

void SettingsManager::setAuthRelay(boost::logic::tribool auth, boost::logic::tribool popLock) {
    const MainCfManager& main = MainCfManager::getInstance();
    if (!boost::logic::indeterminate(auth)) {
        main.replaceStringValue("smtpd_sasl_auth_enable", auth ? "yes" : "no");
        main.filterStringValues(
            RECIPIENT_RESTRICTIONS,
            SmtpdRecipientRestrictionsFilter(auth ? RELAY_AUTHENTICATED : RELAY_CLOSED));
    }
    if (popLock) {
        main.appendStringValue(MYNETWORKS, POPLOCK_TABLE);
    } else {
        main.removeListElement(MYNETWORKS, POPLOCK_TABLE);
    }
}

void SettingsManager::addWhiteNetwork(const std::string& address, unsigned short prefixLength) {
    const bool ipv6 = address.find(':') != std::string::npos;
    unsigned char binary[sizeof(in6_addr)];
    if (inet_pton(ipv6 ? AF_INET6 : AF_INET, address.c_str(), binary) != 1) {
        throw std::invalid_argument("invalid network address '" + address +
                                    "': not an IPv4 or IPv6 address");
    }
    if (prefixLength > (ipv6 ? 128 : 32)) {
        throw std::invalid_argument("invalid netmask " + std::to_string(prefixLength) + " for " +
                                    address);
    }
    const std::string prefix = "/" + std::to_string(prefixLength);
    MainCfManager::getInstance().appendStringValue(
        MYNETWORKS, ipv6 ? "[" + address + "]" + prefix : address + prefix);
}

void SettingsManager::removeWhiteNetwork(const std::string& address) {
    if (isLoopbackAddress(address)) {
        return;
    }
    const NetworkAddress removed = NetworkAddress::parse(address);
    const MainCfManager& main = MainCfManager::getInstance();
    MainCfManager::Lock held = main.lock();
    MainCfManager::List list;
    main.getList(MYNETWORKS, list);
    MainCfManager::List kept;
    bool dropped = false;
    for (const std::string& element : list) {
        if (element.empty()) {
            continue;
        }
        if (NetworkAddress::parse(element).sameAddress(removed)) {
            dropped = true;
        } else {
            kept.push_back(element);
        }
    }
    if (dropped) {
        main.setList(MYNETWORKS, kept, held);
    }
}

void SettingsManager::addBlackDomain(const std::string& domain) {
    BatchDatabaseHelper batch(true, true);
    addBlackDomain(batch, domain);
}

void SettingsManager::addBlackDomain(BatchDatabaseHelper& batch, const std::string& domain) {
    batch.addChange(BLACKLIST_TABLE, domain, "REJECT");
}

void SettingsManager::removeBlackDomain(const std::string& domain) {
    DatabaseHelper::removeRecord(BLACKLIST_TABLE, domain);
}

void SettingsManager::setRBLHosts(const std::vector<std::string>& hosts) {
    for (const std::string& host : hosts) {
        checkListElement("block-list zone", host);
    }
    const MainCfManager& main = MainCfManager::getInstance();
    MainCfManager::Lock held = main.lock();
    MainCfManager::List result;
    for (const std::string& element :
         MainCfManager::commaElements(main.getStringValue(CLIENT_RESTRICTIONS, false))) {
        if (element.find(RBL_CHECK) == std::string::npos) {
            result.push_back(element);
        }
    }
    for (const std::string& host : hosts) {
        if (!host.empty()) {
            result.push_back(std::string(RBL_CHECK) + " " + host);
        }
    }
    main.setList(CLIENT_RESTRICTIONS, result, held);
}

long long SettingsManager::getMailboxSizeLimit() {
    return boost::lexical_cast<long long>(
        MainCfManager::getInstance().getStringValue("mailbox_size_limit", false));
}

}  // namespace postfix
}  // namespace mail
}  // namespace marun
