// UniqueFd: the owner of one open file descriptor, for every layer. It
// closes what it still holds when destroyed, never throws, and leaves errno
// as it found it, so it can stand in error paths and in a forked child.
#pragma once

#include <unistd.h>

#include <cerrno>

namespace marun {

class UniqueFd {
  public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    bool valid() const noexcept { return fd_ >= 0; }

    // Gives up ownership without closing.
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // Closes the held descriptor, if any, and takes `fd`.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) {
            int saved = errno;
            ::close(fd_);
            errno = saved;
        }
        fd_ = fd;
    }

    // Closes now where the result matters (a written file): 0, or -1 with
    // errno set. The descriptor counts as closed either way; Linux releases
    // it even when close() fails, so it is never closed twice.
    int close() noexcept {
        if (fd_ < 0) {
            return 0;
        }
        int rc = ::close(release());
        return rc != 0 && errno == EINTR ? 0 : rc;
    }

  private:
    int fd_ = -1;
};

}  // namespace marun
