// Recursive tree size through directory descriptors: no change of working
// directory, no path length limit, and no link is ever followed, neither in
// the tree nor on the way to it (the no-follow walker), so a link planted in
// a mail home counts as itself and nothing behind it is counted. The total
// saturates (lib/size_sum.h): a tree of sparse files claiming exabytes
// cannot wrap it negative.
#include "mail/lib/dir_size.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "lib/size_sum.h"
#include "lib/tree_walk.h"
#include "lib/unique_fd.h"

namespace {

long long entrySize(const struct stat& st, int in_blocks) {
    if (!in_blocks) {
        return static_cast<long long>(st.st_size);
    }
    long long blocks = static_cast<long long>(st.st_blocks);
    return blocks > SIZE_CEILING / 512 ? SIZE_CEILING : blocks * 512;
}

// Size of the entry `name` below `parent` whose own stat is `st`.
long long treeSize(int parent, const char* name, const struct stat& st, int in_blocks) {
    long long total = entrySize(st, in_blocks);
    if (!S_ISDIR(st.st_mode)) {
        return total;
    }
    int listed = walk_each_entry(walk_open_dir_at(parent, name), [&](int dir, const dirent& entry) {
        struct stat child;
        if (fstatat(dir, entry.d_name, &child, AT_SYMLINK_NOFOLLOW) != 0) {
            return errno == ENOENT;  // removed while we were reading
        }
        long long size = treeSize(dir, entry.d_name, child, in_blocks);
        if (size < 0) {
            return false;
        }
        total = size_add(total, size);
        return true;
    });
    return listed == 0 ? total : -1;
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
