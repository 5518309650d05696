// Mail name validation.
#include "mail/lib/mail_validate.h"

#include <cstring>

#include "lib/log.h"

int mail_validate(const char* text, int validation_type) {
    if (validation_type != 0) {
        marun_log(6, "unknown validation_type: %d", validation_type);
        return 0;
    }
    return std::strstr(text, "..") == nullptr ? 1 : 0;
}
