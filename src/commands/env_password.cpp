// Password hand-over through the environment.
#include "commands/env_password.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

namespace {

const char* const PLAIN_VARIABLE = "ORU_PASSWORD";
const char* const CRYPTED_VARIABLE = "ORU_CRYPTED_PASSWORD";

// Overwrites the variable's value where the environment keeps it, then
// removes the variable.
void erase(const char* name) {
    if (char* value = std::getenv(name)) {
        explicit_bzero(value, std::strlen(value));
    }
    unsetenv(name);
}

}  // namespace

int get_env_password(char** password, int* crypted) {
    int fromCrypted = 0;
    const char* value = std::getenv(PLAIN_VARIABLE);
    if (value == nullptr || *value == '\0') {
        fromCrypted = 1;
        value = std::getenv(CRYPTED_VARIABLE);
        if (value == nullptr || *value == '\0') {
            return -1;
        }
    }
    // Out of memory is no "no password": for some commands that would mean
    // removing the mailbox's password.
    char* copy = strdup(value);
    if (copy == nullptr) {
        throw std::bad_alloc();
    }
    // The variable not taken may hold a password too: neither stays.
    erase(PLAIN_VARIABLE);
    erase(CRYPTED_VARIABLE);
    *password = copy;
    *crypted = fromCrypted;
    return 0;
}

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
