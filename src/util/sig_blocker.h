// SigBlocker: keeps one signal blocked for the lifetime of the object and
// puts back the mask in force before. (SigIgnorer is in lib/sig_ignorer.h.)
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

  private:
    sigset_t previous_;
    bool active_ = false;
};

}  // namespace marun
