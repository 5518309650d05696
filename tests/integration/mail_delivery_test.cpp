// Mail through the real Postfix on the tables kvarn keeps: a mailbox that
// kvarn made receives mail over SMTP, an address it does not know is
// refused, and a mail name it removed or renamed is refused once Postfix
// noticed, which a running Postfix does by itself, even for two changes
// within one second.
#include <ctime>

#include <chrono>
#include <string>
#include <thread>

#include "integration/panel_server.h"

namespace kvarn_test {
namespace {

using ::testing::HasSubstr;

using MailDeliveryTest = PanelServerTest;

TEST_F(MailDeliveryTest, PostfixDeliversIntoAMailboxKvarnMadeAndRefusesWhatKvarnRemoved) {
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

    runKvarnChecked({"--remove-mailname", "--domain-name=example.test", "--mailname=info"});
    SmtpReply refused = waitForRcptRefused("info@example.test");
    EXPECT_EQ(refused.code, 550) << refused << "\n" << postfixLog();
}

TEST_F(MailDeliveryTest, RunningPostfixSeesARewrittenTableAndTwoChangesWithinOneSecond) {
    seedMail(seedDomain("example.test"), "info");
    runKvarnChecked({"--add-domain", "--domain-name=example.test"});
    runKvarnChecked({"--add-mailname", "--domain-name=example.test", "--mailname=info"});
    startMailServer();
    ASSERT_EQ(probeRcpt("info@example.test").code, 250) << postfixLog();

    // The rename rewrites both tables: new files replace the old ones.
    runKvarnChecked({"--rename-mailname", "--domain-name=example.test", "--old-mailname=info",
                     "--new-mailname=contact"});
    SmtpReply refused = waitForRcptRefused("info@example.test", std::chrono::seconds(3));
    EXPECT_EQ(refused.code, 550) << refused << "\n" << postfixLog();
    EXPECT_EQ(probeRcpt("contact@example.test").code, 250);

    // A mail name added, accepted (so Postfix has read the tables as they
    // are) and removed again, all within one second: the removal shows.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        std::this_thread::sleep_for(std::chrono::seconds(1) -
                                    (now - std::chrono::duration_cast<std::chrono::seconds>(now)));
        const time_t second = ::time(nullptr);
        runKvarnChecked({"--add-mailname", "--domain-name=example.test", "--mailname=quick"});
        ASSERT_EQ(probeRcpt("quick@example.test").code, 250);
        runKvarnChecked({"--remove-mailname", "--domain-name=example.test", "--mailname=quick"});
        if (::time(nullptr) == second) {
            break;
        }
    }
    refused = waitForRcptRefused("quick@example.test", std::chrono::seconds(3));
    EXPECT_EQ(refused.code, 550) << refused << "\n" << postfixLog();
}

}  // namespace
}  // namespace kvarn_test
