// DomainManager against the real postmap, mail tree and panel database:
// disabled domains, removal modes, and the domain rename (no command
// offers it) with its undo when a step fails.
#include "postfix/domain_manager.h"

#include <boost/filesystem/operations.hpp>
#include <string>
#include <vector>

#include "harness/kvarn_harness.h"
#include "integration/domain_test_records.h"
#include "mail/maildir_manager.h"

namespace kvarn_test {
namespace {

using marun::mail::MaildirManager;
using marun::mail::postfix::DomainManager;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

const std::string MAIL_ROOT = "/var/qmail/mailnames";

// The host's alias-domain records as the managers write them.
Records hostRecords(const std::string& host) {
    return plus({{host, "1"}}, standardRecords(host));
}

std::vector<Records> snapshot() {
    return {tableRecords("virtual_domains"), tableRecords("virtual"), tableRecords("vmailbox"),
            tableRecords("aliases")};
}

TEST_F(SandboxTest, DisabledDomainGetsItsAddressesButIsNotServed) {
    DomainManager::createDomain("a.test", true);
    EXPECT_THAT(tableRecords("virtual_domains"), IsEmpty());
    EXPECT_EQ(tableRecords("virtual"), standardRecords("a.test"));
    EXPECT_TRUE(pathExists(MAIL_ROOT + "/a.test"));
}

// a.test served with a mailbox, its tree and an alias b.test; a.testing,
// whose name starts with the same letters.
void seedRenamedDomains() {
    DomainManager::createDomain("a.test", false);
    DomainManager::createDomainAlias("a.test", "b.test");
    MaildirManager::getInstance().createMailnameHome("a.test", "info");
    seedTable("virtual", {{"info@a.test", "info@a.test"},
                          {"info@b.test", "info@a.test"},
                          {"x@a.testing", "x@a.testing, info@a.test"}});
    seedTable("vmailbox",
              {{"info@a.test", "a.test/info/Maildir/"}, {"x@a.testing", "a.testing/x/Maildir/"}});
    seedTable("virtual_domains", {{"a.testing", "a.testing/"}});
}

TEST_F(SandboxTest, RenamedDomainMovesItsRecordsAndMailTree) {
    seedRenamedDomains();
    DomainManager::renameDomain("a.test", "n.test");
    EXPECT_EQ(tableRecords("virtual_domains"),
              (Records{{"a.testing", "a.testing/"}, {"n.test", "n.test/"}}));
    EXPECT_EQ(tableRecords("virtual"),
              plus(plus(standardRecords("n.test"), standardRecords("b.test")),
                   {{"b.test", "1"},
                    {"info@n.test", "info@n.test"},
                    {"info@b.test", "info@n.test"},
                    {"x@a.testing", "x@a.testing, info@n.test"}}));
    EXPECT_EQ(tableRecords("vmailbox"), (Records{{"info@n.test", "n.test/info/Maildir/"},
                                                 {"x@a.testing", "a.testing/x/Maildir/"}}));
    EXPECT_THAT(listDir(MAIL_ROOT), ElementsAre("n.test"));
    EXPECT_TRUE(pathExists(MAIL_ROOT + "/n.test/info/Maildir"));
}

TEST_F(SandboxTest, FailedDirectoryRenameRestoresTheTables) {
    // The new name is the host's: its records are dropped and come back too.
    setHostname("n.test");
    seedTable("virtual", hostRecords("n.test"));
    seedRenamedDomains();
    const std::vector<Records> before = snapshot();
    // The target exists and is not empty: the directory cannot be renamed.
    boost::filesystem::create_directories(MAIL_ROOT + "/n.test/kept");

    testing::internal::CaptureStderr();
    EXPECT_THROW(DomainManager::renameDomain("a.test", "n.test"),
                 boost::filesystem::filesystem_error);
    EXPECT_EQ("", testing::internal::GetCapturedStderr());
    EXPECT_EQ(before, snapshot());
    EXPECT_TRUE(pathExists(MAIL_ROOT + "/a.test/info/Maildir"));
}

TEST_F(SandboxTest, RemovalModesAndSubdomains) {
    DomainManager::createDomain("a.test", false);
    MaildirManager::getInstance().createMailnameHome("a.test", "info");
    seedTable("vmailbox", {{"info@a.test", "a.test/info/Maildir/"}});
    seedTable("virtual",
              {{"info@sub.a.test", "y@z.test"}, {"x@z.test", "info@sub.a.test, z@z.test"}});
    DomainManager::removeDomain("a.test", marun::mail::ON_REMOVAL_BACKUP);
    std::vector<std::string> names = listDir(MAIL_ROOT);
    ASSERT_EQ(1u, names.size());
    EXPECT_THAT(names[0], StartsWith("a.test.MarunSaved."));
    EXPECT_TRUE(pathExists(MAIL_ROOT + "/" + names[0] + "/info/Maildir"));
    EXPECT_THAT(tableRecords("virtual_domains"), IsEmpty());
    EXPECT_THAT(tableRecords("vmailbox"), IsEmpty());
    EXPECT_EQ(2u, tableRecords("virtual").size());

    DomainManager::removeDomainReferences("a.test", true);
    EXPECT_EQ(tableRecords("virtual"), (Records{{"x@z.test", "z@z.test"}}));
}

}  // namespace
}  // namespace kvarn_test
