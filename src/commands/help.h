// The help texts of kvarn: the short, command-list and legacy usages (the
// last two from the command table), and the handlers of the help commands.
#pragma once

#include <ostream>
#include <string>

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

// Each prints its text to `out` and ends the process with `status`.
[[noreturn]] void usageShort(int status, std::ostream& out);
[[noreturn]] void usageCommands(int status, std::ostream& out);
[[noreturn]] void usageLegacy(int status, std::ostream& out);

// Prints "Error: <message>" (when not empty) and the short usage on standard
// error, and exits with 1.
[[noreturn]] void wrongUsage(const std::string& message);

int usageShortCmd(int argc, char** argv);
int usageCommandsCmd(int argc, char** argv);
int usageLegacyCmd(int argc, char** argv);

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
