// The command table and the dispatcher.
#include "commands/dispatch.h"

#include <exception>

#include "commands/domain_commands.h"
#include "commands/env_password.h"
#include "commands/handler_commands.h"
#include "commands/help.h"
#include "commands/mailname_commands.h"
#include "mail/lib/mail_auth_location.h"
#include "util/errors.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

void fillCommandMap(CommandMap& map) {
    CommandMapAssigner assign(map);
    assign("--add-mailname", addMailname)("--remove-mailname", removeMailname)(
        "--rename-mailname", renameMailname)("--add-mailbox", addMailbox)(
        "--remove-mailbox", removeMailbox)("--get-mailbox-size", getMailboxSize)(
        "--set-password", setPassword)("--set-mailbox-disk-quota", setMailboxDiskQuota);
    assign("--help-commands", usageCommandsCmd)("--help-legacy", usageLegacyCmd)(
        "--help", usageShortCmd)("-h", usageShortCmd);
    assign("--add-handler", addHandler)("--update-handler", updateHandler)(
        "--remove-handler", removeHandler)("--disable-handler", disableHandler)(
        "--enable-handler", enableHandler)("--check-handler", checkHandler);
    assign("--add-domain", addDomain)("--remove-domain", removeDomain)(
        "--turn-on-domain", enableDomain)("--turn-off-domain", disableDomain)(
        "--set-domain-disk-quota", setDomainDiskQuota);
}

int do_main(int argc, char** argv) {
    // Before anything can start a child: no password variable may reach one.
    take_env_passwords();
    if (argc < 2) {
        wrongUsage("no command specified");
    }
    CommandMap commands;
    fillCommandMap(commands);
    auto found = commands.find(argv[1]);
    if (found == commands.end()) {
        wrongUsage(std::string("invalid command ") + argv[1]);
    }
    // Every command of this program works on the Postfix spool's database.
    mailAuthDBSelectStyle(MAIL_AUTH_DB_POSTFIX_STYLE);
    return found->second(argc - 1, argv + 1);
}

int runGuarded(CommandHandler body, int argc, char** argv) {
    try {
        return body(argc, argv);
    } catch (const std::exception& e) {
        reportException(e);
        return 1;
    } catch (...) {
        reportUntypedException();
        return 2;
    }
}

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
