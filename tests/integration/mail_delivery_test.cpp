// Mail through the real Postfix on the tables kvarn keeps: a mailbox that
// kvarn made receives mail over SMTP, also through a mail alias, an address
// it does not know is refused, and a mail alias or mail name it removed is
// refused once Postfix noticed.
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include "harness/kvarn_harness.h"
#include "mail/lib/mail_auth.h"
#include "mail/lib/mail_auth_location.h"
#include "mail/lib/mail_handlers.h"

namespace kvarn_test {
namespace {

using ::testing::HasSubstr;

TEST_F(SandboxTest, PostfixDeliversIntoAMailboxAndAliasKvarnMadeAndRefusesWhatKvarnRemoved) {
    // What the panel's installation sets up: the authentication and mail
    // handlers databases.
    ASSERT_EQ(0, mailAuthDBInitStyle(MAIL_AUTH_DB_POSTFIX_STYLE));
    sqlite3* handlers = nullptr;
    ASSERT_EQ(SQLITE_OK, sqlite3_open(MH_DB_PATH, &handlers));
    ASSERT_EQ(SQLITE_OK, sqlite3_exec(handlers, MH_DB_SCHEMA_SQL, nullptr, nullptr, nullptr));
    sqlite3_close(handlers);
    const int domain = seedDomain("example.test");
    seedMail(domain, "info");
    RunResult r = runKvarn({"--add-domain", "--domain-name=example.test"});
    ASSERT_TRUE(r.succeeded()) << r;
    r = runKvarn({"--add-mailname", "--domain-name=example.test", "--mailname=info"});
    ASSERT_TRUE(r.succeeded()) << r;
    r = runKvarn({"--add-mailbox", "--domain-name=example.test", "--mailname=info"},
                 {{"ORU_PASSWORD", "s3cret"}});
    ASSERT_TRUE(r.succeeded()) << r;
    startMailServer();

    SmtpSession sent = sendMail({"someone@sender.test",
                                 {"info@example.test", "nobody@example.test"},
                                 messageText("delivery-marker-1")});
    ASSERT_TRUE(sent.accepted()) << sent;
    ASSERT_EQ(sent.rcpt.size(), 2u);
    EXPECT_EQ(sent.rcpt[0].code, 250) << sent;
    EXPECT_EQ(sent.rcpt[1].code, 550) << sent;
    EXPECT_THAT(sent.rcpt[1].text, HasSubstr("User unknown")) << sent;

    auto delivered =
        waitForMessage(std::string(kMailRoot) + "/example.test/info/Maildir", "delivery-marker-1");
    ASSERT_TRUE(delivered) << postfixLog();
    EXPECT_THAT(delivered->content, HasSubstr("Delivered-To: info@example.test"));
    EXPECT_EQ(fileOwner(delivered->path), "popuser:popuser");

    // A mail alias delivers into the same Maildir until it is removed.
    r = runKvarn({"--add-alias", "--domain-name=example.test", "--mailname=info", "--alias=sales"});
    ASSERT_TRUE(r.succeeded()) << r;
    sent = sendMail({"someone@sender.test", {"sales@example.test"}, messageText("alias-marker")});
    ASSERT_TRUE(sent.accepted()) << sent;
    delivered =
        waitForMessage(std::string(kMailRoot) + "/example.test/info/Maildir", "alias-marker");
    ASSERT_TRUE(delivered) << postfixLog();
    EXPECT_THAT(delivered->content, HasSubstr("Delivered-To: info@example.test"));
    // Postfix sees an in-place change only in a later second than the last.
    struct stat table {};
    while (stat((std::string(kTablesDir) + "/virtual.db").c_str(), &table) == 0 &&
           time(nullptr) <= table.st_mtime) {
        usleep(50000);
    }
    r = runKvarn(
        {"--remove-alias", "--domain-name=example.test", "--mailname=info", "--alias=sales"});
    ASSERT_TRUE(r.succeeded()) << r;
    EXPECT_EQ(waitForRcptRefused("sales@example.test").code, 550) << postfixLog();

    RunResult removed =
        runKvarn({"--remove-mailname", "--domain-name=example.test", "--mailname=info"});
    ASSERT_TRUE(removed.succeeded()) << removed;
    SmtpReply refused = waitForRcptRefused("info@example.test");
    EXPECT_EQ(refused.code, 550) << refused << "\n" << postfixLog();
}

}  // namespace
}  // namespace kvarn_test
