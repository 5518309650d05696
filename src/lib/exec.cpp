// fork/exec, output collection, utility launchers and popen commands of the
// plain-function library, over the process engine.
#include "lib/exec.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/log.h"
#include "lib/oru_conf.h"
#include "lib/process_engine.h"
#include "lib/sig_ignorer.h"

using marun::process::Child;
using marun::process::LaunchFailure;
using marun::process::LaunchSpec;
using marun::process::STREAM_AS_STDOUT;
using marun::process::STREAM_DEVNULL;
using marun::process::STREAM_INHERIT;
using marun::process::STREAM_PIPE;

namespace {

// Exit status of a child whose program could not be started.
const int EXIT_EXEC_FAILED = 127;
const int MAX_PATH_EXEC_ARGS = 99;
const char* const LIBEXEC_DIR = "/usr/lib/marun-9.0/";

// A growing malloc'ed output buffer, always NUL-terminated once written to.
struct Buffer {
    char* data = nullptr;
    size_t size = 0;
    size_t used = 0;
    bool full = false;  // it could not grow: the rest was dropped

    ~Buffer() { std::free(data); }
    // Keeps at least 2048 bytes of room: the buffer grows by 4096 bytes up
    // to 4096, and doubles above.
    void append(const char* bytes, size_t length) {
        while (!full && (data == nullptr || size - used < 2048 || size - used <= length)) {
            size_t grown = size <= 4096 ? size + 4096 : size * 2;
            char* larger = static_cast<char*>(std::realloc(data, grown));
            if (larger == nullptr) {
                full = true;
                break;
            }
            data = larger;
            size = grown;
        }
        if (!full) {
            std::memcpy(data + used, bytes, length);
            used += length;
            data[used] = '\0';
        }
    }
    // Hands the buffer to the caller (an empty string when nothing came).
    char* release() {
        if (data == nullptr) {
            data = static_cast<char*>(std::calloc(1, 1));
        }
        char* result = data;
        data = nullptr;
        size = used = 0;
        return result;
    }
};

std::vector<char*> collectList(const char* first, va_list args) {
    std::vector<char*> argv;
    for (const char* arg = first; arg != nullptr; arg = va_arg(args, const char*)) {
        argv.push_back(const_cast<char*>(arg));
    }
    argv.push_back(nullptr);
    return argv;
}

// The child's own report of a failed step, on its standard streams.
void reportInChild(void* path, const char* step, int code) {
    errno = code;
    if (std::strncmp(step, "exec", 4) == 0) {
        messlog2(0, 0, "fork_execv: execv(\"%s\") failed: %s\n", static_cast<const char*>(path),
                 std::strerror(code));
    } else {
        messlog2(0, 0, "fork_execv: dup() failed: %s\n", std::strerror(code));
    }
}

// Starts `path` with the stream codes given and every other descriptor
// closed; a step that fails in the child is reported there, and the child
// exits with EXIT_EXEC_FAILED. 0, or -1 with `failure`.
int start(const char* path, char* const argv[], int in, int out, int err, char* const envp[],
          bool control, Child& child, LaunchFailure& failure) {
    LaunchSpec spec;
    spec.path = path;
    spec.argv = argv;
    spec.envp = envp;
    spec.streams[0] = in;
    spec.streams[1] = out;
    spec.streams[2] = err;
    spec.closeDescriptors = true;
    spec.controlPipe = control;
    spec.childFailed = reportInChild;
    spec.childFailedArg = const_cast<char*>(path);
    spec.failureStatus = EXIT_EXEC_FAILED;
    return marun::process::launch(spec, child, failure);
}

bool pipeFailed(const LaunchFailure& failure) {
    return std::strstr(failure.message, "pipe") != nullptr;
}

// Reads the child's output (and error) into the buffers, checking after
// each round of at most one second whether the child has ended; then waits
// for it. 0 with its wait status, or -1 with errno.
int collect(Child& child, Buffer& out, Buffer* err, int* status) {
    marun::process::Pump pump;
    pump.outputs.push_back(
        {&child.streams[1], [&out](const char* data, size_t size) { out.append(data, size); }});
    if (err != nullptr) {
        pump.outputs.push_back(
            {&child.streams[2], [err](const char* data, size_t size) { err->append(data, size); }});
    }
    bool reaped = false;
    // What the child wrote is in the pipes once it has ended; it is taken
    // without waiting for an end of file that a descendant could hold back.
    pump.finished = [&]() {
        reaped = reaped || marun::process::waitChild(child.pid, status, WNOHANG) == child.pid;
        return reaped;
    };
    pump.timeoutMs = 1000;
    const char* step = "";
    int failure = marun::process::pump(pump, &step) != 0 ? errno : 0;
    child.streams[1].reset();
    child.streams[2].reset();
    if (!reaped && marun::process::waitChild(child.pid, status, 0) < 0) {
        return -1;
    }
    if (failure == 0 && (out.full || (err != nullptr && err->full))) {
        failure = ENOMEM;
    }
    if (failure != 0) {
        errno = failure;
        return -1;
    }
    return 0;
}

int getOutErr(char** out, char** err, const char* path, char* const argv[]) {
    Child child;
    LaunchFailure failure;
    if (start(path, argv, STREAM_DEVNULL, STREAM_PIPE,
              err != nullptr ? STREAM_PIPE : STREAM_INHERIT, nullptr, false, child, failure) != 0) {
        messlog2(0, 0,
                 pipeFailed(failure) ? "fork_execv_getouterr: pipe() failed"
                                     : "fork_execv_pipes: fork() failed");
        return -1;
    }
    Buffer outBuf;
    Buffer errBuf;
    int status = 0;
    int result = collect(child, outBuf, err != nullptr ? &errBuf : nullptr, &status);
    *out = outBuf.release();
    if (err != nullptr) {
        *err = errBuf.release();
    }
    if (result != 0 || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// `path` followed by the null-terminated arguments of `args`, as an argument
// vector; empty (after a message) when there are more than `maxArgs` (-1:
// any number).
std::vector<char*> argvAfter(const char* path, va_list args, int maxArgs) {
    std::vector<char*> argv = collectList(path, args);
    if (maxArgs >= 0 && static_cast<int>(argv.size()) > maxArgs + 2) {
        messlog2(0, 0, "%s: too many arguments", path);
        argv.clear();
    }
    return argv;
}

// Runs `path` with the null-terminated arguments of `args` after it.
int runWithArgs(const char* path, va_list args, int maxArgs) {
    std::vector<char*> argv = argvAfter(path, args, maxArgs);
    return argv.empty() ? -1 : fork_execv_log(path, argv.data(), 0);
}

// "<PRODUCT_ROOT_D>/admin/sbin/<name>" into `path`; false after a message
// for a name with "/".
bool utilityPath(const char* name, std::string& path) {
    if (std::strchr(name, '/') != nullptr) {
        messlog2(0, 0, "Utility name '%s' is invalid. Use only utility name without path.", name);
        return false;
    }
    path = std::string(oruConfGetDefaultByIndex(_PRODUCT_ROOT_D_INDEX)) + "/admin/sbin/" + name;
    return true;
}

}  // namespace

int dup2_custom(int fd, int target) {
    if (fd == target) {
        return 0;
    }
    if (fd == -1) {
        fd = ::open("/dev/null", O_RDWR);
        if (fd < 0) {
            return -1;
        }
        if (fd == target) {
            return 0;
        }
    }
    if (::dup2(fd, target) < 0) {
        return -1;
    }
    ::close(fd);
    return 0;
}

pid_t fork_execv_pipes(int in, int out, int err, const char* path, char* const argv[]) {
    Child child;
    LaunchFailure failure;
    auto code = [](int fd) { return fd == -1 ? STREAM_DEVNULL : fd; };
    if (start(path, argv, code(in), code(out), code(err), nullptr, false, child, failure) != 0) {
        messlog2(0, 0, "fork_execv_pipes: fork() failed");
        return -1;
    }
    return child.pid;
}

pid_t fork_execl_pipes(int in, int out, int err, const char* path, ...) {
    va_list args;
    va_start(args, path);
    const char* first = va_arg(args, const char*);
    std::vector<char*> argv = collectList(first, args);
    va_end(args);
    return fork_execv_pipes(in, out, err, path, argv.data());
}

int fork_execv_getouterr(char** out, char** err, const char* path, char* const argv[]) {
    *out = nullptr;
    *err = nullptr;
    return getOutErr(out, err, path, argv);
}

int fork_execl_getouterr(char** out, char** err, const char* path, ...) {
    va_list args;
    va_start(args, path);
    const char* first = va_arg(args, const char*);
    std::vector<char*> argv = collectList(first, args);
    va_end(args);
    return fork_execv_getouterr(out, err, path, argv.data());
}

int fork_execv_getout(char** out, const char* path, char* const argv[]) {
    *out = nullptr;
    return getOutErr(out, nullptr, path, argv);
}

int fork_execl_getout(char** out, const char* path, ...) {
    va_list args;
    va_start(args, path);
    const char* first = va_arg(args, const char*);
    std::vector<char*> argv = collectList(first, args);
    va_end(args);
    return fork_execv_getout(out, path, argv.data());
}

int fork_execv_log(const char* path, char* const argv[], int quiet) {
    char* out = nullptr;
    char* err = nullptr;
    int result = fork_execv_getouterr(&out, &err, path, argv);
    if (result != 0 && !quiet) {
        std::string text = std::string(out ? out : "") + (err ? err : "");
        if (!text.empty()) {
            std::fputs(text.c_str(), stderr);
            messlog2(0, 0, "%s execution failed:\n%s", path, text.c_str());
        } else {
            messlog2(0, 0, "%s execution failed (no output)", path);
        }
    }
    std::free(out);
    std::free(err);
    return result;
}

int fork_execvv_getoutput(char** output, const char* path, char* const argv[], char* const envp[]) {
    *output = nullptr;
    Child child;
    LaunchFailure failure;
    if (start(path, argv, STREAM_DEVNULL, STREAM_PIPE, STREAM_AS_STDOUT, envp, true, child,
              failure) != 0) {
        messlog2(0, 0, pipeFailed(failure) ? "Cannot read child output:\n%s" : "Cannot fork():\n%s",
                 std::strerror(failure.code));
        return -1;
    }
    if (marun::process::waitExec(child, failure) != 0) {
        messlog2(0, 0, "Cannot exec '%s':\n%s", path, std::strerror(failure.code));
        return -1;
    }
    Buffer buf;
    int status = 0;
    if (collect(child, buf, nullptr, &status) != 0) {
        messlog2(0, 0, "Cannot read child output:\n%s", std::strerror(errno));
        return -1;
    }
    const char* text = buf.data ? buf.data : "";
    int result;
    if (WIFEXITED(status)) {
        result = WEXITSTATUS(status);
        if (result != 0) {
            messlog2(0, 0, "utility %s failed (result=%d):\n%s", path, result, text);
        }
    } else if (WIFSIGNALED(status)) {
        messlog2(0, 0, "utility %s killed (signal %d):\n%s", path, WTERMSIG(status), text);
        result = -1;
    } else {
        messlog2(0, 0, "utility %s crashed (status %d):\n%s", path, status, text);
        result = -1;
    }
    *output = buf.release();
    return result;
}

int fork_execv_getoutput(char** output, const char* path, char* const argv[]) {
    return fork_execvv_getoutput(output, path, argv, nullptr);
}

int fork_execv_fd(int in, int out, const char* path, char* const argv[]) {
    if ((in >= 0 && in <= 2) || (out >= 0 && out <= 2)) {
        messlog2(0, 0, "values 0,1,2 not allowed for variables fd_in & fd_out\n");
        return -1;
    }
    pid_t pid = fork_execv_pipes(in, out, 2, path, argv);
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    if (marun::process::waitChild(pid, &status, WUNTRACED) < 0) {
        return -1;
    }
    if (WIFSTOPPED(status)) {
        messlog2(0, 0, "The child process with pid %d stopped by signal %i\n", pid,
                 WSTOPSIG(status));
        return -1;
    }
    if (WIFSIGNALED(status)) {
        messlog2(0, 0, "The child process with pid %d killed by signal %i\n", pid,
                 WTERMSIG(status));
        return -1;
    }
    return WEXITSTATUS(status);
}

int fork_execv(const char* path, ...) {
    va_list args;
    va_start(args, path);
    std::vector<char*> argv = argvAfter(path, args, -1);
    va_end(args);
    pid_t pid = fork_execv_pipes(-1, -1, -1, path, argv.data());
    int status = 0;
    if (pid < 0 || marun::process::waitChild(pid, &status, 0) < 0) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

int util_exec_args(const char* name, char* const argv[]) {
    std::string path;
    return utilityPath(name, path) ? fork_execv_log(path.c_str(), argv, 0) : -1;
}

int util_exec(const char* name, ...) {
    std::string path;
    if (!utilityPath(name, path)) {
        return -1;
    }
    va_list args;
    va_start(args, name);
    int result = runWithArgs(path.c_str(), args, -1);
    va_end(args);
    return result;
}

int util_libexec(const char* name, ...) {
    std::string path = std::string(LIBEXEC_DIR) + name;
    va_list args;
    va_start(args, name);
    int result = runWithArgs(path.c_str(), args, -1);
    va_end(args);
    return result;
}

int path_exec(const char* path, ...) {
    va_list args;
    va_start(args, path);
    int result = runWithArgs(path, args, MAX_PATH_EXEC_ARGS);
    va_end(args);
    return result;
}

namespace {

int commandStatus(int status) {
    if (status < 0 || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

}  // namespace

int popen_exec_getoutput(char** output, const char* command) {
    if (output != nullptr) {
        *output = nullptr;
    }
    std::fflush(nullptr);
    FILE* pipe = ::popen(command, "r");
    if (pipe == nullptr) {
        messlog2(0, 0, "popen_exec: unable to run command: %s\n", command);
        return -1;
    }
    Buffer buf;
    char chunk[4096];
    ssize_t n;
    while ((n = ::read(::fileno(pipe), chunk, sizeof chunk)) != 0) {
        if (n > 0) {
            buf.append(chunk, static_cast<size_t>(n));
        } else if (errno != EINTR) {
            messlog2(0, 0, "popen_exec: unable to read command output: %s\n", command);
            break;
        }
    }
    int result = commandStatus(::pclose(pipe));
    if (result != 0) {
        messlog2(0, 0, "popen_exec: command failed code: %d , %s\n", result,
                 buf.used > 0 ? buf.data : "error: none");
    }
    if (output != nullptr) {
        *output = buf.release();
    }
    return result;
}

int popen_exec(const char* command) {
    return popen_exec_getoutput(nullptr, command);
}

int popen_exec_with_input(const char* command, const char* input) {
    std::fflush(nullptr);
    // A command that quits reading makes fwrite fail instead of ending us.
    marun::SigIgnorer sigPipe(SIGPIPE);
    FILE* pipe = ::popen(command, "w");
    if (pipe == nullptr) {
        messlog2(0, 0, "popen_exec: unable to run command: %s\n", command);
        return -1;
    }
    size_t length = std::strlen(input);
    if (std::fwrite(input, 1, length, pipe) != length) {
        messlog2(0, 0, "popen_exec: unable to write command input: %s\n", command);
    }
    int result = commandStatus(::pclose(pipe));
    if (result != 0) {
        messlog2(0, 0, "popen_exec: command failed code: %d , %s\n", result, "error: none");
    }
    return result;
}

int do_exec(const char* path, char* const argv[]) {
    LaunchSpec spec;
    spec.path = path;
    spec.argv = const_cast<char* const*>(argv);
    Child child;
    LaunchFailure failure;
    if (marun::process::launch(spec, child, failure) != 0) {
        messlog2(0, 0, "Unable to fork");
        return -1;
    }
    int status = 0;
    return marun::process::waitChild(child.pid, &status, 0) < 0 ? -1 : status;
}
