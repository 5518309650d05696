// Interrupting programs by executable path against real processes: killproc
// matches only the exact path, interrupts one process and sends nothing
// when none runs; --add-domain interrupts Postfix's trivial-rewrite.
#include "lib/killproc.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "harness/kvarn_harness.h"

namespace kvarn_test {
namespace {

namespace fs = std::filesystem;

const std::string SLEEPER = "/tmp/kvarn-killproc/sleeper";

// Starts `path` with `arg`, reading from a pipe whose writing end stays
// open in this process, with SIGINT's default action whatever this run
// ignores; returns once its executable shows in the process table.
pid_t start(const std::string& path, const char* arg) {
    int input[2];
    if (pipe(input) != 0) {
        throw HarnessError("pipe");
    }
    pid_t pid = fork();
    if (pid == 0) {
        signal(SIGINT, SIG_DFL);
        dup2(input[0], 0);
        execl(path.c_str(), path.c_str(), arg, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(input[0]);
    std::error_code error;
    const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
    for (int i = 0; i < 100 && fs::read_symlink(exe, error) != path; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return pid;
}

// The signal that ended `pid` within `tries` times 10 ms, or 0 if it still
// runs; then it is killed if need be and reaped.
int endingSignal(pid_t pid, int tries) {
    int status = 0;
    for (int i = 0; i < tries; ++i) {
        if (waitpid(pid, &status, WNOHANG) == pid) {
            return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return 0;
}

TEST_F(SandboxTest, KillprocInterruptsOneProcessWithTheExactPath) {
    fs::create_directories(fs::path(SLEEPER).parent_path());
    fs::copy_file("/usr/bin/sleep", SLEEPER);
    EXPECT_EQ(-1, killproc(SLEEPER.c_str()));

    const pid_t first = start(SLEEPER, "60");
    const pid_t second = start(SLEEPER, "60");
    // Neither a prefix nor a longer path matches.
    EXPECT_EQ(-1, killproc("/tmp/kvarn-killproc/sleep"));
    EXPECT_EQ(-1, killproc((SLEEPER + "s").c_str()));

    const pid_t found = find_process_by_exe(SLEEPER.c_str());
    ASSERT_TRUE(found == first || found == second) << found;
    const pid_t other = found == first ? second : first;
    EXPECT_EQ(0, killproc(SLEEPER.c_str()));
    EXPECT_EQ(SIGINT, endingSignal(found, 200));
    EXPECT_EQ(other, find_process_by_exe(SLEEPER.c_str()));
    EXPECT_EQ(0, endingSignal(other, 1));
}

TEST_F(SandboxTest, AddDomainInterruptsTrivialRewrite) {
    // The real daemon, stand-alone, waiting for a client on its input.
    const pid_t daemon = start("/usr/lib/postfix/sbin/trivial-rewrite", "-S");
    runKvarnChecked({"--add-domain", "--domain-name=a.test"});
    EXPECT_EQ(SIGINT, endingSignal(daemon, 250));
}

}  // namespace
}  // namespace kvarn_test
