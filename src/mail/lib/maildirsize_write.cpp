// The "maildirsize" writer: a uniquely named temporary file in the Maildir's
// "tmp", checked against link tricks, filled, synced and renamed into place,
// then back-dated when deliveries raced with the count.
#include "mail/lib/maildirsize_write.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "lib/log.h"
#include "mail/lib/scoped_fd.h"

namespace marun {
namespace mail {
namespace {

constexpr int CREATE_ATTEMPTS = 5;
constexpr unsigned RETRY_DELAY_SECONDS = 2;
constexpr time_t STALE_BACKDATE_SECONDS = 960;
constexpr const char* POPUSER = "popuser";

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// Restores errno when it goes out of scope, so clean-up on a failure path
// does not hide the error that caused it.
class ErrnoKeeper {
  public:
    ~ErrnoKeeper() { errno = saved_; }
    void keep() { saved_ = errno; }

  private:
    int saved_ = errno;
};

// The temporary file: removed again unless it has been renamed into place.
class TempFile {
  public:
    TempFile(int dir_fd, std::string name, int fd) : dir_fd_(dir_fd), name_(name), fd_(fd) {}
    ~TempFile() {
        if (!name_.empty()) {
            int saved = errno;
            fd_.reset();
            unlinkat(dir_fd_, name_.c_str(), 0);
            errno = saved;
        }
    }
    int fd() const { return fd_.get(); }
    const std::string& name() const { return name_; }
    int close() { return ::close(fd_.release()); }
    void keep() { name_.clear(); }

  private:
    int dir_fd_;
    std::string name_;
    ScopedFd fd_;
};

// Creates "tmp/<time>.<pid>.<host>-maildirsize", retrying with a new name.
std::unique_ptr<TempFile> createTempFile(int maildir_fd, const char* host) {
    for (int attempt = 0; attempt < CREATE_ATTEMPTS; ++attempt) {
        if (attempt > 0) {
            sleep(RETRY_DELAY_SECONDS);
        }
        char name[4096];
        int length = std::snprintf(name, sizeof name, "tmp/%lu.%u.%s-maildirsize",
                                   static_cast<unsigned long>(std::time(nullptr)),
                                   static_cast<unsigned>(getpid()), host);
        if (length < 0 || static_cast<std::size_t>(length) >= sizeof name) {
            messlog2(0, 0, "host name is too long to be used in filename");
            return nullptr;
        }
        struct stat st;
        if (fstatat(maildir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) {
            continue;  // someone else's file, or "tmp" is unusable right now
        }
        int fd =
            openat(maildir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            continue;
        }
        auto file = std::make_unique<TempFile>(maildir_fd, name, fd);
        struct stat opened, named;
        if (fstat(fd, &opened) != 0 ||
            fstatat(maildir_fd, name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            opened.st_dev != named.st_dev || opened.st_ino != named.st_ino ||
            ftruncate(fd, 0) != 0) {
            continue;  // the file is removed again by its owner object
        }
        return file;
    }
    errno = EAGAIN;
    messlog2(0, 0, "Maximal allowed number of attempts to create a maildirsize file exceeded");
    return nullptr;
}

bool writeAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

// Newest modification time of "cur" and "new" of `folder` (relative to the
// Maildir; null for the Maildir itself). False when a lookup failed for any
// other reason than the folder being absent.
bool folderTime(int maildir_fd, const char* folder, struct timespec* newest) {
    for (const char* sub : {"cur", "new"}) {
        std::string path = folder == nullptr ? sub : std::string(folder) + "/" + sub;
        struct stat st;
        if (fstatat(maildir_fd, path.c_str(), &st, 0) != 0) {
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
    ScopedFd fd(openat(maildir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::unique_ptr<DIR, DirCloser> dir(fd.valid() ? fdopendir(fd.get()) : nullptr);
    if (!dir) {
        messlog2(0, 0, "Unable to open Maildir folder. Has it just been removed?");
        return false;
    }
    fd.release();
    if (!folderTime(maildir_fd, nullptr, &newest)) {
        return false;
    }
    while (struct dirent* entry = readdir(dir.get())) {
        if (!isCountedSubfolder(entry->d_name)) {
            continue;
        }
        if (entry->d_type != DT_DIR) {
            struct stat st;
            if (fstatat(maildir_fd, entry->d_name, &st, 0) != 0 || !S_ISDIR(st.st_mode)) {
                messlog2(0, 0, "Bad/unrecognized entry %s within Maildir folder %s\n",
                         entry->d_name, maildir);
                continue;
            }
        }
        if (!folderTime(maildir_fd, entry->d_name, &newest)) {
            return false;
        }
    }
    return !(newest.tv_sec > counted.tv_sec ||
             (newest.tv_sec == counted.tv_sec && newest.tv_nsec > counted.tv_nsec));
}

}  // namespace
}  // namespace mail
}  // namespace marun

using namespace marun::mail;

int write_maildirpp_maildirsize(const char* maildir, uid_t owner, gid_t group, sizequota_t sq,
                                fcount_t cq) {
    ErrnoKeeper errno_keeper;
    // The Maildir itself must not be a link planted in a user's home: the
    // file written here is handed to the mail user.
    ScopedFd maildir_fd(open(maildir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!maildir_fd.valid()) {
        errno_keeper.keep();
        return 0;
    }
    char host[65] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        messlog2(0, 0, "Unable to receive hostname");
        errno_keeper.keep();
        return 0;
    }
    std::unique_ptr<TempFile> file = createTempFile(maildir_fd.get(), host);
    if (!file) {
        errno_keeper.keep();
        return 0;
    }
    sizequota_t bytes = 0;
    fcount_t messages = 0;
    struct timespec counted = {0, 0};
    if (fchown(file->fd(), owner, group) != 0) {
        messlog2(0, 0, "unable to change owner of %s/%s", maildir, file->name().c_str());
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
    if (!writeAll(file->fd(), text, static_cast<std::size_t>(length))) {
        messlog2(0, 0, "unable to write data to file");
        errno_keeper.keep();
        return 0;
    }
    if (fsync(file->fd()) != 0 || file->close() != 0) {
        messlog2(0, 0, "unable to commit written data to file");
        errno_keeper.keep();
        return 0;
    }
    if (renameat(maildir_fd.get(), file->name().c_str(), maildir_fd.get(), "maildirsize") != 0) {
        messlog2(0, 0, "unable to rename %s/%s to maildirsize", maildir, file->name().c_str());
        errno_keeper.keep();
        return 0;
    }
    file->keep();
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
