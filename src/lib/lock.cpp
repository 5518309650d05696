// flock-based file locks and the lock-file naming by MD5 of the locked path.
//
// LOCK_FILES_DIR lies in "/var/lock", which any local user can write and
// which is emptied at every boot. Whoever creates "files" first owns it and
// could fill it with links named as the lock files are named, so that root,
// opening a lock file, would open or create a file anywhere. Hence: kvarn
// creates the directory itself (mode 0700) when it is missing, and refuses
// it when it is anything but a directory that only root can change; lock
// files are reached through the no-follow walker and never truncated.
#include "lib/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/c_handles.h"
#include "lib/log.h"
#include "lib/md5.h"
#include "lib/tree_walk.h"
#include "lib/unique_fd.h"

namespace {

constexpr mode_t LOCK_DIR_MODE = 0700;
constexpr mode_t LOCK_FILE_MODE = 0644;

// LOCK_FILES_DIR, created when missing, checked before it is trusted.
int openLockDirectory() {
    std::string name;
    marun::UniqueFd parent(walk_open_parent(LOCK_FILES_DIR, &name));
    if (!parent.valid()) {
        return -1;
    }
    bool created = mkdirat(parent.get(), name.c_str(), LOCK_DIR_MODE) == 0;
    if (!created && errno != EEXIST) {
        return -1;
    }
    marun::UniqueFd dir(walk_open_dir_at(parent.get(), name.c_str()));
    struct stat st;
    if (!dir.valid() || fstat(dir.get(), &st) != 0) {
        return -1;
    }
    if (created && fchmod(dir.get(), LOCK_DIR_MODE) != 0) {  // whatever the umask
        return -1;
    }
    if (!walk_dir_closed(st)) {
        marun_log(3,
                  "Lock directory %s is refused: it must be a directory owned by root "
                  "that no other user can write.",
                  LOCK_FILES_DIR);
        errno = EPERM;
        return -1;
    }
    return dir.release();
}

// Opens the lock file, without O_TRUNC: truncating is no part of locking.
int openLockFile(const char* path, int flags, bool by_name) {
    flags &= ~O_TRUNC;
    int fd;
    if (by_name) {
        marun::UniqueFd dir(openLockDirectory());
        const char* name = std::strrchr(path, '/') + 1;
        fd = dir.valid() ? walk_open_file_at(dir.get(), name, flags, LOCK_FILE_MODE) : -1;
    } else {
        fd = walk_open_file(path, flags, LOCK_FILE_MODE);
    }
    if (fd == 0) {
        // fd 0 means "busy" in lock_struct_t; keep the lock off standard input.
        marun::UniqueFd zero(fd);
        fd = fcntl(zero.get(), F_DUPFD_CLOEXEC, 1);
    }
    return fd;
}

}  // namespace

char* mk_flock_path(const char* path) {
    MallocPtr<char> digest(get_md5sum("", path));
    if (!digest) {
        return nullptr;
    }
    size_t size = std::strlen(LOCK_FILES_DIR) + 1 + std::strlen(digest.get()) + 1;
    char* lock_path = static_cast<char*>(std::malloc(size));
    if (lock_path != nullptr) {
        std::snprintf(lock_path, size, "%s/%s", LOCK_FILES_DIR, digest.get());
    }
    return lock_path;
}

lock_struct_t* mk_lock_(const char* path, int flags, int flock_flags, int opt) {
    auto* lock = static_cast<lock_struct_t*>(std::calloc(1, sizeof(lock_struct_t)));
    if (lock == nullptr) {
        return nullptr;
    }
    lock->path = opt ? mk_flock_path(path) : strdup(path);
    if (lock->path == nullptr) {
        std::free(lock);
        return nullptr;
    }
    int fd = openLockFile(lock->path, flags, opt != 0);
    if (fd < 0) {
        int saved = errno;
        marun_log(3, "Unable to open file \"%s\": %s.", lock->path, walk_strerror(saved));
        errno = saved;
        lock->fd = -1;
        return lock;
    }
    int rc;
    while ((rc = flock(fd, flock_flags)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        lock->fd = saved == EWOULDBLOCK ? 0 : -1;
        return lock;
    }
    lock->fd = fd;
    return lock;
}

lock_struct_t* mk_lock(const char* path, int opt) {
    return mk_lock_(path, O_RDWR | O_CREAT, LOCK_EX, opt);
}

lock_struct_t* mk_nonblock_lock(const char* path, int opt) {
    return mk_lock_(path, O_RDWR | O_CREAT, LOCK_EX | LOCK_NB, opt);
}

int is_locked(const lock_struct_t* lock) {
    return lock != nullptr && lock->fd > 0 ? 1 : 0;
}

int is_already_locked(const lock_struct_t* lock) {
    return lock == nullptr || lock->fd == 0 ? 1 : 0;
}

int rm_lock(lock_struct_t* lock) {
    if (lock == nullptr) {
        return -1;
    }
    int result = 0;
    int saved = errno;
    if (lock->fd > 0 && close(lock->fd) != 0) {
        saved = errno;
        marun_log(3, "An error occured during closing '%s' file: %s\n", lock->path,
                  std::strerror(saved));
        result = -1;
    }
    std::free(lock->path);
    std::free(lock);
    errno = saved;
    return result;
}

int free_lock(lock_struct_t* lock) {
    return rm_lock(lock);
}
