// The "maildirsize" writer: a uniquely named temporary file in the Maildir's
// "tmp", filled, synced and renamed into place through the one safe file
// writer, then back-dated when deliveries raced with the count. The Maildir
// is reached through the no-follow walker: the file is handed to the mail
// user, so no level of the path may lead out of the mail tree.
#include "mail/lib/maildirsize_write.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "lib/atomic_file.h"
#include "lib/log.h"
#include "lib/tree_walk.h"
#include "lib/unique_fd.h"

namespace marun {
namespace mail {
namespace {

constexpr int CREATE_ATTEMPTS = 5;
constexpr unsigned RETRY_DELAY_SECONDS = 2;
constexpr time_t STALE_BACKDATE_SECONDS = 960;
constexpr mode_t MAILDIRSIZE_MODE = 0644;
constexpr const char* POPUSER = "popuser";

// Restores errno when it goes out of scope, so clean-up on a failure path
// does not hide the error that caused it.
class ErrnoKeeper {
  public:
    ~ErrnoKeeper() { errno = saved_; }
    void keep() { saved_ = errno; }

  private:
    int saved_ = errno;
};

// Reports what failed and why (errno, which stays as it was).
void report(const std::string& what) {
    int error = errno;
    errno = 0;
    messlog2(0, 0, "%s: %s", what.c_str(), walk_strerror(error));
    errno = error;
}

// Creates "tmp/<time>.<pid>.<host>-maildirsize" (fresh: whatever stood at
// the name is removed first). A name taken again in the meantime by someone
// else is retried under a new name; any other failure ends the attempt.
bool createTempFile(int maildir_fd, const char* maildir, const char* host, AtomicFile* file) {
    UniqueFd tmp(walk_open_dir_at(maildir_fd, "tmp"));
    if (!tmp.valid()) {
        report(std::string("Unable to open ") + maildir + "/tmp");
        return false;
    }
    for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
        if (attempt > 0) {
            sleep(RETRY_DELAY_SECONDS);
        }
        char name[4096];
        int length = std::snprintf(name, sizeof name, "%lu.%u.%s-maildirsize",
                                   static_cast<unsigned long>(std::time(nullptr)),
                                   static_cast<unsigned>(getpid()), host);
        if (length < 0 || static_cast<std::size_t>(length) + 4 >= sizeof name) {
            messlog2(0, 0, "host name is too long to be used in filename");
            return false;
        }
        if (file->create(tmp.get(), name, maildir_fd, "maildirsize", MAILDIRSIZE_MODE) == 0) {
            return true;
        }
        if (errno != EEXIST) {
            report(std::string("Unable to create ") + maildir + "/tmp/" + name);
            return false;
        }
    }
    errno = EAGAIN;
    messlog2(0, 0, "Maximal allowed number of attempts to create a maildirsize file exceeded");
    return false;
}

// Newest modification time of "cur" and "new" of `folder` (relative to the
// Maildir; null for the Maildir itself). False when a lookup failed for any
// other reason than the folder being absent.
bool folderTime(int maildir_fd, const char* folder, struct timespec* newest) {
    for (const char* sub : {"cur", "new"}) {
        std::string path = folder == nullptr ? sub : std::string(folder) + "/" + sub;
        struct stat st;
        if (fstatat(maildir_fd, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                continue;
            }
            messlog2(0, 0, "Maildir subfolder '%s' stat failed", sub);
            return false;
        }
        if (st.st_mtim.tv_sec > newest->tv_sec ||
            (st.st_mtim.tv_sec == newest->tv_sec && st.st_mtim.tv_nsec > newest->tv_nsec)) {
            *newest = st.st_mtim;
        }
    }
    return true;
}

// True when every folder is still as old as the count saw it.
bool unchangedSince(int maildir_fd, const char* maildir, const struct timespec& counted) {
    struct timespec newest = {0, 0};
    int top = openat(maildir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (top < 0) {
        messlog2(0, 0, "Unable to open Maildir folder. Has it just been removed?");
        return false;
    }
    if (!folderTime(maildir_fd, nullptr, &newest)) {
        close(top);
        return false;
    }
    int listed = walk_each_entry(top, [&](int dir, const struct dirent& entry) {
        if (!isCountedSubfolder(entry.d_name)) {
            return true;
        }
        if (entry.d_type != DT_DIR) {
            struct stat st;
            if (fstatat(dir, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
                messlog2(0, 0, "Bad/unrecognized entry %s within Maildir folder %s\n", entry.d_name,
                         maildir);
                return true;
            }
        }
        return folderTime(dir, entry.d_name, &newest);
    });
    return listed == 0 && !(newest.tv_sec > counted.tv_sec ||
                            (newest.tv_sec == counted.tv_sec && newest.tv_nsec > counted.tv_nsec));
}

}  // namespace
}  // namespace mail
}  // namespace marun

using namespace marun::mail;

int write_maildirpp_maildirsize(const char* maildir, uid_t owner, gid_t group, sizequota_t sq,
                                fcount_t cq) {
    ErrnoKeeper errno_keeper;
    marun::UniqueFd maildir_fd(walk_open_dir(maildir));
    if (!maildir_fd.valid()) {
        if (errno == ELOOP) {
            report(std::string("Unable to open Maildir ") + maildir);
        }
        errno_keeper.keep();
        return 0;
    }
    char host[65] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        messlog2(0, 0, "Unable to receive hostname");
        errno_keeper.keep();
        return 0;
    }
    marun::AtomicFile file;
    if (!createTempFile(maildir_fd.get(), maildir, host, &file)) {
        errno_keeper.keep();
        return 0;
    }
    sizequota_t bytes = 0;
    fcount_t messages = 0;
    struct timespec counted = {0, 0};
    if (fchown(file.fd(), owner, group) != 0) {
        messlog2(0, 0, "unable to change owner of %s/tmp/%s", maildir, file.tempName().c_str());
        errno_keeper.keep();
        return 0;
    }
    if (!countMaildirMessages(maildir_fd.get(), &bytes, &messages, &counted)) {
        messlog2(0, 0, "unable to count messages in %s", maildir);
        errno_keeper.keep();
        return 0;
    }
    char text[100];
    int length =
        std::snprintf(text, sizeof text, "%lldS,%lluC\n%12lld%12llu\n", sq, cq, bytes, messages);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof text) {
        errno = EINVAL;
        errno_keeper.keep();
        return 0;
    }
    if (!file.write(text, static_cast<std::size_t>(length))) {
        messlog2(0, 0, "unable to write data to file");
        errno_keeper.keep();
        return 0;
    }
    if (file.flush() != 0) {
        messlog2(0, 0, "unable to commit written data to file");
        errno_keeper.keep();
        return 0;
    }
    if (file.commit() != 0) {
        report(std::string("unable to rename ") + maildir + "/tmp/" + file.tempName() + " to " +
               maildir + "/maildirsize");
        errno_keeper.keep();
        return 0;
    }
    if (!unchangedSince(maildir_fd.get(), maildir, counted)) {
        // A delivery may have slipped past the count: make the file look
        // stale so that the next reader that checks its age recounts.
        struct timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_NOW;
        times[1].tv_sec = counted.tv_sec - STALE_BACKDATE_SECONDS;
        times[1].tv_nsec = 0;
        utimensat(maildir_fd.get(), "maildirsize", times, AT_SYMLINK_NOFOLLOW);
    }
    errno_keeper.keep();
    return 1;
}

int store_maildirpp_quota_raw(const char* maildir, sizequota_t quota) {
    if (quota < 0) {
        quota = 0;
    } else if (quota == 0) {
        quota = 1;
    }
    uid_t uid = 0;
    gid_t gid = 0;
    struct passwd* user = getpwnam(POPUSER);
    if (user == nullptr) {
        marun_log(3, "Unable to getpwnam for user %s", POPUSER);
    } else {
        uid = user->pw_uid;
        gid = user->pw_gid;
    }
    return write_maildirpp_maildirsize(maildir, uid, gid, quota, 0);
}
