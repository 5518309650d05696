// Scoped signal blocking.
#include "util/sig_blocker.h"

#include <cerrno>

#include "util/errors.h"

namespace marun {

SigBlocker::~SigBlocker() {
    if (active_) {
        int saved = errno;
        ::sigprocmask(SIG_SETMASK, &previous_, nullptr);
        errno = saved;
    }
}

void SigBlocker::block(int signal) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    sigset_t before;
    if (::sigprocmask(SIG_BLOCK, &set, &before) != 0) {
        throwSystemError("sigprocmask", errno);
    }
    if (!active_) {
        previous_ = before;
        active_ = true;
    }
}

void SigBlocker::restore() {
    if (!active_) {
        return;
    }
    active_ = false;
    if (::sigprocmask(SIG_SETMASK, &previous_, nullptr) != 0) {
        throwSystemError("restore sigprocmask", errno);
    }
}

}  // namespace marun
