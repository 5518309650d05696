// Parts of the panel database layer that need no server: name quoting, the
// query-building state machine up to the point of sending, and Field.
#include <gtest/gtest.h>

#include "util/mysql.h"

namespace {

using marun::mysql::Connection;
using marun::mysql::Field;
using marun::mysql::mError;
using marun::mysql::Query;

TEST(MysqlNameEscapeTest, DoublesEveryBackquote) {
    EXPECT_EQ("a``b", Connection::escape_name("a`b"));
    EXPECT_EQ("````", Connection::escape_name("``"));
    EXPECT_EQ("plain", Connection::escape_name("plain"));
    // An explicit length covers embedded zero bytes and stops early.
    EXPECT_EQ(std::string("x\0``", 4), Connection::escape_name("x\0`", 3));
    EXPECT_EQ("ab", Connection::escape_name("abc", 2));
}

TEST(MysqlFieldTest, DefaultIsNullAndValuesKeepZeroBytes) {
    Field none;
    EXPECT_TRUE(none.isNull());
    EXPECT_EQ("", none.value());
    Field binary(std::string("a\0b", 3), false);
    EXPECT_FALSE(binary.isNull());
    EXPECT_EQ(3u, binary.value().size());
}

TEST(MysqlConnectionTest, NullTextMakesTheQueryUnsendable) {
    // No handle is ever opened: the refusal comes before sending.
    Connection conn(false);
    conn << "DELETE FROM t WHERE id=" << static_cast<const char*>(nullptr);
    try {
        conn << Query::exec;
        FAIL() << "an incomplete query was sent";
    } catch (const mError& e) {
        EXPECT_EQ(std::string("incomplete query text: DELETE FROM t WHERE id="), e.what());
    }
}

TEST(MysqlConnectionTest, NameModeAppliesOnceThenRaw) {
    Connection conn(false);
    conn << "SELECT `" << Query::NAME << "we`ird"
         << "` FROM `x`y`" << 7 << static_cast<const char*>(nullptr);
    try {
        conn << Query::fetch;
        FAIL();
    } catch (const mError& e) {
        // Only the text right after NAME was quoted; numbers go in raw.
        EXPECT_EQ(std::string("incomplete query text: SELECT `we``ird` FROM `x`y`7"), e.what());
    }
}

}  // namespace
