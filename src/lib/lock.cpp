// flock-based file locks and the lock-file naming by MD5 of the locked path.
#include "lib/lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/c_handles.h"
#include "lib/log.h"
#include "lib/md5.h"

namespace {

// Opens the lock file. A missing LOCK_FILES_DIR is created (mode 0755) and
// the open retried: the directory lives on a tmpfs that is empty after every
// boot, and without it no lock by name could ever be taken.
int openLockFile(const char* path, int flags, bool by_name) {
    // Close-on-exec: a child started under the lock must not keep holding it
    // after this process releases it.
    int fd = open(path, flags | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT && by_name) {
        if (mkdir(LOCK_FILES_DIR, 0755) == 0) {
            chmod(LOCK_FILES_DIR, 0755);  // whatever the umask
        }
        fd = open(path, flags | O_CLOEXEC, 0644);
    }
    if (fd == 0) {
        // fd 0 means "busy" in lock_struct_t; keep the lock off standard input.
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        int saved = errno;
        close(fd);
        errno = saved;
        fd = moved;
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
        marun_log(3, "Unable to open file \"%s\": %s.", lock->path, std::strerror(saved));
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
    return mk_lock_(path, O_RDWR | O_CREAT | O_TRUNC, LOCK_EX, opt);
}

lock_struct_t* mk_nonblock_lock(const char* path, int opt) {
    return mk_lock_(path, O_RDWR | O_CREAT | O_TRUNC, LOCK_EX | LOCK_NB, opt);
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
