// MailnameManager: the operations on one mail name of a mail domain. A
// mailbox is a "vmailbox" record (delivery into its Maildir), a "virtual"
// record for its address and one for its address under each alias of the
// domain, plus its home directory, Maildir++ quota and ".qmail" file. Mail
// aliases are further "virtual" records pointing at the mailbox; forwards
// and the delivery switch live in the ".qmail" file.
#pragma once

#include <string>

#include "mail/on_removal.h"
#include "postfix/database_helper.h"

namespace marun {
namespace mail {
namespace postfix {

class MailnameManager {
  public:
    // Creates the home and Maildir, resets the ".qmail" file, sets the quota
    // (a negative quota is unlimited) or, without one, gives the mailbox the
    // domain's default quota, then writes the records.
    static void createMailname(const std::string& domain, const std::string& mailname,
                               long long quota);
    static void createMailname(const std::string& domain, const std::string& mailname);
    // The "vmailbox" record, then one "virtual" change: the own address
    // first, then the address under each domain alias (panel order).
    static void createMailnameRecord(BatchDatabaseHelper& batch, const std::string& domain,
                                     const std::string& mailname);

    // Removes the "vmailbox" record and the "virtual" records of the address
    // under each domain alias and of the address itself; then deletes the
    // home (ON_REMOVAL_DELETE, failures ignored) or moves it aside
    // (ON_REMOVAL_BACKUP). Mail aliases of the mail name stay.
    static void removeMailname(const std::string& domain, const std::string& mailname,
                               OnRemoval mode);

    // Renames the address in the key and in every value element of
    // "vmailbox" and "virtual" (so that aliases and forwards pointing at it
    // follow), then the home directory. When a step fails, both tables are
    // filtered back; a failing undo step is reported on uerr and the next
    // one still runs. Refuses, before any change, the same name and a new
    // address that either table already has.
    static void renameMailname(const std::string& domain, const std::string& oldMailname,
                               const std::string& newMailname);
    // The same rename in "virtual" for the address under one domain alias.
    static void renameMailnameOnDomainAlias(const std::string& alias,
                                            const std::string& oldMailname,
                                            const std::string& newMailname);

    // "virtual" records of mail alias `aliasName`, under the domain and under
    // each domain alias, pointing at the mailbox address; one change.
    static void createMailAlias(BatchDatabaseHelper& batch, const std::string& domain,
                                const std::string& mailname, const std::string& aliasName);
    // The same, refusing (std::invalid_argument) before any change an alias
    // that is the mail name itself (in any case) or a mail name with a home
    // of its own.
    static void createMailAlias(const std::string& domain, const std::string& mailname,
                                const std::string& aliasName);
    // Removes those records in one postmap run; missing ones are no error.
    // Refuses the same names as createMailAlias.
    static void removeMailAlias(const std::string& domain, const std::string& mailname,
                                const std::string& aliasName);

    // Edit the mail name's ".qmail" file; no table changes.
    static void addForward(const std::string& domain, const std::string& mailname,
                           const std::string& address);
    static void removeForward(const std::string& domain, const std::string& mailname,
                              const std::string& address);
    static void enableDelivery(const std::string& domain, const std::string& mailname);
    static void disableDelivery(const std::string& domain, const std::string& mailname);
};

}  // namespace postfix
}  // namespace mail
}  // namespace marun
