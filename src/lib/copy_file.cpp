// copy_file and copy_file_atomic. Both reach their files through the
// no-follow walker: only regular files are read or written, and the atomic
// copy goes through the one safe file writer.
#include "lib/copy_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/atomic_file.h"
#include "lib/lock.h"
#include "lib/log.h"
#include "lib/tree_walk.h"
#include "lib/unique_fd.h"

namespace {

using marun::UniqueFd;

constexpr size_t kBlockSize = 65536;

// Through a buffer, from offset `offset` of `in`.
int copyBuffered(int in, int out, off_t offset) {
    char buf[kBlockSize];
    for (;;) {
        ssize_t n = pread(in, buf, sizeof(buf), offset);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            return 0;
        }
        if (!marun::writeAll(out, buf, static_cast<size_t>(n))) {
            return -1;
        }
        offset += n;
    }
}

int copyLocked(const char* src, const char* dst) {
    struct stat info {};
    UniqueFd in(walk_open_file(src, O_RDONLY, 0, &info));
    if (!in.valid()) {
        marun_log(3, "Unable to open file %s: %s", src, walk_strerror(errno));
        return 1;
    }
    bool to_stdout = std::strcmp(dst, "-") == 0;
    UniqueFd out(
        to_stdout ? -1 : walk_open_file(dst, O_WRONLY | O_CREAT | O_TRUNC, info.st_mode & 07777));
    int out_fd = to_stdout ? STDOUT_FILENO : out.get();
    if (out_fd < 0) {
        marun_log(3, "Unable to open file %s: %s", dst, walk_strerror(errno));
        return 1;
    }
    if (copy_fd(in.get(), out_fd) != 0) {
        marun_log(3, "Error while copying file %s to %s: %s", src, dst, std::strerror(errno));
        return 1;
    }
    if (!to_stdout && out.close() != 0) {
        marun_log(3, "Unable to close file %s: %s\n", dst, std::strerror(errno));
        return 1;
    }
    if (in.close() != 0) {
        marun_log(3, "Unable to close file %s: %s\n", src, std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace

int copy_fd(int in, int out) {
    // A table of a few hundred megabytes is copied without passing through
    // user space; where the kernel cannot (another file system, standard
    // output), the buffer takes over from where it stopped.
    off_t offset = 0;
    for (;;) {
        ssize_t n = copy_file_range(in, &offset, out, nullptr, size_t{1} << 30, 0);
        if (n > 0) {
            continue;
        }
        if (n == 0) {
            return 0;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP &&
            errno != EBADF) {
            return -1;
        }
        return copyBuffered(in, out, offset);
    }
}

int copy_file(const char* src, const char* dst) {
    if (std::strcmp(src, dst) == 0) {
        return 0;
    }
    lock_struct_t* lock = mk_lock(dst, 1);
    if (!is_locked(lock)) {
        marun_log(3, "Error occurred while locking the file %s\n", dst);
        rm_lock(lock);
        return 1;
    }
    int result = copyLocked(src, dst);
    if (rm_lock(lock) != 0) {
        marun_log(3, "Error occurred while unlocking the file %s\n", dst);
    }
    return result;
}

void copy_file_atomic(const char* src, const char* dst, uid_t uid, gid_t gid, mode_t mode) {
    marun::AtomicFile out;
    // Ends the process; the temporary file, once it exists, is removed first.
    auto fail = [&](const char* step) {
        out.discard();
        messlog2(1, 0, "copy_file_atomic(%s -> %s): %s", src, dst, step);
    };

    UniqueFd in(walk_open_file(src, O_RDONLY));
    if (!in.valid()) {
        fail("open failed");
    }
    if (out.createBeside(dst, ".XXXXXX", 0600) != 0) {
        fail("mkstemp failed");
    }
    if (copy_fd(in.get(), out.fd()) != 0) {
        fail("copy failed");
    }
    if (fchown(out.fd(), uid, gid) != 0) {
        fail("chown failed");
    }
    if (fchmod(out.fd(), mode) != 0) {
        fail("chmod failed");
    }
    // Flushed to disk before the rename, so that the new file is complete
    // once it carries the destination's name.
    if (out.flush() != 0) {
        fail("flush failed");
    }
    if (out.commit() != 0) {
        fail("rename failed");
    }
}
