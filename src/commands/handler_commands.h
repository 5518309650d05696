// Command handlers for mail handler registrations: --add-handler,
// --enable-handler, --disable-handler, --remove-handler and the deprecated
// --update-handler and --check-handler.
#pragma once

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

int addHandler(int argc, char** argv);
int enableHandler(int argc, char** argv);
int disableHandler(int argc, char** argv);
int removeHandler(int argc, char** argv);
int updateHandler(int argc, char** argv);
int checkHandler(int argc, char** argv);

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
