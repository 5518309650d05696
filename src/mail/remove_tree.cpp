// Descriptor-based recursive removal: each directory is opened with
// O_NOFOLLOW and emptied through its descriptor, so a link swapped in by
// another process leads nowhere outside the tree.
#include "mail/remove_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "mail/lib/scoped_fd.h"

namespace marun {
namespace mail {
namespace {

namespace fs = boost::filesystem;

[[noreturn]] void fail(const fs::path& path, int error) {
    throw fs::filesystem_error("boost::filesystem::remove_all", path,
                               boost::system::error_code(error, boost::system::system_category()));
}

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// Empties the directory open on `fd` (shown as `where` in errors).
void removeContents(int fd, const fs::path& where) {
    int copy = dup(fd);
    std::unique_ptr<DIR, DirCloser> dir(copy >= 0 ? fdopendir(copy) : nullptr);
    if (!dir) {
        int error = errno;
        if (copy >= 0) {
            close(copy);
        }
        fail(where, error);
    }
    // Names first: removing entries while reading may make readdir skip.
    std::vector<std::string> names;
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(dir.get());
        if (entry == nullptr) {
            if (errno != 0) {
                fail(where, errno);
            }
            break;
        }
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    for (const std::string& name : names) {
        if (unlinkat(fd, name.c_str(), 0) == 0 || errno == ENOENT) {
            continue;
        }
        if (errno != EISDIR && errno != EPERM) {
            fail(where / name, errno);
        }
        ScopedFd child(openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!child.valid()) {
            fail(where / name, errno);
        }
        removeContents(child.get(), where / name);
        child.reset();
        if (unlinkat(fd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
            fail(where / name, errno);
        }
    }
}

}  // namespace

void removeTree(const fs::path& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            return;
        }
        fail(path, errno);
    }
    if (!S_ISDIR(st.st_mode)) {
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            fail(path, errno);
        }
        return;
    }
    ScopedFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        fail(path, errno);
    }
    removeContents(fd.get(), path);
    fd.reset();
    if (rmdir(path.c_str()) != 0 && errno != ENOENT) {
        fail(path, errno);
    }
}

}  // namespace mail
}  // namespace marun
