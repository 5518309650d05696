// Mail lists read from the real panel database, the failures of the
// authentication changes propagated over domain aliases (the changes
// themselves show in the command tests), and the panel's misc settings.
#include <cstdlib>
#include <string>
#include <vector>

#include "harness/kvarn_harness.h"
#include "lib/db_connect.h"
#include "lib/string_list.h"
#include "mail/lib/mail_auth.h"
#include "mail/lib/mail_auth_location.h"
#include "mail/lib/mail_panel_queries.h"
#include "mail/restore.h"
#include "unit/log_match.h"
#include "unit/test_support.h"
#include "util/mysql.h"

namespace kvarn_test {
namespace {

using kvarn_unit::logged;
using kvarn_unit::loggedPart;
using Names = std::vector<std::string>;

const char kAuthDB[] = "/var/spool/postfix/marun/passwd.db";

// Takes a string list and frees it.
Names take(char** list) {
    Names names;
    for (char** item = list; item != nullptr && *item != nullptr; ++item) {
        names.push_back(*item);
    }
    free_array(list);
    return names;
}

// A domain with two domain aliases and a mail name with one mail alias; an
// empty mail authentication database at the Postfix spool.
class PanelMailQueriesTest : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        mailAuthDBSelectStyle(MAIL_AUTH_DB_POSTFIX_STYLE);
        ASSERT_EQ(0, mailAuthDBInit());
        ASSERT_EQ(0, mailAuthKeyInit());
        const int domain = seedDomain("example.test");
        seedDomainAlias(domain, "alias1.test");
        seedDomainAlias(domain, "alias2.test");
        seedMailAlias(seedMail(domain, "info"), "sales");
        seedMail(domain, "bob");
        seedDomain("lonely.test");
    }

    // Every user of the authentication database as address|domain status.
    Names authUsers() {
        Names names;
        for (const auto& row :
             sqliteQuery(kAuthDB,
                         "SELECT u.name || '@' || d.name, d.status FROM users u JOIN "
                         "domains d ON u.dom_id = d.id ORDER BY d.name, u.name")) {
            names.push_back(row[0] + "|" + row[1]);
        }
        return names;
    }
};

TEST_F(PanelMailQueriesTest, ListsComeInServerOrderAndNoRowsGiveNoList) {
    char** list = nullptr;
    ASSERT_EQ(0, get_domaliases_by_domain(nullptr, &list, "example.test"));
    EXPECT_EQ((Names{"alias1.test", "alias2.test"}), take(list));

    // A connection of the caller's is used and left open.
    MYSQL* connection = db_connect();
    ASSERT_NE(nullptr, connection);
    // Quotes in names stay inside the literal: no rows, no list.
    list = nullptr;
    ASSERT_EQ(0, get_mailnames_by_domain(connection, &list, "x' OR '1'='1"));
    EXPECT_EQ(nullptr, list);
    mysql_close(connection);

    char* domain = nullptr;
    ASSERT_EQ(0, get_domain_by_domainalias(nullptr, &domain, "alias2.test"));
    EXPECT_STREQ("example.test", domain);
    std::free(domain);
}

TEST_F(PanelMailQueriesTest, QueriesWithoutRowsOrWithErrors) {
    kvarn_unit::LogCapture log;
    char** list = nullptr;
    EXPECT_EQ(0, exec_mysql_query(nullptr, "SET @unused = 1", &list));
    EXPECT_EQ(nullptr, list);
    EXPECT_EQ(-1, exec_mysql_query(nullptr, "SELEKT nothing", &list));
    EXPECT_TRUE(loggedPart(log, "Failed to exec query, Error: You have an error in your SQL"))
        << log.all();

    panelExec("DROP TABLE domainaliases");
    EXPECT_EQ(-1, get_domaliases_by_domain(nullptr, &list, "example.test"));
    EXPECT_TRUE(logged(log, "Unable to get domain aliases from database for: example.test"));
    EXPECT_EQ(nullptr, list);
}

TEST_F(PanelMailQueriesTest, FailureOnTheSecondAliasKeepsTheFirst) {
    sqliteQuery(kAuthDB,
                "CREATE TRIGGER refuse BEFORE INSERT ON domains WHEN NEW.name = 'alias2.test' "
                "BEGIN SELECT RAISE(ABORT, 'refused by test'); END");
    kvarn_unit::LogCapture log;
    EXPECT_EQ(-1, set_passwd_for_domains("info", "example.test", "Secret-Value-42", 0));
    EXPECT_EQ((Names{"info@alias1.test|0", "info@example.test|0"}), authUsers());
    EXPECT_TRUE(logged(log, "No such domain 'alias2.test' in the mail authentication DB"))
        << log.all();
    for (const auto& message : log.messages()) {
        EXPECT_EQ(std::string::npos, message.text.find("Secret-Value-42")) << message.text;
    }
}

TEST_F(PanelMailQueriesTest, MiscSettingsAsFieldsAndFlags) {
    using marun::mail::restore::getBoolMiscParamSafe;
    using marun::mail::restore::getStringMiscParam;
    seedMisc("capitalised", "True");
    panelExec("INSERT INTO misc (param, val) VALUES ('empty', NULL)");

    // Only "true" is true; a missing or NULL value gives the default.
    marun::mysql::Connection connection(true);
    EXPECT_FALSE(getBoolMiscParamSafe("capitalised", connection, true));
    EXPECT_TRUE(getBoolMiscParamSafe("empty", connection, true));
    // A quote in the name cannot leave the literal.
    EXPECT_TRUE(getStringMiscParam("x' OR '1'='1", connection).isNull());

    panelExec("DROP TABLE misc");
    testing::internal::CaptureStderr();
    EXPECT_TRUE(getBoolMiscParamSafe("message_submission", connection, true));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, err.find("Warning: MySQL Error on Mail Authentication Type query: MySQL error "))
        << err;
    EXPECT_NE(std::string::npos, err.find(", ignored\n")) << err;
}

TEST_F(PanelMailQueriesTest, UnreachablePanelDatabaseStopsAfterThePrimaryChange) {
    writeFile(kShadowFile, "wrong-password\n", 0600);
    kvarn_unit::LogCapture log;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    int result = set_passwd_for_domains("info", "example.test", "pw", 0);
    testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(-1, result);
    EXPECT_EQ((Names{"info@example.test|0"}), authUsers());
    EXPECT_TRUE(logged(log, "Unable to get domain aliases for domain example.test")) << log.all();
    EXPECT_NE(std::string::npos, err.find("Unable to connect to Marun Database")) << err;
}

}  // namespace
}  // namespace kvarn_test
