// Mail tree layout: name checks, path computation, and every change of the
// tree through the no-follow walker (the mail root, the domain directories
// and the homes belong to popuser, who may replace any of them by a link):
// directories are made, opened, renamed and removed relative to descriptors,
// owners and modes are set on descriptors, under umask 077.
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
#include "lib/tree_walk.h"
#include "lib/unique_fd.h"
#include "mail/fs_error.h"
#include "mail/lib/mail_tree_name.h"
#include "mail/maildirpp_manager.h"
#include "util/errors.h"

namespace marun {
namespace mail {

namespace fs = boost::filesystem;

namespace {

constexpr const char* POPUSER = "popuser";
constexpr mode_t DOMAIN_ROOT_MODE = 0750;
constexpr mode_t MAILNAME_DIR_MODE = 0700;
constexpr const char* BACKUP_INFIX = ".MarunSaved.";
constexpr const char* REMOVAL_SUFFIX = ".kvarn-removed";

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

boost::system::error_code errorCode(int error) {
    return boost::system::error_code(error, boost::system::system_category());
}

[[noreturn]] void throwCreateError(const fs::path& path, int error) {
    throw fs::filesystem_error("boost::filesystem::create_directory", path, errorCode(error));
}

// Opens directory `name` below `base`; refuses a link in its place.
UniqueFd openDirectoryAt(int base, const char* name, const fs::path& shown) {
    UniqueFd fd(walk_open_dir_at(base, name));
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
UniqueFd makeOwnedDirectory(int base, const char* name, const fs::path& shown, uid_t uid, gid_t gid,
                            mode_t mode) {
    if (mkdirat(base, name, mode) != 0 && errno != EEXIST) {
        throwCreateError(shown, errno);
    }
    UniqueFd fd = openDirectoryAt(base, name, shown);
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
    UniqueFd fd(walk_make_dirs(root.c_str(), MAILNAME_DIR_MODE));
    if (!fd.valid()) {
        throwCreateError(root, errno);
    }
    setOwnerAndMode(fd.get(), root, uid_, gid_, DOMAIN_ROOT_MODE);
}

void MaildirManager::createMailnameHome(const std::string& domain, const std::string& mailname) {
    UmaskGuard mask(077);
    fs::path home = getMailnameHome(domain, mailname);
    fs::path domainRoot = home.parent_path();
    // Parents made here stay the running user's (0700); the domain root is
    // normally made first by createDomainRoot.
    UniqueFd parent(walk_make_dirs(domainRoot.c_str(), MAILNAME_DIR_MODE));
    if (!parent.valid()) {
        throwCreateError(domainRoot, errno);
    }
    UniqueFd homeFd =
        makeOwnedDirectory(parent.get(), mailname.c_str(), home, uid_, gid_, MAILNAME_DIR_MODE);
    for (const char* folder : MAILNAME_FOLDERS) {
        // Parents come first in the list, so each folder's parent exists.
        fs::path relative(folder);
        UniqueFd base = relative.has_parent_path()
                            ? openDirectoryAt(homeFd.get(), relative.parent_path().c_str(),
                                              home / relative.parent_path())
                            : UniqueFd(fcntl(homeFd.get(), F_DUPFD_CLOEXEC, 0));
        makeOwnedDirectory(base.get(), relative.filename().c_str(), home / relative, uid_, gid_,
                           MAILNAME_DIR_MODE);
    }
}

void MaildirManager::renameDomainRoot(const std::string& oldDomain, const std::string& newDomain) {
    renameEntry(getDomainRoot(oldDomain), getDomainRoot(newDomain));
}

void MaildirManager::renameMailnameHome(const std::string& domain, const std::string& oldMailname,
                                        const std::string& newMailname) {
    renameEntry(getMailnameHome(domain, oldMailname), getMailnameHome(domain, newMailname));
}

void MaildirManager::renameEntry(const fs::path& from, const fs::path& to) {
    // Both lie in the same directory: the mail root or a domain root.
    std::string oldName;
    UniqueFd dir(walk_open_parent(from.c_str(), &oldName));
    if (!dir.valid() ||
        renameat(dir.get(), oldName.c_str(), dir.get(), to.filename().c_str()) != 0) {
        throw fs::filesystem_error("boost::filesystem::rename", from, to, errorCode(errno));
    }
}

bool MaildirManager::backupRename(const fs::path& path, fs::path& backup) {
    std::string name;
    UniqueFd dir(walk_open_parent(path.c_str(), &name));
    struct stat st;
    int rc = dir.valid() ? fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) : -1;
    if (rc == 0) {
        // The inode number makes the name unique among backups of the same
        // path: a re-created directory has a new inode.
        backup = fs::path(path.string() + BACKUP_INFIX + std::to_string(st.st_ino));
        std::string saved = name + BACKUP_INFIX + std::to_string(st.st_ino);
        if (renameat(dir.get(), name.c_str(), dir.get(), saved.c_str()) != 0) {
            throw fs::filesystem_error("boost::filesystem::rename", path, backup, errorCode(errno));
        }
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

void MaildirManager::removeTree(const fs::path& path) {
    if (walk_remove_tree(path.c_str()) != 0) {
        throw fs::filesystem_error("boost::filesystem::remove_all", path, errorCode(errno));
    }
}

void MaildirManager::removeDomainRoot(const std::string& domain) {
    // The root is moved aside before it is deleted, so that the domain's
    // mail goes at once; the name it gets is kvarn's own, not a backup's, so
    // that the next removal deletes what a killed one left there first.
    fs::path root = getDomainRoot(domain);
    fs::path aside(root.string() + REMOVAL_SUFFIX);
    removeTree(aside);
    std::string name;
    UniqueFd dir(walk_open_parent(root.c_str(), &name));
    if (dir.valid() &&
        renameat(dir.get(), name.c_str(), dir.get(), (name + REMOVAL_SUFFIX).c_str()) == 0) {
        removeTree(aside);
    } else if (errno != ENOENT) {
        removeTree(root);
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
