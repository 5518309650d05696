// The dispatcher.
#include "commands/dispatch.h"

#include <exception>

#include "commands/env_password.h"
#include "commands/help.h"
#include "mail/lib/mail_auth_location.h"
#include "util/errors.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

void fillCommandMap(CommandMap& map) {
    CommandMapAssigner assign(map);
    for (const CommandDescription& row : commandDescriptions) {
        const std::string column = row.command;
        const std::string::size_type comma = column.find(", ");
        if (comma != std::string::npos) {
            assign(column.substr(0, comma), row.handler);
        }
        assign(comma == std::string::npos ? column : column.substr(comma + 2), row.handler);
    }
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
