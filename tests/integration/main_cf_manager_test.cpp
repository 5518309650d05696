// MainCfManager against the real postconf: list editing, refused values,
// a broken main.cf, and concurrent read-modify-writes that lose nothing.
#include "postfix/main_cf_manager.h"

#include <sys/wait.h>
#include <unistd.h>

#include "harness/kvarn_harness.h"
#include "postfix/errors.h"

namespace kvarn_test {
namespace {

using marun::mail::postfix::MainCfManager;
using marun::mail::postfix::PostfixConfigurationError;

struct KeepAllButRbl {
    std::deque<std::string> fixed{"permit_mynetworks"};
    const std::deque<std::string>& fixedElements() const { return fixed; }
    bool operator()(const std::string& element) const {
        return element.rfind("reject_rbl_client", 0) != 0;
    }
};

TEST_F(SandboxTest, ListEditingGoesThroughPostconf) {
    MainCfManager main;
    EXPECT_EQ(main.path(), "/etc/postfix/main.cf");

    const std::string networks = postconfValue("mynetworks");
    main.appendStringValue("mynetworks", "10.0.0.0/8");
    EXPECT_EQ(postconfValue("mynetworks"), networks + ", 10.0.0.0/8");

    main.appendStringValue("smtpd_sender_restrictions", "reject_unknown_sender_domain");
    EXPECT_EQ(postconfValue("smtpd_sender_restrictions"), "reject_unknown_sender_domain");
    main.replaceStringValue("smtpd_client_restrictions", "a, b,c a");
    const std::string before = readFile(kMainCf);
    main.appendStringValue("smtpd_client_restrictions", "b");  // present: nothing written
    main.removeListElement("smtpd_client_restrictions", "x");  // absent: nothing written
    EXPECT_EQ(readFile(kMainCf), before);
    main.removeListElement("smtpd_client_restrictions", "a");
    EXPECT_EQ(postconfValue("smtpd_client_restrictions"), "b, c");

    main.replaceStringValue("smtpd_recipient_restrictions",
                            " check_policy_service  inet:127.0.0.1:10023 ,reject_rbl_client "
                            "zen.test,,permit");
    main.filterStringValues("smtpd_recipient_restrictions", KeepAllButRbl());
    EXPECT_EQ(postconfValue("smtpd_recipient_restrictions"),
              "permit_mynetworks, check_policy_service inet:127.0.0.1:10023, permit");

    // A line feed would start a parameter of its own in main.cf.
    const std::string settled = readFile(kMainCf);
    EXPECT_THROW(main.replaceStringValue("smtpd_banner", "x\nrelayhost = evil.test"),
                 PostfixConfigurationError);
    EXPECT_THROW(main.appendStringValue("mynetworks", "10.1.0.0/16\r"), PostfixConfigurationError);
    EXPECT_THROW(main.replaceStringValue("relayhost=evil.test\nx", "y"), PostfixConfigurationError);
    EXPECT_EQ(readFile(kMainCf), settled);
}

TEST_F(SandboxTest, BrokenMainCfStillYieldsItsPath) {
    writeFile(kMainCf, readFile(kMainCf) + "garbage line\n");
    MainCfManager main;
    EXPECT_EQ(main.configDirectory(), "/etc/postfix");
    try {
        main.getStringValue("mynetworks", false);
        ADD_FAILURE() << "no error";
    } catch (const PostfixConfigurationError& e) {
        EXPECT_NE(std::string(e.what()).find("missing '='"), std::string::npos) << e.what();
    }
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
