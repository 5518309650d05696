// Redirects, mail aliases, the autoresponder hook and attachment files, run
// as the panel runs them: the ".qmail" file, the "virtual" table, the
// authentication and handlers rows and the attachment directory after each
// command; every command run twice ends where one run ends; bad input is
// refused before anything changes.
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "integration/panel_server.h"
#include "mail/maildir_manager.h"

namespace kvarn_test {
namespace {

using Args = std::vector<std::string>;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string kDomainDir = std::string(kMailRoot) + "/example.test";
const std::string kHome = kDomainDir + "/info";
const std::string kAttachments = kHome + "/@attachments";
const std::string kQmail = kHome + "/.qmail";
const std::string kStart = "| true\n| /usr/bin/deliverquota ./Maildir\n";
const std::string kD = "--domain-name=example.test";
const std::string kM = "--mailname=info";
const char kHandlerRows[] =
    "SELECT priority, type, queue, name, address, executable, context, enabled FROM handlers "
    "ORDER BY address, name";

std::set<std::string> lines(const std::string& text) {
    std::set<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.insert(line);
    }
    return result;
}

// example.test with the domain aliases alias1.test and alias2.test, and its
// mailbox info (password "s3cret", one mail handler); the mailbox bob.
class ForwardingTest : public PanelServerTest {
  protected:
    void SetUp() override {
        PanelServerTest::SetUp();
        const int domain = seedDomain("example.test");
        seedDomainAlias(domain, "alias1.test");
        seedDomainAlias(domain, "alias2.test");
        marun::mail::MaildirManager::getInstance().createDomainRoot("example.test");
        for (const char* name : {"info", "bob"}) {
            seedMail(domain, name);
            const std::string m = std::string("--mailname=") + name;
            runKvarnChecked({"--add-mailname", kD, m});
            runKvarnChecked({"--add-mailbox", kD, m}, {{"ORU_PASSWORD", "s3cret"}});
        }
        sqliteQuery(MH_DB_PATH,
                    "INSERT INTO handlers VALUES (1, 1, 1, 10, 'spam', 'info@example.test', "
                    "'/usr/bin/h', 'ctx')");
    }

    // Runs kvarn, expecting `status`.
    RunResult run(const Args& args, int status = 0) {
        RunResult r = runKvarn(args);
        EXPECT_TRUE(r.exited(status)) << ::testing::PrintToString(args) << r;
        return r;
    }
};

TEST_F(ForwardingTest, RedirectsStandOnceAtTheEndAndGoWhenAsked) {
    const Args add = {"--add-redirect", kD, kM, "--redirect-email=r1@bücher.test"};
    run(add);
    run({"--add-redirect", kD, kM, "--redirect-email=other@remote.test"});
    run(add);
    // The domain part in ASCII form, the local part as given; no doubles.
    EXPECT_EQ(kStart + "&other@remote.test\n&r1@xn--bcher-kva.test\n", readFile(kQmail));
    EXPECT_EQ("popuser:popuser", fileOwner(kQmail));
    EXPECT_EQ(0600u, fileMode(kQmail));

    const Args remove = {"--remove-redirect", kD, kM, "--redirect-email=r1@bücher.test"};
    run(remove);
    EXPECT_EQ(kStart + "&other@remote.test\n", readFile(kQmail));
    // A redirect already gone (a retry) is removed again without complaint.
    const std::string before = serverState();
    run(remove);
    EXPECT_EQ(before, serverState());
}

TEST_F(ForwardingTest, MailAliasLogsInWithTheMailnamesPasswordAndCarriesItsHandlers) {
    const std::string before = serverState();
    const Args add = {"--add-alias", kD, kM, "--alias=sales"};
    run(add);
    EXPECT_THAT(
        tableRecords("virtual"),
        ::testing::IsSupersetOf({::testing::Pair("sales@example.test", "info@example.test"),
                                 ::testing::Pair("sales@alias1.test", "info@example.test"),
                                 ::testing::Pair("sales@alias2.test", "info@example.test")}));
    EXPECT_EQ("s3cret", mailPassword("sales@example.test").first);
    EXPECT_THAT(
        sqliteQuery(MH_DB_PATH, kHandlerRows),
        ElementsAre(
            ElementsAre("10", "1", "1", "spam", "info@example.test", "/usr/bin/h", "ctx", "1"),
            ElementsAre("10", "1", "1", "spam", "sales@example.test", "/usr/bin/h", "ctx", "1")));
    // Run again (a retry after a kill at any step) it ends in the same place.
    const std::string added = serverState();
    run(add);
    EXPECT_EQ(added, serverState());

    // Removal takes the records, the login under the domain and its aliases,
    // and the handlers; a second removal finds nothing left and succeeds.
    runKvarnChecked({"--set-password", kD, "--mailname=sales"}, {{"ORU_PASSWORD", "pw"}});
    const Args remove = {"--remove-alias", kD, kM, "--alias=sales"};
    run(remove);
    EXPECT_EQ(before, serverState());
    run(remove);
    EXPECT_EQ(before, serverState());
}

TEST_F(ForwardingTest, BadInputIsRefusedBeforeAnyChange) {
    run({"--add-redirect", kD, kM, "--redirect-email=keep@remote.test"});
    writeFile(kAttachments + "/kept", "kept\n");
    // Uploads that are not a regular file of their own.
    runChecked({"sh", "-c",
                "mkdir /tmp/d && echo x > /tmp/d/f && ln /tmp/d/f /tmp/hard && "
                "ln -s /tmp/d/f /tmp/link && mkfifo /tmp/fifo"});
    const std::string before = serverState();

    std::vector<Args> refused;
    for (const char* email :
         {"a@b.test\n|/bin/sh", "a@b.test\rx", "a b@c.test", "a@b.test,c@d.test", "|cmd@x.test",
          "&x@y.test", "/etc/passwd@x.test", "noat", "a@b@c.test", "a@../b"}) {
        for (const char* command : {"--add-redirect", "--remove-redirect"}) {
            refused.push_back({command, kD, kM, std::string("--redirect-email=") + email});
        }
    }
    // Not one local name; the mail name itself (in any case); another mailbox.
    for (const char* alias : {"s@x.test", "s s", "s,t", "s\x01", "s/t", "..", "", "INFO", "bob"}) {
        for (const char* command : {"--add-alias", "--remove-alias"}) {
            refused.push_back({command, kD, kM, std::string("--alias=") + alias});
        }
    }
    for (const char* name : {"in fo", "in/fo", "../info", "a,b", "in\nfo"}) {
        const std::string m = std::string("--mailname=") + name;
        refused.push_back({"--add-redirect", kD, m, "--redirect-email=x@y.test"});
        refused.push_back({"--add-alias", kD, m, "--alias=sales"});
        if (std::string(name).find_first_of(", ") == std::string::npos) {
            refused.push_back({"--set-autoresponder", kD, m});  // lists there
        }
        refused.push_back(
            {"--add-attachment", kD, m, "--file-name=/etc/hostname", "--attachment-file-name=a"});
    }
    for (const char* name : {"", "..", "a/b", "../kept"}) {
        const std::string a = std::string("--attachment-file-name=") + name;
        refused.push_back({"--add-attachment", kD, kM, "--file-name=/etc/hostname", a});
        refused.push_back({"--remove-attachment", kD, kM, a});
    }
    for (const char* source : {"/tmp/d", "/tmp/hard", "/tmp/link", "/tmp/fifo", "/tmp/none"}) {
        refused.push_back({"--add-attachment", kD, kM, std::string("--file-name=") + source,
                           "--attachment-file-name=kept"});
    }
    refused.push_back({"--set-autoresponder", "--domain-name=a.test, b/c.test", kM});
    refused.push_back({"--set-autoresponder", "--domain-name=, ", kM});
    for (const Args& args : refused) {
        RunResult r = run(args, 1);
        EXPECT_THAT(r.err, ::testing::Not(::testing::IsEmpty())) << ::testing::PrintToString(args);
        ASSERT_EQ(before, serverState()) << ::testing::PrintToString(args);
    }
}

TEST_F(ForwardingTest, AutoresponderHookRecordsComeAndGoAllAtOnce) {
    const std::string exec = "/usr/local/oru/handlers/hooks/autoresponder";
    auto hook = [&](const std::string& address) {
        return ElementsAre("90", "1", "2", "autoresponder", address, exec, "responder", "1");
    };
    sqliteQuery(MH_DB_PATH, "DELETE FROM handlers");
    const Args set = {"--set-autoresponder", "--domain-name=example.test bücher.test",
                      "--mailname=info, sales"};
    run(set);
    run(set);
    EXPECT_THAT(sqliteQuery(MH_DB_PATH, kHandlerRows),
                ElementsAre(hook("info@example.test"), hook("info@xn--bcher-kva.test"),
                            hook("sales@example.test"), hook("sales@xn--bcher-kva.test")));

    run({"--reset-autoresponder", "--domain-name=bücher.test", "--mailname=info,sales"});
    EXPECT_THAT(sqliteQuery(MH_DB_PATH, kHandlerRows),
                ElementsAre(hook("info@example.test"), hook("sales@example.test")));
    run({"--reset-autoresponder", kD, "--mailname=info sales"});
    run({"--reset-autoresponder", kD, "--mailname=info sales"});
    EXPECT_THAT(sqliteQuery(MH_DB_PATH, kHandlerRows), ::testing::IsEmpty());

    // An address too long for a record: none of the pairs is stored.
    run({"--set-autoresponder", kD, "--mailname=info," + std::string(250, 'x')}, 255);
    EXPECT_THAT(sqliteQuery(MH_DB_PATH, kHandlerRows), ::testing::IsEmpty());
}

TEST_F(ForwardingTest, HandlersDatabaseFailuresShowAs255AndAuthenticationFailuresAs1) {
    sqliteQuery(MH_DB_PATH, "DROP TABLE handlers");
    run({"--set-autoresponder", kD, kM}, 255);
    run({"--reset-autoresponder", kD, kM}, 255);
    // The tables and the login are done before the handlers fail.
    run({"--add-alias", kD, kM, "--alias=sales"}, 255);
    EXPECT_EQ("info@example.test", tableLookup("virtual", "sales@example.test"));
    EXPECT_EQ("s3cret", mailPassword("sales@example.test").first);
    run({"--remove-alias", kD, kM, "--alias=sales"}, 255);

    const std::string authDb = "/var/spool/postfix/marun/passwd.db";
    ASSERT_EQ(0, rename(authDb.c_str(), (authDb + ".away").c_str()));
    run({"--add-alias", kD, kM, "--alias=sales"}, 1);
    EXPECT_EQ("info@example.test", tableLookup("virtual", "sales@example.test"));
}

TEST_F(ForwardingTest, AttachmentsAreStoredListedAndRemoved) {
    writeFile("/tmp/upload", "hello");
    const std::string temp = kHome + "/.attachment.tmp";
    writeFile(temp, "left by a killed run");
    auto add = [&](const std::string& name) {
        run({"--add-attachment", kD, kM, "--file-name=/tmp/upload",
             "--attachment-file-name=" + name});
    };
    add("a b.txt");
    writeFile("/tmp/upload", "x");
    add("one");
    EXPECT_EQ("x", readFile(kAttachments + "/one"));
    EXPECT_EQ("root:root", fileOwner(kAttachments + "/one"));
    EXPECT_EQ(0644u, fileMode(kAttachments + "/one"));
    EXPECT_FALSE(pathExists(temp));
    // Replaced whole; links and directories are not attachments.
    writeFile("/tmp/upload", "hello!");
    add("a b.txt");
    ASSERT_EQ(0, symlink("/etc/shadow", (kAttachments + "/link").c_str()));
    ASSERT_EQ(0, mkdir((kAttachments + "/dir").c_str(), 0755));

    const Args list = {"--list-attachments", kD, kM};
    EXPECT_EQ(lines("a b.txt\t6\none\t1\n"), lines(run(list).out));
    struct stat st {};
    ASSERT_EQ(0, stat((kAttachments + "/one").c_str(), &st));
    EXPECT_EQ(lines(kAttachments + "/a b.txt\t" + std::to_string(st.st_blocks * 512) + "\n" +
                    kAttachments + "/one\t" + std::to_string(st.st_blocks * 512) + "\n"),
              lines(run({"--list-attachments", "--in-blocks", "--fullname", kD, kM}).out));

    // All mailboxes of the domain, whether they have attachments or not.
    writeFile(kDomainDir + "/bob/@attachments/b", "bb");
    std::set<std::string> all = lines(run({"--list-attachments", kD, "--mail-all"}).out);
    EXPECT_EQ(lines("a b.txt\t6\none\t1\nb\t2\n"), all);
    ASSERT_EQ(0, unlink((kDomainDir + "/bob/@attachments/b").c_str()));
    ASSERT_EQ(0, rmdir((kDomainDir + "/bob/@attachments").c_str()));
    RunResult r = run({"--list-attachments", kD, "--mail-all"});
    EXPECT_THAT(r.err, HasSubstr("Unable to open dir " + kDomainDir + "/bob/@attachments"));
    run({"--list-attachments", kD, "--mailname=bob"}, 1);
    // The directory is the mail name's: never made here.
    run({"--add-attachment", kD, "--mailname=bob", "--file-name=/tmp/upload",
         "--attachment-file-name=n"},
        1);
    EXPECT_FALSE(pathExists(kDomainDir + "/bob/@attachments"));

    const Args remove = {"--remove-attachment", kD, kM, "--attachment-file-name=a b.txt"};
    run(remove);
    run(remove);
    run({"--remove-attachment", kD, "--mailname=bob", "--attachment-file-name=n"});
    EXPECT_EQ(lines("one\t1\n"), lines(run(list).out));

    RunResult neither = run({"--list-attachments", kD}, 1);
    EXPECT_THAT(neither.err, HasSubstr("neither --mailname nor --mail-all are specified"));
    RunResult both = run({"--list-attachments", kD, kM, "--mail-all"}, 1);
    EXPECT_THAT(both.err, HasSubstr("you should not use --mailname and --mail-all together"));
}

}  // namespace
}  // namespace kvarn_test
