// The mail name manager's operations that no command reaches on its own
// (the rename under one domain alias, the removal modes), driven in this
// process against the real tables, panel database and mail tree; and the
// key lookup the rename relies on.
#include <sys/stat.h>

#include <string>

#include "harness/kvarn_harness.h"
#include "mail/maildir_manager.h"
#include "postfix/database_helper.h"
#include "postfix/errors.h"
#include "postfix/mailname_manager.h"

namespace kvarn_test {
namespace {

using marun::mail::MaildirManager;
using marun::mail::postfix::DatabaseHelper;
using marun::mail::postfix::MailnameManager;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Pair;

const std::string kHome = std::string(kMailRoot) + "/example.test/info";

// example.test with the aliases alias1.test and alias2.test in the panel,
// and its mail name info created.
class MailnameManagerTest : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        int domain = seedDomain("example.test");
        seedDomainAlias(domain, "alias1.test");
        seedDomainAlias(domain, "alias2.test");
        seedMail(domain, "info");
        MaildirManager::getInstance().createDomainRoot("example.test");
        MailnameManager::createMailname("example.test", "info", -1);
    }
};

TEST_F(MailnameManagerTest, RenameUnderOneDomainAliasTouchesOnlyThatAddress) {
    runChecked({"postmap", "-r", "-i", tableSpec("virtual")}, {},
               "list@example.test info@alias1.test info@alias2.test\n");
    MailnameManager::renameMailnameOnDomainAlias("alias1.test", "info", "info2");
    EXPECT_THAT(tableRecords("virtual"),
                ElementsAre(Pair("info2@alias1.test", "info@example.test"),
                            Pair("info@alias2.test", "info@example.test"),
                            Pair("info@example.test", "info@example.test"),
                            Pair("list@example.test", "info2@alias1.test, info@alias2.test")));
    EXPECT_THAT(tableRecords("vmailbox"), ElementsAre(Pair("info@example.test", testing::_)));
}

TEST_F(MailnameManagerTest, RemovalModes) {
    MailnameManager::createMailAlias("example.test", "info", "sales");
    const auto aliasRecords = ElementsAre(Pair("sales@alias1.test", "info@example.test"),
                                          Pair("sales@alias2.test", "info@example.test"),
                                          Pair("sales@example.test", "info@example.test"));

    // Keep: the records go, the files stay; mail aliases are not touched.
    MailnameManager::removeMailname("example.test", "info", marun::mail::ON_REMOVAL_KEEP);
    EXPECT_THAT(tableRecords("vmailbox"), IsEmpty());
    EXPECT_THAT(tableRecords("virtual"), aliasRecords);
    EXPECT_TRUE(pathExists(kHome + "/Maildir"));

    // Backup: moved aside under its inode number.
    struct stat st {};
    ASSERT_EQ(0, stat(kHome.c_str(), &st));
    MailnameManager::createMailname("example.test", "info");
    MailnameManager::removeMailname("example.test", "info", marun::mail::ON_REMOVAL_BACKUP);
    EXPECT_FALSE(pathExists(kHome));
    EXPECT_TRUE(pathExists(kHome + ".MarunSaved." + std::to_string(st.st_ino) + "/Maildir"));
}

TEST_F(MailnameManagerTest, KeyLookupOverSeveralTables) {
    const std::vector<std::string> tables = {tableSpec("vmailbox"), tableSpec("virtual")};
    EXPECT_TRUE(DatabaseHelper::hasKey(tables, "info@alias2.test"));
    // "-" is a key like any other, not "read standard input".
    EXPECT_FALSE(DatabaseHelper::hasKey(tables, "-"));
    EXPECT_THROW(DatabaseHelper::hasKey({tableSpec("no_such_table")}, "info@example.test"),
                 marun::mail::postfix::PostfixDatabaseError);
}

}  // namespace
}  // namespace kvarn_test
