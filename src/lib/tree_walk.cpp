// The no-follow walker: level-by-level openat, links followed only where
// only root can have put them, files checked by fstat on the descriptor.
#include "lib/tree_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "lib/c_handles.h"
#include "lib/unique_fd.h"

namespace {

constexpr int DIR_FLAGS = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// As many links as the kernel follows in one path.
constexpr int MAX_LINKS = 40;

bool closedDirectory(int dir) {
    struct stat st;
    return fstat(dir, &st) == 0 && walk_dir_closed(st);
}

// Pushes the elements of `path` onto `todo` so that the first is popped first.
void pushElements(const std::string& path, std::vector<std::string>* todo) {
    size_t end = path.size();
    while (end > 0) {
        size_t slash = path.rfind('/', end - 1);
        size_t begin = slash == std::string::npos ? 0 : slash + 1;
        if (end > begin) {
            todo->push_back(path.substr(begin, end - begin));
        }
        if (slash == std::string::npos) {
            break;
        }
        end = slash;
    }
}

// Walks `path` from `base` (AT_FDCWD: "/" for an absolute path, else the
// working directory), creating missing levels with `create_mode` unless it
// is 0.
int walk(int base, const char* path, mode_t create_mode) {
    marun::UniqueFd current(path[0] == '/'     ? open("/", DIR_FLAGS)
                            : base == AT_FDCWD ? open(".", DIR_FLAGS)
                                               : fcntl(base, F_DUPFD_CLOEXEC, 0));
    if (!current.valid()) {
        return -1;
    }
    std::vector<std::string> todo;
    pushElements(path, &todo);
    int links = 0;
    while (!todo.empty()) {
        std::string name = std::move(todo.back());
        todo.pop_back();
        if (name == ".") {
            continue;
        }
        int next = openat(current.get(), name.c_str(), DIR_FLAGS);
        if (next < 0 && errno == ENOENT && create_mode != 0) {
            if (mkdirat(current.get(), name.c_str(), create_mode) != 0 && errno != EEXIST) {
                return -1;
            }
            next = openat(current.get(), name.c_str(), DIR_FLAGS);
        }
        if (next >= 0) {
            current.reset(next);
            continue;
        }
        if (errno != ENOTDIR && errno != ELOOP) {
            return -1;
        }
        int error = errno;
        char target[PATH_MAX];
        ssize_t length = readlinkat(current.get(), name.c_str(), target, sizeof target - 1);
        if (length < 0) {
            errno = error;  // not a link: a file where a directory should be
            return -1;
        }
        if (!closedDirectory(current.get()) || ++links > MAX_LINKS) {
            errno = ELOOP;
            return -1;
        }
        target[length] = '\0';
        pushElements(target, &todo);
        if (target[0] == '/') {
            current.reset(open("/", DIR_FLAGS));
            if (!current.valid()) {
                return -1;
            }
        }
    }
    return current.release();
}

// Empties the directory open on `dir`.
int removeContents(int dir) {
    // Names first: removing entries while reading may make readdir skip.
    std::vector<std::string> names;
    if (walk_each_entry(fcntl(dir, F_DUPFD_CLOEXEC, 0), [&names](int, const struct dirent& entry) {
            names.emplace_back(entry.d_name);
            return true;
        }) != 0) {
        return -1;
    }
    for (const std::string& name : names) {
        if (walk_remove_tree_at(dir, name.c_str()) != 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace

bool walk_dir_closed(const struct stat& st) {
    return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

int walk_open_dir(const char* path) {
    return walk(AT_FDCWD, path, 0);
}

int walk_open_dir_at(int dir, const char* relative) {
    if (relative[0] == '/') {
        errno = EINVAL;
        return -1;
    }
    return walk(dir, relative, 0);
}

int walk_make_dirs(const char* path, mode_t mode) {
    return walk(AT_FDCWD, path, mode == 0 ? 0700 : mode);
}

int walk_open_parent(const char* path, std::string* name) {
    std::string dir = path;
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    size_t slash = dir.rfind('/');
    *name = slash == std::string::npos ? dir : dir.substr(slash + 1);
    if (name->empty() || *name == "." || *name == "..") {
        errno = EINVAL;
        return -1;
    }
    if (slash == std::string::npos) {
        dir = ".";
    } else {
        dir.resize(slash == 0 ? 1 : slash);
    }
    return walk(AT_FDCWD, dir.c_str(), 0);
}

int walk_open_file_at(int dir, const char* name, int flags, mode_t mode, struct stat* st) {
    struct stat own;
    if (st == nullptr) {
        st = &own;
    }
    marun::UniqueFd fd(
        openat(dir, name, (flags & ~O_TRUNC) | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
    if (!fd.valid()) {
        // A FIFO opened for writing without a reader, or a socket.
        if (errno == ENXIO && fstatat(dir, name, st, AT_SYMLINK_NOFOLLOW) == 0 &&
            !S_ISREG(st->st_mode)) {
            errno = EBADFD;
        }
        return -1;
    }
    if (fstat(fd.get(), st) != 0) {
        return -1;
    }
    if (!S_ISREG(st->st_mode)) {
        errno = S_ISDIR(st->st_mode) ? EISDIR : EBADFD;
        return -1;
    }
    if (st->st_nlink > 1 && !closedDirectory(dir)) {
        errno = EMLINK;
        return -1;
    }
    if ((flags & O_TRUNC) != 0 && ftruncate(fd.get(), 0) != 0) {
        return -1;
    }
    return fd.release();
}

int walk_open_file(const char* path, int flags, mode_t mode, struct stat* st) {
    std::string name;
    marun::UniqueFd dir(walk_open_parent(path, &name));
    if (!dir.valid()) {
        return -1;
    }
    return walk_open_file_at(dir.get(), name.c_str(), flags, mode, st);
}

int walk_create_fresh_at(int dir, const char* name, int flags, mode_t mode) {
    if (unlinkat(dir, name, 0) != 0 && errno != ENOENT) {
        return -1;
    }
    return openat(dir, name, flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}

int walk_remove_tree_at(int dir, const char* name) {
    // Most entries of a mail tree are files: try that first.
    if (unlinkat(dir, name, 0) == 0 || errno == ENOENT) {
        return 0;
    }
    if (errno != EISDIR && errno != EPERM) {
        return -1;
    }
    marun::UniqueFd child(openat(dir, name, DIR_FLAGS));
    if (!child.valid()) {
        // Replaced by something else since: remove that instead.
        if (errno != ENOTDIR && errno != ELOOP) {
            return -1;
        }
        return unlinkat(dir, name, 0) == 0 || errno == ENOENT ? 0 : -1;
    }
    if (removeContents(child.get()) != 0) {
        return -1;
    }
    child.reset();
    return unlinkat(dir, name, AT_REMOVEDIR) == 0 || errno == ENOENT ? 0 : -1;
}

int walk_remove_tree(const char* path) {
    std::string name;
    marun::UniqueFd dir(walk_open_parent(path, &name));
    if (!dir.valid()) {
        return errno == ENOENT || errno == ENOTDIR || errno == ELOOP ? 0 : -1;
    }
    return walk_remove_tree_at(dir.get(), name.c_str());
}

int walk_each_entry(int dir,
                    const std::function<bool(int dir, const struct dirent& entry)>& visit) {
    if (dir < 0) {
        return -1;
    }
    DirPtr stream(fdopendir(dir));
    if (!stream) {
        int error = errno;
        close(dir);
        errno = error;
        return -1;
    }
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(stream.get());
        if (entry == nullptr) {
            return errno == 0 ? 0 : -1;
        }
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0 && !visit(dir, *entry)) {
            return -1;
        }
    }
}

const char* walk_strerror(int error) {
    switch (error) {
        case ELOOP:
            return "a symbolic link (not followed)";
        case EBADFD:
            return "not a regular file";
        case EMLINK:
            return "a hard link to another file";
        default:
            return std::strerror(error);
    }
}
