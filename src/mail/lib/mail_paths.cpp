// Building mail-tree paths from a mail name and a (possibly Unicode) domain.
#include "mail/lib/mail_paths.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "lib/c_handles.h"
#include "lib/idn.h"
#include "lib/log.h"
#include "lib/oru_conf.h"
#include "mail/lib/mail_tree_name.h"

namespace {

int buildPath(char* buffer, std::size_t size, const char* mailname, const char* domain,
              const char* suffix, const char* too_long_message) {
    if (buffer != nullptr && size > 0) {
        buffer[0] = '\0';
    }
    unsigned char first = static_cast<unsigned char>(mailname[0]);
    if (!(std::isalnum(first) || first == '_' || first == '-') || domain[0] == '\0') {
        errno = 0;
        messlog2(0, 0, "empty mailname or maildomain");
        return -1;
    }
    const char* why = nullptr;
    MallocPtr<char> ascii(mail_tree_domain(domain, &why));
    if (!ascii && why == nullptr) {
        errno = 0;
        messlog2(0, 0, "idn_toascii(%s) failed: %s", domain, idn_strerror(idn_errno));
        return -1;
    }
    if (const char* bad = mail_tree_name_error(mailname, std::strlen(mailname))) {
        errno = 0;
        messlog2(0, 0, "Invalid mail name '%s': %s", mailname, bad);
        return -1;
    }
    if (!ascii) {
        errno = 0;
        messlog2(0, 0, "Invalid domain name '%s': %s", domain, why);
        return -1;
    }
    const char* root = oruConfGetDefaultByIndex(_MARUN_MAILNAMES_D_INDEX);
    int length = std::snprintf(buffer, size, "%s/%s/%s%s", root, ascii.get(), mailname, suffix);
    if (length < 0 || static_cast<std::size_t>(length) >= size) {
        if (buffer != nullptr && size > 0) {
            buffer[0] = '\0';
        }
        errno = 0;
        messlog2(0, 0, too_long_message, domain, mailname);
        return -1;
    }
    return 0;
}

}  // namespace

int get_mailhome_path(char* buffer, std::size_t size, const char* mailname, const char* domain) {
    return buildPath(buffer, size, mailname, domain, "",
                     "Either domain name '%s' or mailname '%s' are too long to store mailname "
                     "home path in the provided buffer");
}

int get_dotqmail_path(char* buffer, std::size_t size, const char* mailname, const char* domain) {
    return buildPath(buffer, size, mailname, domain, "/.qmail",
                     "Either domain name '%s' or mailname '%s' are too long to store .qmail path "
                     "in the provided buffer");
}
