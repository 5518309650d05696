// Owner and mode changes through a descriptor opened without following
// links, so a link in a user-writable directory cannot redirect them.
#include "mail/lib/file_user_mode.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/log.h"
#include "mail/lib/scoped_fd.h"

int fd_set_user_mode(int fd, const char* path, const char* user, mode_t mode) {
    errno = 0;
    struct passwd* entry = getpwnam(user);
    if (entry == nullptr) {
        errno = 0;
        messlog2(0, 0, "user %s not found", user);
        return -1;
    }
    if (fchown(fd, entry->pw_uid, entry->pw_gid) != 0) {
        int error = errno;
        errno = 0;
        messlog2(0, 0, "ERROR: unable to chown %s: %s\n", path, std::strerror(error));
        errno = error;
        return -1;
    }
    if (fchmod(fd, mode) != 0) {
        int error = errno;
        errno = 0;
        messlog2(0, 0, "ERROR: unable to chmod %s: %s\n", path, std::strerror(error));
        errno = error;
        return -1;
    }
    return 0;
}

int file_set_user_mode(const char* path, const char* user, mode_t mode) {
    // O_NONBLOCK: a FIFO put in the file's place must not hang the run.
    marun::mail::ScopedFd fd(open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || fstat(fd.get(), &st) != 0) {
        int error = errno;
        errno = 0;
        messlog2(0, 0, "ERROR: unable to chown %s: %s\n", path, std::strerror(error));
        errno = error;
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        errno = 0;
        messlog2(0, 0, "ERROR: unable to chown %s: %s\n", path, "not a regular file");
        errno = EINVAL;
        return -1;
    }
    return fd_set_user_mode(fd.get(), path, user, mode);
}
