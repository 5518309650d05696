// Domain commands: each parses its options, takes the domain name to its
// ASCII form and refuses a malformed one before anything changes, then calls
// the authentication database, the domain manager and the mail handlers
// database in that order.
#include "commands/domain_commands.h"

#include <ostream>
#include <string>

#include "commands/shared_options.h"
#include "mail/lib/mail_auth.h"
#include "mail/lib/mail_handlers.h"
#include "mail/lib/mail_panel_queries.h"
#include "mail/maildirpp_manager.h"
#include "mail/on_removal.h"
#include "postfix/domain_manager.h"
#include "postfix/rewrite_service.h"
#include "util/uerr.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

namespace {

// The options of the commands that take the domain name alone.
std::string parseDomainOnly(int argc, char** argv, const char* description, const char* synopsis) {
    ProgramOptionsHelper options(description, synopsis);
    addDomainNameOption(options);
    standardOptionsParse(options, argc, argv);
    return domainNameOption(options);
}

// Turning a domain on or off: the authentication records of the domain and
// its aliases first; when they cannot be changed, nothing else is.
int switchDomain(int argc, char** argv, bool enable) {
    const std::string domain = enable ? parseDomainOnly(argc, argv, "enable a domain",
                                                        "--turn-on-domain --domain-name=<domain>")
                                      : parseDomainOnly(argc, argv, "disable a domain",
                                                        "--turn-off-domain --domain-name=<domain>");
    const int result =
        enable ? domain_auth_action(domain.c_str(), mailAuthEnableDomain, "enable auth records")
               : domain_auth_action(domain.c_str(), mailAuthDisableDomain, "disable auth records");
    if (result == -1) {
        return 1;
    }
    ServedDomainsChange served;
    if (enable) {
        DomainManager::enableDomain(domain);
    } else {
        DomainManager::disableDomain(domain);
    }
    mh_db_switch_by_addr(nullptr, domain.c_str(), enable ? 1 : 0);
    return 0;
}

}  // namespace

int addDomain(int argc, char** argv) {
    ProgramOptionsHelper options("add a domain",
                                 "--add-domain --domain-name=<domain> [--disk-quota=quota]");
    addDomainNameOption(options);
    addQuotaOption(options, false);
    standardOptionsParse(options, argc, argv);
    const std::string domain = domainNameOption(options);

    ServedDomainsChange served;
    if (options.has("disk-quota")) {
        DomainManager::createDomain(domain, options.get<long long>("disk-quota"), false);
    } else {
        DomainManager::createDomain(domain, false);
    }
    return 0;
}

int setDomainDiskQuota(int argc, char** argv) {
    ProgramOptionsHelper options(
        "set a domain disk quota",
        "--set-domain-disk-quota --domain-name=<domain> --disk-quota=quota");
    addDomainNameOption(options);
    addQuotaOption(options, true);
    standardOptionsParse(options, argc, argv);

    MaildirPPManager& quotas = MaildirPPManager::getInstance();
    const std::string domain = domainNameOption(options);
    quotas.setDomainQuota(domain, options.get<long long>("disk-quota"));
    return 0;
}

int disableDomain(int argc, char** argv) {
    return switchDomain(argc, argv, false);
}

int enableDomain(int argc, char** argv) {
    return switchDomain(argc, argv, true);
}

int removeDomain(int argc, char** argv) {
    const std::string domain =
        parseDomainOnly(argc, argv, "remove a domain", "--remove-domain --domain-name=<domain>");
    if (domain_auth_action(domain.c_str(), mailAuthRemoveDomain, "remove auth record") == -1) {
        return 1;
    }
    ServedDomainsChange served;
    DomainManager::removeDomain(domain, ON_REMOVAL_DELETE);

    bool handlersRemoved = mh_db_remove_all(nullptr, domain.c_str()) >= 0;
    if (handlersRemoved) {
        handlersRemoved = mh_db_remove_addr(nullptr, domain.c_str()) == 0;
    }
    if (!handlersRemoved) {
        uerr << "WARNING: unable to properly remove all mail handlers for " << domain << std::endl;
    }
    return 0;
}

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
