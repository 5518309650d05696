// The command table: for each of the 76 commands, in the order of the help
// texts, the command column (a legacy alias first, as "-p, --start-smtpd"),
// the handler, and the help row's
// synopsis and description. Dispatch and the help commands both read it.
#pragma once

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

// Every command is a function of the arguments after the program name; its
// own first argument is the command word. The result is the exit status.
using CommandHandler = int (*)(int argc, char** argv);

struct CommandDescription {
    const char* command;
    CommandHandler handler;
    const char* synopsis;
    const char* description;
};

constexpr int kCommandDescriptionCount = 76;
extern const CommandDescription commandDescriptions[kCommandDescriptionCount];

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
