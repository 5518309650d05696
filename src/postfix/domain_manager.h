// DomainManager: the mail domain operations expressed as lookup-table
// changes (creating, enabling, disabling, removing and renaming a domain;
// domain aliases; catch-all and bounce; the standard addresses every served
// domain has), plus the calls to the mail tree managers for the on-disk side.
//
// Most operations come in two forms: one adds its changes to a caller's
// BatchDatabaseHelper, the other makes an incremental, immediate batch of its
// own, so that every change reaches its table when it is given.
#pragma once

#include <string>
#include <vector>

#include "mail/on_removal.h"
#include "postfix/database_helper.h"

namespace marun {
namespace mail {
namespace postfix {

class DomainManager {
  public:
    // The local parts every served domain routes to the local system, in the
    // order their records are written.
    static const std::vector<std::string> stdAddresses;

    // Creates the domain's mail root, sets its Maildir++ quota (first form
    // only), drops a domain alias of the same name and registers the domain
    // (served unless `disabled`).
    static void createDomain(const std::string& domain, long long quota, bool disabled);
    static void createDomain(const std::string& domain, bool disabled);
    // The standard addresses, and unless `disabled` the "virtual_domains"
    // record.
    static void createDomainRecord(BatchDatabaseHelper& batch, const std::string& domain,
                                   bool disabled);
    static void createDomainRecord(const std::string& domain, bool disabled);

    // Put the domain into delivery ("virtual_domains" record and standard
    // addresses) or take it out; its mailboxes, aliases, catch-all and bounce
    // records stay either way.
    static void enableDomain(BatchDatabaseHelper& batch, const std::string& domain);
    static void enableDomain(const std::string& domain);
    static void disableDomain(const std::string& domain);

    // Removes every record of the domain; with mode 1 deletes its mail tree
    // (a failure to delete is ignored), with mode 2 moves it aside.
    static void removeDomain(const std::string& domain, OnRemoval mode);
    // Drops from "virtual" and "vmailbox" every record whose key is in the
    // domain (with `subdomains`, also under it) and every value element in
    // it; a record left without value elements goes too.
    static void removeDomainReferences(const std::string& domain, bool subdomains);

    // Moves the domain's records and mail tree to the new name; when a step
    // fails, the tables are restored to the old name.
    static void renameDomain(const std::string& oldDomain, const std::string& newDomain);

    // Makes `alias` an alias domain of `domain`: its standard addresses, the
    // alias record, and an address under the alias for every mail name of
    // the domain and each of its mail aliases (read from the panel).
    static void createDomainAlias(BatchDatabaseHelper& batch, const std::string& domain,
                                  const std::string& alias);
    static void createDomainAlias(const std::string& domain, const std::string& alias);
    // Drops every "virtual" record in the alias domain and every value
    // element in it.
    static void removeDomainAlias(const std::string& alias);
    static void renameDomainAlias(const std::string& oldAlias, const std::string& newAlias);

    // Mail to unknown addresses of the domain and of each of its aliases
    // goes to `target`; replaces a bounce of the same domain.
    static void createCatchall(BatchDatabaseHelper& batch, const std::string& domain,
                               const std::string& target);
    static void createCatchall(const std::string& domain, const std::string& target);
    static void createCatchallFor(BatchDatabaseHelper& batch,
                                  const std::vector<std::string>& domains,
                                  const std::string& target);
    static void createCatchallFor(const std::vector<std::string>& domains,
                                  const std::string& target);
    // Ends a catch-all or bounce of the domain and of each of its aliases.
    static void removeCatchall(BatchDatabaseHelper& batch, const std::string& domain);
    static void removeCatchall(const std::string& domain);

    // Mail to unknown addresses of the domain and of each of its aliases is
    // piped to the bounce program with `message` (may be empty).
    static void setBounce(BatchDatabaseHelper& batch, const std::string& domain,
                          const std::string& message);
    static void setBounce(const std::string& domain, const std::string& message);
    static void setBounceFor(BatchDatabaseHelper& batch, const std::vector<std::string>& domains,
                             const std::string& message);
    static void setBounceFor(const std::vector<std::string>& domains, const std::string& message);
    // The "aliases" value piping to the bounce program: a double quote, "|",
    // the program, then unless `message` is empty a space and the message
    // with line feeds turned into spaces and passed through sh_quote twice,
    // then a double quote.
    static std::string bounceCommand(const std::string& message);

    static void createStandardDomainAddresses(BatchDatabaseHelper& batch,
                                              const std::string& domain);
    static void createStandardDomainAddresses(const std::string& domain);
    static void removeStandardDomainAddresses(BatchDatabaseHelper& batch,
                                              const std::string& domain);
    static void removeStandardDomainAddresses(const std::string& domain);
};

}  // namespace postfix
}  // namespace mail
}  // namespace marun
