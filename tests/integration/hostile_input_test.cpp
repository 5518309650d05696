// What users write, against the commands: a ".qmail" that a mailbox owner
// edited by hand (a NUL byte, no final newline, a line longer than any
// buffer) keeps every line the commands do not own exactly; and names that
// pass every check as typed but whose ASCII form is a path ("‥／‥／etc"
// becomes "../../etc") are refused by every command that takes a domain or
// an address, before anything changes.
#include <string>
#include <vector>

#include "integration/panel_server.h"

namespace kvarn_test {
namespace {

using ::testing::HasSubstr;
using Args = std::vector<std::string>;

const std::string kDelivery = "| /usr/bin/deliverquota ./Maildir\n";

class HostileInputTest : public PanelServerTest {
  protected:
    void SetUp() override {
        PanelServerTest::SetUp();
        seedMail(seedDomain("a.test"), "info");
        for (const Args& args :
             {Args{"--add-domain", "--domain-name=a.test"},
              Args{"--add-mailname", "--domain-name=a.test", "--mailname=info"},
              Args{"--add-handler", "--handler-name=h", "--handler-type=recipient",
                   "--handler-type-name=info@a.test", "--executable=/bin/h", "--context=c",
                   "--hook=before-queue", "--priority=1"}}) {
            runKvarnChecked(args);
        }
    }

    RunResult mailbox(const char* command) {
        return runKvarn({command, "--domain-name=a.test", "--mailname=info"},
                        {{"ORU_PASSWORD", "pw"}});
    }
};

TEST_F(HostileInputTest, DotQmailLinesStayWholeThroughEveryEdit) {
    const std::string qmail = std::string(kMailRoot) + "/a.test/info/.qmail";
    const std::string longLine = "# " + std::string(5000, 'x') + "\n";
    // Cut at 4095 bytes, this line would end in a delivery line.
    const std::string cutLine = "#" + std::string(4094, 'y') + kDelivery;

    // A NUL byte: no edit can say where its line ends, so none is made.
    const std::string withNul = std::string("# off\0", 6) + "\n" + kDelivery + "&f@b.test\n";
    writeFile(qmail, withNul, 0600);
    for (const char* command : {"--add-mailbox", "--remove-mailbox"}) {
        RunResult r = mailbox(command);
        EXPECT_TRUE(r.exited(1)) << command << r;
        EXPECT_THAT(r.err, HasSubstr("unable to modify " + qmail)) << command;
        EXPECT_EQ(withNul, readFile(qmail)) << command;
    }

    // No final newline: the forward stays a line of its own.
    writeFile(qmail, "| true\n&f@b.test", 0600);
    ASSERT_TRUE(mailbox("--add-mailbox").succeeded());
    EXPECT_EQ("| true\n&f@b.test\n" + kDelivery, readFile(qmail));

    // Lines longer than any buffer are kept whole, matched whole.
    const std::string lines = longLine + cutLine + "&f@b.test\n" + longLine;
    writeFile(qmail, lines, 0600);
    ASSERT_TRUE(mailbox("--remove-mailbox").succeeded());
    EXPECT_EQ(lines, readFile(qmail));
    ASSERT_TRUE(mailbox("--add-mailbox").succeeded());
    EXPECT_EQ(lines + kDelivery, readFile(qmail));
    ASSERT_TRUE(mailbox("--remove-mailbox").succeeded());
    EXPECT_EQ(lines, readFile(qmail));
    EXPECT_EQ("popuser:popuser", fileOwner(qmail));
    EXPECT_EQ(0600u, fileMode(qmail));
}

TEST_F(HostileInputTest, NamesWhoseAsciiFormIsAPathAreRefusedByEveryCommand) {
    // What the commands change, and what a traversal out of the mail tree
    // would.
    auto state = [] { return serverState() + runChecked({"ls", "/var", "/var/qmail", "/etc"}); };
    const std::string before = state();
    // Full-width solidus, two-dot leader and ideographic space pass every
    // check as typed; IDNA makes "/", ".." and " " of them.
    for (const std::string evil :
         {"\u2025\uFF0F\u2025\uFF0Fetc", "a\uFF0Fb.test", "a\u2025b.test", "a\u3000b.test"}) {
        const std::string d = "--domain-name=" + evil;
        const std::string m = "--mailname=info";
        std::vector<Args> commands = {
            {"--add-domain", d},
            {"--remove-domain", d},
            {"--turn-off-domain", d},
            {"--turn-on-domain", d},
            {"--set-domain-disk-quota", d, "--disk-quota=5"},
            {"--add-mailname", d, m},
            {"--remove-mailname", d, m},
            {"--rename-mailname", d, "--old-mailname=info", "--new-mailname=x"},
            {"--add-mailbox", d, m},
            {"--remove-mailbox", d, m},
            {"--get-mailbox-size", d, m},
            {"--set-password", d, m},
            {"--set-mailbox-disk-quota", d, m, "--disk-quota=5"},
        };
        for (const std::string& name : {"info@" + evil, evil}) {
            const std::string type = name == evil ? "recipient-domain" : "recipient";
            const Args handler = {"--handler-name=h", "--handler-type=" + type,
                                  "--handler-type-name=" + name, "--hook=before-queue"};
            for (const char* command :
                 {"--enable-handler", "--disable-handler", "--remove-handler", "--add-handler"}) {
                commands.push_back({command});
                commands.back().insert(commands.back().end(), handler.begin(), handler.end());
            }
            commands.back().insert(commands.back().end(),
                                   {"--executable=/bin/h", "--context=c", "--priority=1"});
        }
        for (const Args& args : commands) {
            EXPECT_THAT(runKvarnExpecting(args, 1, {{"ORU_PASSWORD", "pw"}}).err,
                        HasSubstr("invalid"))
                << ::testing::PrintToString(args);
        }
        ASSERT_EQ(before, state()) << evil;
    }
}

}  // namespace
}  // namespace kvarn_test
