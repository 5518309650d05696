// The panel database layer without a server: a query with a missing part is
// never sent.
#include <gtest/gtest.h>

#include "util/mysql.h"

namespace {

using marun::mysql::Connection;
using marun::mysql::mError;
using marun::mysql::Query;

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

}  // namespace
