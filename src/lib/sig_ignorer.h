// SigIgnorer: keeps one signal ignored for the lifetime of the object and
// puts the previous disposition back. A failing sigaction() leaves the
// disposition alone; it never throws.
#pragma once

#include <signal.h>

namespace marun {

class SigIgnorer {
  public:
    explicit SigIgnorer(int signal) : signal_(signal) {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        active_ = ::sigaction(signal_, &ignore, &previous_) == 0;
    }
    SigIgnorer(const SigIgnorer&) = delete;
    SigIgnorer& operator=(const SigIgnorer&) = delete;
    ~SigIgnorer() {
        if (active_) {
            ::sigaction(signal_, &previous_, nullptr);
        }
    }

  private:
    int signal_;
    struct sigaction previous_ {};
    bool active_;
};

}  // namespace marun
