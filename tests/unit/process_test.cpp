// Launching pipelines: exit statuses, exec failures carried to the parent,
// streaming input and output, pipelines of several processes, and what a
// child inherits.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>
#include <string>
#include <vector>

#include "util/errors.h"
#include "util/process.h"

namespace {

using ::testing::StartsWith;
using ::testing::StrEq;
using ::testing::ThrowsMessage;

using marun::process::InputChannel;
using marun::process::OutputChannel;
using marun::process::Parameters;
using marun::process::Pipe;
using marun::process::STREAM_AS_STDOUT;
using marun::process::STREAM_DEVNULL;
using marun::process::STREAM_PIPE;

// Runs `sh -c script` with standard output (and optionally error) collected.
int runShell(const std::string& script, std::string* out, std::string* err = nullptr) {
    Pipe pipe(Parameters("/bin/sh", "-c", script));
    pipe.stdinChannel.code = STREAM_DEVNULL;
    if (out != nullptr) {
        pipe.stdoutChannel = OutputChannel(STREAM_PIPE, marun::process::makeStringReceiver(*out));
    }
    if (err != nullptr) {
        pipe.stderrChannel = OutputChannel(STREAM_PIPE, marun::process::makeStringReceiver(*err));
    }
    return pipe.run();
}

TEST(PipeTest, ReportsExitStatusAndDeathBySignal) {
    int status = runShell("exit 3", nullptr);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(3, WEXITSTATUS(status));

    status = runShell("kill -TERM $$; sleep 5", nullptr);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(SIGTERM, WTERMSIG(status));
    EXPECT_EQ(SIGTERM, status & 0x7f);
}

TEST(PipeTest, FailuresBeforeExecAreThrownInTheParentWithTheirType) {
    Pipe absolute(Parameters("/nonexistent/program"));
    EXPECT_THAT([&] { absolute.run(); },
                ThrowsMessage<marun::ExSystemError<ENOENT>>(StartsWith("execv: ")));
    Pipe badDir(Parameters("/bin/true"));
    badDir.workingDirectory = "/nonexistent-directory";
    EXPECT_THAT([&] { badDir.run(); }, ThrowsMessage<marun::SystemError>(StartsWith("cwd chdir")));
    // The hook's own exception, not a system error made of it.
    Pipe hooked(Parameters("/bin/true"));
    hooked.childHook = [] { throw std::runtime_error("hook refused"); };
    EXPECT_THAT([&] { hooked.run(); }, ThrowsMessage<std::runtime_error>(StrEq("hook refused")));

    // The failed runs left no catcher or blocked SIGCHLD behind.
    std::string out;
    EXPECT_EQ(0, runShell("echo ok", &out));
    EXPECT_EQ("ok\n", out);
}

TEST(PipeTest, StreamsLargeInputAndOutputThroughAPipeline) {
    // 200,000 numbered lines, produced a few at a time, through cat and tr.
    const int lines = 200000;
    int next = 0;
    int calls = 0;
    Pipe pipe(Parameters("/bin/cat"));
    pipe.processes.push_back(Parameters("/usr/bin/tr", "a-z", "A-Z"));
    pipe.stdinChannel = InputChannel(STREAM_PIPE, [&](std::vector<char>& buffer) {
        ++calls;
        for (int i = 0; i < 50 && next < lines; ++i, ++next) {
            std::string line = "line " + std::to_string(next) + "\n";
            buffer.insert(buffer.end(), line.begin(), line.end());
        }
        return next < lines;
    });
    std::string out;
    pipe.stdoutChannel = OutputChannel(STREAM_PIPE, marun::process::makeStringReceiver(out));
    int exits = 0;
    pipe.exitCallback = [&](unsigned, int status) { exits += status == 0; };

    EXPECT_EQ(0, pipe.run());
    EXPECT_EQ(lines / 50, calls);
    std::string expected;
    for (int i = 0; i < lines; ++i) {
        expected += "LINE " + std::to_string(i) + "\n";
    }
    EXPECT_EQ(expected, out);
    EXPECT_EQ(2, exits);
}

TEST(PipeTest, InputEndsCleanly) {
    // A piped input without a producer is closed at once.
    std::string out;
    Pipe cat(Parameters("/bin/cat"));
    cat.stdinChannel.code = STREAM_PIPE;
    cat.stdoutChannel = OutputChannel(STREAM_PIPE, marun::process::makeStringReceiver(out));
    EXPECT_EQ(0, cat.run());
    EXPECT_EQ("", out);

    // A child that stops reading does not kill the parent.
    Pipe pipe(Parameters("/bin/true"));
    pipe.stdinChannel = InputChannel(STREAM_PIPE, [](std::vector<char>& buffer) {
        buffer.assign(65536, 'x');
        return true;  // endless input
    });
    int status = pipe.run();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

TEST(PipeTest, JoinsStandardErrorOnRequest) {
    std::string out;
    Pipe joined(Parameters("/bin/sh", "-c", "echo out; echo err >&2"));
    joined.stdoutChannel = OutputChannel(STREAM_PIPE, marun::process::makeStringReceiver(out));
    joined.stderrChannel.code = STREAM_AS_STDOUT;
    EXPECT_EQ(0, joined.run());
    EXPECT_EQ("out\nerr\n", out);
}

TEST(PipeTest, ProcessSettingsAndPipeDefaults) {
    std::string out;
    Pipe pipe(Parameters("/bin/sh", "-c", "pwd; echo \"$KVARN_A\"; echo \"${HOME:-unset}\""));
    char env[] = "KVARN_A=1";
    char* envp[] = {env, nullptr};
    pipe.environment = envp;  // the pipe's default for its process
    pipe.workingDirectory = "/";
    pipe.stdoutChannel = OutputChannel(STREAM_PIPE, marun::process::makeStringReceiver(out));
    EXPECT_EQ(0, pipe.run());
    EXPECT_EQ("/\n1\nunset\n", out);
}

TEST(PipeTest, ClosesInheritedDescriptorsOnRequest) {
    int leaked = ::open("/dev/null", O_RDONLY);  // not close-on-exec
    ASSERT_GE(leaked, 3);
    std::string probe = "test -e /proc/self/fd/" + std::to_string(leaked);
    Pipe keep(Parameters("/bin/sh", "-c", probe));
    EXPECT_EQ(0, keep.run());
    Pipe closing(Parameters("/bin/sh", "-c", probe));
    closing.closeDescriptors = true;
    EXPECT_EQ(1, WEXITSTATUS(closing.run()));
    ::close(leaked);
}

}  // namespace
