// ProcessLaunch: one forked and executed child with the parent's ends of its
// standard-stream pipes, over the process engine; a failure between fork
// and exec comes back to the parent as an exception of the type it had in
// the child. PipeOwner: both ends of a pipe.
#pragma once

#include <sys/types.h>

#include <boost/function.hpp>

#include "lib/process_engine.h"
#include "lib/unique_fd.h"

namespace marun {
namespace process {

class PipeOwner {
  public:
    PipeOwner() = default;
    // Creates the pipe with pipe2(flags); throws SystemError `what` on failure.
    PipeOwner(const char* what, int flags);

    int readEnd() const noexcept { return read_.get(); }
    int writeEnd() const noexcept { return write_.get(); }
    void close() noexcept {
        read_.reset();
        write_.reset();
    }

  private:
    UniqueFd read_;
    UniqueFd write_;
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

    pid_t pid() const noexcept { return child_.pid; }
    // Parent ends; invalid unless the matching stream code was STREAM_PIPE.
    UniqueFd& input() noexcept { return child_.streams[0]; }
    UniqueFd& output() noexcept { return child_.streams[1]; }
    UniqueFd& error() noexcept { return child_.streams[2]; }

    // Waits until the child has executed its program (returns) or failed
    // before that; then reaps it and throws the failure it reported.
    void waitExec();
    // Waits for the child's end and returns its wait status; throws
    // SystemError "unable to wait for child process exit".
    int waitExit();

  private:
    Child child_;
};

}  // namespace process
}  // namespace marun
