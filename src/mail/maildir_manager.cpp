// Mail tree layout: name checks, path computation, and creation with owners
// and modes set through descriptors opened without following links (homes
// live in directories popuser can write to), under umask 077.
#include "mail/maildir_manager.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <iterator>
#include <string>

#include "lib/oru_conf.h"
#include "mail/fs_error.h"
#include "mail/lib/mail_tree_name.h"
#include "mail/lib/scoped_fd.h"
#include "mail/maildirpp_manager.h"
#include "mail/remove_tree.h"
#include "util/errors.h"

namespace marun {
namespace mail {

namespace fs = boost::filesystem;

namespace {

constexpr const char* POPUSER = "popuser";
constexpr mode_t DOMAIN_ROOT_MODE = 0750;
constexpr mode_t MAILNAME_DIR_MODE = 0700;
constexpr const char* BACKUP_INFIX = ".MarunSaved.";

// A mail name home's folders, parents before children.
constexpr const char* MAILNAME_FOLDERS[] = {
    "Maildir",           "Maildir/tmp",       "Maildir/new",       "Maildir/cur",  "Maildir/.Spam",
    "Maildir/.Spam/tmp", "Maildir/.Spam/new", "Maildir/.Spam/cur", "@attachments",
};

// Sets the process umask for the life of the object.
class UmaskGuard {
  public:
    explicit UmaskGuard(mode_t mask) : old_(umask(mask)) {}
    ~UmaskGuard() { umask(old_); }
    UmaskGuard(const UmaskGuard&) = delete;
    UmaskGuard& operator=(const UmaskGuard&) = delete;

  private:
    mode_t old_;
};

void checkName(const char* kind, const std::string& name) {
    if (const char* why = mail_tree_name_error(name.data(), name.size())) {
        int code = name.size() > MAIL_TREE_NAME_MAX ? ENAMETOOLONG : EINVAL;
        throw FSError(std::string("invalid ") + kind + " (" + why + ")", fs::path(name), code);
    }
}

[[noreturn]] void throwCreateError(const fs::path& path, int error) {
    throw fs::filesystem_error("boost::filesystem::create_directory", path,
                               boost::system::error_code(error, boost::system::system_category()));
}

// Opens directory `name` below `base`; refuses a link in its place.
ScopedFd openDirectoryAt(int base, const char* name, const fs::path& shown) {
    ScopedFd fd(openat(base, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        throw FSError("chown", shown, errno);
    }
    return fd;
}

void setOwnerAndMode(int fd, const fs::path& shown, uid_t uid, gid_t gid, mode_t mode) {
    int rc;
    do {
        rc = fchown(fd, uid, gid);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        throw FSError("chown", shown, errno);
    }
    do {
        rc = fchmod(fd, mode);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        throw FSError("chmod", shown, errno);
    }
}

// Creates directory `name` below `base` (an existing one is fine), gives it
// to uid:gid with `mode`, and returns it open.
ScopedFd makeOwnedDirectory(int base, const char* name, const fs::path& shown, uid_t uid, gid_t gid,
                            mode_t mode) {
    if (mkdirat(base, name, mode) != 0 && errno != EEXIST) {
        throwCreateError(shown, errno);
    }
    ScopedFd fd = openDirectoryAt(base, name, shown);
    setOwnerAndMode(fd.get(), shown, uid, gid, mode);
    return fd;
}

}  // namespace

MaildirManager& MaildirManager::getInstance() {
    return MaildirPPManager::getInstance();
}

void MaildirManager::lookUpPopuser() {
    errno = 0;
    struct passwd* entry = getpwnam(POPUSER);
    if (entry == nullptr) {
        throw SystemError("user popuser not found", errno);
    }
    uid_ = entry->pw_uid;
    gid_ = entry->pw_gid;
}

fs::path MaildirManager::mailRoot() const {
    return fs::path(oruConfGetDefaultByIndex(_MARUN_MAILNAMES_D_INDEX));
}

fs::path MaildirManager::getDomainRoot(const std::string& domain) const {
    return mailRoot() / getDomainRelativeRoot(domain);
}

fs::path MaildirManager::getDomainRelativeRoot(const std::string& domain) const {
    checkName("domain name", domain);
    return fs::path(domain);
}

fs::path MaildirManager::getMailnameHome(const std::string& domain,
                                         const std::string& mailname) const {
    return mailRoot() / getMailnameRelativeHome(domain, mailname);
}

fs::path MaildirManager::getMailnameRelativeHome(const std::string& domain,
                                                 const std::string& mailname) const {
    checkName("mail name", mailname);
    return getDomainRelativeRoot(domain) / mailname;
}

fs::path MaildirManager::getMailnameMaildir(const std::string& domain,
                                            const std::string& mailname) const {
    return getMailnameHome(domain, mailname) / "Maildir";
}

fs::path MaildirManager::getMailnameRelativeMaildir(const std::string& domain,
                                                    const std::string& mailname) const {
    return getMailnameRelativeHome(domain, mailname) / "Maildir";
}

void MaildirManager::createDomainRoot(const std::string& domain) {
    UmaskGuard mask(077);
    fs::path root = getDomainRoot(domain);
    fs::create_directories(root);
    ScopedFd fd = openDirectoryAt(AT_FDCWD, root.c_str(), root);
    setOwnerAndMode(fd.get(), root, uid_, gid_, DOMAIN_ROOT_MODE);
}

void MaildirManager::createMailnameHome(const std::string& domain, const std::string& mailname) {
    UmaskGuard mask(077);
    fs::path home = getMailnameHome(domain, mailname);
    fs::path domainRoot = home.parent_path();
    // Parents made here stay the running user's (0700); the domain root is
    // normally made first by createDomainRoot.
    fs::create_directories(domainRoot);
    ScopedFd parent = openDirectoryAt(AT_FDCWD, domainRoot.c_str(), domainRoot);
    ScopedFd homeFd =
        makeOwnedDirectory(parent.get(), mailname.c_str(), home, uid_, gid_, MAILNAME_DIR_MODE);
    for (const char* folder : MAILNAME_FOLDERS) {
        // Walk down one level at a time so that no level can be a link.
        fs::path relative(folder);
        ScopedFd base(dup(homeFd.get()));
        fs::path shown = home;
        for (auto level = relative.begin(); level != relative.end(); ++level) {
            shown /= *level;
            if (std::next(level) == relative.end()) {
                makeOwnedDirectory(base.get(), level->c_str(), shown, uid_, gid_,
                                   MAILNAME_DIR_MODE);
            } else {
                base = openDirectoryAt(base.get(), level->c_str(), shown);
            }
        }
    }
}

void MaildirManager::renameDomainRoot(const std::string& oldDomain, const std::string& newDomain) {
    fs::rename(getDomainRoot(oldDomain), getDomainRoot(newDomain));
}

void MaildirManager::renameMailnameHome(const std::string& domain, const std::string& oldMailname,
                                        const std::string& newMailname) {
    fs::rename(getMailnameHome(domain, oldMailname), getMailnameHome(domain, newMailname));
}

bool MaildirManager::backupRename(const fs::path& path, fs::path& backup) {
    struct stat st;
    int rc;
    do {
        rc = lstat(path.c_str(), &st);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        // The inode number makes the name unique among backups of the same
        // path: a re-created directory has a new inode.
        backup = fs::path(path.string() + BACKUP_INFIX + std::to_string(st.st_ino));
        fs::rename(path, backup);
        return true;
    }
    if (errno == ENOENT || errno == ENOTDIR) {
        backup.clear();
        return true;
    }
    return false;
}

void MaildirManager::backup(const fs::path& path) {
    fs::path saved;
    if (!backupRename(path, saved)) {
        throw FSError("rename", path, saved, errno);
    }
}

void MaildirManager::removeDomainRoot(const std::string& domain) {
    fs::path root = getDomainRoot(domain);
    fs::path saved;
    bool movedAside;
    try {
        movedAside = backupRename(root, saved);
    } catch (const std::exception&) {
        movedAside = false;
    }
    if (!movedAside) {
        removeTree(root);
    } else if (!saved.empty()) {
        removeTree(saved);
    }
}

void MaildirManager::removeMailnameHome(const std::string& domain, const std::string& mailname) {
    removeTree(getMailnameHome(domain, mailname));
}

void MaildirManager::backupDomainRoot(const std::string& domain) {
    backup(getDomainRoot(domain));
}

void MaildirManager::backupMailnameHome(const std::string& domain, const std::string& mailname) {
    backup(getMailnameHome(domain, mailname));
}

}  // namespace mail
}  // namespace marun
