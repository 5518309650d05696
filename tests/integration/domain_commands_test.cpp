// The domain commands run as the panel runs them: the records, directories,
// authentication rows and handler rows they leave, the postmap runs they
// make in order, their exit statuses, and refusal of malformed names before
// anything changes.
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "integration/domain_test_records.h"
#include "integration/panel_server.h"
#include "mail/maildir_manager.h"

namespace kvarn_test {
namespace {

namespace fs = std::filesystem;
using marun::mail::MaildirManager;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const std::string MAIL_ROOT = "/var/qmail/mailnames";

// A mailbox home without its attachment store, whose size a quota would
// otherwise lose.
void makePlainHome(const std::string& domain, const std::string& mailname) {
    MaildirManager::getInstance().createMailnameHome(domain, mailname);
    fs::remove(MAIL_ROOT + "/" + domain + "/" + mailname + "/@attachments");
}

std::string quotaLine(const std::string& domain, const std::string& mailname) {
    const std::string path = MAIL_ROOT + "/" + domain + "/" + mailname + "/Maildir/maildirsize";
    if (!pathExists(path)) {
        return "none";
    }
    std::string text = readFile(path);
    return text.substr(0, text.find('\n'));
}

// Runs kvarn under strace; `runs` gets the arguments of its postmap runs in
// order, with the map names shortened to the table names (a rewrite's
// temporary copy of "virtual" shows as "virtual.copy").
RunResult kvarnTraced(const std::vector<std::string>& args, std::vector<std::string>& runs) {
    const std::string trace = "/tmp/kvarn-exec-trace";
    std::vector<std::string> argv = {"strace",      "-f", "-qq",          "-s",
                                     "512",         "-e", "trace=execve", "-e",
                                     "signal=none", "-o", trace,          kvarnBinary()};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult result = runCommand(argv);
    static const std::regex call(
        R"re(execve\("/usr/sbin/postmap", \["/usr/sbin/postmap", "(.*)"\].*= 0$)re");
    static const std::regex separator(R"(", ")");
    static const std::regex tablePath("hash:/var/spool/postfix/marun/");
    static const std::regex copy(R"(\.kvarn\.[0-9]+)");
    runs.clear();
    std::istringstream lines(readFile(trace));
    std::smatch match;
    for (std::string line; std::getline(lines, line);) {
        if (std::regex_search(line, match, call)) {
            runs.push_back(std::regex_replace(
                std::regex_replace(std::regex_replace(match.str(1), separator, " "), tablePath, ""),
                copy, ".copy"));
        }
    }
    return result;
}

class DomainCommandsTest : public PanelServerTest {
  protected:
    // a.test served, with the alias b.test in the panel and a mailbox "info"
    // in the tables, the mail tree, the authentication database (domain and
    // alias) and the handlers database; c.test beside it.
    void seedServedDomain() {
        runKvarnChecked({"--add-domain", "--domain-name=a.test"});
        const int dom = seedDomain("a.test");
        seedDomainAlias(dom, "b.test");
        seedMail(dom, "info");
        MaildirManager::getInstance().createMailnameHome("a.test", "info");
        seedTable("vmailbox", {{"info@a.test", "a.test/info/Maildir/"}});
        seedTable("virtual", {{"info@a.test", "info@a.test"}, {"info@b.test", "info@a.test"}});
        ASSERT_EQ(0, mailAuthSet("info", "a.test", "pw", 0));
        ASSERT_EQ(0, mailAuthSet("info", "b.test", "pw", 0));
        ASSERT_EQ(0, mailAuthSet("x", "c.test", "pw", 0));
        sqliteQuery(MH_DB_PATH,
                    "INSERT INTO handlers (queue, type, enabled, priority, name, address, "
                    "executable, context) VALUES (1, 1, 1, 10, 'h1', 'info@a.test', 'e', 'c'), "
                    "(1, 1, 1, 10, 'h2', 'a.test', 'e', 'c'), (1, 1, 1, 10, 'h3', 'x@c.test', "
                    "'e', 'c')");
    }

    // domain | status | user, users ordered by name.
    static Rows authRows() {
        return sqliteQuery(mailAuthDB,
                           "SELECT d.name, d.status, IFNULL(u.name, '') FROM domains d LEFT "
                           "JOIN users u ON u.dom_id = d.id ORDER BY d.name, u.name");
    }
    static Rows handlerRows() {
        return sqliteQuery(MH_DB_PATH, "SELECT name, address, enabled FROM handlers ORDER BY name");
    }
};

TEST_F(DomainCommandsTest, AddDomainDropsAnAliasOfTheNameThenServesIt) {
    // a.test was an alias domain until now.
    seedTable("virtual", {{"a.test", "1"},
                          {"info@a.test", "info@b.test"},
                          {"x@c.test", "x@a.test, y@c.test"},
                          {"keep@c.test", "keep@b.test"}});
    std::vector<std::string> runs;
    RunResult r = kvarnTraced({"--add-domain", "--domain-name=a.test"}, runs);
    ASSERT_TRUE(r.succeeded()) << r;
    EXPECT_EQ("", r.out);
    // The alias goes first, so the standard addresses written after it stay;
    // they exist before the domain is served. Only the changed records of
    // "virtual" are written, to a copy renamed into place.
    EXPECT_THAT(runs, ElementsAre("-s virtual", "-d - virtual.copy", "-i virtual.copy",
                                  "-r -i virtual", "-r -i virtual_domains"));
    EXPECT_EQ(tableRecords("virtual"),
              plus({{"keep@c.test", "keep@b.test"}, {"x@c.test", "y@c.test"}},
                   standardRecords("a.test")));
    EXPECT_EQ(tableRecords("virtual_domains"), (Records{{"a.test", "a.test/"}}));
    FileInfo root = fileInfo(MAIL_ROOT + "/a.test");
    EXPECT_EQ('d', root.type);
    EXPECT_EQ("popuser", root.owner);
    EXPECT_EQ(0750u, root.mode);
}

TEST_F(DomainCommandsTest, QuotasReachMailboxesOnTheDefaultAndMustBeNumbers) {
    const int dom = seedDomain("a.test");
    seedMail(dom, "info");         // uses the domain's default quota
    seedMail(dom, "boss", 50000);  // has a quota of its own
    makePlainHome("a.test", "info");
    makePlainHome("a.test", "boss");

    // Without --disk-quota no quota is written; -1 is a quota: unlimited.
    runKvarnChecked({"--add-domain", "--domain-name=a.test"});
    EXPECT_EQ("none", quotaLine("a.test", "info"));
    runKvarnChecked({"--add-domain", "--domain-name=a.test", "--disk-quota=-1"});
    EXPECT_EQ("0S,0C", quotaLine("a.test", "info"));
    runKvarnChecked({"--add-domain", "--domain-name", "a.test", "--disk-quota", "4096"});
    EXPECT_EQ("4096S,0C", quotaLine("a.test", "info"));
    runKvarnChecked({"--set-domain-disk-quota", "--domain-name=a.test", "--disk-quota=2048"});
    EXPECT_EQ("2048S,0C", quotaLine("a.test", "info"));
    EXPECT_EQ("none", quotaLine("a.test", "boss"));

    for (const char* command : {"--add-domain", "--set-domain-disk-quota"}) {
        RunResult bad = runKvarnExpecting({command, "--domain-name=a.test", "--disk-quota=12k"}, 1);
        EXPECT_THAT(bad.err,
                    HasSubstr("the argument ('12k') for option '--disk-quota' is invalid"));
        EXPECT_THAT(bad.out, HasSubstr(std::string("Usage: ") + command));
    }
    EXPECT_EQ("2048S,0C", quotaLine("a.test", "info"));
}

TEST_F(DomainCommandsTest, TurningOffAndOnSwitchesDeliveryAuthAndHandlers) {
    seedServedDomain();
    const Records mailboxes = {{"info@a.test", "info@a.test"}, {"info@b.test", "info@a.test"}};

    std::vector<std::string> runs;
    RunResult off = kvarnTraced({"--turn-off-domain", "--domain-name=a.test"}, runs);
    ASSERT_TRUE(off.succeeded()) << off;
    EXPECT_THAT(runs, ElementsAre("-d a.test virtual_domains", "-d - virtual"));
    EXPECT_THAT(tableRecords("virtual_domains"), IsEmpty());
    // Mailboxes stay; only the standard addresses go.
    EXPECT_EQ(tableRecords("virtual"), mailboxes);
    EXPECT_EQ(tableRecords("vmailbox"), (Records{{"info@a.test", "a.test/info/Maildir/"}}));
    EXPECT_EQ((Rows{{"a.test", "1", "info"}, {"b.test", "1", "info"}, {"c.test", "0", "x"}}),
              authRows());
    EXPECT_EQ((Rows{{"h1", "info@a.test", "0"}, {"h2", "a.test", "0"}, {"h3", "x@c.test", "1"}}),
              handlerRows());

    RunResult on = kvarnTraced({"--turn-on-domain", "--domain-name=a.test"}, runs);
    ASSERT_TRUE(on.succeeded()) << on;
    EXPECT_THAT(runs, ElementsAre("-r -i virtual_domains", "-r -i virtual"));
    EXPECT_EQ(tableRecords("virtual_domains"), (Records{{"a.test", "a.test/"}}));
    EXPECT_EQ(tableRecords("virtual"), plus(mailboxes, standardRecords("a.test")));
    EXPECT_EQ((Rows{{"a.test", "0", "info"}, {"b.test", "0", "info"}, {"c.test", "0", "x"}}),
              authRows());
    EXPECT_EQ((Rows{{"h1", "info@a.test", "1"}, {"h2", "a.test", "1"}, {"h3", "x@c.test", "1"}}),
              handlerRows());
}

TEST_F(DomainCommandsTest, FailedAuthUpdateStopsBeforeTablesAndHandlers) {
    seedServedDomain();
    const Records before = tableRecords("virtual");
    const Rows handlers = handlerRows();
    // Without its database the authentication update cannot be made.
    ASSERT_EQ(0, ::unlink(mailAuthDB));
    for (const char* command : {"--turn-off-domain", "--turn-on-domain", "--remove-domain"}) {
        EXPECT_THAT(runKvarnExpecting({command, "--domain-name=a.test"}, 1).err,
                    HasSubstr(" for domain a.test\n"));
        EXPECT_EQ(before, tableRecords("virtual")) << command;
        EXPECT_EQ((Records{{"a.test", "a.test/"}}), tableRecords("virtual_domains")) << command;
        EXPECT_EQ(handlers, handlerRows()) << command;
        EXPECT_TRUE(pathExists(MAIL_ROOT + "/a.test/info/Maildir")) << command;
    }
}

TEST_F(DomainCommandsTest, RemoveDomainClearsRecordsTreeAuthAndHandlers) {
    seedServedDomain();
    seedTable("virtual", {{"x@c.test", "info@a.test, y@c.test"},
                          {"@a.test", "_marun_bounce_a.test@localhost.localdomain"},
                          {"info@sub.a.test", "z@c.test"},
                          {"info@xa.test", "info@xa.test"}});
    seedTable("vmailbox", {{"info@xa.test", "xa.test/info/Maildir/"}});
    MaildirManager::getInstance().createMailnameHome("xa.test", "info");

    std::vector<std::string> runs;
    RunResult r = kvarnTraced({"--remove-domain", "--domain-name=a.test"}, runs);
    ASSERT_TRUE(r.succeeded()) << r;
    EXPECT_EQ("", r.out);
    // Both tables are dumped side by side, then only their changed records
    // are written, each to a copy renamed into place.
    EXPECT_THAT(runs, ElementsAre("-d a.test virtual_domains", "-s virtual", "-s vmailbox",
                                  "-d - virtual.copy", "-i virtual.copy", "-d - vmailbox.copy"));
    EXPECT_THAT(tableRecords("virtual_domains"), IsEmpty());
    // Subdomains and look-alikes are not the domain; lists lose their
    // elements in it, and records left with none go.
    EXPECT_EQ(tableRecords("virtual"), (Records{{"info@sub.a.test", "z@c.test"},
                                                {"info@xa.test", "info@xa.test"},
                                                {"x@c.test", "y@c.test"}}));
    EXPECT_EQ(tableRecords("vmailbox"), (Records{{"info@xa.test", "xa.test/info/Maildir/"}}));
    // Deleted, with no backup left beside it.
    EXPECT_THAT(listDir(MAIL_ROOT), ElementsAre("xa.test"));
    EXPECT_EQ((Rows{{"c.test", "0", "x"}}), authRows());
    EXPECT_EQ((Rows{{"h3", "x@c.test", "1"}}), handlerRows());
}

TEST_F(DomainCommandsTest, InternationalNameIsStoredAsciiAndHandlerFailureOnlyWarns) {
    const std::string ascii = "xn--e1afmkfd.test";
    runKvarnChecked({"--add-domain", "--domain-name=пример.test"});
    EXPECT_EQ(tableRecords("virtual_domains"), (Records{{ascii, ascii + "/"}}));
    EXPECT_EQ(tableRecords("virtual"), standardRecords(ascii));
    EXPECT_THAT(listDir(MAIL_ROOT), ElementsAre(ascii));
    ASSERT_EQ(0, mailAuthSet("info", ascii.c_str(), "pw", 0));

    // Without the handlers database the handlers cannot be removed.
    ASSERT_EQ(0, ::unlink(MH_DB_PATH));
    RunResult r = runKvarn({"--remove-domain", "--domain-name=пример.test"});
    EXPECT_TRUE(r.succeeded()) << r;
    const std::string warning = "WARNING: unable to properly remove all mail handlers for " + ascii;
    EXPECT_THAT(r.err, HasSubstr(warning + "\n"));
    EXPECT_THAT(r.out, HasSubstr(warning + "\n"));
    EXPECT_THAT(tableRecords("virtual_domains"), IsEmpty());
    EXPECT_THAT(tableRecords("virtual"), IsEmpty());
    EXPECT_THAT(listDir(MAIL_ROOT), IsEmpty());
    EXPECT_THAT(authRows(), IsEmpty());
}

TEST_F(DomainCommandsTest, RemoveDomainWhoseTreeCannotBeDeletedStillClearsRecords) {
    seedServedDomain();
    // A read-only bind mount over itself: the tree can be neither moved
    // aside (it is a mount point) nor emptied.
    const std::string root = MAIL_ROOT + "/a.test";
    ASSERT_EQ(0, ::mount(root.c_str(), root.c_str(), nullptr, MS_BIND, nullptr));
    ASSERT_EQ(0,
              ::mount(nullptr, root.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr));
    RunResult r = runKvarn({"--remove-domain", "--domain-name=a.test"});
    const bool stayed = pathExists(root + "/info/Maildir");
    ::umount2(root.c_str(), MNT_DETACH);

    EXPECT_TRUE(r.succeeded()) << r;
    EXPECT_TRUE(stayed);
    EXPECT_THAT(tableRecords("virtual_domains"), IsEmpty());
    EXPECT_THAT(tableRecords("virtual"), IsEmpty());
    EXPECT_THAT(tableRecords("vmailbox"), IsEmpty());
    EXPECT_EQ((Rows{{"c.test", "0", "x"}}), authRows());
}

TEST_F(DomainCommandsTest, MalformedDomainNamesAreRefusedBeforeAnythingChanges) {
    seedServedDomain();
    const std::string before = serverState();

    for (const char* command : {"--add-domain", "--set-domain-disk-quota", "--turn-off-domain",
                                "--turn-on-domain", "--remove-domain"}) {
        for (const std::string name : {"", "a b", "a\nb.test", "a\x01.test", "a/b.test",
                                       "../a.test", "a..test", ".a.test"}) {
            std::vector<std::string> args = {command, "--domain-name", name};
            if (std::string(command) == "--set-domain-disk-quota") {
                args.push_back("--disk-quota=100");
            }
            EXPECT_THAT(runKvarnExpecting(args, 1).err,
                        HasSubstr("Fatal error: std::invalid_argument(invalid domain name '"))
                << command << " [" << name << "]";
        }
    }
    EXPECT_EQ(before, serverState());
}

}  // namespace
}  // namespace kvarn_test
