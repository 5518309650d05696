// Mail name operations: records of one mailbox and its mail aliases in the
// lookup tables, its directories, quota and ".qmail" file, and the guarded
// rename.
#include "postfix/mailname_manager.h"

#include <strings.h>

#include <stdexcept>
#include <vector>

#include "lib/tree_walk.h"
#include "lib/unique_fd.h"
#include "mail/dotqmail_manager.h"
#include "mail/maildir_manager.h"
#include "mail/maildirpp_manager.h"
#include "postfix/panel_names.h"
#include "postfix/record_filters.h"
#include "postfix/undo.h"

namespace marun {
namespace mail {
namespace postfix {

using database::ElementsFilter;
using database::KeyValueFilter;
using database::ReplaceElementFilterRef;

namespace {

const char* const VIRTUAL = "hash:/var/spool/postfix/marun/virtual";
const char* const VMAILBOX = "hash:/var/spool/postfix/marun/vmailbox";
const char* const VIRTUAL_NAME = "Postfix Virtual Aliases Database";
const char* const VMAILBOX_NAME = "Postfix Virtual Mailboxes Database";

using MailboxFilter = KeyValueFilter<ReplaceElementFilterRef, ReplaceElementFilterRef>;
using AddressFilter = ElementsFilter<ReplaceElementFilterRef>;

std::string address(const std::string& name, const std::string& domain) {
    return name + "@" + domain;
}

// Whether the mail name has a home (a link in its place is none).
bool hasHome(const std::string& domain, const std::string& mailname) {
    UniqueFd home(
        walk_open_dir(MaildirManager::getInstance().getMailnameHome(domain, mailname).c_str()));
    return home.valid();
}

DotQMailManager dotQMail(const std::string& domain, const std::string& mailname) {
    return DotQMailManager(MaildirManager::getInstance().getMailnameHome(domain, mailname));
}

// "virtual" records of `name` under the domain and each of its aliases, all
// pointing at `target`.
RecordVector addressRecords(const std::string& domain, const std::string& name,
                            const std::string& target) {
    RecordVector records;
    records.emplace_back(address(name, domain), target);
    for (const std::string& alias : domainAliases(domain)) {
        records.emplace_back(address(name, alias), target);
    }
    return records;
}

// Home, Maildir and a fresh ".qmail" file: the first steps of a creation.
void createHome(const std::string& domain, const std::string& mailname) {
    MaildirManager& maildirs = MaildirManager::getInstance();
    maildirs.createMailnameHome(domain, mailname);
    DotQMailManager(maildirs.getMailnameHome(domain, mailname)).reset();
}

void writeRecords(const std::string& domain, const std::string& mailname) {
    BatchDatabaseHelper batch(true, true);
    MailnameManager::createMailnameRecord(batch, domain, mailname);
}

// A mail alias must not be another address of the domain's mailboxes: its
// records would replace or remove theirs (postmap folds keys to lower case),
// and the authentication steps of the alias commands would overwrite or
// remove their records. Refused: the mail name itself, and a name with a
// home of its own.
void checkAliasIsFree(const std::string& domain, const std::string& mailname,
                      const std::string& aliasName) {
    const std::string alias = address(aliasName, domain);
    if (strcasecmp(aliasName.c_str(), mailname.c_str()) == 0) {
        throw std::invalid_argument("mail alias " + alias + " is the mail name itself");
    }
    const std::string home =
        MaildirManager::getInstance().getMailnameHome(domain, aliasName).string();
    if (UniqueFd(walk_open_dir(home.c_str())).valid()) {
        throw std::invalid_argument("mail alias " + alias + " is a mail name of its own");
    }
}

}  // namespace

void MailnameManager::createMailname(const std::string& domain, const std::string& mailname,
                                     long long quota) {
    createHome(domain, mailname);
    MaildirPPManager::getInstance().setMailboxQuota(domain, mailname, quota);
    writeRecords(domain, mailname);
}

void MailnameManager::createMailname(const std::string& domain, const std::string& mailname) {
    createHome(domain, mailname);
    // Drops a quota left from before: the mailbox gets the domain's default.
    MaildirPPManager::getInstance().removeMailboxQuota(domain, mailname);
    writeRecords(domain, mailname);
}

void MailnameManager::createMailnameRecord(BatchDatabaseHelper& batch, const std::string& domain,
                                           const std::string& mailname) {
    const std::string own = address(mailname, domain);
    batch.addChange(
        VMAILBOX, own,
        MaildirManager::getInstance().getMailnameRelativeMaildir(domain, mailname).string() + "/");
    RecordVector records = addressRecords(domain, mailname, own);
    batch.addChanges(VIRTUAL, records.cbegin(), records.cend());
}

void MailnameManager::removeMailname(const std::string& domain, const std::string& mailname,
                                     OnRemoval mode) {
    const std::string own = address(mailname, domain);
    DatabaseHelper::removeRecord(VMAILBOX, own);
    // The aliases' addresses first, the own address last; one postmap run.
    std::vector<std::string> keys;
    for (const std::string& alias : domainAliases(domain)) {
        keys.push_back(address(mailname, alias));
    }
    keys.push_back(own);
    DatabaseHelper::removeRecords(VIRTUAL, keys.cbegin(), keys.cend());

    MaildirManager& maildirs = MaildirManager::getInstance();
    if (mode == ON_REMOVAL_DELETE) {
        // The mailbox is gone from the tables either way; files that cannot
        // be deleted are no reason to report the removal as failed.
        try {
            maildirs.removeMailnameHome(domain, mailname);
        } catch (...) {
        }
    } else if (mode == ON_REMOVAL_BACKUP) {
        maildirs.backupMailnameHome(domain, mailname);
    }
}

void MailnameManager::renameMailname(const std::string& domain, const std::string& oldMailname,
                                     const std::string& newMailname) {
    const std::string from = address(oldMailname, domain);
    const std::string to = address(newMailname, domain);
    MaildirManager& maildirs = MaildirManager::getInstance();
    const std::string oldPath = maildirs.getMailnameRelativeMaildir(domain, oldMailname).string();
    const std::string newPath = maildirs.getMailnameRelativeMaildir(domain, newMailname).string();

    // The filters turn every occurrence of the new address back into the old
    // one on undo, so an address already in use by another mail name would
    // lose its records. The new address is this rename's own when a run of
    // it was killed half-way: the move begins with the mailbox record and
    // ends with the home, so then the old mail name has no mailbox record
    // any more and just one of the two names has a home.
    if (oldMailname == newMailname) {
        throw std::invalid_argument("unable to rename mail name " + from +
                                    ": the new name is the same as the old one");
    }
    const bool oldHome = hasHome(domain, oldMailname);
    const bool newHome = hasHome(domain, newMailname);
    if (DatabaseHelper::hasKey({VMAILBOX, VIRTUAL}, to) &&
        (oldHome == newHome || DatabaseHelper::hasKey({VMAILBOX}, from))) {
        throw std::invalid_argument("unable to rename mail name " + from + " to " + newMailname +
                                    ": " + to + " already exists");
    }

    // On failure "virtual" is restored first, then "vmailbox", each whether
    // the other could be or not.
    auto renameMailbox = [&](const std::string& a, const std::string& b, const std::string& pathA,
                             const std::string& pathB) {
        DatabaseHelper::filterRecords(
            VMAILBOX,
            MailboxFilter(ReplaceElementFilterRef(a, b), ReplaceElementFilterRef(pathA, pathB)));
    };
    auto renameAddress = [](const std::string& a, const std::string& b) {
        DatabaseHelper::filterRecords(VIRTUAL, AddressFilter(ReplaceElementFilterRef(a, b)));
    };
    Undo undo(Undo::CONTINUE);
    undo.add(VMAILBOX_NAME, [&] { renameMailbox(to, from, newPath, oldPath); });
    renameMailbox(from, to, oldPath, newPath);
    undo.add(VIRTUAL_NAME, [&] { renameAddress(to, from); });
    renameAddress(from, to);

    // Each step above leaves what is already moved as it is; so may this.
    if (!newHome || oldHome) {
        maildirs.renameMailnameHome(domain, oldMailname, newMailname);
    }
}

void MailnameManager::renameMailnameOnDomainAlias(const std::string& alias,
                                                  const std::string& oldMailname,
                                                  const std::string& newMailname) {
    const std::string from = address(oldMailname, alias);
    const std::string to = address(newMailname, alias);
    DatabaseHelper::filterRecords(VIRTUAL, AddressFilter(ReplaceElementFilterRef(from, to)));
}

void MailnameManager::createMailAlias(BatchDatabaseHelper& batch, const std::string& domain,
                                      const std::string& mailname, const std::string& aliasName) {
    RecordVector records = addressRecords(domain, aliasName, address(mailname, domain));
    batch.addChanges(VIRTUAL, records.cbegin(), records.cend());
}

void MailnameManager::createMailAlias(const std::string& domain, const std::string& mailname,
                                      const std::string& aliasName) {
    checkAliasIsFree(domain, mailname, aliasName);
    BatchDatabaseHelper batch(true, true);
    createMailAlias(batch, domain, mailname, aliasName);
}

void MailnameManager::removeMailAlias(const std::string& domain, const std::string& mailname,
                                      const std::string& aliasName) {
    checkAliasIsFree(domain, mailname, aliasName);
    std::vector<std::string> keys{address(aliasName, domain)};
    for (const std::string& alias : domainAliases(domain)) {
        keys.push_back(address(aliasName, alias));
    }
    DatabaseHelper::removeRecords(VIRTUAL, keys.cbegin(), keys.cend());
}

void MailnameManager::addForward(const std::string& domain, const std::string& mailname,
                                 const std::string& address) {
    dotQMail(domain, mailname).addRedirect(address, DotQMailManager::ANYWHERE);
}

void MailnameManager::removeForward(const std::string& domain, const std::string& mailname,
                                    const std::string& address) {
    dotQMail(domain, mailname).removeRedirect(address);
}

void MailnameManager::enableDelivery(const std::string& domain, const std::string& mailname) {
    dotQMail(domain, mailname).enableDelivery();
}

void MailnameManager::disableDelivery(const std::string& domain, const std::string& mailname) {
    dotQMail(domain, mailname).disableDelivery();
}

}  // namespace postfix
}  // namespace mail
}  // namespace marun
