// Running a program with string input and collected output and error.
#include "util/fork_exec.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "lib/log.h"
#include "util/errors.h"
#include "util/fd_owner.h"
#include "util/sig_blocker.h"

namespace marun {

namespace {

// Exit status of a child that could not run its program.
const int EXIT_CANNOT_RUN = 127;

// Switches the process to `user`: its groups, group id and user id.
bool p_setuid(const std::string& user) {
    struct passwd* pw = ::getpwnam(user.c_str());
    if (pw == nullptr) {
        if (errno == 0) {
            errno = ENOENT;
        }
        return false;
    }
    return ::initgroups(pw->pw_name, pw->pw_gid) == 0 && ::setgid(pw->pw_gid) == 0 &&
           ::setuid(pw->pw_uid) == 0;
}

// Reads what is there into `target`; false at end of file or on an error
// other than EINTR/EAGAIN.
bool readInto(int fd, std::string& target) {
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            target.append(buf, static_cast<size_t>(n));
            return true;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 && errno == EAGAIN;
    }
}

}  // namespace

pid_t forkExecvPipes(int in, int out, int err, const std::string& path,
                     const std::vector<std::string>& args, const std::string& user,
                     const std::map<std::string, std::string>& env) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);

    pid_t pid = ::fork();
    if (pid < 0) {
        throwSystemError("forkExecvPipes: fork() failed", errno);
    }
    if (pid > 0) {
        return pid;
    }
    // Child. The descriptors are moved above 2 first so that placing one
    // cannot overwrite another.
    int fds[3] = {in, out, err};
    for (int& fd : fds) {
        fd = ::fcntl(fd, F_DUPFD, 3);
    }
    for (int i = 0; i < 3; ++i) {
        if (fds[i] < 0 || ::dup2(fds[i], i) < 0) {
            marun_log(3, "forkExecvPipes: dup2() failed: %s\n", std::strerror(errno));
            ::_exit(EXIT_CANNOT_RUN);
        }
    }
    process::closeDescriptorsFrom(3);
    if (!user.empty() && !p_setuid(user)) {
        SystemError e("forkExecvPipes: p_setuid() to '" + user + "' failed", errno);
        marun_log(3, "%s\n", e.what());
        ::_exit(EXIT_CANNOT_RUN);
    }
    for (const auto& variable : env) {
        if (::setenv(variable.first.c_str(), variable.second.c_str(), 1) != 0) {
            marun_log(3, "forkExecvPipes: setenv() falied");
            ::_exit(EXIT_CANNOT_RUN);
        }
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::signal(SIGPIPE, SIG_DFL);
    ::execvp(path.c_str(), argv.data());
    marun_log(3, "forkExecvPipes: execv() failed: %s\n", std::strerror(errno));
    ::_exit(EXIT_CANNOT_RUN);
}

int forkExecvGetInOutErrSuidEnv(const std::string& input, std::string& output, std::string& error,
                                const std::string& path, const std::vector<std::string>& args,
                                const std::string& user,
                                const std::map<std::string, std::string>& env) {
    process::PipeOwner pipes[3];
    for (process::PipeOwner& p : pipes) {
        try {
            p = process::PipeOwner("pipe", O_CLOEXEC);
        } catch (const SystemError& e) {
            marun_log(3, "forkExecvGetOutErr: pipe() failed");
            errno = e.code();
            return -1;
        }
    }
    for (int fd : {pipes[0].writeEnd(), pipes[1].readEnd(), pipes[2].readEnd()}) {
        int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
            marun_log(3, "forkExecvGetOutErr: fcntl(O_NONBLOCK) failed");
            return -1;
        }
    }

    pid_t pid = forkExecvPipes(pipes[0].readEnd(), pipes[1].writeEnd(), pipes[2].writeEnd(), path,
                               args, user, env);
    pipes[0].reader().close_nothrow();
    pipes[1].writer().close_nothrow();
    pipes[2].writer().close_nothrow();

    SigIgnorer sigPipe(SIGPIPE);
    process::FdOwner& in = pipes[0].writer();
    process::FdOwner& out = pipes[1].reader();
    process::FdOwner& err = pipes[2].reader();
    size_t written = 0;
    int failure = 0;
    if (input.empty()) {
        in.close_nothrow();
    }
    while (out.valid() || err.valid()) {
        fd_set readable;
        fd_set writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        int maxFd = -1;
        for (process::FdOwner* fd : {&out, &err}) {
            if (fd->valid()) {
                FD_SET(fd->get(), &readable);
                maxFd = std::max(maxFd, fd->get());
            }
        }
        if (in.valid()) {
            FD_SET(in.get(), &writable);
            maxFd = std::max(maxFd, in.get());
        }
        if (::select(maxFd + 1, &readable, &writable, nullptr, nullptr) < 0) {
            if (errno == EINTR) {
                continue;
            }
            failure = errno;
            marun_log(3, "forkExecvGetOutErr: select() failed");
            break;
        }
        if (in.valid() && FD_ISSET(in.get(), &writable)) {
            ssize_t n = ::write(in.get(), input.data() + written, input.size() - written);
            if (n > 0) {
                written += static_cast<size_t>(n);
            }
            // All written, or the child stopped reading (EPIPE and the like).
            if (written == input.size() || (n < 0 && errno != EINTR && errno != EAGAIN)) {
                in.close_nothrow();
            }
        }
        if (out.valid() && FD_ISSET(out.get(), &readable) && !readInto(out.get(), output)) {
            out.close_nothrow();
        }
        if (err.valid() && FD_ISSET(err.get(), &readable) && !readInto(err.get(), error)) {
            err.close_nothrow();
        }
    }
    in.close_nothrow();
    out.close_nothrow();
    err.close_nothrow();

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    if (failure != 0) {
        errno = failure;
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace marun
