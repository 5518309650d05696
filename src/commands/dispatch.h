// Command dispatch: the map from command word to handler, filled from the
// command table, and do_main, which picks the handler for the first argument
// and runs it.
#pragma once

#include <map>
#include <string>

#include "commands/command_table.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

using CommandMap = std::map<std::string, CommandHandler>;

// Chained insertion into a command map; a repeated word overwrites.
class CommandMapAssigner {
  public:
    explicit CommandMapAssigner(CommandMap& map) : map_(map) {}
    CommandMapAssigner& operator()(const std::string& command, CommandHandler handler) {
        map_[command] = handler;
        return *this;
    }

  private:
    CommandMap& map_;
};

// The words of every served row of the command table, the alias included,
// each bound to the row's handler.
void fillCommandMap(CommandMap& map);

int do_main(int argc, char** argv);

// Runs `body` and turns an escaping exception into its report on uerr and
// the exit status: 1 for a std::exception, 2 for anything else.
int runGuarded(CommandHandler body, int argc, char** argv);

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
