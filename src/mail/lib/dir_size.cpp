// Recursive tree size through directory descriptors: no change of working
// directory, no path length limit, and no link is ever followed.
#include "mail/lib/dir_size.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "mail/lib/scoped_fd.h"

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

long long entrySize(const struct stat& st, int in_blocks) {
    return in_blocks ? static_cast<long long>(st.st_blocks) * 512
                     : static_cast<long long>(st.st_size);
}

// Size of the directory `name` below `parent` whose own stat is `st`.
long long treeSize(int parent, const char* name, const struct stat& st, int in_blocks) {
    long long total = entrySize(st, in_blocks);
    if (!S_ISDIR(st.st_mode)) {
        return total;
    }
    marun::mail::ScopedFd fd(openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        return -1;
    }
    std::unique_ptr<DIR, DirCloser> dir(fdopendir(fd.get()));
    if (!dir) {
        return -1;
    }
    fd.release();
    int dir_fd = dirfd(dir.get());
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            return errno == 0 ? total : -1;
        }
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        struct stat child;
        if (fstatat(dir_fd, entry->d_name, &child, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT) {
                continue;  // removed while we were reading
            }
            return -1;
        }
        long long size = treeSize(dir_fd, entry->d_name, child, in_blocks);
        if (size < 0) {
            return -1;
        }
        total += size;
    }
}

}  // namespace

long long get_dir_size(const char* path, int in_blocks) {
    struct stat st;
    if (lstat(path, &st) != 0) {
        return -1;
    }
    return treeSize(AT_FDCWD, path, st, in_blocks);
}
