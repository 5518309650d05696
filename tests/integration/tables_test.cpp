// The lookup-table store against the real postmap (the postmap runs each
// command makes show in the domain command tests): whole-table rebuilds,
// the lock by name held while a table is read, rewrites that change only what
// changed on a copy renamed into place, removals judged by their
// diagnostics, batches, and refusal of an indexed
// file that is not a regular file before postmap ever runs.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <list>
#include <sstream>
#include <string>
#include <vector>

#include "harness/kvarn_harness.h"
#include "postfix/database_helper.h"
#include "postfix/errors.h"
#include "postfix/record_filters.h"
#include "util/errors.h"
#include "util/mklock.h"

namespace kvarn_test {
namespace {

using marun::MKLock;
using marun::mail::postfix::BatchDatabaseHelper;
using marun::mail::postfix::DatabaseHelper;
using marun::mail::postfix::KeyList;
using marun::mail::postfix::PostfixConfigurationError;
using marun::mail::postfix::PostfixDatabaseError;
using marun::mail::postfix::RecordList;
using marun::mail::postfix::RecordVector;
using namespace marun::mail::postfix::database;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::ThrowsMessage;

using Records = std::vector<std::pair<std::string, std::string>>;

const std::string VIRTUAL = "/var/spool/postfix/marun/virtual";

// Whether another open of the lock by name on `path` finds it busy. flock
// locks belong to open file descriptions, so this works in-process too.
bool lockBusy(const std::string& path) {
    try {
        MKLock probe(path, MKLock::LOCK_BY_NAME, MKLock::NON_BLOCKING);
        return false;
    } catch (const marun::SystemError&) {
        throw;
    } catch (const std::runtime_error&) {
        return true;
    }
}

void fillVirtual(const RecordList& records) {
    DatabaseHelper::replaceRecords(tableSpec("virtual"), records.begin(), records.end());
}

TEST_F(SandboxTest, ReplaceRecordsRebuildsTheWholeTable) {
    fillVirtual({{"a@d.com", "1@o.com"}, {"b@d.com", "2@o.com"}});
    RecordVector records{{"c@d.com", "3@o.com"}, {"a@d.com", "4@o.com"}};
    DatabaseHelper::replaceRecords(tableSpec("virtual"), records.begin(), records.end());
    EXPECT_EQ(tableRecords("virtual"), (Records{{"a@d.com", "4@o.com"}, {"c@d.com", "3@o.com"}}));
    EXPECT_FALSE(pathExists(VIRTUAL));
    EXPECT_FALSE(lockBusy(VIRTUAL));
}

TEST_F(SandboxTest, IndexedFileThatIsNotARegularFileStopsEveryWriter) {
    const std::string base = std::string(kTablesDir) + "/planted";
    const std::string table = "hash:" + base;
    writeFile("/tmp/victim.db", "precious");
    RecordList records{{"k", "v"}};
    KeyList keys{"k"};
    auto tryEveryWriter = [&](const std::string& what) {
        EXPECT_THROW(DatabaseHelper::addRecords(table, records.begin(), records.end()),
                     PostfixConfigurationError)
            << what;
        EXPECT_THROW(DatabaseHelper::replaceRecords(table, records.begin(), records.end()),
                     PostfixConfigurationError)
            << what;
        EXPECT_THROW(DatabaseHelper::removeRecords(table, keys.begin(), keys.end()),
                     PostfixDatabaseError)
            << what;
        EXPECT_THAT(
            [&] { DatabaseHelper::filterRecords(table, [](std::string&) { return false; }); },
            ThrowsMessage<PostfixConfigurationError>(HasSubstr(base + ".db")))
            << what;
        EXPECT_EQ(readFile("/tmp/victim.db"), "precious") << what;
        EXPECT_THAT(listDir(kTablesDir), Contains("planted.db")) << what;
        EXPECT_FALSE(pathExists(base)) << what;
        EXPECT_FALSE(lockBusy(base)) << what;
    };
    ASSERT_EQ(0, ::symlink("/tmp/victim.db", (base + ".db").c_str()));
    tryEveryWriter("a link");
    ASSERT_EQ(0, ::unlink((base + ".db").c_str()));
    // A FIFO: refused at once, nothing waits for a writer at its other end.
    ASSERT_EQ(0, ::mkfifo((base + ".db").c_str(), 0644));
    tryEveryWriter("a FIFO");
}

TEST_F(SandboxTest, RemovalsSucceedOnWarningsAndFailOnFatalDiagnostics) {
    fillVirtual({{"a@d.com", "1@o.com"},
                 {"b@d.com", "2@o.com"},
                 {"c@d.com", "3@o.com"},
                 {"-", "dash@o.com"}});
    const std::string table = tableSpec("virtual");
    DatabaseHelper::removeRecord(table, "-");
    // A missing key: postmap exits with 1 and says nothing.
    KeyList keys{"missing@d.com", "c@d.com", "a@d.com"};
    DatabaseHelper::removeRecords(table, keys.begin(), keys.end());
    EXPECT_EQ(tableRecords("virtual"), (Records{{"b@d.com", "2@o.com"}}));

    // A duplicate main.cf entry makes postmap warn on every run; with the
    // missing key it also exits with 1: still a success.
    writeFile(kMainCf, readFile(kMainCf) + "kvarn_dup = 1\nkvarn_dup = 2\n");
    EXPECT_NO_THROW(DatabaseHelper::removeRecord(table, "missing@d.com"));

    // A table without its indexed file: "fatal:".
    EXPECT_THAT([] { DatabaseHelper::removeRecord("hash:/var/spool/postfix/marun/none", "x"); },
                ThrowsMessage<PostfixDatabaseError>(HasSubstr("fatal:")));
}

// Drops one domain's references, and checks at the first line that the lock
// is held while the dump is filtered.
struct ProbingFilter {
    ElementsFilter<NotInDomainFilter> inner;
    std::string path;
    int* lines;
    bool* lockedDuringDump;
    bool operator()(std::string& line) const {
        if ((*lines)++ == 0) {
            *lockedDuringDump = lockBusy(path);
        }
        return inner(line);
    }
};

TEST_F(SandboxTest, FilterRecordsWritesOnlyTheChangesToACopyRenamedIntoPlace) {
    fillVirtual({{"a@d.com", "x@o.com"},
                 {"@d.com", "catch@o.com"},
                 {"list@o.com", "a@d.com,b@o.com c@d.com"},
                 {"keep@o.com", "y@o.com"}});
    const std::string db = VIRTUAL + ".db";
    ASSERT_EQ(0, ::chown(db.c_str(), userId("postfix"), groupId("postfix")));
    ASSERT_EQ(0, ::chmod(db.c_str(), 0640));
    struct stat before {};
    ASSERT_EQ(0, ::stat(db.c_str(), &before));
    int lines = 0;
    bool locked = false;
    DatabaseHelper::filterRecords(
        tableSpec("virtual"),
        ProbingFilter{ElementsFilter<NotInDomainFilter>(NotInDomainFilter("d.com", false)), VIRTUAL,
                      &lines, &locked});
    EXPECT_EQ(4, lines);
    EXPECT_TRUE(locked);
    EXPECT_FALSE(lockBusy(VIRTUAL));
    EXPECT_EQ(tableRecords("virtual"),
              (Records{{"keep@o.com", "y@o.com"}, {"list@o.com", "b@o.com"}}));
    // A new file in its place, with the old one's owner and mode, and
    // nothing beside it.
    struct stat after {};
    ASSERT_EQ(0, ::stat(db.c_str(), &after));
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(fileOwner(db), "postfix:postfix");
    EXPECT_EQ(fileMode(db), 0640u);
    EXPECT_THAT(listDir(kTablesDir), Not(Contains(HasSubstr(".kvarn."))));

    // A rewrite that changes nothing leaves the table alone.
    DatabaseHelper::filterRecords(tableSpec("virtual"), [](std::string&) { return true; });
    struct stat untouched {};
    ASSERT_EQ(0, ::stat(db.c_str(), &untouched));
    EXPECT_EQ(untouched.st_ino, after.st_ino);
    EXPECT_EQ(untouched.st_mtim.tv_nsec, after.st_mtim.tv_nsec);
}

// Rewrites a record line by the number in its key: drops it, changes its
// value, moves it onto the key of another line (which the dump may show
// before or after it), onto its own key in upper case, onto a new key, or
// onto a key that postmap folds beyond ASCII ("\xC3\x84", an upper-case A
// with diaeresis, is stored as its lower case "\xC3\xA4").
bool shuffle(std::string& line) {
    const size_t blank = line.find_first_of(" \t");
    std::string key = line.substr(0, blank);
    std::string value = line.substr(line.find_first_not_of(" \t", blank));
    if (key[0] != 'k') {
        return true;
    }
    const int n = std::stoi(key.substr(1));
    switch (n % 8) {
        case 0:
            return false;
        case 1:
            value += ",changed@o.com";
            break;
        case 2:
            key = "k" + std::to_string(n + 1) + "@d.com";
            break;
        case 3:
            std::transform(key.begin(), key.end(), key.begin(), ::toupper);
            break;
        case 4:
            key = "new" + std::to_string(n) + "@d.com";
            break;
        case 5:
            key = "\xC3\x84" + std::to_string(n) + "@d.com";
            break;
    }
    line = key + " " + value;
    return true;
}

TEST_F(SandboxTest, RewriteGivesWhatAFullRebuildFromTheFilteredDumpGives) {
    RecordVector records;
    for (int n = 0; n < 2000; ++n) {
        records.emplace_back("k" + std::to_string(n) + "@d.com",
                             "v" + std::to_string(n) + "@o.com");
        if (n % 8 == 5 && n % 3 == 0) {
            records.emplace_back("\xC3\xA4" + std::to_string(n) + "@d.com", "old@o.com");
        }
    }
    DatabaseHelper::replaceRecords(tableSpec("virtual"), records.begin(), records.end());

    // The reference: the dump filtered line by line in its order, built
    // whole by postmap, which keeps the first of several lines with a key.
    std::istringstream dump(runChecked({"/usr/sbin/postmap", "-s", tableSpec("virtual")}));
    std::string text;
    for (std::string line; std::getline(dump, line);) {
        if (shuffle(line)) {
            text += line + "\n";
        }
    }
    writeFile(std::string(kTablesDir) + "/reference", text);
    runChecked({"/usr/sbin/postmap", tableSpec("reference")});

    DatabaseHelper::filterRecords(tableSpec("virtual"), shuffle);
    EXPECT_EQ(tableRecords("virtual"), tableRecords("reference"));
}

TEST_F(SandboxTest, FailedFilteringLeavesTheTableAndNoSource) {
    fillVirtual({{"a@d.com", "x@o.com"}});
    const std::string from = "x@o.com";
    const std::string none = "nothing";

    // The dump fails: the table has no indexed file.
    const std::string missing = "/var/spool/postfix/marun/missing";
    EXPECT_THAT(
        [&] {
            DatabaseHelper::filterRecords(
                "hash:" + missing,
                ElementsFilter<ReplaceElementFilterRef>(ReplaceElementFilterRef(from, none)));
        },
        ThrowsMessage<PostfixConfigurationError>(HasSubstr("fatal:")));
    EXPECT_FALSE(pathExists(missing));
    EXPECT_FALSE(lockBusy(missing));

    // A filter that writes a line feed into a record is refused.
    const std::string broken = "x@o.com\nvictim@d.com";
    EXPECT_THROW(DatabaseHelper::filterRecords(tableSpec("virtual"),
                                               ElementsFilter<ReplaceElementFilterRef>(
                                                   ReplaceElementFilterRef(from, broken))),
                 PostfixDatabaseError);
    EXPECT_FALSE(pathExists(VIRTUAL));
    EXPECT_FALSE(lockBusy(VIRTUAL));
    EXPECT_EQ(tableRecords("virtual"), (Records{{"a@d.com", "x@o.com"}}));

    // During the dump another file takes the place of the indexed file:
    // the copy would not be of the table that was read.
    const std::string db = VIRTUAL + ".db";
    bool replaced = false;
    auto sabotage = [&db, &replaced](std::string& line) {
        if (!replaced) {
            writeFile(db + ".new", readFile(db));
            replaced = ::rename((db + ".new").c_str(), db.c_str()) == 0;
        }
        line += ",new@o.com";
        return true;
    };
    EXPECT_THAT([&] { DatabaseHelper::filterRecords(tableSpec("virtual"), sabotage); },
                ThrowsMessage<PostfixConfigurationError>(HasSubstr("replaced while it was read")));
    EXPECT_FALSE(lockBusy(VIRTUAL));
    EXPECT_EQ(tableRecords("virtual"), (Records{{"a@d.com", "x@o.com"}}));
    EXPECT_THAT(listDir(kTablesDir), Not(Contains(HasSubstr(".kvarn."))));
}

TEST_F(SandboxTest, BatchesApplyOnCommitOnly) {
    fillVirtual({{"old@d.com", "x@o.com"}});
    const std::string virtualTable = tableSpec("virtual");
    const std::string domains = tableSpec("virtual_domains");
    {
        BatchDatabaseHelper discarded(true, false);
        discarded.addChange(virtualTable, "lost@d.com", "y@o.com");
        KeyList keys{"old@d.com"};
        discarded.removeChanges(virtualTable, keys.begin(), keys.end());
    }
    EXPECT_EQ(tableRecords("virtual"), (Records{{"old@d.com", "x@o.com"}}));

    BatchDatabaseHelper batch(true, false);
    batch.addChange(virtualTable, "a@d.com", "1@o.com");
    batch.addChange(domains, "d.com", "d.com/");
    RecordList more{{"b@d.com", "2@o.com"}, {"c@d.com", "3@o.com"}};
    batch.addChanges(virtualTable, more.cbegin(), more.cend());
    KeyList keys{"old@d.com", "c@d.com"};
    batch.removeChanges(virtualTable, keys.cbegin(), keys.cend());
    batch.commit();
    EXPECT_TRUE(batch.pendingAdditions().empty());
    EXPECT_TRUE(batch.pendingRemovals().empty());
    EXPECT_EQ(tableRecords("virtual"), (Records{{"a@d.com", "1@o.com"}, {"b@d.com", "2@o.com"}}));
    EXPECT_EQ(tableRecords("virtual_domains"), (Records{{"d.com", "d.com/"}}));
}

}  // namespace
}  // namespace kvarn_test
