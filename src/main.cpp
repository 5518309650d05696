// Process entry of kvarn: logging to the system log (mail facility, copied to
// standard error), then one command.
#include "commands/dispatch.h"
#include "lib/log.h"

int main(int argc, char** argv) {
    marun_log_init(nullptr, 6, 16, 32, "kvarn");
    using namespace marun::mail::postfix::kvarn_commands;
    return runGuarded(do_main, argc, argv);
}
