// Owner and mode changes through a descriptor opened by the no-follow
// walker, so no link, FIFO or hard link in a user-writable directory can
// redirect them or hang the run.
#include "mail/lib/file_user_mode.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/log.h"
#include "lib/tree_walk.h"
#include "lib/unique_fd.h"

namespace {

// Reports `format` with the path and the reading of errno, which stays.
int fail(const char* format, const char* path) {
    int error = errno;
    errno = 0;
    messlog2(0, 0, format, path, walk_strerror(error));
    errno = error;
    return -1;
}

}  // namespace

int fd_set_user_mode(int fd, const char* path, const char* user, mode_t mode) {
    errno = 0;
    struct passwd* entry = getpwnam(user);
    if (entry == nullptr) {
        errno = 0;
        messlog2(0, 0, "user %s not found", user);
        return -1;
    }
    if (fchown(fd, entry->pw_uid, entry->pw_gid) != 0) {
        return fail("ERROR: unable to chown %s: %s\n", path);
    }
    if (fchmod(fd, mode) != 0) {
        return fail("ERROR: unable to chmod %s: %s\n", path);
    }
    return 0;
}

int file_set_user_mode(const char* path, const char* user, mode_t mode) {
    marun::UniqueFd fd(walk_open_file(path, O_RDONLY));
    if (!fd.valid()) {
        return fail("ERROR: unable to chown %s: %s\n", path);
    }
    return fd_set_user_mode(fd.get(), path, user, mode);
}
