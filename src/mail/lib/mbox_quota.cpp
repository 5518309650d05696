// Quota changes that start from a domain and mail name: path building, the
// "@attachments" share, and the panel database lookups of default quotas.
#include "mail/lib/mbox_quota.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "lib/c_handles.h"
#include "lib/db_connect.h"
#include "lib/dom_limit.h"
#include "lib/idn.h"
#include "lib/log.h"
#include "lib/oru_conf.h"
#include "lib/tree_walk.h"
#include "lib/unique_fd.h"
#include "mail/lib/dir_size.h"
#include "mail/lib/mail_entity_escape.h"
#include "mail/lib/mail_tree_name.h"
#include "mail/lib/maildirsize_write.h"

namespace {

constexpr std::size_t MAIL_PATH_MAX = 4096;

using CString = MallocPtr<char>;
using DbHandle = MysqlHandle;
using DbResult = MysqlResult;

// The quota text of the panel: a number, or anything else for "default".
// A number beyond the 64-bit range saturates: too large is no limit worth
// keeping, too small is unlimited like any negative quota.
sizequota_t parseQuota(const char* text) {
    if (text == nullptr) {
        return -1;
    }
    char* end = nullptr;
    errno = 0;
    long long quota = std::strtoll(text, &end, 10);
    if (end == text) {
        return -1;
    }
    return errno == ERANGE && quota < 0 ? -1 : quota;
}

bool validName(const char* kind, const char* name) {
    if (const char* why = mail_tree_name_error(name, std::strlen(name))) {
        errno = 0;
        messlog2(0, 0, "Invalid %s '%s': %s", kind, name, why);
        return false;
    }
    return true;
}

DbHandle connect() {
    DbHandle my(db_connect());
    if (!my) {
        errno = 0;
        messlog2(0, 0, "unable to connect to MySQL");
    }
    return my;
}

// Runs `query` and stores its rows; null after `message` (with the server's
// error text) on failure.
DbResult storedQuery(MYSQL* my, const std::string& query, const char* message) {
    if (mysql_real_query(my, query.data(), query.size()) != 0) {
        errno = 0;
        messlog2(0, 0, message, mysql_error(my));
        return nullptr;
    }
    DbResult result(mysql_store_result(my));
    if (!result) {
        errno = 0;
        messlog2(0, 0, message, mysql_error(my));
    }
    return result;
}

}  // namespace

int store_mbox_quota(const char* MailDomain, const char* MailName, sizequota_t quota) {
    const char* why = nullptr;
    CString domain(mail_tree_domain(MailDomain, &why));
    if (!domain) {
        errno = 0;
        if (why == nullptr) {
            messlog2(0, 0, "idn_toascii(%s) failed: %s", MailDomain, idn_strerror(idn_errno));
        } else {
            messlog2(0, 0, "Invalid domain name '%s': %s", MailDomain, why);
        }
        return 0;
    }
    if (!validName("mail name", MailName)) {
        return 0;
    }
    std::string home = std::string(oruConfGetDefaultByIndex(_MARUN_MAILNAMES_D_INDEX)) + "/" +
                       domain.get() + "/" + MailName;
    if (home.size() >= MAIL_PATH_MAX) {
        errno = 0;
        messlog2(0, 0, "domain and/or user name too long to be stored on the filesystem");
        return 0;
    }
    marun::UniqueFd home_fd(walk_open_dir(home.c_str()));
    if (!home_fd.valid()) {
        int error = errno;
        errno = 0;  // the message carries the error text already
        messlog2(0, 0, "unable to change to mbox folder %s: %s", home.c_str(),
                 walk_strerror(error));
        return 0;
    }
    struct stat st;
    if (quota >= 0 && fstatat(home_fd.get(), "@attachments", &st, AT_SYMLINK_NOFOLLOW) == 0) {
        long long attachments = dir_size_at(home_fd.get(), "@attachments", 0);
        if (attachments < 0) {
            messlog2(0, 0, "unable to count attachments folder size");
            return 0;
        }
        if (attachments > quota) {
            // A quota of 0 asks for no more mail anyway: nothing to warn of.
            if (quota > 0) {
                errno = 0;
                messlog2(0, 0,
                         "WARNING: @attachments directory is big enough to disable delivery!");
            }
            quota = 0;
        } else {
            quota -= attachments;  // 0 left is written as "no more mail"
        }
    }
    return store_maildirpp_quota_raw((home + "/Maildir").c_str(), quota);
}

int rm_mbox_quota(const char* MailDomain, const char* MailName) {
    DbHandle my = connect();
    if (!my) {
        return 0;
    }
    CString escaped(mysql_escape_mail_entity(my.get(), MailDomain));
    if (!escaped) {
        return 0;
    }
    DbResult result = storedQuery(
        my.get(),
        std::string("SELECT id, webspace_id FROM domains WHERE name='") + escaped.get() + "'",
        "Unable to query domain ID: %s");
    if (!result) {
        return 0;
    }
    MYSQL_ROW row = mysql_fetch_row(result.get());
    if (row == nullptr) {
        if (mysql_errno(my.get()) != 0) {
            errno = 0;
            messlog2(0, 0, "Unable to get domain ID query result: %s", mysql_error(my.get()));
        } else {
            errno = 0;
            messlog2(0, 0, "No such domain %s", MailDomain);
        }
        return 0;
    }
    // The subscription's limits apply to the domain when it has one.
    std::string limits_owner =
        row[1] != nullptr && std::strcmp(row[1], "0") != 0 ? row[1] : (row[0] ? row[0] : "");
    const char* value = get_dom_Limit(limits_owner.c_str(), "mbox_quota", my.get());
    if (value == nullptr) {
        // Without the limit the quota is unknown; storing "unlimited" instead
        // would silently lift a limit the panel has set.
        errno = 0;
        messlog2(0, 0, "unable to read the default mbox quota of domain %s", MailDomain);
        return 0;
    }
    sizequota_t quota = parseQuota(value);
    result.reset();
    my.reset();
    return store_mbox_quota(MailDomain, MailName, quota);
}

int store_default_mbox_quota(const char* DomainName, sizequota_t quota) {
    DbHandle my = connect();
    if (!my) {
        return 0;
    }
    CString escaped(mysql_escape_mail_entity(my.get(), DomainName));
    if (!escaped) {
        return 0;
    }
    DbResult result = storedQuery(
        my.get(),
        std::string("SELECT m.mail_name, m.mbox_quota FROM mail m, domains d WHERE d.id = "
                    "m.dom_id AND d.name='") +
            escaped.get() + "' ",
        "Unable to query mailnames: %s");
    if (!result) {
        return 0;
    }
    while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
        if (row[0] == nullptr || parseQuota(row[1]) != -1) {
            continue;  // the mailbox has a quota of its own
        }
        if (!store_mbox_quota(DomainName, row[0], quota)) {
            errno = 0;
            messlog2(0, 0, "unable to set default mbox quota for domain '%s' (processing '%s')",
                     DomainName, row[0]);
            return 0;
        }
    }
    return 1;
}

int store_domain_quota(const char* DomainName, sizequota_t quota) {
    return store_default_mbox_quota(DomainName, quota);
}

int rm_default_mbox_quota(const char* DomainName) {
    return store_default_mbox_quota(DomainName, -1);
}

int rm_domain_quota(const char* DomainName) {
    return store_default_mbox_quota(DomainName, -1);
}
