// Forking, preparing the child's streams, exec, and reporting a child's
// failure before exec back to the parent.
#include "util/process_launch.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>

#include "util/errors.h"
#include "util/write_exception.h"

namespace marun {
namespace process {

namespace {

// Exit statuses of a child that failed before exec.
const int EXIT_SYSTEM_ERROR = 67;
const int EXIT_STD_EXCEPTION = 66;
const int EXIT_UNKNOWN = 65;

// What the child gets on one standard stream: `fd` (-1 = leave as is) and
// the parent's end when a pipe was made. `own` keeps descriptors opened
// here for the child, closed in the parent after the fork.
struct Prepared {
    int fd = -1;
    FdOwner own;
    FdOwner parent;
};

void prepare(Prepared& p, int code, bool isInput, const char* name) {
    switch (code) {
        case STREAM_DEFAULT:
        case STREAM_INHERIT:
            return;
        case STREAM_DEVNULL: {
            int fd = ::open("/dev/null", (isInput ? O_RDONLY : O_WRONLY) | O_CLOEXEC);
            if (fd < 0) {
                throwSystemError(std::string(name) + " /dev/null open", errno);
            }
            p.own.reset(fd);
            p.fd = fd;
            return;
        }
        case STREAM_PIPE: {
            PipeOwner pipe((std::string(name) + " pipe").c_str(), O_CLOEXEC);
            FdOwner& childEnd = isInput ? pipe.reader() : pipe.writer();
            FdOwner& parentEnd = isInput ? pipe.writer() : pipe.reader();
            p.fd = childEnd.get();
            p.own.reset(childEnd.release());
            p.parent.reset(parentEnd.release());
            return;
        }
        default:
            if (code < 0) {
                throw std::invalid_argument(std::string("invalid FD for ") + name);
            }
            p.fd = code;
    }
}

void rawWrite(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void writeErrorCode(int fd, int code) {
    char buf[32];
    int n = std::snprintf(buf, sizeof buf, "EC: %d", code);
    rawWrite(fd, buf, static_cast<size_t>(n) + 1);
}

// Everything the child does between fork and exec; throws on failure.
[[noreturn]] void runChild(Prepared (&streams)[3], bool errorAsOutput, int controlWrite,
                           char* const* argv, const char* path, const char* cwd, char* const* envp,
                           bool closeDescriptors, bool searchPath, bool newSession,
                           const boost::function<void()>& childHook) {
    static const char* const dupNames[3] = {"stdin dup2", "stdout dup2", "stderr dup2"};
    // The control pipe was made close-on-exec; make sure, as the parent only
    // learns that exec succeeded from the end of file it causes.
    if (::fcntl(controlWrite, F_SETFD, FD_CLOEXEC) != 0) {
        throwSystemError("control pipe close-on-exec fcntl", errno);
    }
    // Move the chosen descriptors out of 0..2 first, so that placing one
    // cannot overwrite another that happens to sit on a low number.
    int moved[3] = {-1, -1, -1};
    for (int i = 0; i < 3; ++i) {
        if (streams[i].fd >= 0) {
            moved[i] = ::fcntl(streams[i].fd, F_DUPFD_CLOEXEC, 3);
            if (moved[i] < 0) {
                throwSystemError(dupNames[i], errno);
            }
        }
    }
    for (int i = 0; i < 3; ++i) {
        if (moved[i] >= 0 && ::dup2(moved[i], i) < 0) {
            throwSystemError(dupNames[i], errno);
        }
    }
    if (errorAsOutput && ::dup2(1, 2) < 0) {
        throwSystemError(dupNames[2], errno);
    }
    for (int i = 0; i < 3; ++i) {
        if (moved[i] >= 0) {
            ::close(moved[i]);
        }
        streams[i].parent.close_nothrow();
        streams[i].own.close_nothrow();
    }
    if (cwd != nullptr && ::chdir(cwd) != 0) {
        throwSystemError("cwd chdir", errno);
    }
    if (closeDescriptors) {
        closeDescriptorsFrom(3, controlWrite);
    }
    if (newSession && ::setsid() < 0) {
        throwSystemError("setsid", errno);
    }
    if (childHook) {
        childHook();
    }
    // The program starts with a clean signal state: the launcher blocks
    // SIGCHLD while starting children, and callers may ignore SIGPIPE.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    if (envp != nullptr) {
        ::execve(path, argv, envp);
        throwSystemError("execve", errno);
    }
    if (!searchPath) {
        ::execv(path, argv);
        throwSystemError("execv", errno);
    }
    ::execvp(path, argv);
    throwSystemError("execvp", errno);
}

}  // namespace

ProcessLaunch::ProcessLaunch(char* const* argv, const char* path, const char* cwd,
                             char* const* envp, bool closeDescriptors, bool searchPath, bool setsid,
                             const boost::function<void()>& childHook, int stdinCode,
                             int stdoutCode, int stderrCode) {
    Prepared streams[3];
    prepare(streams[0], stdinCode, true, "stdin");
    if (stdoutCode == STREAM_AS_STDOUT) {
        throw std::invalid_argument("invalid FD for stdout");
    }
    prepare(streams[1], stdoutCode, false, "stdout");
    // STREAM_AS_STDOUT: the child puts standard error wherever standard
    // output went, once that is in place.
    const bool errorAsOutput = stderrCode == STREAM_AS_STDOUT;
    if (!errorAsOutput) {
        prepare(streams[2], stderrCode, false, "stderr");
    }
    PipeOwner control("pipe", O_CLOEXEC);

    pid_t pid;
    do {
        pid = ::fork();
    } while (pid < 0 && errno == EINTR);
    if (pid < 0) {
        throwSystemError("fork", errno);
    }
    if (pid == 0) {
        int controlWrite = control.writeEnd();
        control.reader().close_nothrow();
        try {
            runChild(streams, errorAsOutput, controlWrite, argv, path, cwd, envp, closeDescriptors,
                     searchPath, setsid, childHook);
        } catch (const SystemError& e) {
            writeException(controlWrite, "SystemError", e.std::runtime_error::what());
            writeErrorCode(controlWrite, e.code());
            ::_exit(EXIT_SYSTEM_ERROR);
        } catch (const std::runtime_error& e) {
            writeException(controlWrite, "std::runtime_error", e.what());
            ::_exit(EXIT_STD_EXCEPTION);
        } catch (const std::exception& e) {
            writeException(controlWrite, "std::exception", e.what());
            ::_exit(EXIT_STD_EXCEPTION);
        } catch (...) {
            writeException(controlWrite, "std::runtime_error", "unknown error");
            ::_exit(EXIT_UNKNOWN);
        }
    }
    pid_ = pid;
    stdin_ = std::move(streams[0].parent);
    stdout_ = std::move(streams[1].parent);
    stderr_ = std::move(streams[2].parent);
    control_.reset(control.reader().release());
    // The child's ends (streams[i].own, the control write end) close here.
}

void ProcessLaunch::waitExec() {
    std::string report;
    char buf[1024];
    for (;;) {
        ssize_t n = ::read(control_.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwSystemError("control pipe read", errno);
        }
        if (n == 0) {
            break;
        }
        report.append(buf, static_cast<size_t>(n));
    }
    control_.close_nothrow();
    if (report.empty()) {
        return;
    }

    std::string type;
    std::string message;
    int code = 0;
    size_t pos = 0;
    while (pos < report.size()) {
        size_t end = report.find('\0', pos);
        if (end == std::string::npos) {
            end = report.size();
        }
        std::string part = report.substr(pos, end - pos);
        pos = end + 1;
        if (part.compare(0, 4, "ET: ") == 0) {
            type = part.substr(4);
        } else if (part.compare(0, 4, "EM: ") == 0) {
            message = part.substr(4);
        } else if (part.compare(0, 4, "EC: ") == 0) {
            code = std::atoi(part.c_str() + 4);
        } else if (!part.empty()) {
            std::clog << "child output: " << part << std::endl;
        }
    }
    waitExit();
    if (message.empty()) {
        message = "an error in child process";
    }
    if (type == "SystemError") {
        throwSystemError(message, code);
    }
    if (type == "std::runtime_error") {
        throw std::runtime_error(message);
    }
    if (type == "std::exception") {
        throw std::exception();
    }
    throw std::bad_exception();
}

int ProcessLaunch::waitExit() {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
        if (errno != EINTR) {
            throwSystemError("unable to wait for child process exit", errno);
        }
    }
    return status;
}

}  // namespace process
}  // namespace marun
