// IDNA conversion plus SQL escaping of names used in panel queries.
#include "mail/lib/mail_entity_escape.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "lib/c_handles.h"
#include "lib/db_connect.h"
#include "lib/idn.h"
#include "lib/log.h"

char* mysql_escape_mail_entity(MYSQL* my, const char* entity) {
    MallocPtr<char> ascii(idn_toascii(entity));
    if (!ascii) {
        errno = 0;
        messlog2(0, 0, "idn_toascii(%s) failed: %s", entity, idn_strerror(idn_errno));
        return nullptr;
    }
    char* escaped = db_escape(my, ascii.get(), std::strlen(ascii.get()));
    if (escaped == nullptr) {
        messlog2(0, 0, "unable to allocate memory to properly escape %s", entity);
    }
    return escaped;
}
