// The mail authentication database location and its two layouts.
#include "mail/lib/mail_auth_location.h"

#include <libgen.h>

#include <cstdlib>
#include <cstring>

#include "lib/c_handles.h"

namespace {

struct Location {
    const char* db;
    const char* key;
};

constexpr Location kLocations[] = {
    {"/var/lib/marun/mail/auth/passwd.db", "/var/lib/marun/mail/auth/passwd_db_key"},
    {"/var/spool/postfix/marun/passwd.db", "/var/spool/postfix/marun/passwd_db_key"},
};

}  // namespace

const char* mailAuthDB = kLocations[MAIL_AUTH_DB_QMAIL_STYLE].db;
const char* mailAuthKey = kLocations[MAIL_AUTH_DB_QMAIL_STYLE].key;

void mailAuthDBSelectStyle(int style) {
    if (style != MAIL_AUTH_DB_QMAIL_STYLE && style != MAIL_AUTH_DB_POSTFIX_STYLE) {
        return;
    }
    mailAuthDB = kLocations[style].db;
    mailAuthKey = kLocations[style].key;
}

void mailAuthDBSetPath(const char* path) {
    mailAuthDB = path;
}

void mailAuthKeySetPath(const char* path) {
    mailAuthKey = path;
}

char* mailAuthDBToKeyPath(const char* dbPath) {
    // dirname() may modify its argument, so it works on a copy.
    MallocPtr<char> copy(strdup(dbPath));
    if (!copy) {
        return nullptr;
    }
    const char* dir = dirname(copy.get());
    static const char kKeyName[] = "/passwd_db_key";
    size_t size = std::strlen(dir) + sizeof(kKeyName);
    char* key = static_cast<char*>(std::malloc(size));
    if (key != nullptr) {
        std::strcpy(key, dir);
        std::strcat(key, kKeyName);
    }
    return key;
}
