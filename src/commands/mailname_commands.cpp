// Mail name and mailbox commands: each parses its options, converts the
// domain to its ASCII form and checks every name before anything changes,
// then calls the mail name manager, the mail authentication walkers and the
// mail handlers database in a fixed order. Authentication and handler
// results become the exit status.
#include "commands/mailname_commands.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "commands/env_password.h"
#include "commands/shared_options.h"
#include "mail/lib/mail_auth.h"
#include "mail/lib/mail_handlers.h"
#include "mail/lib/mail_panel_queries.h"
#include "mail/lib/mbox_size.h"
#include "mail/maildirpp_manager.h"
#include "postfix/mailname_manager.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

namespace {

const char PASSWORD_USAGE[] =
    "\n        The noncrypted password is transferred in the environment variable ORU_PASSWORD,"
    "\n        or crypted password is transferred in the environment variable "
    "ORU_CRYPTED_PASSWORD";

const char DOMAIN_DISABLED_TEXT[] = "the domain is disabled (currently unused)";

// Declares the mandatory domain name and mail name options.
void addNameOptions(ProgramOptionsHelper& helper) {
    addDomainNameOption(helper);
    addMailnameOption(helper);
}

// The domain and the mail name of a command that works on one mail name.
struct MailnameOptions {
    MailnameOptions(ProgramOptionsHelper& helper, int argc, char** argv) {
        standardOptionsParse(helper, argc, argv);
        domain = domainNameOption(helper);
        mailname = mailnameOption(helper);
    }

    std::string domain;
    std::string mailname;
};

// The password handed over in the environment, wiped and freed at the end
// of the command.
class EnvPassword {
  public:
    EnvPassword() { get_env_password(&text_, &crypted_); }
    EnvPassword(const EnvPassword&) = delete;
    EnvPassword& operator=(const EnvPassword&) = delete;
    ~EnvPassword() {
        if (text_ != nullptr) {
            explicit_bzero(text_, std::strlen(text_));
            std::free(text_);
        }
    }

    // Null when no password came.
    const char* text() const { return text_; }
    MailAuthFlagsT flags(bool domainDisabled) const {
        return static_cast<MailAuthFlagsT>((crypted_ ? MAIL_AUTH_CRYPTED : 0) |
                                           (domainDisabled ? MAIL_DOMAIN_AUTH_DISABLED : 0));
    }

  private:
    char* text_ = nullptr;
    int crypted_ = 0;
};

std::string handlerAddress(const std::string& mailname, const std::string& domain) {
    return mailname + "@" + domain;
}

}  // namespace

int addMailname(int argc, char** argv) {
    ProgramOptionsHelper helper(
        "add a mailname",
        "--add-mailname --domain-name=<domain_name> --mailname=<mail_name> [--disk-quota=<quota>]");
    addNameOptions(helper);
    addQuotaOption(helper, false);
    MailnameOptions names(helper, argc, argv);
    if (helper.has("disk-quota")) {
        MailnameManager::createMailname(names.domain, names.mailname,
                                        helper.get<long long>("disk-quota"));
    } else {
        MailnameManager::createMailname(names.domain, names.mailname);
    }
    return 0;
}

int removeMailname(int argc, char** argv) {
    ProgramOptionsHelper helper(
        "remove a mailname",
        "--remove-mailname --domain-name=<domain_name> --mailname=<mail_name>");
    addNameOptions(helper);
    MailnameOptions names(helper, argc, argv);
    if (rm_mails_from_domains(names.mailname.c_str(), names.domain.c_str()) == -1) {
        return 1;
    }
    MailnameManager::removeMailname(names.domain, names.mailname, ON_REMOVAL_DELETE);
    return mh_db_remove_addr(nullptr, handlerAddress(names.mailname, names.domain).c_str());
}

int renameMailname(int argc, char** argv) {
    ProgramOptionsHelper helper(
        "rename a mailname",
        "--rename-mailname --domain-name=<domain_name> --old-mailname=<old_mail_name> "
        "--new-mailname=<new_mail_name> [--mail-domain-disabled|-D]");
    addDomainNameOption(helper);
    addMailnameOption(helper, "old-mailname", "old mailname");
    addMailnameOption(helper, "new-mailname", "new mailname");
    helper.add_options()("mail-domain-disabled,D", DOMAIN_DISABLED_TEXT);
    standardOptionsParse(helper, argc, argv);
    const std::string domain = domainNameOption(helper);
    const std::string oldName = mailnameOption(helper, "old-mailname");
    const std::string newName = mailnameOption(helper, "new-mailname");

    MailnameManager::renameMailname(domain, oldName, newName);

    // Only whether a password came matters: with one, the authentication
    // record moves to the new name; without, the old name's records go.
    EnvPassword password;
    if (password.text() != nullptr) {
        int result = mailAuthRename(oldName.c_str(), newName.c_str(), domain.c_str());
        if (result != 0) {
            return result;
        }
    } else if (rm_mname_from_domains(oldName.c_str(), domain.c_str()) == -1) {
        return 1;
    }
    int cloned =
        mh_db_clone(nullptr, oldName.c_str(), domain.c_str(), newName.c_str(), domain.c_str());
    int removed = mh_db_remove_addr(nullptr, handlerAddress(oldName, domain).c_str());
    return cloned | removed;
}

int addMailbox(int argc, char** argv) {
    ProgramOptionsHelper helper("add mailname's mailbox",
                                std::string("--add-mailbox --domain-name=<domain_name> "
                                            "--mailname=<mail_name> [--mail-domain-disabled|-D]") +
                                    PASSWORD_USAGE);
    addNameOptions(helper);
    helper.add_options()("mail-domain-disabled,D", DOMAIN_DISABLED_TEXT);
    MailnameOptions names(helper, argc, argv);
    MailnameManager::enableDelivery(names.domain, names.mailname);
    EnvPassword password;
    int result =
        set_passwd_for_domains(names.mailname.c_str(), names.domain.c_str(), password.text(),
                               password.flags(helper.has("mail-domain-disabled")));
    return result == -1 ? 1 : 0;
}

int removeMailbox(int argc, char** argv) {
    ProgramOptionsHelper helper(
        "remove mailname's mailbox",
        "--remove-mailbox --domain-name=<domain_name> --mailname=<mail_name>");
    addNameOptions(helper);
    MailnameOptions names(helper, argc, argv);
    MailnameManager::disableDelivery(names.domain, names.mailname);
    return rm_mails_from_domains(names.mailname.c_str(), names.domain.c_str()) == -1 ? 1 : 0;
}

int getMailboxSize(int argc, char** argv) {
    ProgramOptionsHelper helper(
        "get mailbox size",
        "--get-mailbox-size [--in-blocks] --domain-name=<domain_name> --mailname=<mail_name>");
    helper.add_options()("in-blocks", "count result in blocks rather than bytes");
    addNameOptions(helper);
    MailnameOptions names(helper, argc, argv);
    long long size = get_mbox_size(names.mailname.c_str(), names.domain.c_str(),
                                   helper.has("in-blocks") ? 1 : 0);
    if (size < 0) {
        return 1;
    }
    std::cout << size << std::flush;
    return 0;
}

int setPassword(int argc, char** argv) {
    ProgramOptionsHelper helper("set mailname's password",
                                std::string("--set-password --domain-name=<domain_name> "
                                            "--mailname=<mail_name> [--mail-domain-disabled|-D]") +
                                    PASSWORD_USAGE);
    addNameOptions(helper);
    helper.add_options()("mail-domain-disabled,D", DOMAIN_DISABLED_TEXT);
    MailnameOptions names(helper, argc, argv);
    // Without a password the authentication layer removes the records.
    EnvPassword password;
    int result =
        set_mass_postbox_passwd(names.mailname.c_str(), names.domain.c_str(), password.text(),
                                password.flags(helper.has("mail-domain-disabled")));
    return result == -1 ? 1 : 0;
}

int setMailboxDiskQuota(int argc, char** argv) {
    ProgramOptionsHelper helper("set mailbox disk quota",
                                "--set-mailbox-disk-quota --domain-name=<domain_name> "
                                "--mailname=<mail_name> --disk-quota=<quota>");
    addNameOptions(helper);
    addQuotaOption(helper, true);
    MailnameOptions names(helper, argc, argv);
    MaildirPPManager& quotas = MaildirPPManager::getInstance();
    quotas.setMailboxQuota(names.domain, names.mailname, helper.get<long long>("disk-quota"));
    return 0;
}

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
