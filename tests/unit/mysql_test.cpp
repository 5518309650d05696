// The panel database layer without a server: a query with a missing part is
// never sent.
#include <gmock/gmock.h>
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
    EXPECT_THAT([&] { conn << Query::exec; },
                testing::ThrowsMessage<mError>(
                    testing::StrEq("incomplete query text: DELETE FROM t WHERE id=")));
}

}  // namespace
