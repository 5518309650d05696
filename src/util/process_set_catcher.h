// ProcessSetCatcher: the SIGCHLD handler that reaps the children of one
// pipeline run, records their wait statuses and wakes the parent's select
// loop through a self-pipe. At most one is installed at a time.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <map>

#include "util/process_launch.h"

namespace marun {
namespace process {

struct ProcessStatus {
    bool finished = false;
    int status = -1;  // wait status; -1 until known
};

class ProcessSetCatcher {
  public:
    ProcessSetCatcher() = default;
    ProcessSetCatcher(const ProcessSetCatcher&) = delete;
    ProcessSetCatcher& operator=(const ProcessSetCatcher&) = delete;
    // Removes the handler (forcibly) when still installed.
    ~ProcessSetCatcher();

    // Creates the control pipe and installs childHandler for SIGCHLD.
    // Throws std::logic_error when another instance is installed.
    void install();
    // Closes the control pipe and restores the previous SIGCHLD action.
    // Unless `force`, throws std::logic_error while registered children are
    // still running.
    void remove(bool force);
    bool installed() const noexcept { return installed_ == this; }

    // Registers a child; call with SIGCHLD blocked so that the handler never
    // meets a pid it does not know yet.
    void add(pid_t pid);
    // Copy of the recorded status; throws std::logic_error "no such pid".
    ProcessStatus status(pid_t pid) const;

    // The read end of the control pipe: readable after a child has ended.
    int controlFd() const noexcept { return control_.readEnd(); }
    // Drains the control pipe.
    void clear_control();

    bool allFinished() const noexcept { return finished_ >= registered_; }

    static void childHandler(int signal, siginfo_t* info, void* context);

  private:
    static ProcessSetCatcher* installed_;

    std::map<pid_t, ProcessStatus> processes_;
    volatile sig_atomic_t registered_ = 0;
    volatile sig_atomic_t finished_ = 0;
    volatile sig_atomic_t reports_ = 0;
    PipeOwner control_;
    struct sigaction previous_ {};
};

}  // namespace process
}  // namespace marun
