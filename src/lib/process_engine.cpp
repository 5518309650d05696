// Fork, exec, the control pipe, the select loop and waiting.
#include "lib/process_engine.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/sig_ignorer.h"

namespace marun {
namespace process {

namespace {

const size_t CHUNK = 1024;
const char* const STREAM_NAMES[3] = {"stdin", "stdout", "stderr"};

int fail(LaunchFailure& failure, const char* type, const char* message, int code) {
    std::snprintf(failure.type, sizeof failure.type, "%s", type);
    std::snprintf(failure.message, sizeof failure.message, "%s", message);
    failure.code = code;
    failure.status = -1;
    return -1;
}

// What one standard stream of the child gets: `fd` (-1: left as it is) and
// the descriptor opened here for it, closed in the parent after the fork.
struct Prepared {
    int fd = -1;
    UniqueFd own;
};

int prepare(int code, int index, Prepared& prepared, UniqueFd& parentEnd, LaunchFailure& failure) {
    const bool input = index == 0;
    char step[40];
    switch (code) {
        case STREAM_DEFAULT:
        case STREAM_INHERIT:
            return 0;
        case STREAM_DEVNULL:
            prepared.own.reset(::open("/dev/null", (input ? O_RDONLY : O_WRONLY) | O_CLOEXEC));
            if (!prepared.own.valid()) {
                std::snprintf(step, sizeof step, "%s /dev/null open", STREAM_NAMES[index]);
                return fail(failure, "SystemError", step, errno);
            }
            prepared.fd = prepared.own.get();
            return 0;
        case STREAM_PIPE: {
            int fds[2];
            if (::pipe2(fds, O_CLOEXEC) != 0) {
                std::snprintf(step, sizeof step, "%s pipe", STREAM_NAMES[index]);
                return fail(failure, "SystemError", step, errno);
            }
            prepared.own.reset(fds[input ? 0 : 1]);
            parentEnd.reset(fds[input ? 1 : 0]);
            prepared.fd = prepared.own.get();
            return 0;
        }
        case STREAM_AS_STDOUT:
            if (index == 2) {
                return 0;
            }
            break;
        default:
            if (code >= 0) {
                prepared.fd = code;
                return 0;
            }
    }
    std::snprintf(step, sizeof step, "invalid FD for %s", STREAM_NAMES[index]);
    return fail(failure, "std::invalid_argument", step, EINVAL);
}

[[noreturn]] void childFailed(const LaunchSpec& spec, int control, const char* step, int code) {
    if (spec.childFailed != nullptr) {
        spec.childFailed(spec.childFailedArg, step, code);
    }
    writeSystemError(control, step, code);
    ::_exit(spec.failureStatus);
}

// Everything the child does between fork and exec.
[[noreturn]] void runChild(const LaunchSpec& spec, Prepared (&streams)[3], Child& child,
                           int control) {
    static const char* const dupSteps[3] = {"stdin dup2", "stdout dup2", "stderr dup2"};
    // The parent learns that exec succeeded from the end of file it causes.
    if (control >= 0 && ::fcntl(control, F_SETFD, FD_CLOEXEC) != 0) {
        childFailed(spec, control, "control pipe close-on-exec fcntl", errno);
    }
    // Move the chosen descriptors out of 0..2 first, so that placing one
    // cannot overwrite another that happens to sit on a low number.
    int moved[3] = {-1, -1, -1};
    for (int i = 0; i < 3; ++i) {
        if (streams[i].fd >= 0 && (moved[i] = ::fcntl(streams[i].fd, F_DUPFD_CLOEXEC, 3)) < 0) {
            childFailed(spec, control, dupSteps[i], errno);
        }
    }
    for (int i = 0; i < 3; ++i) {
        if (moved[i] >= 0 && ::dup2(moved[i], i) < 0) {
            childFailed(spec, control, dupSteps[i], errno);
        }
    }
    if (spec.streams[2] == STREAM_AS_STDOUT && ::dup2(1, 2) < 0) {
        childFailed(spec, control, dupSteps[2], errno);
    }
    for (int i = 0; i < 3; ++i) {
        if (moved[i] >= 0) {
            ::close(moved[i]);
        }
        streams[i].own.reset();
        child.streams[i].reset();
    }
    if (spec.cwd != nullptr && ::chdir(spec.cwd) != 0) {
        childFailed(spec, control, "cwd chdir", errno);
    }
    if (spec.closeDescriptors) {
        closeDescriptorsFrom(3, control);
    }
    if (spec.newSession && ::setsid() < 0) {
        childFailed(spec, control, "setsid", errno);
    }
    if (spec.hook != nullptr) {
        spec.hook(spec.hookArg, control);
    }
    // The program starts with a clean signal state: launchers block SIGCHLD
    // while starting children, and callers may ignore SIGPIPE.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    if (spec.envp != nullptr) {
        ::execve(spec.path, spec.argv, spec.envp);
        childFailed(spec, control, "execve", errno);
    }
    if (!spec.searchPath) {
        ::execv(spec.path, spec.argv);
        childFailed(spec, control, "execv", errno);
    }
    ::execvp(spec.path, spec.argv);
    childFailed(spec, control, "execvp", errno);
}

void rawWrite(int fd, const char* data, size_t size) {
    ssize_t n;
    do {
        n = ::write(fd, data, size);
    } while (n < 0 && errno == EINTR);
}

int setNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags < 0 ? -1 : ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Hands one chunk of `output` to its sink: 1 when one was delivered, 0 when
// nothing is there now or the end of file closed it, -1 on a read error.
int readChunk(PumpOutput& output) {
    char chunk[CHUNK];
    ssize_t n;
    do {
        n = ::read(output.fd->get(), chunk, sizeof chunk);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return errno == EAGAIN ? 0 : -1;
    }
    if (n == 0) {
        output.fd->reset();
        return 0;
    }
    if (output.sink) {
        output.sink(chunk, static_cast<size_t>(n));
    }
    return 1;
}

// Closes [from, to], with one system call where the kernel offers it.
void closeRange(int from, int to) {
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

int launch(const LaunchSpec& spec, Child& child, LaunchFailure& failure) {
    Prepared streams[3];
    UniqueFd controlWrite;
    int rc = 0;
    for (int i = 0; i < 3 && rc == 0; ++i) {
        rc = prepare(spec.streams[i], i, streams[i], child.streams[i], failure);
    }
    int fds[2];
    if (rc == 0 && spec.controlPipe) {
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            rc = fail(failure, "SystemError", "pipe", errno);
        } else {
            child.control.reset(fds[0]);
            controlWrite.reset(fds[1]);
        }
    }
    pid_t pid = -1;
    if (rc == 0) {
        // Buffered output would otherwise be written twice if the child
        // prints (a failure message) before exec.
        std::fflush(nullptr);
        do {
            pid = ::fork();
        } while (pid < 0 && errno == EINTR);
        if (pid < 0) {
            rc = fail(failure, "SystemError", "fork", errno);
        }
    }
    if (rc != 0) {
        for (UniqueFd& end : child.streams) {
            end.reset();
        }
        child.control.reset();
        return -1;
    }
    if (pid == 0) {
        child.control.reset();
        runChild(spec, streams, child, controlWrite.get());
    }
    child.pid = pid;
    return 0;  // the child's ends close here
}

int waitExec(Child& child, LaunchFailure& failure) {
    if (!child.control.valid()) {
        return 0;
    }
    char report[sizeof failure.message + 64];
    size_t used = 0;
    for (;;) {
        char buf[1024];
        ssize_t n = ::read(child.control.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            int code = errno;
            child.control.reset();
            return fail(failure, "SystemError", "control pipe read", code);
        }
        if (n == 0) {
            break;
        }
        size_t take = std::min(static_cast<size_t>(n), sizeof report - 1 - used);
        std::memcpy(report + used, buf, take);
        used += take;
    }
    child.control.reset();
    if (used == 0) {
        return 0;
    }
    report[used] = '\0';
    fail(failure, "", "", 0);
    for (size_t pos = 0; pos < used; pos += std::strlen(report + pos) + 1) {
        const char* part = report + pos;
        if (std::strncmp(part, "ET: ", 4) == 0) {
            std::snprintf(failure.type, sizeof failure.type, "%s", part + 4);
        } else if (std::strncmp(part, "EM: ", 4) == 0) {
            std::snprintf(failure.message, sizeof failure.message, "%s", part + 4);
        } else if (std::strncmp(part, "EC: ", 4) == 0) {
            failure.code = std::atoi(part + 4);
        } else if (part[0] != '\0') {
            std::fprintf(stderr, "child output: %s\n", part);
        }
    }
    if (failure.message[0] == '\0') {
        std::snprintf(failure.message, sizeof failure.message, "an error in child process");
    }
    int status = -1;
    if (waitChild(child.pid, &status, 0) < 0) {
        status = -1;
    }
    failure.status = status;
    return -1;
}

pid_t waitChild(pid_t pid, int* status, int options) {
    pid_t result;
    do {
        result = ::waitpid(pid, status, options);
    } while (result < 0 && errno == EINTR);
    return result;
}

int pump(Pump& p, const char** step) {
    *step = "fcntl";
    for (PumpOutput& output : p.outputs) {
        if (output.fd->valid() && setNonBlocking(output.fd->get()) != 0) {
            return -1;
        }
    }
    UniqueFd none;
    UniqueFd& input = p.input != nullptr ? *p.input : none;
    bool more = static_cast<bool>(p.produce);
    if (input.valid() && !more) {
        input.reset();  // the child sees an end of file at once
    }
    if (input.valid() && setNonBlocking(input.get()) != 0) {
        return -1;
    }
    // A child that quits reading makes a write fail with EPIPE instead of
    // ending this process.
    SigIgnorer sigPipe(SIGPIPE);
    std::vector<char> buffer;
    size_t offset = 0;
    for (;;) {
        if (input.valid()) {
            while (offset == buffer.size() && more) {
                buffer.clear();
                offset = 0;
                more = p.produce(buffer);
            }
            if (offset == buffer.size()) {
                input.reset();
            }
        }
        if (p.finished && p.finished()) {
            for (PumpOutput& output : p.outputs) {
                int rc = 1;
                while (output.fd->valid() && (rc = readChunk(output)) > 0) {
                }
                if (rc < 0) {
                    *step = "read";
                    return -1;
                }
            }
            return 0;
        }
        fd_set readable;
        fd_set writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        int maxFd = -1;
        for (PumpOutput& output : p.outputs) {
            if (output.fd->valid()) {
                FD_SET(output.fd->get(), &readable);
                maxFd = std::max(maxFd, output.fd->get());
            }
        }
        if (input.valid()) {
            FD_SET(input.get(), &writable);
            maxFd = std::max(maxFd, input.get());
        }
        if (p.wakeFd >= 0) {
            FD_SET(p.wakeFd, &readable);
            maxFd = std::max(maxFd, p.wakeFd);
        }
        if (maxFd < 0) {
            return 0;  // nothing left to serve or to wait for
        }
        struct timeval timeout = {p.timeoutMs / 1000, (p.timeoutMs % 1000) * 1000};
        if (::select(maxFd + 1, &readable, &writable, nullptr,
                     p.timeoutMs >= 0 ? &timeout : nullptr) < 0) {
            if (errno == EINTR) {
                continue;
            }
            *step = "select";
            return -1;
        }
        if (input.valid() && FD_ISSET(input.get(), &writable)) {
            ssize_t n = writeNonblock(input.get(), buffer.data() + offset, buffer.size() - offset);
            if (n >= 0) {
                offset += static_cast<size_t>(n);
            } else if (errno == EPIPE) {
                input.reset();  // the child stopped reading; its exit status tells why
                more = false;
            } else {
                *step = "write";
                return -1;
            }
        }
        for (PumpOutput& output : p.outputs) {
            if (output.fd->valid() && FD_ISSET(output.fd->get(), &readable) &&
                readChunk(output) < 0) {
                *step = "read";
                return -1;
            }
        }
        if (p.wakeFd >= 0 && FD_ISSET(p.wakeFd, &readable) && p.wake) {
            p.wake();
        }
    }
}

ssize_t writeNonblock(int fd, const char* buffer, size_t length) {
    int saved = errno;
    if (length == 0) {
        errno = EINVAL;
        return -1;
    }
    for (;;) {
        ssize_t n = ::write(fd, buffer, length);
        if (n >= 0) {
            errno = saved;
            return n;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN || (length /= 2) == 0) {
            return -1;
        }
    }
}

void closeDescriptorsFrom(int from, int keep) {
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

void writeException(int fd, const char* type, const char* message) {
    if (fd < 0) {
        return;
    }
    rawWrite(fd, "ET: ", 4);
    rawWrite(fd, type, std::strlen(type) + 1);
    rawWrite(fd, "EM: ", 4);
    rawWrite(fd, message, std::strlen(message) + 1);
}

void writeSystemError(int fd, const char* message, int code) {
    if (fd < 0) {
        return;
    }
    writeException(fd, "SystemError", message);
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "EC: %d", code);
    rawWrite(fd, buf, static_cast<size_t>(n) + 1);
}

}  // namespace process
}  // namespace marun
