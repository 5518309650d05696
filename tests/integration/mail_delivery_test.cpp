// Mail names through the real Postfix on the tables kvarn keeps (delivery
// itself shows in the served domains and package tests): a mail name kvarn
// removed or renamed is refused once Postfix noticed, which a running
// Postfix does by itself, even for two changes within one second.
#include <ctime>

#include <chrono>
#include <string>
#include <thread>

#include "integration/panel_server.h"

namespace kvarn_test {
namespace {

using MailDeliveryTest = PanelServerTest;

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
