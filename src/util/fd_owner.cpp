// Descriptor and pipe owners.
#include "util/fd_owner.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "util/errors.h"

namespace marun {
namespace process {

FdOwner& FdOwner::operator=(FdOwner&& other) noexcept {
    if (this != &other) {
        reset(other.release());
    }
    return *this;
}

int FdOwner::release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void FdOwner::reset(int fd) noexcept {
    close_nothrow();
    fd_ = fd;
}

void FdOwner::close() {
    if (fd_ < 0) {
        return;
    }
    // Linux releases the descriptor even when close() fails, so it is never
    // retried (a retry could close a descriptor reused meanwhile).
    int fd = release();
    if (::close(fd) != 0 && errno != EINTR) {
        throwSystemError("close", errno);
    }
}

void FdOwner::close_nothrow() noexcept {
    if (fd_ >= 0) {
        int saved = errno;
        ::close(release());
        errno = saved;
    }
}

PipeOwner::PipeOwner(const char* what, int flags) {
    int fds[2];
    if (::pipe2(fds, flags) != 0) {
        throwSystemError(what, errno);
    }
    read_.reset(fds[0]);
    write_.reset(fds[1]);
}

void PipeOwner::closeRead() {
    try {
        read_.close();
    } catch (const SystemError& e) {
        throwSystemError("pipe read-end close", e.code());
    }
}

void PipeOwner::closeWrite() {
    try {
        write_.close();
    } catch (const SystemError& e) {
        throwSystemError("pipe write-end close", e.code());
    }
}

void PipeOwner::close_nothrow() noexcept {
    read_.close_nothrow();
    write_.close_nothrow();
}

namespace {

// Closes [from, to], with one system call where the kernel offers it.
void closeRange(int from, int to) noexcept {
    if (from > to) {
        return;
    }
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, static_cast<unsigned>(from), static_cast<unsigned>(to), 0) ==
        0) {
        return;
    }
#endif
    for (int fd = from; fd <= to; ++fd) {
        ::close(fd);
    }
}

}  // namespace

void closeDescriptorsFrom(int from, int keep) noexcept {
    int saved = errno;
    int max = 20;
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        max = limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 0x7fffffff
                  ? 0x7fffffff
                  : static_cast<int>(limit.rlim_cur);
    }
    if (keep >= from && keep < max) {
        closeRange(from, keep - 1);
        closeRange(keep + 1, max - 1);
    } else {
        closeRange(from, max - 1);
    }
    errno = saved;
}

}  // namespace process
}  // namespace marun
