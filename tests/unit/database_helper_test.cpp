// The parts of the lookup-table store that need no postmap: diagnostics
// classification and refusal of records that would corrupt a table, before
// postmap ever runs.
#include "postfix/database_helper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "postfix/errors.h"

namespace {

using marun::mail::postfix::BatchDatabaseHelper;
using marun::mail::postfix::checkOutput;
using marun::mail::postfix::DatabaseHelper;
using marun::mail::postfix::KeyList;
using marun::mail::postfix::PostfixDatabaseError;
using marun::mail::postfix::Record;
using marun::mail::postfix::RecordVector;

// A table that cannot exist: reaching postmap would fail differently.
const std::string TABLE = "hash:/nonexistent-kvarn-dir/virtual";

// Warnings against fatal diagnostics show in the table tests in the sandbox.
TEST(CheckOutputTest, FailureSeveritiesOnly) {
    const std::string warning = "postmap: warning: /x/virtual: duplicate entry: \"a\"\n";
    for (const char* severity : {"fatal", "panic", "error"}) {
        std::string line = std::string("postmap: ") + severity + ": open database /x.db: gone";
        EXPECT_FALSE(checkOutput(warning + line, true)) << line;
    }
    // Lines without a severity in the expected place are ignored.
    EXPECT_TRUE(checkOutput("just one: fatal\npostmap:\nno colon\npostmap: fatal", false));
    // With onlyWarnings, any other severity word fails.
    EXPECT_TRUE(checkOutput("postmap: info: something: else", false));
    EXPECT_FALSE(checkOutput("postmap: info: something: else", true));
}

// Expects PostfixDatabaseError naming the table and `key`.
template <class F>
void expectRefused(F action, const std::string& key) {
    EXPECT_THAT(action, testing::ThrowsMessage<PostfixDatabaseError>(testing::AllOf(
                            testing::HasSubstr(TABLE), testing::HasSubstr("\"" + key + "\""))))
        << key;
}

TEST(DatabaseHelperTest, RefusesRecordsThatWouldCorruptTheTable) {
    // Every record is checked before postmap starts, so a bad record late
    // in the range refuses the whole range.
    for (const auto& bad :
         std::vector<std::pair<Record, std::string>>{{{"a b", "v"}, "a b"},
                                                     {{"a\nb", "v"}, "a\\nb"},
                                                     {{"", "v"}, ""},
                                                     {{"#a", "v"}, "#a"},
                                                     {{"good", "v\nother w"}, "good"},
                                                     {{"good", " \t"}, "good"}}) {
        RecordVector records{{"fine@d.com", "x@o.com"}, bad.first};
        expectRefused([&] { DatabaseHelper::addRecords(TABLE, records.begin(), records.end()); },
                      bad.second);
        expectRefused(
            [&] { DatabaseHelper::replaceRecords(TABLE, records.cbegin(), records.cend()); },
            bad.second);
        BatchDatabaseHelper deferred(true, false);
        expectRefused([&] { deferred.addChanges(TABLE, records.cbegin(), records.cend()); },
                      bad.second);
        EXPECT_TRUE(deferred.pendingAdditions().empty());
    }
    // Values may hold blanks.
    BatchDatabaseHelper deferred(true, false);
    deferred.addChange(TABLE, "k", "\"|/usr/lib/x arg with blanks\"");
    EXPECT_EQ(1u, deferred.pendingAdditions().size());
}

TEST(DatabaseHelperTest, RefusesRemovalKeysThatWouldRemoveOthers) {
    KeyList keys{"a@d.com", "b@d.com\nc@d.com"};
    expectRefused([&] { DatabaseHelper::removeRecords(TABLE, keys.begin(), keys.end()); },
                  "b@d.com\\nc@d.com");
    expectRefused([&] { DatabaseHelper::removeRecord(TABLE, "x y"); }, "x y");
    BatchDatabaseHelper deferred(true, false);
    expectRefused([&] { deferred.removeChanges(TABLE, keys.cbegin(), keys.cend()); },
                  "b@d.com\\nc@d.com");
    EXPECT_TRUE(deferred.pendingRemovals().empty());
}

}  // namespace
