// Scoped signal state: SigBlocker keeps one signal blocked and SigIgnorer
// keeps one signal ignored for the lifetime of the object; both put back
// what was in force before.
#pragma once

#include <signal.h>

namespace marun {

class SigBlocker {
  public:
    SigBlocker() = default;
    explicit SigBlocker(int signal) { block(signal); }
    SigBlocker(const SigBlocker&) = delete;
    SigBlocker& operator=(const SigBlocker&) = delete;
    ~SigBlocker();

    // Adds `signal` to the mask, remembering the mask in force before; throws
    // SystemError "sigprocmask". Only the first call of an object remembers.
    void block(int signal);
    // Puts the remembered mask back; throws SystemError "restore sigprocmask".
    // Does nothing when nothing is blocked.
    void restore();
    bool active() const noexcept { return active_; }

  private:
    sigset_t previous_;
    bool active_ = false;
};

class SigIgnorer {
  public:
    // Ignores `signal`; a failing sigaction() leaves the disposition alone.
    explicit SigIgnorer(int signal);
    SigIgnorer(const SigIgnorer&) = delete;
    SigIgnorer& operator=(const SigIgnorer&) = delete;
    ~SigIgnorer();

  private:
    int signal_;
    struct sigaction previous_ {};
    bool active_;
};

}  // namespace marun
