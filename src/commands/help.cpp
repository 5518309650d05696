// Help texts and help command handlers.
#include "commands/help.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>

#include "commands/command_table.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

void usageShort(int status, std::ostream& out) {
    out << "Usage: kvarn <COMMAND> <COMMAND OPTIONS...>" << std::endl;
    out << "\t for a complete list of commands use ``kvarn --help-commands''" << std::endl;
    out << "\t for help on syntax for a particular command use ``kvarn <COMMAND> --help''"
        << std::endl;
    out << "\t for legacy complete help use ``kvarn --help-legacy''" << std::endl;
    std::exit(status);
}

void usageCommands(int status, std::ostream& out) {
    out << "Kvarn commands:" << std::endl;
    size_t width = 0;
    for (const CommandDescription& row : commandDescriptions) {
        width = std::max(width, std::strlen(row.command));
    }
    width += 2;
    for (const CommandDescription& row : commandDescriptions) {
        out << std::left << std::setw(static_cast<int>(width)) << row.command << row.description
            << "\n"
            << std::flush;
    }
    std::exit(status);
}

void usageLegacy(int status, std::ostream& out) {
    out << "Usage: kvarn [OPTIONS]... " << std::endl;
    for (const CommandDescription& row : commandDescriptions) {
        out << "  " << row.command << " " << row.synopsis << "\n" << std::flush;
        out << "        " << row.description << "\n" << std::flush;
    }
    std::exit(status);
}

void wrongUsage(const std::string& message) {
    if (!message.empty()) {
        std::cerr << "Error: " << message << std::endl;
    }
    usageShort(1, std::cerr);
}

int usageShortCmd(int, char**) {
    usageShort(0, std::cout);
}
int usageCommandsCmd(int, char**) {
    usageCommands(0, std::cout);
}
int usageLegacyCmd(int, char**) {
    usageLegacy(0, std::cout);
}

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
