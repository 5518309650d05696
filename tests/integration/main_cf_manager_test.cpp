// MainCfManager against the real postconf (its list editing and refused
// line breaks show in the settings command tests): a broken main.cf, and
// concurrent read-modify-writes that lose nothing.
#include "postfix/main_cf_manager.h"

#include <sys/wait.h>
#include <unistd.h>

#include "harness/kvarn_harness.h"
#include "postfix/errors.h"

namespace kvarn_test {
namespace {

using marun::mail::postfix::MainCfManager;
using marun::mail::postfix::PostfixConfigurationError;

TEST_F(SandboxTest, BrokenMainCfStillYieldsItsPath) {
    writeFile(kMainCf, readFile(kMainCf) + "garbage line\n");
    MainCfManager main;
    EXPECT_EQ(main.configDirectory(), "/etc/postfix");
    EXPECT_THAT(
        [&] { main.getStringValue("mynetworks", false); },
        testing::ThrowsMessage<PostfixConfigurationError>(testing::HasSubstr("missing '='")));
}

// Each child appends its own element; the lock held from read to write
// keeps every one of them.
TEST_F(SandboxTest, ConcurrentAppendsLoseNothing) {
    const int children = 4;
    std::vector<pid_t> pids;
    for (int i = 0; i < children; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            try {
                MainCfManager().appendStringValue("mynetworks",
                                                  "10.9." + std::to_string(i) + ".0/24");
                ::_exit(0);
            } catch (...) {
                ::_exit(1);
            }
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::string value = postconfValue("mynetworks");
    for (int i = 0; i < children; ++i) {
        EXPECT_NE(value.find("10.9." + std::to_string(i) + ".0/24"), std::string::npos) << value;
    }
}

}  // namespace
}  // namespace kvarn_test
