// The panel database connection against the sandbox's MariaDB server: the
// administrator's password file, query building with escaping, results and
// error texts, and the domain limit lookup.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "harness/kvarn_harness.h"
#include "lib/db_connect.h"
#include "lib/dom_limit.h"
#include "util/mysql.h"

namespace kvarn_test {
namespace {

using marun::mysql::Connection;
using marun::mysql::mError;
using marun::mysql::Query;
using marun::mysql::Result;

class PanelDbTest : public SandboxTest {};

// Opens a connection with the plain function and returns what went wrong.
std::string connectError() {
    char errbuf[DB_ERRBUF_SIZE] = {};
    MYSQL* my = marun_db_connect(errbuf, sizeof errbuf);
    if (my != nullptr) {
        mysql_close(my);
        return "";
    }
    return errbuf;
}

std::string onlyValue(Connection& conn, const std::string& column) {
    Result result = conn << Query::fetch;
    Result::row_t row;
    EXPECT_TRUE(result.fetch(&row));
    std::string value = row[column].value();
    EXPECT_FALSE(result.fetch(&row));
    return value;
}

TEST_F(PanelDbTest, PasswordFileDecidesTheConnection) {
    // The first line counts, with or without its newline.
    EXPECT_EQ("", connectError());
    writeFile(kShadowFile, panelPassword(), 0600);
    EXPECT_EQ("", connectError());

    writeFile(kShadowFile, "", 0600);
    EXPECT_EQ(0u, connectError().rfind("Unable to read admin password file: ", 0));

    writeFile(kShadowFile, "wrong\n", 0600);
    std::string denied = connectError();
    EXPECT_EQ(0u, denied.rfind("Unable to connect to Marun Database: ", 0)) << denied;
    EXPECT_EQ(std::string::npos, denied.find("wrong")) << "the password leaked: " << denied;

    ASSERT_EQ(0, unlink(kShadowFile));
    testing::internal::CaptureStdout();
    MYSQL* my = db_connect();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(nullptr, my);
    EXPECT_EQ(std::string("Unable to open admin password file: ") + std::strerror(ENOENT) + "\n",
              out);
    testing::internal::CaptureStdout();
    EXPECT_THAT([] { Connection conn(true); },
                testing::ThrowsMessage<mError>(testing::StrEq("connection failed")));
    testing::internal::GetCapturedStdout();
}

TEST_F(PanelDbTest, QueriesFetchRowsByColumnName) {
    Connection conn;
    Result::row_t row;
    // Full lengths (zero bytes included) and NULL survive.
    conn << "SELECT CONCAT('a', CHAR(0), 'b') AS bin, NULL AS nothing, '' AS empty";
    Result values = conn << Query::fetch;
    ASSERT_TRUE(values.fetch(&row));
    EXPECT_EQ(std::string("a\0b", 3), row["bin"].value());
    EXPECT_TRUE(row["nothing"].isNull());
    EXPECT_FALSE(row["empty"].isNull());
}

TEST_F(PanelDbTest, ValuesAndNamesAreEscapedOnRequest) {
    const std::string tricky = "it's a \\ 'test' \" --";
    seedMisc("tricky", tricky);
    seedMisc("other", "must not match");
    Connection conn;
    conn << "SELECT val FROM misc WHERE param='" << Query::VALUE << "tricky"
         << "' AND val='" << Query::VALUE << tricky << "'";
    EXPECT_EQ(tricky, onlyValue(conn, "val"));
    // An injection attempt is just an odd value.
    conn << "SELECT COUNT(*) AS n FROM misc WHERE param='" << Query::VALUE << "x' OR '1'='1"
         << "'";
    EXPECT_EQ("0", onlyValue(conn, "n"));
}

TEST_F(PanelDbTest, ExecCountsRowsAndFailuresNameTheQuery) {
    Connection conn;
    conn << "INSERT INTO misc (param, val) VALUES ('a', '1'), ('b', '2'), ('c', '3')";
    EXPECT_EQ(3u, conn << Query::exec);

    const std::string bad = "SELECT nonsense FROM no_such_table";
    conn << bad;
    EXPECT_THAT([&] { conn << Query::fetch; }, testing::ThrowsMessage<mError>(testing::AllOf(
                                                   testing::StartsWith("MySQL error "),
                                                   testing::EndsWith(" executing query: " + bad))));
    // The text was cleared with the failed send: the connection goes on.
    conn << "SELECT 5 AS five";
    EXPECT_EQ("5", onlyValue(conn, "five"));
}

TEST_F(PanelDbTest, DomainLimitLookup) {
    int subscription = seedDomain("sub.example");
    int domain = seedDomain("site.example", subscription);
    seedLimit(subscription, "disk_space", "1");
    seedLimit(domain, "mbox_quota", "2048");
    const std::string sub = std::to_string(subscription);
    const std::string dom = std::to_string(domain);

    char errbuf[DB_ERRBUF_SIZE] = {};
    MYSQL* my = marun_db_connect(errbuf, sizeof errbuf);
    ASSERT_NE(nullptr, my) << errbuf;
    EXPECT_STREQ("2048", get_dom_Limit(dom.c_str(), "mbox_quota", my));
    // A limit whose value is NULL: an empty text.
    panelExec("UPDATE Limits SET value = NULL WHERE limit_name = 'disk_space'");
    EXPECT_STREQ("", get_dom_Limit(sub.c_str(), "disk_space", my));
    // Quotes in the arguments cannot widen the statement (unescaped, this
    // would match the limit of every domain).
    EXPECT_STREQ("", get_dom_Limit("x' OR '1'='1", "mbox_quota", my));
    mysql_close(my);
}

}  // namespace
}  // namespace kvarn_test
