// Password hand-over through the environment, taken at start-up.
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

// The values taken from the environment (malloc'ed), until handed over.
char* plainKept = nullptr;
char* cryptedKept = nullptr;

void drop(char*& kept) {
    if (kept != nullptr) {
        explicit_bzero(kept, std::strlen(kept));
        std::free(kept);
        kept = nullptr;
    }
}

// Moves the variable's value into `kept`, overwrites it where the
// environment keeps it, and removes the variable.
void take(const char* name, char*& kept) {
    char* value = std::getenv(name);
    if (value == nullptr) {
        return;
    }
    char* copy = strdup(value);
    if (copy == nullptr) {
        throw std::bad_alloc();
    }
    drop(kept);
    kept = copy;
    explicit_bzero(value, std::strlen(value));
    unsetenv(name);
}

}  // namespace

void take_env_passwords() {
    take(PLAIN_VARIABLE, plainKept);
    take(CRYPTED_VARIABLE, cryptedKept);
}

int get_env_password(char** password, int* crypted) {
    take_env_passwords();
    int fromCrypted = 0;
    const char* value = plainKept;
    if (value == nullptr || *value == '\0') {
        fromCrypted = 1;
        value = cryptedKept;
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
    drop(plainKept);
    drop(cryptedKept);
    *password = copy;
    *crypted = fromCrypted;
    return 0;
}

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
