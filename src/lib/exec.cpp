// fork/exec, output collection, utility launchers and popen commands of the
// plain-function library.
#include "lib/exec.h"

#include <fcntl.h>
#include <sys/select.h>
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
#include "util/fd_owner.h"
#include "util/sig_blocker.h"

namespace {

// Exit status of a child whose program could not be started.
const int EXIT_EXEC_FAILED = 127;
const int MAX_PATH_EXEC_ARGS = 99;
const char* const LIBEXEC_DIR = "/usr/lib/marun-9.0/";

// A growing malloc'ed output buffer, always NUL-terminated once read into.
struct Buffer {
    char* data = nullptr;
    size_t size = 0;
    size_t used = 0;

    ~Buffer() { std::free(data); }
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

// Reads once from `fd` into `b`, keeping at least 2048 bytes of room: the
// buffer grows by 4096 bytes up to 4096, and doubles above. Returns read(2)'s
// result (-1 with errno ENOMEM when the buffer cannot grow).
ssize_t read_to_buf(int fd, Buffer& b) {
    if (b.data == nullptr || b.size - b.used < 2048) {
        size_t size = b.size <= 4096 ? b.size + 4096 : b.size * 2;
        char* data = static_cast<char*>(std::realloc(b.data, size));
        if (data == nullptr) {
            errno = ENOMEM;
            return -1;
        }
        b.data = data;
        b.size = size;
    }
    ssize_t n = ::read(fd, b.data + b.used, b.size - b.used - 1);
    if (n > 0) {
        b.used += static_cast<size_t>(n);
    }
    b.data[b.used] = '\0';
    return n;
}

std::vector<char*> collectList(const char* first, va_list args) {
    std::vector<char*> argv;
    for (const char* arg = first; arg != nullptr; arg = va_arg(args, const char*)) {
        argv.push_back(const_cast<char*>(arg));
    }
    argv.push_back(nullptr);
    return argv;
}

// In the child: puts in, out and err (-1: "/dev/null") on 0, 1 and 2,
// closes every other descriptor but `report`, and executes the program. On
// failure it prints the reason, writes errno to `report` (when given) and
// exits with EXIT_EXEC_FAILED.
[[noreturn]] void execChild(int in, int out, int err, const char* path, char* const argv[],
                            char* const envp[], int report) {
    int fds[3] = {in, out, err};
    // Copies above 2 first, so that placing one cannot overwrite another.
    for (int& fd : fds) {
        if (fd >= 0) {
            fd = ::fcntl(fd, F_DUPFD, 3);
            if (fd < 0) {
                messlog2(0, 0, "fork_execv: dup() failed: %s\n", std::strerror(errno));
                ::_exit(EXIT_EXEC_FAILED);
            }
        }
    }
    for (int i = 0; i < 3; ++i) {
        if (dup2_custom(fds[i], i) != 0) {
            messlog2(0, 0, "fork_execv: dup() failed: %s\n", std::strerror(errno));
            ::_exit(EXIT_EXEC_FAILED);
        }
    }
    marun::process::closeDescriptorsFrom(3, report);
    if (envp != nullptr) {
        ::execve(path, argv, envp);
    } else {
        ::execv(path, argv);
    }
    int code = errno;
    if (report >= 0) {
        ssize_t n;
        do {
            n = ::write(report, &code, sizeof code);
        } while (n < 0 && errno == EINTR);
    }
    errno = code;
    messlog2(0, 0, "fork_execv: execv(\"%s\") failed: %s\n", path, std::strerror(code));
    ::_exit(EXIT_EXEC_FAILED);
}

// Forks and runs the program. With `execError`, a close-on-exec pipe tells
// whether exec failed: *execError gets its errno, or 0. Returns the pid or
// -1 (fork failed, errno set).
pid_t spawn(int in, int out, int err, const char* path, char* const argv[], char* const envp[],
            int* execError) {
    marun::process::PipeOwner report;
    if (execError != nullptr) {
        try {
            report = marun::process::PipeOwner("pipe", O_CLOEXEC);
        } catch (...) {
            return -1;
        }
    }
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) {
        return -1;
    }
    if (pid == 0) {
        execChild(in, out, err, path, argv, envp, report.writeEnd());
    }
    if (execError != nullptr) {
        report.writer().close_nothrow();
        int code = 0;
        ssize_t n;
        do {
            n = ::read(report.readEnd(), &code, sizeof code);
        } while (n < 0 && errno == EINTR);
        *execError = n == static_cast<ssize_t>(sizeof code) ? code : 0;
    }
    return pid;
}

int waitFor(pid_t pid, int* status) {
    while (::waitpid(pid, status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return 0;
}

// Reads the child's output (and error) into the buffers in rounds of select
// with a one-second time-out, checking after each round whether the child
// has ended; then waits for it. 0 with its wait status, or -1.
int collect(pid_t pid, int outFd, int errFd, Buffer& out, Buffer* err, int* status) {
    marun::process::FdOwner fds[2] = {marun::process::FdOwner(outFd),
                                      marun::process::FdOwner(errFd)};
    Buffer* buffers[2] = {&out, err};
    bool reaped = false;
    int failure = 0;
    while ((fds[0].valid() || fds[1].valid()) && failure == 0) {
        fd_set readable;
        FD_ZERO(&readable);
        int maxFd = -1;
        for (auto& fd : fds) {
            if (fd.valid()) {
                FD_SET(fd.get(), &readable);
                maxFd = fd.get() > maxFd ? fd.get() : maxFd;
            }
        }
        struct timeval timeout = {1, 0};
        int ready = ::select(maxFd + 1, &readable, nullptr, nullptr, &timeout);
        if (ready < 0 && errno != EINTR) {
            failure = errno;
            break;
        }
        for (int i = 0; i < 2 && ready > 0; ++i) {
            if (fds[i].valid() && FD_ISSET(fds[i].get(), &readable)) {
                ssize_t n = read_to_buf(fds[i].get(), *buffers[i]);
                if (n == 0) {
                    fds[i].close_nothrow();
                } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                    failure = errno;
                }
            }
        }
        if (!reaped && ::waitpid(pid, status, WNOHANG) == pid) {
            reaped = true;
            // What the child wrote is in the pipes now; take it without
            // waiting for an end of file that a descendant could hold back.
            for (int i = 0; i < 2; ++i) {
                if (!fds[i].valid()) {
                    continue;
                }
                ::fcntl(fds[i].get(), F_SETFL, ::fcntl(fds[i].get(), F_GETFL) | O_NONBLOCK);
                while (read_to_buf(fds[i].get(), *buffers[i]) > 0) {
                }
                fds[i].close_nothrow();
            }
        }
    }
    if (!reaped && waitFor(pid, status) != 0) {
        return -1;
    }
    if (failure != 0) {
        errno = failure;
        return -1;
    }
    return 0;
}

int getOutErr(char** out, char** err, const char* path, char* const argv[]) {
    marun::process::PipeOwner outPipe;
    marun::process::PipeOwner errPipe;
    try {
        outPipe = marun::process::PipeOwner("pipe", O_CLOEXEC);
        if (err != nullptr) {
            errPipe = marun::process::PipeOwner("pipe", O_CLOEXEC);
        }
    } catch (...) {
        messlog2(0, 0, "fork_execv_getouterr: pipe() failed");
        return -1;
    }
    pid_t pid = spawn(-1, outPipe.writeEnd(), err != nullptr ? errPipe.writeEnd() : 2, path, argv,
                      nullptr, nullptr);
    if (pid < 0) {
        messlog2(0, 0, "fork_execv_pipes: fork() failed");
        return -1;
    }
    outPipe.writer().close_nothrow();
    errPipe.writer().close_nothrow();
    Buffer outBuf;
    Buffer errBuf;
    int status = 0;
    int result =
        collect(pid, outPipe.reader().release(), err != nullptr ? errPipe.reader().release() : -1,
                outBuf, err != nullptr ? &errBuf : nullptr, &status);
    *out = outBuf.release();
    if (err != nullptr) {
        *err = errBuf.release();
    }
    if (result != 0 || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

// Runs `path` with the null-terminated arguments of `args` after it.
int runWithArgs(const char* path, va_list args, int maxArgs) {
    std::vector<char*> argv{const_cast<char*>(path)};
    for (const char* arg = va_arg(args, const char*); arg != nullptr;
         arg = va_arg(args, const char*)) {
        if (maxArgs >= 0 && static_cast<int>(argv.size()) > maxArgs) {
            messlog2(0, 0, "%s: too many arguments", path);
            return -1;
        }
        argv.push_back(const_cast<char*>(arg));
    }
    argv.push_back(nullptr);
    return fork_execv_log(path, argv.data(), 0);
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
    pid_t pid = spawn(in, out, err, path, argv, nullptr, nullptr);
    if (pid < 0) {
        messlog2(0, 0, "fork_execv_pipes: fork() failed");
    }
    return pid;
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
    marun::process::PipeOwner pipe;
    try {
        pipe = marun::process::PipeOwner("pipe", O_CLOEXEC);
    } catch (...) {
        messlog2(0, 0, "Cannot read child output:\n%s", std::strerror(errno));
        return -1;
    }
    int execError = 0;
    pid_t pid = spawn(-1, pipe.writeEnd(), pipe.writeEnd(), path, argv, envp, &execError);
    if (pid < 0) {
        messlog2(0, 0, "Cannot fork():\n%s", std::strerror(errno));
        return -1;
    }
    pipe.writer().close_nothrow();
    Buffer buf;
    int status = 0;
    if (collect(pid, pipe.reader().release(), -1, buf, nullptr, &status) != 0) {
        messlog2(0, 0, "Cannot read child output:\n%s", std::strerror(errno));
        return -1;
    }
    if (execError != 0) {
        messlog2(0, 0, "Cannot exec '%s':\n%s", path, std::strerror(execError));
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
    for (;;) {
        if (::waitpid(pid, &status, WUNTRACED) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (WIFSTOPPED(status)) {
            messlog2(0, 0, "The child process with pid %d stopped by signal %i\n", pid,
                     WSTOPSIG(status));
            return -1;
        }
        break;
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
    std::vector<char*> argv{const_cast<char*>(path)};
    for (const char* arg = va_arg(args, const char*); arg != nullptr;
         arg = va_arg(args, const char*)) {
        argv.push_back(const_cast<char*>(arg));
    }
    va_end(args);
    argv.push_back(nullptr);
    pid_t pid = fork_execv_pipes(-1, -1, -1, path, argv.data());
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    if (waitFor(pid, &status) != 0) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

int util_exec_args(const char* name, char* const argv[]) {
    if (std::strchr(name, '/') != nullptr) {
        messlog2(0, 0, "Utility name '%s' is invalid. Use only utility name without path.", name);
        return -1;
    }
    std::string path =
        std::string(oruConfGetDefaultByIndex(_PRODUCT_ROOT_D_INDEX)) + "/admin/sbin/" + name;
    return fork_execv_log(path.c_str(), argv, 0);
}

int util_exec(const char* name, ...) {
    if (std::strchr(name, '/') != nullptr) {
        messlog2(0, 0, "Utility name '%s' is invalid. Use only utility name without path.", name);
        return -1;
    }
    std::string path =
        std::string(oruConfGetDefaultByIndex(_PRODUCT_ROOT_D_INDEX)) + "/admin/sbin/" + name;
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
    ssize_t n;
    while ((n = read_to_buf(::fileno(pipe), buf)) != 0) {
        if (n < 0 && errno != EINTR) {
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
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) {
        messlog2(0, 0, "Unable to fork");
        return -1;
    }
    if (pid == 0) {
        ::execv(path, argv);
        ::_exit(EXIT_EXEC_FAILED);
    }
    int status = 0;
    if (waitFor(pid, &status) != 0) {
        return -1;
    }
    return status;
}
