// Exclusive file locks (flock) shared with the panel's other tools. A file is
// locked "by name" through a lock file in LOCK_FILES_DIR named by the MD5 of
// the file's path; otherwise the given path itself is the lock file.
#pragma once

#include <memory>

struct lock_struct_t {
    int fd;      // > 0 held, 0 busy (non-blocking attempt), -1 failed
    char* path;  // the lock file's path (owned)
};

constexpr const char* LOCK_FILES_DIR = "/var/lock/files";

// "/var/lock/files/<md5 of path>" as a malloc'ed string, or null.
char* mk_flock_path(const char* path);

// Opens the lock file (by name when `opt` is non-zero) with `flags` (less
// O_TRUNC, never following a link) and locks it with flock(`flock_flags`).
// LOCK_FILES_DIR is created (0700) when missing and refused (EPERM) unless
// it is a directory owned by root that no other user can write. Null only when memory runs out;
// otherwise check the result with is_locked / is_already_locked, and always release it with
// rm_lock.
lock_struct_t* mk_lock_(const char* path, int flags, int flock_flags, int opt);

// Waits for the lock.
lock_struct_t* mk_lock(const char* path, int opt);
// Fails at once with fd 0 when another holder has the lock.
lock_struct_t* mk_nonblock_lock(const char* path, int opt);

// 1 when the lock is held.
int is_locked(const lock_struct_t* lock);
// 1 when a non-blocking attempt found the lock busy (or there is no lock).
int is_already_locked(const lock_struct_t* lock);

// Releases the lock (closing the descriptor) and frees the record. 0 on
// success, -1 for a null lock or when closing fails.
int rm_lock(lock_struct_t* lock);
int free_lock(lock_struct_t* lock);

struct LockReleaser {
    void operator()(lock_struct_t* lock) const { rm_lock(lock); }
};
// A lock released (rm_lock) when the owner goes.
using LockPtr = std::unique_ptr<lock_struct_t, LockReleaser>;
