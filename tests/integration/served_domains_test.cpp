// Domain aliases, catch-all and reject through the real Postfix on kvarn's
// tables, and a running Postfix seeing at once every change of which
// domains it serves.
#include <chrono>
#include <string>

#include "integration/panel_server.h"

namespace kvarn_test {
namespace {

using ::testing::HasSubstr;
using namespace std::chrono_literals;

const std::string INFO_MAILDIR = std::string(kMailRoot) + "/a.test/info/Maildir";

// Mail from 127.0.0.1 for a domain Postfix does not serve is refused at
// RCPT rather than relayed, so that a domain that stopped being served shows.
const std::map<std::string, std::string> NO_RELAY = {
    {"mynetworks", "192.0.2.1/32"},
    {"smtpd_relay_restrictions", "reject_unauth_destination"},
};

class ServedDomainsTest : public PanelServerTest {
  protected:
    // a.test served, with the mailbox "info" and the further mail names
    // given, and b.test as its alias in the panel.
    void SetUp() override {
        PanelServerTest::SetUp();
        const int dom = seedDomain("a.test");
        seedDomainAlias(dom, "b.test");
        runKvarnChecked({"--add-domain", "--domain-name=a.test"});
        for (const char* name : {"info", "n1", "n2", "n3", "n4"}) {
            seedMail(dom, name);
            runKvarnChecked(
                {"--add-mailname", "--domain-name=a.test", std::string("--mailname=") + name});
        }
        runKvarnChecked({"--add-mailbox", "--domain-name=a.test", "--mailname=info"},
                        {{"ORU_PASSWORD", "s3cret"}});
    }
};

TEST_F(ServedDomainsTest, AliasMailLandsInTheDomainAndCatchallTakesUnknownNamesUntilReject) {
    runKvarnChecked({"--add-domain-alias", "--domain-name=a.test", "--domain-alias-name=b.test",
                     "--set-catchall", "--email=info@a.test"});
    startMailServer(NO_RELAY);

    SmtpSession sent = sendMail(
        {"someone@sender.test", {"info@b.test", "nobody@b.test"}, messageText("alias-marker")});
    ASSERT_TRUE(sent.accepted()) << sent;
    auto delivered = waitForMessage(INFO_MAILDIR, "alias-marker");
    ASSERT_TRUE(delivered) << postfixLog();
    EXPECT_THAT(delivered->content, HasSubstr("Delivered-To: info@a.test"));

    runKvarnChecked({"--set-reject", "--domain-name=a.test"});
    SmtpReply refused = waitForRcptRefused("other@b.test");
    EXPECT_EQ(550, refused.code) << refused << "\n" << postfixLog();
    EXPECT_EQ(250, probeRcpt("n1@b.test").code);
}

TEST_F(ServedDomainsTest, EveryChangeOfTheServedDomainsShowsAtOnce) {
    startMailServer(NO_RELAY);
    // Postfix has read which domains it serves.
    ASSERT_EQ(250, probeRcpt("info@a.test").code);
    ASSERT_EQ(554, probeRcpt("info@b.test").code);

    // Each address is asked for only once: Postfix remembers answers.
    const auto soon = 5s;
    runKvarnChecked({"--turn-off-domain", "--domain-name=a.test"});
    EXPECT_EQ(554, waitForRcptRefused("n1@a.test", soon).code) << postfixLog();
    runKvarnChecked({"--turn-on-domain", "--domain-name=a.test"});
    EXPECT_EQ(250, probeRcpt("n2@a.test").code) << postfixLog();
    runKvarnChecked({"--add-domain-alias", "--domain-name=a.test", "--domain-alias-name=b.test",
                     "--set-reject"});
    EXPECT_EQ(250, probeRcpt("n3@b.test").code) << postfixLog();
    runKvarnChecked({"--del-domain-alias", "--domain-name=a.test", "--domain-alias-name=b.test"});
    EXPECT_EQ(554, waitForRcptRefused("n4@b.test", soon).code) << postfixLog();
}

}  // namespace
}  // namespace kvarn_test
