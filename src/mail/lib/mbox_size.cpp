// Mailbox size: attachments tree plus Maildir usage (from "maildirsize" when
// it is valid, else counted), never negative and saturating, whatever the
// mailbox owner wrote into names and files.
#include "mail/lib/mbox_size.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "lib/c_handles.h"
#include "lib/idn.h"
#include "lib/log.h"
#include "lib/oru_conf.h"
#include "lib/size_sum.h"
#include "mail/lib/dir_size.h"
#include "mail/lib/mail_tree_name.h"
#include "mail/lib/maildirpp_usage.h"

namespace {
constexpr std::size_t MAIL_PATH_MAX = 4096;
}  // namespace

long long get_mbox_size(const char* MailName, const char* DomainName, int in_blocks) {
    const char* why = nullptr;
    MallocPtr<char> domain(mail_tree_domain(DomainName, &why));
    if (!domain) {
        errno = 0;
        if (why == nullptr) {
            messlog2(1, 0, "idn_toascii() failed: %s", idn_strerror(idn_errno));
        } else {
            messlog2(1, 0, "Invalid domain name '%s': %s", DomainName, why);
        }
        return -1;
    }
    if ((why = mail_tree_name_error(MailName, std::strlen(MailName))) != nullptr) {
        errno = 0;
        messlog2(1, 0, "Invalid mail name '%s': %s", MailName, why);
        return -1;
    }
    std::string home = std::string(oruConfGetDefaultByIndex(_MARUN_MAILNAMES_D_INDEX)) + "/" +
                       domain.get() + "/" + MailName + "/";
    if (home.size() >= MAIL_PATH_MAX) {
        errno = 0;
        messlog2(1, 0, "user mailbox path is too long");
        return -1;
    }
    long long attachments = get_dir_size((home + "@attachments").c_str(), in_blocks);
    if (attachments < 0) {
        attachments = 0;  // no attachments
    }
    sizequota_t size = 0;
    fcount_t count = 0;
    std::string maildir = home + "Maildir";
    if (!get_maildirpp_usage(maildir.c_str(), &size, &count)) {
        messlog2(1, 0, "Unable to calculate Maildir++ size: %s", maildir.c_str());
        return -1;
    }
    // Lines other programs add to "maildirsize" may sum below zero: the
    // mailbox then holds nothing that counts.
    return size_add(attachments, size < 0 ? 0 : size);
}
