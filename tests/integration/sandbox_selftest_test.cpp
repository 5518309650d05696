// Self-test of the integration sandbox and harness: every test starts from
// a freshly installed server, and a change made inside stays inside.
#include <string>

#include "harness/kvarn_harness.h"

namespace kvarn_test {
namespace {

using ::testing::IsEmpty;
using ::testing::Not;

TEST_F(SandboxTest, PostconfChangesOnlyTheSandboxCopyOfMainCf) {
    const std::string pristine = sandboxEnv("KVARN_SANDBOX_POSTFIX_CONFIG") + "/main.cf";
    const std::string host = sandboxEnv("KVARN_SANDBOX_HOST_ROOT") + "/etc/postfix/main.cf";
    ASSERT_EQ(readFile(kMainCf), readFile(pristine));
    ASSERT_EQ(readFile(host), readFile(pristine));

    runChecked({"postconf", "-e", "myhostname = mx.changed.test"});

    EXPECT_EQ(postconfValue("myhostname"), "mx.changed.test");
    EXPECT_EQ(readFile(host), readFile(pristine));
    EXPECT_EQ(readFile(pristine).find("mx.changed.test"), std::string::npos);
}

// --- Fresh state for every test ---------------------------------------------------
// The first test leaves changes everywhere; the second, run after it, finds
// none of them.

class FreshStateTest : public SandboxTest {};

TEST_F(FreshStateTest, FirstLeavesChangesEverywhere) {
    writeFile(std::string(kTablesDir) + "/virtual", "left@over.test x@y.test\n");
    runChecked({"postmap", tableSpec("virtual")});
    ASSERT_THAT(tableRecords("virtual"), Not(IsEmpty()));
    runChecked({"install", "-d", "-o", "popuser", "-g", "popuser",
                std::string(kMailRoot) + "/over.test/left"});
    seedMisc("left", "over");
    panelExec("CREATE TABLE extra (id INT)");
    writeFile("/etc/left-over", "x");
    writeFile("/usr/local/left-over", "x");
    writeFile("/tmp/left-over", "x");
    writeFile("/root/left-over", "x");
    writeFile("/var/lib/marun/mail/auth/left.db", "x");
    runChecked({"useradd", "-r", "leftover"});
    runChecked({"crontab", "-"}, {}, "0 0 * * * /bin/true\n");
    runChecked({"/etc/init.d/courier-imap", "stop"});
    setServiceFailure("pc-remote", 1);
    setHostname("left.over.test");
    runChecked({"sh", "-c", "setsid sleep 600 >/dev/null 2>&1 </dev/null &"});
    runChecked({kPostfixInit, "start"});
    ASSERT_TRUE(waitForPostfix(true));
    // Last: Postfix tools wait for a freshly changed main.cf to settle.
    runChecked({"postconf", "-e", "myhostname = left.over.test"});
}

TEST_F(FreshStateTest, SecondFindsAFreshServer) {
    for (const auto& table : kLookupTables) {
        EXPECT_THAT(tableRecords(table), IsEmpty()) << table;
    }
    EXPECT_THAT(listDir(kMailRoot), IsEmpty());
    EXPECT_EQ(readFile(kMainCf), readFile(sandboxEnv("KVARN_SANDBOX_POSTFIX_CONFIG") + "/main.cf"));
    EXPECT_EQ(panelQuery("SELECT COUNT(*) FROM misc"), (Rows{{"0"}}));
    EXPECT_EQ(
        panelQuery("SHOW TABLES"),
        (Rows{{"Limits"}, {"domainaliases"}, {"domains"}, {"mail"}, {"mail_aliases"}, {"misc"}}));
    for (const char* path :
         {"/etc/left-over", "/usr/local/left-over", "/tmp/left-over", "/root/left-over",
          "/var/lib/marun/mail/auth/left.db", "/var/spool/cron/crontabs/root"}) {
        EXPECT_FALSE(pathExists(path)) << path;
    }
    EXPECT_FALSE(runCommand({"getent", "passwd", "leftover"}).succeeded());
    EXPECT_THAT(serviceCalls(), IsEmpty());
    EXPECT_TRUE(runCommand({"/etc/init.d/courier-imap", "status"}).succeeded());
    EXPECT_TRUE(runCommand({"/etc/init.d/pc-remote", "start"}).succeeded());
    EXPECT_EQ(currentHostname(), sandboxHostname());
    EXPECT_FALSE(postfixRunning());
    EXPECT_FALSE(postfixMasterPid().has_value());
    EXPECT_FALSE(runCommand({"pgrep", "-x", "sleep"}).succeeded());
}

}  // namespace
}  // namespace kvarn_test
