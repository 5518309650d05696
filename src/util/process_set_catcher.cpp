// Reaping the children of a pipeline run from the SIGCHLD handler.
#include "util/process_set_catcher.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "util/errors.h"
#include "util/sig_blocker.h"

namespace marun {
namespace process {

ProcessSetCatcher* ProcessSetCatcher::installed_ = nullptr;

ProcessSetCatcher::~ProcessSetCatcher() {
    if (installed()) {
        try {
            remove(true);
        } catch (...) {
        }
    }
}

void ProcessSetCatcher::install() {
    if (installed_ != nullptr) {
        throw std::logic_error("ProcessSetCatcher instance has been installed already");
    }
    PipeOwner control("process set catcher control pipe", O_CLOEXEC);
    for (int fd : {control.readEnd(), control.writeEnd()}) {
        int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
            throwSystemError("control pipe fcntl", errno);
        }
    }
    control_ = std::move(control);
    processes_.clear();
    registered_ = finished_ = reports_ = 0;

    struct sigaction action {};
    action.sa_sigaction = &ProcessSetCatcher::childHandler;
    action.sa_flags = SA_SIGINFO | SA_NOCLDSTOP;
    sigemptyset(&action.sa_mask);
    // The handler reads the instance pointer, so it is set first; SIGCHLD
    // arriving before sigaction() still goes to the previous action.
    installed_ = this;
    if (::sigaction(SIGCHLD, &action, &previous_) != 0) {
        installed_ = nullptr;
        int code = errno;
        control_.close();
        throwSystemError("sigaction", code);
    }
}

void ProcessSetCatcher::remove(bool force) {
    control_.close();
    if (!force && finished_ < registered_) {
        throw std::logic_error("there're some child processes still running");
    }
    {
        SigBlocker blocker(SIGCHLD);
        processes_.clear();
        registered_ = finished_ = reports_ = 0;
    }
    if (installed_ == this) {
        installed_ = nullptr;
        if (::sigaction(SIGCHLD, &previous_, nullptr) != 0) {
            throwSystemError("restore sigaction", errno);
        }
    }
}

void ProcessSetCatcher::add(pid_t pid) {
    processes_[pid] = ProcessStatus();
    registered_ = registered_ + 1;
}

ProcessStatus ProcessSetCatcher::status(pid_t pid) const {
    SigBlocker blocker(SIGCHLD);
    auto it = processes_.find(pid);
    if (it == processes_.end()) {
        throw std::logic_error("no such pid");
    }
    return it->second;
}

void ProcessSetCatcher::clear_control() {
    char buf[64];
    for (;;) {
        ssize_t n = ::read(control_.readEnd(), buf, sizeof buf);
        if (n > 0) {
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return;  // empty (EAGAIN) or closed
    }
}

void ProcessSetCatcher::childHandler(int /*signal*/, siginfo_t* /*info*/, void* /*context*/) {
    int saved = errno;
    ProcessSetCatcher* self = installed_;
    for (;;) {
        int status = 0;
        pid_t pid = ::waitpid(-1, &status, WNOHANG);
        if (pid <= 0) {
            break;
        }
        if (self == nullptr) {
            continue;
        }
        auto it = self->processes_.find(pid);
        if (it == self->processes_.end()) {
            continue;
        }
        it->second.status = status;
        self->reports_ = self->reports_ + 1;
        if (WIFEXITED(status) || WIFSIGNALED(status)) {
            it->second.finished = true;
            self->finished_ = self->finished_ + 1;
            ssize_t n;
            do {
                n = ::write(self->control_.writeEnd(), "t", 1);
            } while (n < 0 && errno == EINTR);
        }
    }
    errno = saved;
}

}  // namespace process
}  // namespace marun
