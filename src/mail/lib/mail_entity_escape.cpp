// IDNA conversion plus SQL escaping of names used in panel queries.
#include "mail/lib/mail_entity_escape.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "lib/c_handles.h"
#include "lib/idn.h"
#include "lib/log.h"

char* mysql_escape_mail_entity(MYSQL* my, const char* entity) {
    MallocPtr<char> ascii(idn_toascii(entity));
    if (!ascii) {
        errno = 0;
        messlog2(0, 0, "idn_toascii(%s) failed: %s", entity, idn_strerror(idn_errno));
        return nullptr;
    }
    std::size_t length = std::strlen(ascii.get());
    char* escaped = static_cast<char*>(std::malloc(length * 2 + 1));
    if (escaped == nullptr) {
        messlog2(0, 0, "unable to allocate memory to properly escape %s", entity);
        return nullptr;
    }
    if (my != nullptr) {
        mysql_real_escape_string(my, escaped, ascii.get(), length);
    } else {
        mysql_escape_string(escaped, ascii.get(), length);
    }
    return escaped;
}
