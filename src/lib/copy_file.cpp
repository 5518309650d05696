// copy_file and copy_file_atomic.
#include "lib/copy_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "lib/lock.h"
#include "lib/log.h"

namespace {

constexpr size_t kBlockSize = 4096;

// Closes the descriptor it owns unless released.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            int saved = errno;
            close(fd_);
            errno = saved;
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_;
};

ssize_t readRetrying(int fd, char* buf, size_t size) {
    ssize_t n;
    while ((n = read(fd, buf, size)) < 0 && errno == EINTR) {
    }
    return n;
}

ssize_t writeRetrying(int fd, const char* buf, size_t size) {
    ssize_t n;
    while ((n = write(fd, buf, size)) < 0 && errno == EINTR) {
    }
    return n;
}

// Writes the whole buffer, continuing after partial writes.
bool writeAll(int fd, const char* buf, size_t size) {
    while (size > 0) {
        ssize_t n = writeRetrying(fd, buf, size);
        if (n <= 0) {
            return false;
        }
        buf += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

int copyLocked(const char* src, const char* dst) {
    Fd in(open(src, O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) {
        marun_log(3, "Unable to open file %s: %s", src, std::strerror(errno));
        return 1;
    }
    struct stat info {};
    if (fstat(in.get(), &info) != 0) {
        marun_log(3, "Unable to get info for file '%s': %s", src, std::strerror(errno));
        return 1;
    }
    bool to_stdout = std::strcmp(dst, "-") == 0;
    Fd out(to_stdout ? -1
                     : open(dst, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, info.st_mode & 07777));
    int out_fd = to_stdout ? STDOUT_FILENO : out.get();
    if (out_fd < 0) {
        marun_log(3, "Unable to open file %s: %s", dst, std::strerror(errno));
        return 1;
    }
    char buf[kBlockSize];
    for (;;) {
        ssize_t n = readRetrying(in.get(), buf, sizeof(buf));
        if (n < 0) {
            marun_log(3, "Error while copying file %s to %s: %s", src, dst, std::strerror(errno));
            return 1;
        }
        if (n == 0) {
            break;
        }
        errno = 0;
        if (writeRetrying(out_fd, buf, static_cast<size_t>(n)) != n) {
            marun_log(3, "Unable to copy file %s to %s: %s\n", src, dst,
                      std::strerror(errno != 0 ? errno : ENOSPC));
            return 1;
        }
    }
    if (!to_stdout && close(out.release()) != 0) {
        marun_log(3, "Unable to close file %s: %s\n", dst, std::strerror(errno));
        return 1;
    }
    if (close(in.release()) != 0) {
        marun_log(3, "Unable to close file %s: %s\n", src, std::strerror(errno));
        return 1;
    }
    return 0;
}

}  // namespace

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
    std::vector<char> tmp_name;
    try {
        std::string name = std::string(dst) + ".XXXXXX";
        tmp_name.assign(name.c_str(), name.c_str() + name.size() + 1);
    } catch (const std::bad_alloc&) {
        messlog2(1, 0, "Allocation failed");
    }
    // Ends the process; the temporary file, once it exists, is removed first.
    bool tmp_created = false;
    auto fail = [&](const char* step) {
        if (tmp_created) {
            int saved = errno;
            unlink(tmp_name.data());
            errno = saved;
        }
        messlog2(1, 0, "copy_file_atomic(%s -> %s): %s", src, dst, step);
    };

    Fd in(open(src, O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) {
        fail("open failed");
    }
    Fd out(mkostemp(tmp_name.data(), O_CLOEXEC));
    if (out.get() < 0) {
        fail("mkstemp failed");
    }
    tmp_created = true;
    char buf[kBlockSize];
    for (;;) {
        ssize_t n = readRetrying(in.get(), buf, sizeof(buf));
        if (n < 0) {
            fail("read failed");
        }
        if (n == 0) {
            break;
        }
        if (!writeAll(out.get(), buf, static_cast<size_t>(n))) {
            fail("write failed");
        }
    }
    if (fchown(out.get(), uid, gid) != 0) {
        fail("chown failed");
    }
    if (fchmod(out.get(), mode) != 0) {
        fail("chmod failed");
    }
    // Flushed to disk before the rename, so that the new file is complete
    // once it carries the destination's name.
    if (fsync(out.get()) != 0 || close(out.release()) != 0) {
        fail("flush failed");
    }
    if (rename(tmp_name.data(), dst) != 0) {
        fail("rename failed");
    }
}
