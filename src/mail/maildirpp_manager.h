// MaildirPPManager: Maildir++ quotas of mailboxes, of domains and default
// mailbox quotas, over the mail library's quota functions. It is the same
// process-wide object as MaildirManager.
#pragma once

#include <string>

#include "mail/lib/maildirpp_usage.h"
#include "mail/maildir_manager.h"

namespace marun {
namespace mail {

class MaildirPPManager : public MaildirManager {
  public:
    // The process-wide instance; looks "popuser" up on every call (throws
    // SystemError "user popuser not found").
    static MaildirPPManager& getInstance();

    // Writes the mailbox's "maildirsize": a negative quota is unlimited, 0
    // (or a quota used up by "@attachments") accepts no more mail. Throws
    // FSError ("create maildirsize", "chdir") on failure.
    int setMailboxQuota(const std::string& domain, const std::string& mailname, sizequota_t quota);
    // Gives the mailbox the domain's default mailbox quota from the panel.
    int removeMailboxQuota(const std::string& domain, const std::string& mailname);

    // Apply to every mailbox of the domain that uses the default quota.
    int setDomainQuota(const std::string& domain, sizequota_t quota);
    int removeDomainQuota(const std::string& domain);
    int setDefaultMailboxQuota(const std::string& domain, sizequota_t quota);
    int removeDefaultMailboxQuota(const std::string& domain);

  private:
    MaildirPPManager() = default;
};

}  // namespace mail
}  // namespace marun
