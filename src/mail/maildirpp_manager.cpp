// Quota operations of the mail tree: the mailbox quota less its attachments,
// written with the instance's popuser ids, and the panel-driven defaults.
#include "mail/maildirpp_manager.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <ostream>

#include "lib/tree_walk.h"
#include "lib/unique_fd.h"
#include "mail/fs_error.h"
#include "mail/lib/dir_size.h"
#include "mail/lib/maildirsize_write.h"
#include "mail/lib/mbox_quota.h"
#include "util/uerr.h"

namespace marun {
namespace mail {

namespace fs = boost::filesystem;

MaildirPPManager& MaildirPPManager::getInstance() {
    static MaildirPPManager instance;
    instance.lookUpPopuser();
    return instance;
}

int MaildirPPManager::setMailboxQuota(const std::string& domain, const std::string& mailname,
                                      sizequota_t quota) {
    fs::path home = getMailnameHome(domain, mailname);
    fs::path maildir = getMailnameMaildir(domain, mailname);
    UniqueFd homeFd(walk_open_dir(home.c_str()));
    if (!homeFd.valid()) {
        throw FSError("chdir", home, errno);
    }
    sizequota_t limit = 0;  // unlimited
    if (quota >= 0) {
        limit = quota;
        struct stat st;
        if (fstatat(homeFd.get(), "@attachments", &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISDIR(st.st_mode)) {
            // Attachments share the mailbox quota.
            long long used = dir_size_at(homeFd.get(), "@attachments", 0);
            if (used < 0) {
                throw FSError("unable to count attachments folder size", home / "@attachments",
                              errno);
            }
            if (used > quota) {
                // A quota of 0 asks for no more mail anyway: nothing to warn of.
                if (quota > 0) {
                    uerr << "WARNING: @attachments directory is big enough to disable delivery!"
                         << std::endl;
                }
                limit = 1;
            } else {
                limit = quota - used;
            }
        }
        if (limit == 0) {
            limit = 1;  // 0 would read back as "no limit"
        }
    }
    int result =
        write_maildirpp_maildirsize(maildir.c_str(), popuserId(), popuserGroupId(), limit, 0);
    if (result == 0) {
        throw FSError("create maildirsize", maildir, 0);
    }
    return result;
}

int MaildirPPManager::removeMailboxQuota(const std::string& domain, const std::string& mailname) {
    fs::path home = getMailnameHome(domain, mailname);
    int result = rm_mbox_quota(domain.c_str(), mailname.c_str());
    if (result == 0) {
        throw FSError("unable to remove quota", home, 0);
    }
    return result;
}

int MaildirPPManager::setDomainQuota(const std::string& domain, sizequota_t quota) {
    fs::path root = getDomainRoot(domain);
    int result = store_domain_quota(domain.c_str(), quota);
    if (result == 0) {
        throw FSError("unable to store domain quota", root, 0);
    }
    return result;
}

int MaildirPPManager::removeDomainQuota(const std::string& domain) {
    fs::path root = getDomainRoot(domain);
    int result = rm_domain_quota(domain.c_str());
    if (result == 0) {
        throw FSError("unable to remove domain quota", root, 0);
    }
    return result;
}

int MaildirPPManager::setDefaultMailboxQuota(const std::string& domain, sizequota_t quota) {
    fs::path root = getDomainRoot(domain);
    int result = store_default_mbox_quota(domain.c_str(), quota);
    if (result == 0) {
        throw FSError("unable to store default mbox quota", root, 0);
    }
    return result;
}

int MaildirPPManager::removeDefaultMailboxQuota(const std::string& domain) {
    fs::path root = getDomainRoot(domain);
    int result = rm_default_mbox_quota(domain.c_str());
    if (result == 0) {
        throw FSError("unable to remove default mbox quota", root, 0);
    }
    return result;
}

}  // namespace mail
}  // namespace marun
