// Integration-test harness: running programs (kvarn itself, Postfix tools,
// init scripts) as child processes and capturing what they report.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvarn_test {

// Raised by harness helpers when the sandbox cannot do what a test asked
// (a tool failed, a file is missing...). GoogleTest reports it as a failure
// of the test that called the helper.
class HarnessError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// How a child process ended and what it wrote.
struct RunResult {
    int exitCode = -1;  // exit status if the process exited, else -1
    int signal = 0;     // signal that ended the process, else 0
    bool timedOut = false;
    std::string out;
    std::string err;

    bool exited(int code) const { return signal == 0 && !timedOut && exitCode == code; }
    bool succeeded() const { return exited(0); }
};

// Prints the status and both outputs, for assertion messages:
//   ASSERT_TRUE(r.succeeded()) << r;
std::ostream& operator<<(std::ostream& os, const RunResult& r);

// The environment every child starts from: what a control panel running as
// root gives it (PATH, HOME=/root, LANG=C...), independent of whoever
// started the tests.
std::map<std::string, std::string> baseEnvironment();

constexpr std::chrono::seconds kDefaultCommandTimeout{120};

// Runs argv[0] (looked up in PATH when it has no slash) with fork/execve,
// no shell, in "/", with baseEnvironment() overridden by env, feeding
// stdinText to its standard input. A child still running after timeout is
// killed with its process group. Throws HarnessError only when the program
// cannot be started at all.
RunResult runCommand(const std::vector<std::string>& argv,
                     const std::map<std::string, std::string>& env = {},
                     const std::string& stdinText = "",
                     std::chrono::milliseconds timeout = kDefaultCommandTimeout);

// Like runCommand, but throws HarnessError (with both outputs) unless the
// program exits with status 0; returns its standard output.
std::string runChecked(const std::vector<std::string>& argv,
                       const std::map<std::string, std::string>& env = {},
                       const std::string& stdinText = "");

// The kvarn binary of this build.
const std::string& kvarnBinary();

// A program started without waiting for it (runCommand's way, standard
// input from /dev/null, outputs kept in memory files). A Background still
// running when destroyed is killed.
class Background {
  public:
    Background(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& env = {});
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    pid_t pid() const { return pid_; }
    bool running() const;
    // Waits for its end: its status and what it wrote.
    RunResult wait();

  private:
    pid_t pid_ = -1;
    int out_;
    int err_;
};

std::unique_ptr<Background> startKvarn(const std::vector<std::string>& args,
                                       const std::map<std::string, std::string>& extraEnv = {});

// Runs the kvarn binary of this build with args, as the control panel does.
RunResult runKvarn(const std::vector<std::string>& args,
                   const std::map<std::string, std::string>& extraEnv = {},
                   const std::string& stdinText = "");

// Like runKvarn, but throws HarnessError (with the status and both outputs)
// unless kvarn exits with status 0; returns its standard output.
std::string runKvarnChecked(const std::vector<std::string>& args,
                            const std::map<std::string, std::string>& extraEnv = {});

}  // namespace kvarn_test
