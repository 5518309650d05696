// Forwarding commands. Each parses its options and, before anything
// changes, turns the domain (and a redirect address) into its checked ASCII
// form and checks every name; then it calls the mail name manager, the mail
// authentication library, the mail handlers database or the autoresponder
// hook. A failed authentication step gives 1; the results of the handlers
// database and of the hook become the exit status unchanged (-1 shows as
// 255).
#include "commands/forwarding_commands.h"

#include <stdexcept>
#include <string>
#include <vector>

#include "commands/name_checks.h"
#include "commands/shared_options.h"
#include "mail/lib/autoresponder.h"
#include "mail/lib/mail_auth.h"
#include "mail/lib/mail_handlers.h"
#include "mail/lib/mail_panel_queries.h"
#include "postfix/mailname_manager.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

namespace {

// Declares "domain-name" and "mailname".
void declare(ProgramOptionsHelper& helper) {
    addDomainNameOption(helper);
    addMailnameOption(helper);
}

// The options of a redirect or alias command: the domain and the mail name,
// checked, and the value of its further option `option`, as given.
struct Names {
    std::string domain;
    std::string mailname;
    std::string value;
};

Names parse(ProgramOptionsHelper& helper, int argc, char** argv, const char* option,
            const char* text) {
    declare(helper);
    helper.add_options()(option, po::value<std::string>(), text, true);
    standardOptionsParse(helper, argc, argv);
    return Names{domainNameOption(helper), mailnameOption(helper), helper.get<std::string>(option)};
}

// The options of a mail alias command; the alias must be one local name.
Names aliasNames(ProgramOptionsHelper& helper, int argc, char** argv) {
    Names names = parse(helper, argc, argv, "alias", "alias email");
    checkMailAlias(names.value);
    return names;
}

// A redirect names exactly one address: nothing given can become a second
// line of the ".qmail" file, or a program line.
int redirect(ProgramOptionsHelper& helper, int argc, char** argv,
             void (*change)(const std::string&, const std::string&, const std::string&)) {
    const Names names = parse(helper, argc, argv, "redirect-email", "redirect email");
    change(names.domain, names.mailname, asciiAddress(names.value));
    return 0;
}

// The autoresponder commands take lists of mail names and of domains
// (separated by commas or blanks): every element is checked, and every
// domain reaches the hook in its ASCII form.
int autoresponder(ProgramOptionsHelper& helper, int argc, char** argv, handler_control_t action) {
    declare(helper);
    standardOptionsParse(helper, argc, argv);
    const std::string& mailnames = helper.get<std::string>("mailname");
    const std::vector<std::string> names = hook_list_split(mailnames.c_str());
    const std::vector<std::string> domains =
        hook_list_split(helper.get<std::string>("domain-name").c_str());
    if (names.empty() || domains.empty()) {
        throw std::invalid_argument("no mail name or no domain name given");
    }
    for (const std::string& name : names) {
        checkMailName(name);
    }
    std::string asciiDomains;
    for (const std::string& domain : domains) {
        asciiDomains += (asciiDomains.empty() ? "" : ",") + asciiDomainName(domain);
    }
    return autoresponder_action(mailnames.c_str(), asciiDomains.c_str(), action);
}

}  // namespace

int addRedirect(int argc, char** argv) {
    ProgramOptionsHelper helper("add a redirect",
                                "--add-redirect --domain-name=<domain_name> "
                                "--mailname=<mail_name> --redirect-email=<email>");
    return redirect(helper, argc, argv, MailnameManager::addForward);
}

int removeRedirect(int argc, char** argv) {
    ProgramOptionsHelper helper("remove a given redirect",
                                "--remove-redirect --domain-name=<domain_name> "
                                "--mailname=<mail_name> --redirect-email=<email>");
    return redirect(helper, argc, argv, MailnameManager::removeForward);
}

int addAlias(int argc, char** argv) {
    ProgramOptionsHelper helper("add alias for a given mailname",
                                "--add-alias --domain-name=<domain_name> --mailname=<mail_name> "
                                "--alias=<email_alias>");
    const Names names = aliasNames(helper, argc, argv);
    const char* domain = names.domain.c_str();
    const char* alias = names.value.c_str();

    MailnameManager::createMailAlias(names.domain, names.mailname, names.value);
    if (mailAuthClone(names.mailname.c_str(), domain, alias, domain) == -1) {
        return 1;
    }
    return mh_db_clone(nullptr, names.mailname.c_str(), domain, alias, domain);
}

int removeAlias(int argc, char** argv) {
    ProgramOptionsHelper helper("remove alias for a given mailname",
                                "--remove-alias --domain-name=<domain_name> "
                                "--mailname=<mail_name> --alias=<email_alias>");
    const Names names = aliasNames(helper, argc, argv);

    MailnameManager::removeMailAlias(names.domain, names.mailname, names.value);
    if (rm_mname_from_domains(names.value.c_str(), names.domain.c_str()) == -1) {
        return 1;
    }
    return mh_db_remove_addr(nullptr, (names.value + "@" + names.domain).c_str());
}

int addAutoresponder(int argc, char** argv) {
    ProgramOptionsHelper helper(
        "add autoresponder for a given mailname",
        "--set-autoresponder --domain-name=<domain_name> --mailname=<mail_name>");
    return autoresponder(helper, argc, argv, HOOK_ENABLE);
}

int removeAutoresponder(int argc, char** argv) {
    ProgramOptionsHelper helper(
        "remove autoresponder for a given mailname",
        "--reset-autoresponder --domain-name=<domain_name> --mailname=<mail_name>");
    return autoresponder(helper, argc, argv, HOOK_DISABLE);
}

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
