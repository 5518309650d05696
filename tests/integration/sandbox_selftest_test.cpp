// Self-test of the integration sandbox and harness: the real Postfix tools,
// MariaDB, cron and init scripts work inside it, every test starts from a
// freshly installed server, and nothing reaches the host.
#include <signal.h>

#include <chrono>
#include <string>

#include "harness/kvarn_harness.h"

namespace kvarn_test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::Pair;

std::string firstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// --- The fresh server -------------------------------------------------------

TEST_F(SandboxTest, FreshServerHasEmptyLookupTablesBuiltByPostmap) {
    EXPECT_EQ(listDir(kTablesDir),
              (std::vector<std::string>{"aliases.db", "blacklists.db", "sdd_transport_maps.db",
                                        "virtual.db", "virtual_domains.db", "vmailbox.db"}));
    for (const auto& table : kLookupTables) {
        EXPECT_THAT(tableRecords(table), IsEmpty()) << table;
    }
}

TEST_F(SandboxTest, FreshServerHasThePanelAndMailLayout) {
    EXPECT_EQ(fileOwner(kMailRoot), "popuser:popuser");
    EXPECT_EQ(fileMode(kMailRoot), 0751u);
    EXPECT_THAT(listDir(kMailRoot), IsEmpty());

    EXPECT_EQ(firstLine(readFile(kShadowFile)), panelPassword());
    EXPECT_EQ(fileMode(kShadowFile), 0600u);
    EXPECT_TRUE(pathExists("/etc/oru/oru.conf"));

    EXPECT_EQ(fileInfo("/var/lib/marun/mail/handlers").type, 'd');
    EXPECT_EQ(fileInfo("/var/lib/marun/mail/auth").type, 'd');
    for (const char* dir : {"/etc/domainkeys", "/etc/oru-spf", "/etc/sysconfig",
                            "/etc/courier-imap", "/var/lock/files", "/usr/local/oru"}) {
        EXPECT_EQ(fileInfo(dir).type, 'd') << dir;
        EXPECT_THAT(listDir(dir), IsEmpty()) << dir;
    }

    EXPECT_EQ(fileOwner("/var/spool/postfix/maildrop"), "postfix:postdrop");
    EXPECT_EQ(fileOwner("/var/spool/postfix/active"), "postfix:root");
    EXPECT_EQ(fileOwner("/var/spool/postfix/pid"), "root:root");
}

TEST_F(SandboxTest, PopuserExistsOnlyInsideWithItsMailRootAsHome) {
    const uid_t uid = userId("popuser");
    EXPECT_EQ(fileInfo(kMailRoot).uid, uid);
    EXPECT_EQ(fileInfo(kMailRoot).gid, groupId("popuser"));
    const std::string entry = runChecked({"getent", "passwd", "popuser"});
    EXPECT_NE(entry.find(":/var/qmail/mailnames:"), std::string::npos) << entry;
    // A host without the account keeps its /etc/passwd as it was.
    const std::string hostPasswd = readFile(sandboxEnv("KVARN_SANDBOX_HOST_ROOT") + "/etc/passwd");
    if (hostPasswd.rfind("popuser:", 0) != 0 &&
        hostPasswd.find("\npopuser:") == std::string::npos) {
        EXPECT_NE(hostPasswd, readFile("/etc/passwd"));
    }
}

TEST_F(SandboxTest, InitDirectoryHasTheRealPostfixScriptAndStandIns) {
    EXPECT_EQ(readFile(kPostfixInit),
              readFile(sandboxEnv("KVARN_SANDBOX_HOST_ROOT") + "/etc/init.d/postfix"));
    EXPECT_EQ(listDir("/etc/init.d"),
              (std::vector<std::string>{"courier-imap", "pc-remote", "postfix"}));
}

// --- Postfix tools ------------------------------------------------------------

TEST_F(SandboxTest, PostmapRoundTripOnALookupTable) {
    const std::string source = std::string(kTablesDir) + "/virtual";
    writeFile(source,
              "info@example.test alice@example.test\nsales@example.test\tbob@example.test\n");
    runChecked({"postmap", tableSpec("virtual")});
    ASSERT_EQ(::unlink(source.c_str()), 0);

    EXPECT_THAT(tableRecords("virtual"),
                ElementsAre(Pair("info@example.test", "alice@example.test"),
                            Pair("sales@example.test", "bob@example.test")));
    EXPECT_EQ(tableLookup("virtual", "sales@example.test"), "bob@example.test");
    EXPECT_EQ(tableLookup("virtual", "nobody@example.test"), std::nullopt);
}

TEST_F(SandboxTest, TableRecordsSplitOnlyAtTheFirstWhiteSpace) {
    const std::string source = std::string(kTablesDir) + "/sdd_transport_maps";
    writeFile(source, "a.test   smtp:[mx.a.test]:25 extra\nb.test\t\terror:5.1.1 no such domain\n");
    runChecked({"postmap", tableSpec("sdd_transport_maps")});

    EXPECT_THAT(tableRecords("sdd_transport_maps"),
                ElementsAre(Pair("a.test", "smtp:[mx.a.test]:25 extra"),
                            Pair("b.test", "error:5.1.1 no such domain")));
}

// The fresh configuration keeps the installed files' times: Postfix tools
// would otherwise wait for a "just changed" main.cf to settle in every test.
TEST_F(SandboxTest, FreshMainCfIsReadWithoutWaitingForItToSettle) {
    const auto started = std::chrono::steady_clock::now();
    postconfValue("myhostname");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(900));
}

TEST_F(SandboxTest, PostconfChangesOnlyTheSandboxCopyOfMainCf) {
    const std::string pristine = sandboxEnv("KVARN_SANDBOX_POSTFIX_CONFIG") + "/main.cf";
    const std::string host = sandboxEnv("KVARN_SANDBOX_HOST_ROOT") + "/etc/postfix/main.cf";
    ASSERT_EQ(readFile(kMainCf), readFile(pristine));
    ASSERT_EQ(readFile(host), readFile(pristine));

    runChecked({"postconf", "-e", "myhostname = mx.changed.test"});

    EXPECT_EQ(postconfValue("myhostname"), "mx.changed.test");
    EXPECT_NE(readFile(kMainCf), readFile(pristine));
    EXPECT_EQ(readFile(host), readFile(pristine));
    EXPECT_NE(postconfValue("myhostname", sandboxEnv("KVARN_SANDBOX_POSTFIX_CONFIG")),
              "mx.changed.test");
}

TEST_F(SandboxTest, PostfixStartsAndStopsWithItsRealInitScript) {
    ASSERT_FALSE(postfixRunning());

    RunResult start = runCommand({kPostfixInit, "start"});
    ASSERT_TRUE(start.succeeded()) << start;
    ASSERT_TRUE(waitForPostfix(true));
    const auto master = postfixMasterPid();
    ASSERT_TRUE(master.has_value());
    std::vector<std::string> children;
    for (const auto& child : childProcesses(*master)) {
        children.push_back(child.second);
    }
    EXPECT_THAT(children, Contains("qmgr"));
    EXPECT_TRUE(runCommand({kPostfixInit, "status"}).succeeded());

    RunResult stop = runCommand({kPostfixInit, "stop"});
    ASSERT_TRUE(stop.succeeded()) << stop;
    EXPECT_TRUE(waitForPostfix(false));
    EXPECT_FALSE(postfixMasterPid().has_value());
    EXPECT_TRUE(runCommand({kPostfixInit, "status"}).exited(3));
}

// --- The panel database ---------------------------------------------------------

TEST_F(SandboxTest, PanelDatabaseAnswersAsAdminWithTheShadowPassword) {
    const std::string password = firstLine(readFile(kShadowFile));
    EXPECT_EQ(panelQueryAs("admin", password, "SELECT COUNT(*) FROM domains"), (Rows{{"0"}}));
    EXPECT_THROW(panelQueryAs("admin", password + "-wrong", "SELECT 1"), HarnessError);
    // The client tools (and kvarn's client library) find the server at
    // their default socket.
    EXPECT_EQ(
        runChecked({"mariadb", "-uadmin", "-p" + password, "oru", "-N", "-e", "SELECT DATABASE()"}),
        "oru\n");
}

TEST_F(SandboxTest, SeedingLinksLimitsAndReplacesValues) {
    const int a = seedDomain("a.example.test");
    const int b = seedDomain("b.example.test", 7);
    seedLimit(a, "max_box", "10");
    seedLimit(a, "mbox_quota", "1024");
    seedLimit(a, "max_box", "20");
    seedLimit(b, "max_box", "5");
    const int mail = seedMail(a, "info", 4096);
    seedMailAlias(mail, "contact");
    seedDomainAlias(a, "alias.example.test");
    seedMisc("mail_param", "one");
    seedMisc("mail_param", "two");

    EXPECT_EQ(panelQuery("SELECT d.name, l.limit_name, l.value FROM domains d JOIN Limits l"
                         " ON l.id = d.limits_id ORDER BY d.name, l.limit_name"),
              (Rows{{"a.example.test", "max_box", "20"},
                    {"a.example.test", "mbox_quota", "1024"},
                    {"b.example.test", "max_box", "5"}}));
    EXPECT_EQ(panelQuery("SELECT webspace_id FROM domains WHERE id = " + std::to_string(b)),
              (Rows{{"7"}}));
    EXPECT_EQ(panelQuery("SELECT m.mail_name, m.mbox_quota, a.alias FROM mail m"
                         " JOIN mail_aliases a ON a.mn_id = m.id"),
              (Rows{{"info", "4096", "contact"}}));
    EXPECT_EQ(panelQuery("SELECT val FROM misc"), (Rows{{"two"}}));
    EXPECT_EQ(panelQuery("SELECT limits_id FROM domains WHERE id = " +
                         std::to_string(seedDomain("c.example.test"))),
              (Rows{{kSqlNull}}));
}

TEST_F(SandboxTest, SeedingKeepsQuotesAndBackslashesVerbatim) {
    const std::string name = "o'neil\\x\".test";
    const int id = seedDomain(name);
    EXPECT_EQ(panelQuery("SELECT name FROM domains WHERE id = " + std::to_string(id)),
              (Rows{{name}}));
}

// --- Other system tools ------------------------------------------------------------

TEST_F(SandboxTest, CrontabToolWorksForRoot) {
    EXPECT_FALSE(runCommand({"crontab", "-l"}).succeeded());
    runChecked({"crontab", "-"}, {}, "15 3 * * * /usr/local/oru/bin/cleanup\n");
    EXPECT_NE(runChecked({"crontab", "-l"}).find("15 3 * * * /usr/local/oru/bin/cleanup"),
              std::string::npos);
    EXPECT_TRUE(pathExists(std::string(kCrontabDir) + "/root"));
}

TEST_F(SandboxTest, HostNameCanBeSet) {
    EXPECT_EQ(currentHostname(), sandboxHostname());
    setHostname("mx1.example.test");
    EXPECT_EQ(runChecked({"hostname"}), "mx1.example.test\n");
}

TEST_F(SandboxTest, StandInServicesRecordCallsAndAnswerAsTold) {
    RunResult restart =
        runCommand({"/etc/init.d/courier-imap", "restart"}, {{"KVARN_CALLER", "test"}});
    EXPECT_TRUE(restart.succeeded()) << restart;
    EXPECT_TRUE(runCommand({"/etc/init.d/courier-imap", "status"}).succeeded());

    setServiceRunning("pc-remote", false);
    EXPECT_TRUE(runCommand({"/etc/init.d/pc-remote", "status"}).exited(3));
    setServiceFailure("pc-remote", 4);
    EXPECT_TRUE(runCommand({"/etc/init.d/pc-remote", "start"}).exited(4));
    setServiceFailure("pc-remote", 0);
    EXPECT_TRUE(runCommand({"/etc/init.d/pc-remote", "start"}).succeeded());
    EXPECT_TRUE(runCommand({"/etc/init.d/pc-remote", "status"}).succeeded());

    const auto calls = serviceCalls("courier-imap");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].args, std::vector<std::string>{"restart"});
    EXPECT_EQ(calls[0].env.at("KVARN_CALLER"), "test");
    EXPECT_EQ(serviceActions("pc-remote"),
              (std::vector<std::string>{"status", "start", "start", "status"}));
}

TEST_F(SandboxTest, StandInServicesRecordArgumentsVerbatim) {
    runChecked({"/etc/init.d/pc-remote", "reload", "two words", "line 1\nline 2", ""},
               {{"MULTI", "a\nb"}});
    const auto calls = serviceCalls("pc-remote");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].args,
              (std::vector<std::string>{"reload", "two words", "line 1\nline 2", ""}));
    EXPECT_EQ(calls[0].env.at("MULTI"), "a\nb");
}

TEST_F(SandboxTest, SqliteFilesCanBeRead) {
    const std::string db = "/var/lib/marun/mail/auth/test.db";
    runChecked({"sqlite3", db,
                "CREATE TABLE pw (name TEXT, hash TEXT); INSERT INTO pw VALUES ('a', NULL);"});
    EXPECT_EQ(sqliteQuery(db, "SELECT name, hash FROM pw"), (Rows{{"a", kSqlNull}}));
    EXPECT_THROW(sqliteQuery("/var/lib/marun/mail/auth/missing.db", "SELECT 1"), HarnessError);
}

TEST_F(SandboxTest, TreeCopiesKeepOwnersModesTimesAndLinks) {
    runChecked({"sh", "-c",
                "mkdir -p /tmp/from/sub /tmp/to && echo data > /tmp/from/sub/file &&"
                " chown popuser:postdrop /tmp/from/sub/file && chmod 2751 /tmp/from/sub/file &&"
                " chmod 0700 /tmp/from/sub && ln -s sub/file /tmp/from/link &&"
                " touch -h -d '2001-02-03 04:05:06' /tmp/from/sub/file /tmp/from/link"
                " /tmp/from/sub /tmp/from"});
    copyTreeInto("/tmp/from", "/tmp/to");

    EXPECT_EQ(readFile("/tmp/to/sub/file"), "data\n");
    EXPECT_EQ(fileOwner("/tmp/to/sub/file"), "popuser:postdrop");
    EXPECT_EQ(fileMode("/tmp/to/sub/file"), 02751u);
    EXPECT_EQ(fileMode("/tmp/to/sub"), 0700u);
    EXPECT_EQ(fileInfo("/tmp/to/link").type, 'l');
    const std::string stamps =
        "stat -c '%n %Y' /tmp/DIR/sub/file /tmp/DIR/sub /tmp/DIR; stat -L -c %Y /tmp/DIR/link";
    auto timesOf = [&](const std::string& dir) {
        std::string cmd = stamps;
        for (auto pos = cmd.find("DIR"); pos != std::string::npos; pos = cmd.find("DIR")) {
            cmd.replace(pos, 3, dir);
        }
        std::string out = runChecked({"sh", "-c", cmd});
        for (auto pos = out.find(dir); pos != std::string::npos; pos = out.find(dir)) {
            out.replace(pos, dir.size(), "X");
        }
        return out;
    };
    EXPECT_EQ(timesOf("to"), timesOf("from"));
}

// --- Child processes ------------------------------------------------------------

TEST(RunCommandTest, SeparatesOutputsAndFeedsInput) {
    RunResult r = runCommand({"sh", "-c", "cat; echo oops >&2; exit 3"}, {}, "line 1\nline 2\n");
    EXPECT_TRUE(r.exited(3)) << r;
    EXPECT_EQ(r.out, "line 1\nline 2\n");
    EXPECT_EQ(r.err, "oops\n");
}

TEST(RunCommandTest, ReportsTheSignalThatEndedTheChild) {
    RunResult r = runCommand({"sh", "-c", "kill -TERM $$"});
    EXPECT_EQ(r.signal, SIGTERM) << r;
    EXPECT_FALSE(r.succeeded());
}

TEST(RunCommandTest, GivesAFixedEnvironmentWithOverrides) {
    RunResult r = runCommand({"env"}, {{"LANG", "C.UTF-8"}, {"EXTRA", "1"}});
    ASSERT_TRUE(r.succeeded()) << r;
    EXPECT_NE(r.out.find("\nLANG=C.UTF-8\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("EXTRA=1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("HOME=/root\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("KVARN_SANDBOX"), std::string::npos) << r.out;
}

TEST(RunCommandTest, CapturesLargeOutputWhileWritingLargeInput) {
    const std::string input(1 << 20, 'x');
    RunResult r = runCommand({"cat"}, {}, input);
    ASSERT_TRUE(r.succeeded()) << r.err;
    EXPECT_EQ(r.out.size(), input.size());
}

TEST(RunCommandTest, SurvivesAChildThatDoesNotReadItsInput) {
    RunResult r = runCommand({"true"}, {}, std::string(1 << 20, 'x'));
    EXPECT_TRUE(r.succeeded()) << r;
}

TEST(RunCommandTest, DoesNotWaitForDaemonsHoldingItsOutput) {
    const auto started = std::chrono::steady_clock::now();
    RunResult r = runCommand({"sh", "-c", "sleep 30 & echo started"});
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_TRUE(r.succeeded()) << r;
    EXPECT_EQ(r.out, "started\n");
}

TEST(RunCommandTest, KillsAChildThatOutlivesItsTimeout) {
    RunResult r = runCommand({"sleep", "30"}, {}, "", std::chrono::milliseconds(200));
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.signal, SIGKILL);
}

TEST(RunCommandTest, FailsToStartAMissingProgram) {
    EXPECT_THROW(runCommand({"/nonexistent/program"}), HarnessError);
    EXPECT_THROW(runCommand({"no-such-program-anywhere"}), HarnessError);
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
    RunResult start = runCommand({kPostfixInit, "start"});
    ASSERT_TRUE(start.succeeded()) << start;
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
