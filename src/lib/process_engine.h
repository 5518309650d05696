// The process engine under every layer that starts a program (the plain
// launch functions, ExecCmd, ProcessLaunch and Pipe): fork and exec with the
// child's standard streams chosen by stream codes, the control pipe that
// carries a failure between fork and exec back to the parent, the select
// loop that feeds a child's input and drains its outputs, and waiting.
//
// These functions never throw on their own: they return -1 and say what
// failed. The callbacks of a Pump may throw; the pump holds nothing that
// needs cleaning up, so such an exception passes through it unchanged.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <vector>

#include "lib/unique_fd.h"

namespace marun {
namespace process {

// What a child's standard stream is; a code of 0 or more is a descriptor of
// the parent that becomes the child's stream.
enum StreamCode {
    STREAM_DEFAULT = -1,  // inherit
    STREAM_INHERIT = -2,
    STREAM_DEVNULL = -3,    // "/dev/null", read-only for input, write-only for outputs
    STREAM_PIPE = -4,       // a new pipe; the parent keeps the other end
    STREAM_AS_STDOUT = -5,  // standard error only: wherever standard output goes
};

struct LaunchSpec {
    const char* path = nullptr;   // the program
    char* const* argv = nullptr;  // null-terminated, argv[0] first
    char* const* envp = nullptr;  // null: keep the environment; else execve
    const char* cwd = nullptr;    // null: do not change
    int streams[3] = {STREAM_INHERIT, STREAM_INHERIT, STREAM_INHERIT};
    bool searchPath = false;        // execvp (unless envp is given), else execv
    bool closeDescriptors = false;  // close 3 and up in the child
    bool newSession = false;        // setsid() in the child
    // With a control pipe, Child::control gets its read end and waitExec
    // learns whether the program was executed.
    bool controlPipe = false;
    // Runs in the child just before exec; it reports a failure of its own
    // on the control descriptor (writeException) and exits.
    void (*hook)(void* arg, int controlFd) = nullptr;
    void* hookArg = nullptr;
    // Runs in the child when one of its steps fails ("stdin dup2", "cwd
    // chdir", "execv", ...), before it exits with failureStatus.
    void (*childFailed)(void* arg, const char* step, int code) = nullptr;
    void* childFailedArg = nullptr;
    int failureStatus = 127;
};

struct Child {
    pid_t pid = -1;
    UniqueFd streams[3];  // the parent's ends of the STREAM_PIPE streams
    UniqueFd control;     // read end of the control pipe
};

// Why a launch failed: a step in the parent, or what the child reported.
struct LaunchFailure {
    // "SystemError" (message: the step, code: errno), "std::invalid_argument"
    // for a stream code that is not one, or the type a child hook reported.
    char type[32] = "";
    char message[1024] = "";
    int code = 0;
    int status = -1;  // wait status of a child that failed, -1 when none ran
};

// Forks and starts the program. 0; or -1 with `failure` filled when nothing
// could be started ("stdin /dev/null open", "stdout pipe", "pipe", "fork").
// The child's own failures surface in waitExec (with a control pipe) or as
// its exit status.
int launch(const LaunchSpec& spec, Child& child, LaunchFailure& failure);

// Reads the control pipe until the child has executed its program (0) or
// failed before that: then the child is reaped and -1 returned with what it
// reported. Without a control pipe: 0.
int waitExec(Child& child, LaunchFailure& failure);

// waitpid(2), repeated on EINTR.
pid_t waitChild(pid_t pid, int* status, int options);

// One output of a child and the callback that receives its chunks (at most
// 1024 bytes each, in order).
struct PumpOutput {
    UniqueFd* fd;
    std::function<void(const char* data, size_t size)> sink;
};

// The parent's side of running children: the input end fed from a
// producer, the output ends drained to their sinks.
struct Pump {
    UniqueFd* input = nullptr;  // closed once the producer ends
    // Appends bytes to the buffer; answers whether more will come. Without
    // a producer the input is closed at once.
    std::function<bool(std::vector<char>& buffer)> produce;
    std::vector<PumpOutput> outputs;
    // Readable when something happened (a child ended); `wake` is called.
    int wakeFd = -1;
    std::function<void()> wake;
    // Asked before each wait; when true, what the outputs still hold is
    // delivered and the pump stops.
    std::function<bool()> finished;
    int timeoutMs = -1;  // longest wait between two checks; -1 none
};

// Runs until `finished` says so or, without a wake descriptor, until the
// input and every output are closed. A child that stops reading closes the
// input (EPIPE); SIGPIPE is ignored meanwhile. 0, or -1 with errno and
// *step ("select", "read", "write", "fcntl").
int pump(Pump& pump, const char** step);

// Writes as much of `buffer` as the non-blocking `fd` takes, halving the
// length on EAGAIN. The count written (errno as on entry), or -1 with errno
// (EINVAL for a zero length, EAGAIN when not a byte fits).
ssize_t writeNonblock(int fd, const char* buffer, size_t length);

// Closes every descriptor from `from` to the soft RLIMIT_NOFILE limit minus
// one (20 when the limit cannot be read), except `keep`; keeps errno.
void closeDescriptorsFrom(int from, int keep = -1);

// The child's report to its parent over the control pipe, in raw writes
// (retried on EINTR; other failures ignored; nothing for fd < 0):
// "ET: " type NUL "EM: " message NUL, and for a system error "EC: " code NUL.
void writeException(int fd, const char* type, const char* message);
void writeSystemError(int fd, const char* message, int code);

}  // namespace process
}  // namespace marun
