// Recursive tree size through directory descriptors: no change of working
// directory, no path length limit, and no link is ever followed, neither in
// the tree nor on the way to it (the no-follow walker), so a link planted in
// a mail home counts as itself and nothing behind it is counted.
#include "mail/lib/dir_size.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "lib/c_handles.h"
#include "lib/tree_walk.h"
#include "lib/unique_fd.h"

namespace {

long long entrySize(const struct stat& st, int in_blocks) {
    return in_blocks ? static_cast<long long>(st.st_blocks) * 512
                     : static_cast<long long>(st.st_size);
}

// Size of the entry `name` below `parent` whose own stat is `st`.
long long treeSize(int parent, const char* name, const struct stat& st, int in_blocks) {
    long long total = entrySize(st, in_blocks);
    if (!S_ISDIR(st.st_mode)) {
        return total;
    }
    marun::UniqueFd fd(walk_open_dir_at(parent, name));
    DirPtr dir(fd.valid() ? fdopendir(fd.get()) : nullptr);
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

long long dir_size_at(int dir, const char* name, int in_blocks) {
    struct stat st;
    if (fstatat(dir, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return -1;
    }
    return treeSize(dir, name, st, in_blocks);
}

long long get_dir_size(const char* path, int in_blocks) {
    std::string name;
    marun::UniqueFd dir(walk_open_parent(path, &name));
    return dir.valid() ? dir_size_at(dir.get(), name.c_str(), in_blocks) : -1;
}
