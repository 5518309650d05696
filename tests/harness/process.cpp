// Integration-test harness: child processes with captured output, a
// deadline and a fixed environment.
#include "harness/process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#ifndef KVARN_TEST_KVARN_BINARY
#error "KVARN_TEST_KVARN_BINARY must name the kvarn binary under test"
#endif

namespace kvarn_test {

namespace {

// Closes a descriptor when it goes out of scope.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

void makePipe(Fd& readEnd, Fd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw HarnessError(std::string("pipe2: ") + strerror(errno));
    }
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
}

void setNonBlocking(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::string findExecutable(const std::string& name, const std::string& path) {
    if (name.find('/') != std::string::npos) {
        return name;
    }
    std::istringstream dirs(path);
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat st;
        if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    throw HarnessError("command not found in PATH: " + name);
}

// Reads what is available; returns false at end of file.
bool readAvailable(int fd, std::string& into) {
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            into.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n == 0) {
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

// Forks and executes argv[0] in its own process group, in "/", with
// baseEnvironment() overridden by env and the given standard streams;
// returns once it runs. Throws HarnessError when it cannot be started.
pid_t startProcess(const std::vector<std::string>& argv,
                   const std::map<std::string, std::string>& env, int in, int out, int err) {
    if (argv.empty()) {
        throw HarnessError("empty argument list");
    }
    std::map<std::string, std::string> fullEnv = baseEnvironment();
    for (const auto& [k, v] : env) {
        fullEnv[k] = v;
    }
    const std::string program = findExecutable(argv[0], fullEnv["PATH"]);

    // Everything the child needs is built before fork: between fork and
    // execve only async-signal-safe calls are made.
    std::vector<std::string> envStrings;
    for (const auto& [k, v] : fullEnv) {
        envStrings.push_back(k + "=" + v);
    }
    std::vector<char*> cArgv;
    for (const auto& a : argv) {
        cArgv.push_back(const_cast<char*>(a.c_str()));
    }
    cArgv.push_back(nullptr);
    std::vector<char*> cEnv;
    for (auto& e : envStrings) {
        cEnv.push_back(e.data());
    }
    cEnv.push_back(nullptr);

    Fd execRead, execWrite;
    makePipe(execRead, execWrite);
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw HarnessError(std::string("fork: ") + strerror(errno));
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; ++sig) {
            ::sigaction(sig, &dfl, nullptr);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if (::chdir("/") == 0) {
            ::execve(program.c_str(), cArgv.data(), cEnv.data());
        }
        int e = errno;
        ssize_t ignored = ::write(execWrite.get(), &e, sizeof e);
        (void)ignored;
        ::_exit(127);
    }
    execWrite.reset();

    // The exec pipe closes on a successful execve and carries errno if it
    // failed.
    int execErrno = 0;
    ssize_t n;
    do {
        n = ::read(execRead.get(), &execErrno, sizeof execErrno);
    } while (n < 0 && errno == EINTR);
    if (n == static_cast<ssize_t>(sizeof execErrno)) {
        ::waitpid(pid, nullptr, 0);
        throw HarnessError("cannot execute " + program + ": " + strerror(execErrno));
    }
    return pid;
}

RunResult statusOf(int status) {
    RunResult result;
    if (WIFEXITED(status)) {
        result.exitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        result.signal = WTERMSIG(status);
    }
    return result;
}

std::vector<std::string> kvarnArgv(const std::vector<std::string>& args) {
    std::vector<std::string> argv{KVARN_TEST_KVARN_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

std::string readBack(int fd) {
    std::string text;
    char buf[65536];
    ssize_t n;
    while ((n = ::pread(fd, buf, sizeof buf, static_cast<off_t>(text.size()))) > 0) {
        text.append(buf, static_cast<size_t>(n));
    }
    return text;
}

}  // namespace

std::ostream& operator<<(std::ostream& os, const RunResult& r) {
    if (r.timedOut) {
        os << "timed out and was killed";
    } else if (r.signal != 0) {
        os << "killed by signal " << r.signal << " (" << strsignal(r.signal) << ")";
    } else {
        os << "exit status " << r.exitCode;
    }
    os << "\n--- stdout ---\n" << r.out << "\n--- stderr ---\n" << r.err << "\n--------------";
    return os;
}

std::map<std::string, std::string> baseEnvironment() {
    return {
        {"PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"},
        {"HOME", "/root"},
        {"USER", "root"},
        {"LOGNAME", "root"},
        {"SHELL", "/bin/sh"},
        {"LANG", "C"},
    };
}

RunResult runCommand(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env, const std::string& stdinText,
                     std::chrono::milliseconds timeout) {
    if (argv.empty()) {
        throw HarnessError("runCommand: empty argument list");
    }
    // A reader that goes away must not kill the harness while it writes.
    static const bool sigpipeIgnored = [] {
        ::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    (void)sigpipeIgnored;

    Fd inRead, inWrite, outRead, outWrite, errRead, errWrite;
    makePipe(inRead, inWrite);
    makePipe(outRead, outWrite);
    makePipe(errRead, errWrite);
    const pid_t pid = startProcess(argv, env, inRead.get(), outWrite.get(), errWrite.get());
    inRead.reset();
    outWrite.reset();
    errWrite.reset();

    Fd pidFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (pidFd.get() < 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        throw HarnessError(std::string("pidfd_open: ") + strerror(errno));
    }
    setNonBlocking(inWrite.get());
    setNonBlocking(outRead.get());
    setNonBlocking(errRead.get());

    RunResult result;
    size_t written = 0;
    if (stdinText.empty()) {
        inWrite.reset();
    }
    bool outOpen = true, errOpen = true, exited = false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;

    // Output is read until the child has exited and its pipes are drained.
    // Daemons it started may keep the pipes open, so end of file is not
    // waited for once the child itself is gone.
    while (!exited) {
        std::vector<pollfd> fds;
        fds.push_back({pidFd.get(), POLLIN, 0});
        if (outOpen) {
            fds.push_back({outRead.get(), POLLIN, 0});
        }
        if (errOpen) {
            fds.push_back({errRead.get(), POLLIN, 0});
        }
        if (inWrite.get() >= 0) {
            fds.push_back({inWrite.get(), POLLOUT, 0});
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        int pollTimeout =
            result.timedOut ? 1000 : static_cast<int>(std::max<long>(0, left.count()));
        int ready = ::poll(fds.data(), fds.size(), pollTimeout);
        if (ready < 0 && errno != EINTR) {
            throw HarnessError(std::string("poll: ") + strerror(errno));
        }
        if (ready == 0 && !result.timedOut) {
            result.timedOut = true;
            ::kill(-pid, SIGKILL);
            ::kill(pid, SIGKILL);
            continue;
        }
        for (const auto& p : fds) {
            if (p.revents == 0) {
                continue;
            }
            if (p.fd == outRead.get()) {
                outOpen = readAvailable(p.fd, result.out);
            } else if (p.fd == errRead.get()) {
                errOpen = readAvailable(p.fd, result.err);
            } else if (p.fd == inWrite.get()) {
                ssize_t w = ::write(p.fd, stdinText.data() + written, stdinText.size() - written);
                if (w > 0) {
                    written += static_cast<size_t>(w);
                }
                if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == stdinText.size()) {
                    inWrite.reset();
                }
            } else if (p.fd == pidFd.get()) {
                exited = true;
            }
        }
    }
    if (outOpen) {
        readAvailable(outRead.get(), result.out);
    }
    if (errOpen) {
        readAvailable(errRead.get(), result.err);
    }

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    RunResult ended = statusOf(status);
    ended.timedOut = result.timedOut;
    ended.out = std::move(result.out);
    ended.err = std::move(result.err);
    return ended;
}

Background::Background(const std::vector<std::string>& argv,
                       const std::map<std::string, std::string>& env)
    : out_(::memfd_create("out", MFD_CLOEXEC)), err_(::memfd_create("err", MFD_CLOEXEC)) {
    Fd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (out_ < 0 || err_ < 0 || devNull.get() < 0) {
        throw HarnessError(std::string("memfd_create: ") + strerror(errno));
    }
    pid_ = startProcess(argv, env, devNull.get(), out_, err_);
}

Background::~Background() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait();
    }
    ::close(out_);
    ::close(err_);
}

bool Background::running() const {
    siginfo_t info{};
    return pid_ > 0 &&
           ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
}

RunResult Background::wait() {
    int status = 0;
    while (pid_ > 0 && ::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    RunResult result = statusOf(status);
    result.out = readBack(out_);
    result.err = readBack(err_);
    return result;
}

std::unique_ptr<Background> startKvarn(const std::vector<std::string>& args,
                                       const std::map<std::string, std::string>& extraEnv) {
    return std::make_unique<Background>(kvarnArgv(args), extraEnv);
}

std::string runChecked(const std::vector<std::string>& argv,
                       const std::map<std::string, std::string>& env,
                       const std::string& stdinText) {
    RunResult r = runCommand(argv, env, stdinText);
    if (!r.succeeded()) {
        std::ostringstream msg;
        for (const auto& a : argv) {
            msg << a << ' ';
        }
        msg << ": " << r;
        throw HarnessError(msg.str());
    }
    return r.out;
}

const std::string& kvarnBinary() {
    static const std::string path = KVARN_TEST_KVARN_BINARY;
    return path;
}

RunResult runKvarn(const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& extraEnv,
                   const std::string& stdinText) {
    return runCommand(kvarnArgv(args), extraEnv, stdinText);
}

std::string runKvarnChecked(const std::vector<std::string>& args,
                            const std::map<std::string, std::string>& extraEnv) {
    return runChecked(kvarnArgv(args), extraEnv);
}

}  // namespace kvarn_test
