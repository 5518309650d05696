// ".qmail" delivery files in the sandbox, below what the commands show: the
// old delivery form, owner popuser and mode 0600 after every change, and the
// plain-function wrappers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "harness/kvarn_harness.h"
#include "mail/dotqmail_manager.h"
#include "mail/lib/dotqmail.h"
#include "mail/maildir_manager.h"

namespace kvarn_test {
namespace {

using marun::mail::DotQMailManager;
using marun::mail::MaildirManager;

const std::string kDelivery = "| /usr/bin/deliverquota ./Maildir\n";

class DotQMailTest : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        MaildirManager::getInstance().createDomainRoot("example.com");
        MaildirManager::getInstance().createMailnameHome("example.com", "info");
    }

    std::string home() const { return std::string(kMailRoot) + "/example.com/info"; }
    std::string path() const { return home() + "/.qmail"; }

    // Runs one change and checks the file's owner and mode after it.
    template <typename Change>
    void change(Change&& step) {
        testing::internal::CaptureStdout();
        step();
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ("", out);
        EXPECT_EQ("popuser:popuser", fileOwner(path()));
        EXPECT_EQ(0600u, fileMode(path()));
    }
};

TEST_F(DotQMailTest, DeliveryLineIsNeverDoubledAndReplacesTheOldForm) {
    writeFile(path(), "./Maildir/\n&a@example.org\n", 0644);
    DotQMailManager qmail(home());
    change([&] { qmail.enableDelivery(); });
    change([&] { qmail.enableDelivery(); });
    EXPECT_EQ("&a@example.org\n" + kDelivery, readFile(path()));
    change([&] { qmail.disableDelivery(); });
    EXPECT_EQ("&a@example.org\n", readFile(path()));
}

TEST_F(DotQMailTest, WrappersByMailnameAndDomain) {
    MaildirManager::getInstance().createDomainRoot("xn--bcher-kva.example");
    MaildirManager::getInstance().createMailnameHome("xn--bcher-kva.example", "info");
    const std::string file = std::string(kMailRoot) + "/xn--bcher-kva.example/info/.qmail";
    ASSERT_EQ(0, add_mailname_delivery("info", "bücher.example"));
    ASSERT_EQ(0, add_mn_forward("info", "bücher.example", "x@bücher.example"));
    EXPECT_EQ(kDelivery + "&x@xn--bcher-kva.example\n", readFile(file));
    ASSERT_EQ(0, rm_mn_forward("info", "bücher.example", "x@bücher.example"));
    ASSERT_EQ(0, remove_mailname_delivery("info", "bücher.example"));
    EXPECT_EQ("", readFile(file));
    EXPECT_EQ("popuser:popuser", fileOwner(file));
    EXPECT_EQ(0600u, fileMode(file));

    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, add_mailname_delivery("..", "example.com"));
    testing::internal::GetCapturedStdout();
}

}  // namespace
}  // namespace kvarn_test
