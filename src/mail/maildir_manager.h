// MaildirManager: the on-disk layout of the mail tree. It computes where a
// domain's directory and a mail name's home and Maildir live under the mail
// root, and creates, renames, backs up and removes them, everything owned by
// the system user "popuser".
#pragma once

#include <sys/types.h>

#include <boost/filesystem/path.hpp>
#include <string>

namespace marun {
namespace mail {

class MaildirManager {
  public:
    // The process-wide instance (the same object as MaildirPPManager's).
    // Every call looks "popuser" up again; throws SystemError "user popuser
    // not found" when it does not exist.
    static MaildirManager& getInstance();

    // Path computations; they touch nothing on disk. A domain or mail name
    // that is empty, begins with ".", contains "/", ".." or a zero byte, or
    // is longer than a directory name may be throws FSError (EINVAL or
    // ENAMETOOLONG), so no operation can reach outside the mail root.
    boost::filesystem::path getDomainRoot(const std::string& domain) const;
    boost::filesystem::path getDomainRelativeRoot(const std::string& domain) const;
    boost::filesystem::path getMailnameHome(const std::string& domain,
                                            const std::string& mailname) const;
    boost::filesystem::path getMailnameRelativeHome(const std::string& domain,
                                                    const std::string& mailname) const;
    boost::filesystem::path getMailnameMaildir(const std::string& domain,
                                               const std::string& mailname) const;
    boost::filesystem::path getMailnameRelativeMaildir(const std::string& domain,
                                                       const std::string& mailname) const;

    // Creates the domain root (and missing parents), owned by popuser, 0750.
    // An existing one gets its owner and mode again.
    void createDomainRoot(const std::string& domain);
    // Creates the home and its Maildir, spam folder and attachment store,
    // all owned by popuser, 0700; repairs an existing home.
    void createMailnameHome(const std::string& domain, const std::string& mailname);

    void renameDomainRoot(const std::string& oldDomain, const std::string& newDomain);
    void renameMailnameHome(const std::string& domain, const std::string& oldMailname,
                            const std::string& newMailname);

    // Moves the domain root aside to "<root>.kvarn-removed" and deletes
    // that, after what a killed removal left under that name; deletes in
    // place when it cannot be moved. A missing root is no error.
    void removeDomainRoot(const std::string& domain);
    // Deletes the home tree; a missing home is no error.
    void removeMailnameHome(const std::string& domain, const std::string& mailname);

    // Move the directory aside to "<path>.MarunSaved.<inode>" and keep it.
    void backupDomainRoot(const std::string& domain);
    void backupMailnameHome(const std::string& domain, const std::string& mailname);

    // Renames `path` to its backup name, returned in `backup` (empty when
    // there was nothing to move). False, with errno kept, when `path` could
    // not be examined; a failing rename throws filesystem_error.
    static bool backupRename(const boost::filesystem::path& path, boost::filesystem::path& backup);

    uid_t popuserId() const { return uid_; }
    gid_t popuserGroupId() const { return gid_; }

  protected:
    MaildirManager() = default;
    MaildirManager(const MaildirManager&) = delete;
    MaildirManager& operator=(const MaildirManager&) = delete;

    // Refreshes the user and group ids of "popuser".
    void lookUpPopuser();

  private:
    boost::filesystem::path mailRoot() const;
    void backup(const boost::filesystem::path& path);
    // Renames `from` to `to` in their common directory, not following links.
    static void renameEntry(const boost::filesystem::path& from, const boost::filesystem::path& to);
    // Deletes `path` and everything below it (links removed, never followed;
    // a path leading through a link leads nowhere: nothing to delete).
    static void removeTree(const boost::filesystem::path& path);

    uid_t uid_ = 0;
    gid_t gid_ = 0;
};

}  // namespace mail
}  // namespace marun
