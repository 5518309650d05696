// Domain operations over the lookup tables, and the guarded undo of the two
// renaming operations.
#include "postfix/domain_manager.h"

#include <strings.h>

#include "lib/hostname.h"
#include "mail/maildir_manager.h"
#include "mail/maildirpp_manager.h"
#include "postfix/panel_names.h"
#include "postfix/record_filters.h"
#include "postfix/undo.h"
#include "util/sh_quote.h"

namespace marun {
namespace mail {
namespace postfix {

namespace {

using database::ElementsFilter;
using database::KeyValueFilter;
using database::NotInDomainFilter;
using database::ReplaceDomainPart;
using database::ReplaceDomainPath;
using database::ReplaceElementFilterRef;

const std::string VIRTUAL = "hash:/var/spool/postfix/marun/virtual";
const std::string VIRTUAL_DOMAINS = "hash:/var/spool/postfix/marun/virtual_domains";
const std::string VMAILBOX = "hash:/var/spool/postfix/marun/vmailbox";
const std::string ALIASES = "hash:/var/spool/postfix/marun/aliases";

const char* const LOCAL_HOST = "@localhost.localdomain";
const char* const BOUNCE_PREFIX = "_marun_bounce_";
const char* const BOUNCE_PROGRAM = "/usr/lib/marun-9.0/bouncemessage";
// What a failed undo names, whichever table it was restoring.
const char* const UNDO_TABLE = "Postfix Virtual Domains Database";

// The host's fully qualified name, or "" when it cannot be determined.
std::string hostName() {
    char buffer[65] = {0};
    if (get_hostname_fqdn(buffer, sizeof buffer) != 0) {
        return "";
    }
    return buffer;
}

bool isHostName(const std::string& host, const std::string& name) {
    return !host.empty() && strcasecmp(host.c_str(), name.c_str()) == 0;
}

RecordVector standardRecords(const std::string& domain) {
    RecordVector records;
    records.reserve(DomainManager::stdAddresses.size());
    for (const std::string& name : DomainManager::stdAddresses) {
        records.emplace_back(name + "@" + domain, name + LOCAL_HOST);
    }
    return records;
}

std::vector<std::string> standardKeys(const std::string& domain) {
    std::vector<std::string> keys;
    keys.reserve(DomainManager::stdAddresses.size());
    for (const std::string& name : DomainManager::stdAddresses) {
        keys.push_back(name + "@" + domain);
    }
    return keys;
}

// The host's own name as an alias domain: its alias record, then its
// standard addresses, in one postmap run each way.
void addHostRecords(const std::string& host) {
    RecordVector records(1, Record(host, "1"));
    RecordVector standard = standardRecords(host);
    records.insert(records.end(), standard.begin(), standard.end());
    DatabaseHelper::addRecords(VIRTUAL, records.cbegin(), records.cend());
}

void removeHostRecords(const std::string& host) {
    std::vector<std::string> keys(1, host);
    std::vector<std::string> standard = standardKeys(host);
    keys.insert(keys.end(), standard.begin(), standard.end());
    DatabaseHelper::removeRecords(VIRTUAL, keys.cbegin(), keys.cend());
}

// Keeps the host's alias-domain records apart from a renamed domain or
// alias: they go away when the new name is the host's, and come back when
// the old name was. undo() removes what was added, then adds again what was
// removed; it stops at the first failure.
class safeDomainFromToHostnameRenamer {
  public:
    safeDomainFromToHostnameRenamer() : host_(hostName()) {}

    bool isHost(const std::string& name) const { return isHostName(host_, name); }

    // Before a domain or alias takes the name `newName`.
    void releaseFor(const std::string& newName) {
        if (isHostName(host_, newName)) {
            removed_ = true;
            removeHostRecords(host_);
        }
    }
    // After a domain or alias left the name `oldName`.
    void restoreAfter(const std::string& oldName) {
        if (isHostName(host_, oldName)) {
            added_ = true;
            addHostRecords(host_);
        }
    }
    void undo() const {
        if (added_) {
            removeHostRecords(host_);
        }
        if (removed_) {
            addHostRecords(host_);
        }
    }

  private:
    const std::string host_;
    bool removed_ = false;
    bool added_ = false;
};

// The renaming steps of one table each; the undo runs them with the names
// exchanged.
using Rename = void (*)(const std::string& from, const std::string& to);
void renameVirtualDomains(const std::string& from, const std::string& to) {
    DatabaseHelper::filterRecords(VIRTUAL_DOMAINS, ElementsFilter<ReplaceElementFilterRef>(
                                                       ReplaceElementFilterRef(from, to)));
}

void renameVirtual(const std::string& from, const std::string& to) {
    DatabaseHelper::filterRecords(
        VIRTUAL, ElementsFilter<ReplaceDomainPart>(ReplaceDomainPart(from, to, false)));
}

// Keys move to the new domain; Maildir paths under the old domain's
// directory move under the new one. The directory is matched with its
// trailing "/", so that a domain whose name merely starts with the old one
// keeps its paths.
void renameMailboxes(const std::string& from, const std::string& to) {
    MaildirManager& dirs = MaildirManager::getInstance();
    const std::string fromRoot = dirs.getDomainRelativeRoot(from).string() + "/";
    const std::string toRoot = dirs.getDomainRelativeRoot(to).string() + "/";
    DatabaseHelper::filterRecords(
        VMAILBOX, KeyValueFilter<ReplaceDomainPart, ReplaceDomainPath>(
                      ReplaceDomainPart(from, to, false), ReplaceDomainPath(fromRoot, toRoot)));
}

// The domain followed by its aliases from the panel.
std::vector<std::string> domainAndAliases(const std::string& domain) {
    std::vector<std::string> domains(1, domain);
    append_domainaliases_by_domain(domains, domain);
    return domains;
}

// Steps shared by both forms of createDomain once the mail root exists.
void registerDomain(const std::string& domain, bool disabled) {
    DomainManager::removeDomainAlias(domain);
    BatchDatabaseHelper batch(true, true);
    DomainManager::createDomainRecord(batch, domain, disabled);
}

}  // namespace

const std::vector<std::string> DomainManager::stdAddresses = {
    "postmaster", "mailer-daemon", "root", "anonymous", "drweb", "kluser",
};

void DomainManager::createDomain(const std::string& domain, long long quota, bool disabled) {
    MaildirManager::getInstance().createDomainRoot(domain);
    MaildirPPManager::getInstance().setDomainQuota(domain, quota);
    registerDomain(domain, disabled);
}

void DomainManager::createDomain(const std::string& domain, bool disabled) {
    MaildirManager::getInstance().createDomainRoot(domain);
    registerDomain(domain, disabled);
}

void DomainManager::createDomainRecord(BatchDatabaseHelper& batch, const std::string& domain,
                                       bool disabled) {
    // The standard addresses exist before the domain is served. Enabling
    // would write the same six records again; one "virtual" run is enough.
    createStandardDomainAddresses(batch, domain);
    if (!disabled) {
        batch.addChange(VIRTUAL_DOMAINS, domain, domain + "/");
    }
}

void DomainManager::createDomainRecord(const std::string& domain, bool disabled) {
    BatchDatabaseHelper batch(true, true);
    createDomainRecord(batch, domain, disabled);
}

void DomainManager::enableDomain(BatchDatabaseHelper& batch, const std::string& domain) {
    batch.addChange(VIRTUAL_DOMAINS, domain, domain + "/");
    createStandardDomainAddresses(batch, domain);
}

void DomainManager::enableDomain(const std::string& domain) {
    BatchDatabaseHelper batch(true, true);
    enableDomain(batch, domain);
}

void DomainManager::disableDomain(const std::string& domain) {
    DatabaseHelper::removeRecord(VIRTUAL_DOMAINS, domain);
    removeStandardDomainAddresses(domain);
}

void DomainManager::removeDomain(const std::string& domain, OnRemoval mode) {
    DatabaseHelper::removeRecord(VIRTUAL_DOMAINS, domain);
    if (mode == ON_REMOVAL_DELETE) {
        // The domain is gone from delivery either way; mail files left
        // behind must not keep its records alive.
        try {
            MaildirManager::getInstance().removeDomainRoot(domain);
        } catch (...) {
        }
    } else if (mode == ON_REMOVAL_BACKUP) {
        MaildirManager::getInstance().backupDomainRoot(domain);
    }
    removeDomainReferences(domain, false);
}

void DomainManager::removeDomainReferences(const std::string& domain, bool subdomains) {
    // Both tables at once: their dumps run side by side.
    DatabaseHelper::filterRecords({VIRTUAL, VMAILBOX}, ElementsFilter<NotInDomainFilter>(
                                                           NotInDomainFilter(domain, subdomains)));
}

void DomainManager::renameDomain(const std::string& oldDomain, const std::string& newDomain) {
    // On failure: "vmailbox", "virtual", "virtual_domains", then the host's
    // records, each undo step whether the one before it failed or not.
    safeDomainFromToHostnameRenamer host;
    Undo undo(Undo::CONTINUE);
    undo.add(UNDO_TABLE, [&host] { host.undo(); });
    host.releaseFor(newDomain);
    for (Rename rename : {renameVirtualDomains, renameVirtual, renameMailboxes}) {
        undo.add(UNDO_TABLE, [&, rename] { rename(newDomain, oldDomain); });
        rename(oldDomain, newDomain);
    }
    host.restoreAfter(oldDomain);
    MaildirManager::getInstance().renameDomainRoot(oldDomain, newDomain);
}

void DomainManager::createDomainAlias(BatchDatabaseHelper& batch, const std::string& domain,
                                      const std::string& alias) {
    // The alias's standard addresses and its own records in one run.
    RecordVector records = standardRecords(alias);
    records.emplace_back(alias, "1");
    for (const std::string& mailname : domainMailnames(domain)) {
        const std::string mailbox = mailname + "@" + domain;
        for (const std::string& mailAlias : mailnameAliases(mailname, domain)) {
            records.emplace_back(mailAlias + "@" + alias, mailbox);
        }
        records.emplace_back(mailname + "@" + alias, mailbox);
    }
    batch.addChanges(VIRTUAL, records.cbegin(), records.cend());
}

void DomainManager::createDomainAlias(const std::string& domain, const std::string& alias) {
    BatchDatabaseHelper batch(true, true);
    createDomainAlias(batch, domain, alias);
}

void DomainManager::removeDomainAlias(const std::string& alias) {
    DatabaseHelper::filterRecords(
        VIRTUAL, ElementsFilter<NotInDomainFilter>(NotInDomainFilter(alias, false)));
}

void DomainManager::renameDomainAlias(const std::string& oldAlias, const std::string& newAlias) {
    safeDomainFromToHostnameRenamer host;
    Undo undo(Undo::STOP);
    undo.add(UNDO_TABLE, [&host] { host.undo(); });
    // Run again once the alias has moved to the host's name, the records
    // under that name are the alias's own: they stay.
    if (!host.isHost(newAlias) ||
        DatabaseHelper::hasKey(std::vector<std::string>(1, VIRTUAL), oldAlias)) {
        host.releaseFor(newAlias);
    }
    renameVirtual(oldAlias, newAlias);
    host.restoreAfter(oldAlias);
}

void DomainManager::createCatchall(BatchDatabaseHelper& batch, const std::string& domain,
                                   const std::string& target) {
    createCatchallFor(batch, domainAndAliases(domain), target);
}

void DomainManager::createCatchall(const std::string& domain, const std::string& target) {
    BatchDatabaseHelper batch(true, true);
    createCatchall(batch, domain, target);
}

void DomainManager::createCatchallFor(BatchDatabaseHelper& batch,
                                      const std::vector<std::string>& domains,
                                      const std::string& target) {
    RecordVector records;
    records.reserve(domains.size());
    for (const std::string& domain : domains) {
        records.emplace_back("@" + domain, target);
    }
    batch.addChanges(VIRTUAL, records.cbegin(), records.cend());
}

void DomainManager::createCatchallFor(const std::vector<std::string>& domains,
                                      const std::string& target) {
    BatchDatabaseHelper batch(true, true);
    createCatchallFor(batch, domains, target);
}

void DomainManager::removeCatchall(BatchDatabaseHelper& batch, const std::string& domain) {
    std::vector<std::string> keys;
    for (const std::string& alias : domainAliases(domain)) {
        keys.push_back("@" + alias);
    }
    keys.push_back("@" + domain);
    batch.removeChanges(VIRTUAL, keys.cbegin(), keys.cend());
}

void DomainManager::removeCatchall(const std::string& domain) {
    BatchDatabaseHelper batch(true, true);
    removeCatchall(batch, domain);
}

void DomainManager::setBounce(BatchDatabaseHelper& batch, const std::string& domain,
                              const std::string& message) {
    setBounceFor(batch, domainAndAliases(domain), message);
}

void DomainManager::setBounce(const std::string& domain, const std::string& message) {
    BatchDatabaseHelper batch(true, true);
    setBounce(batch, domain, message);
}

std::string DomainManager::bounceCommand(const std::string& message) {
    std::string command = std::string("\"|") + BOUNCE_PROGRAM;
    if (!message.empty()) {
        std::string flat = message;
        for (char& c : flat) {
            if (c == '\n') {
                c = ' ';
            }
        }
        command += ' ';
        command += sh_quote(sh_quote(flat));
    }
    command += '"';
    return command;
}

void DomainManager::setBounceFor(BatchDatabaseHelper& batch,
                                 const std::vector<std::string>& domains,
                                 const std::string& message) {
    const std::string command = bounceCommand(message);
    RecordVector pipes;
    RecordVector addresses;
    pipes.reserve(domains.size());
    addresses.reserve(domains.size());
    for (const std::string& domain : domains) {
        pipes.emplace_back(BOUNCE_PREFIX + domain, command);
        addresses.emplace_back("@" + domain, BOUNCE_PREFIX + domain + LOCAL_HOST);
    }
    // The pipes exist before any address is routed to them.
    batch.addChanges(ALIASES, pipes.cbegin(), pipes.cend());
    batch.addChanges(VIRTUAL, addresses.cbegin(), addresses.cend());
}

void DomainManager::setBounceFor(const std::vector<std::string>& domains,
                                 const std::string& message) {
    BatchDatabaseHelper batch(true, true);
    setBounceFor(batch, domains, message);
}

void DomainManager::createStandardDomainAddresses(BatchDatabaseHelper& batch,
                                                  const std::string& domain) {
    RecordVector records = standardRecords(domain);
    batch.addChanges(VIRTUAL, records.cbegin(), records.cend());
}

void DomainManager::createStandardDomainAddresses(const std::string& domain) {
    BatchDatabaseHelper batch(true, true);
    createStandardDomainAddresses(batch, domain);
}

void DomainManager::removeStandardDomainAddresses(BatchDatabaseHelper& batch,
                                                  const std::string& domain) {
    std::vector<std::string> keys = standardKeys(domain);
    batch.removeChanges(VIRTUAL, keys.cbegin(), keys.cend());
}

void DomainManager::removeStandardDomainAddresses(const std::string& domain) {
    BatchDatabaseHelper batch(true, true);
    removeStandardDomainAddresses(batch, domain);
}

}  // namespace postfix
}  // namespace mail
}  // namespace marun
