// Process entry of kvarn: logging, dispatch, and the last word on exceptions.
#include <exception>

#include "commands/dispatch.h"
#include "lib/log.h"
#include "util/errors.h"

int main(int argc, char** argv) {
    marun_log_init(nullptr, 6, 16, 32, "kvarn");
    try {
        return marun::mail::postfix::kvarn_commands::do_main(argc, argv);
    } catch (const std::exception& e) {
        marun::reportException(e);
        return 1;
    } catch (...) {
        marun::reportUntypedException();
        return 2;
    }
}
