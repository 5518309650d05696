// ProcessLaunch: one forked and executed child with the parent's ends of its
// standard-stream pipes, and the control pipe over which a failure between
// fork and exec comes back to the parent as an exception.
#pragma once

#include <sys/types.h>

#include <boost/function.hpp>

#include "util/fd_owner.h"

namespace marun {
namespace process {

// Stream codes that choose what a child's standard stream is.
enum StreamCode {
    STREAM_DEFAULT = -1,  // inherit, in Parameters and Pipe
    STREAM_INHERIT = -2,
    STREAM_DEVNULL = -3,
    STREAM_PIPE = -4,
    STREAM_AS_STDOUT = -5,  // standard error only
};

class ProcessLaunch {
  public:
    // Forks and executes `path` with `argv` (null-terminated). `cwd` and
    // `envp` may be null (keep the parent's). With `searchPath` the program is
    // looked up in PATH (unless an environment is given). The stream codes
    // are those of StreamCode or a parent descriptor (0 or more). Throws
    // std::invalid_argument for an unknown code and SystemError for a failed
    // pipe, open or fork; the child's own failures surface in waitExec().
    ProcessLaunch(char* const* argv, const char* path, const char* cwd, char* const* envp,
                  bool closeDescriptors, bool searchPath, bool setsid,
                  const boost::function<void()>& childHook, int stdinCode, int stdoutCode,
                  int stderrCode);
    ProcessLaunch(const ProcessLaunch&) = delete;
    ProcessLaunch& operator=(const ProcessLaunch&) = delete;

    pid_t pid() const noexcept { return pid_; }
    // Parent ends; invalid unless the matching stream code was STREAM_PIPE.
    FdOwner& input() noexcept { return stdin_; }
    FdOwner& output() noexcept { return stdout_; }
    FdOwner& error() noexcept { return stderr_; }

    // Waits until the child has executed its program (returns) or failed
    // before that; then reaps it and throws the failure it reported.
    void waitExec();
    // Waits for the child's end and returns its wait status; throws
    // SystemError "unable to wait for child process exit".
    int waitExit();

  private:
    pid_t pid_ = -1;
    FdOwner stdin_;
    FdOwner stdout_;
    FdOwner stderr_;
    FdOwner control_;
};

}  // namespace process
}  // namespace marun
