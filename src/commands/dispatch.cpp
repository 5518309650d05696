// The command table and the dispatcher.
#include "commands/dispatch.h"

#include <exception>

#include "commands/domain_commands.h"
#include "commands/handler_commands.h"
#include "commands/help.h"
#include "commands/mailname_commands.h"
#include "commands/sender_transport_commands.h"
#include "commands/service_commands.h"
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
    assign("--add-domain-to-sender-transport", addDomainToIpTransport)(
        "--remove-domain-from-sender-transport", removeDomainFromIpTransport)(
        "--remove-sender-transport", removeIPTransport);
    assign("--start-service", startService)("--stop-service", stopService)(
        "--restart-service", restartService)("--reload-service", reloadService)("--status-service",
                                                                                statusService);
    assign("--start-smtpd", startSMTPD)("-p", startSMTPD)("--stop-smtpd", stopSMTPD)(
        "-o", stopSMTPD)("--restart-smtpd", startSMTPD)("-r", startSMTPD)(
        "--status-smtpd", statusMTA)("-s", statusMTA)("--start-qmail-send", startMTA)(
        "-l", startMTA)("--stop-qmail-send", stopMTA)("-m", stopMTA)("--start-maild", startIMAP)(
        "-i", startIMAP)("--stop-maild", stopIMAP)("-t", stopIMAP)("--restart-maild", restartIMAP)(
        "-z", restartIMAP)("--status-maild", statusIMAP)("-e", statusIMAP)(
        "--start-milter", startMilter)("--stop-milter", stopMilter)(
        "--restart-milter", restartMilter)("--status-milter", statusMilter)(
        "--enable-message-submission", enableSubmission)("-a", enableSubmission)(
        "--disable-message-submission", disableSubmission)("-b", disableSubmission);
}

int do_main(int argc, char** argv) {
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
