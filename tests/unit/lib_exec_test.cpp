// The plain-function launchers: collected output and error, exit statuses,
// refused arguments, and the popen-based commands.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "lib/exec.h"

namespace {

std::string take(char* text) {
    std::string result = text != nullptr ? text : "(null)";
    std::free(text);
    return result;
}

TEST(LibExecTest, CollectsOutputAndErrorWithTheExitStatus) {
    char* out = nullptr;
    char* err = nullptr;
    char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                          const_cast<char*>("head -c 10000 /dev/zero; echo E >&2; exit 4"),
                          nullptr};
    EXPECT_EQ(4, fork_execv_getouterr(&out, &err, "/bin/sh", argv));
    EXPECT_EQ(std::string(10000, '\0'), std::string(out, 10000));
    EXPECT_EQ("E\n", take(err));
    std::free(out);

    EXPECT_EQ(0, fork_execl_getout(&out, "/bin/sh", "sh", "-c", "read x || echo eof", nullptr));
    EXPECT_EQ("eof\n", take(out));  // standard input is /dev/null
}

TEST(LibExecTest, ReportsSignalsAndExecFailures) {
    EXPECT_EQ(1, fork_execv("/bin/sh", "-c", "kill -TERM $$", nullptr));
    EXPECT_EQ(3, fork_execv("/bin/sh", "-c", "exit 3", nullptr));

    char* output = nullptr;
    char* const missing[] = {const_cast<char*>("x"), nullptr};
    EXPECT_EQ(-1, fork_execv_getoutput(&output, "/nonexistent/program", missing));
    EXPECT_EQ(nullptr, output);

    char* const failing[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                             const_cast<char*>("echo out; echo err >&2; exit 2"), nullptr};
    EXPECT_EQ(2, fork_execv_getoutput(&output, "/bin/sh", failing));
    EXPECT_EQ("out\nerr\n", take(output));

    int status = do_exec("/bin/sh", failing);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(2, WEXITSTATUS(status));
}

TEST(LibExecTest, DescriptorVariants) {
    int in[2];
    int out[2];
    ASSERT_EQ(0, ::pipe(in));
    ASSERT_EQ(0, ::pipe(out));
    ASSERT_EQ(5, ::write(in[1], "hello", 5));
    ::close(in[1]);
    char* const cat[] = {const_cast<char*>("cat"), nullptr};
    EXPECT_EQ(-1, fork_execv_fd(0, out[1], "/bin/cat", cat));
    EXPECT_EQ(0, fork_execv_fd(in[0], out[1], "/bin/cat", cat));
    ::close(out[1]);
    char buf[16] = {};
    EXPECT_EQ(5, ::read(out[0], buf, sizeof buf));
    EXPECT_STREQ("hello", buf);
    ::close(in[0]);
    ::close(out[0]);
}

TEST(LibExecTest, UtilityNamesWithPathsAreRefused) {
    EXPECT_EQ(-1, util_exec("../sbin/x", nullptr));
    char* const argv[] = {const_cast<char*>("x"), nullptr};
    EXPECT_EQ(-1, util_exec_args("a/b", argv));
}

TEST(LibExecTest, PopenCommands) {
    EXPECT_EQ(0, popen_exec("true"));
    EXPECT_EQ(7, popen_exec("exit 7"));
    char* output = nullptr;
    EXPECT_EQ(0, popen_exec_getoutput(&output, "printf 'a b'"));
    EXPECT_EQ("a b", take(output));
    EXPECT_EQ(0, popen_exec_with_input("read x && test \"$x\" = secret", "secret\n"));
    EXPECT_EQ(1, popen_exec_with_input("read x && test \"$x\" = secret", "other\n"));
    // A command that reads nothing does not end the caller with SIGPIPE.
    std::string big(1 << 20, 'x');
    EXPECT_EQ(0, popen_exec_with_input("true", big.c_str()));
}

}  // namespace
