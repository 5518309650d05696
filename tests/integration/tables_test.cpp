// The lookup-table store against the real postmap: adding and replacing,
// full rebuilds under the lock by name, removals judged by their
// diagnostics, filtering a dump, batches, and refusal of bad records
// before postmap ever runs.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <list>
#include <string>
#include <thread>
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
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Pair;

using Records = std::vector<std::pair<std::string, std::string>>;

const std::string VIRTUAL = "/var/spool/postfix/marun/virtual";
const char* const REAL_POSTMAP_DIR = "/tmp/kvarn-real-postmap";
const char* const POSTMAP_CALLS = "/tmp/kvarn-postmap-calls";

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

// Puts a script over /usr/sbin/postmap for the life of the object that logs
// every invocation and runs the real program; with `stripDumpNewline`, the
// output of "-s" loses its final line feed.
class PostmapWrapper {
  public:
    explicit PostmapWrapper(bool stripDumpNewline = false) {
        ::mkdir(REAL_POSTMAP_DIR, 0755);
        runChecked({"/bin/cp", "/usr/sbin/postmap", std::string(REAL_POSTMAP_DIR) + "/postmap"});
        std::string script = "#!/bin/sh\necho \"$*\" >> " + std::string(POSTMAP_CALLS) + "\n";
        if (stripDumpNewline) {
            script += "if [ \"$1\" = -s ]; then\n  out=$(" + std::string(REAL_POSTMAP_DIR) +
                      "/postmap \"$@\")\n  rc=$?\n  printf '%s' \"$out\"\n  exit $rc\nfi\n";
        }
        script += "exec " + std::string(REAL_POSTMAP_DIR) + "/postmap \"$@\"\n";
        writeFile("/tmp/kvarn-postmap-wrapper", script, 0755);
        if (::mount("/tmp/kvarn-postmap-wrapper", "/usr/sbin/postmap", nullptr, MS_BIND, nullptr) !=
            0) {
            throw HarnessError("cannot mount the postmap wrapper");
        }
        clear();
    }
    ~PostmapWrapper() { ::umount2("/usr/sbin/postmap", MNT_DETACH); }

    void clear() { writeFile(POSTMAP_CALLS, ""); }
    // The argument lists of the runs since the last clear().
    std::vector<std::string> calls() const {
        std::vector<std::string> lines;
        std::istringstream in(readFile(POSTMAP_CALLS));
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }
};

void fillVirtual(const RecordList& records) {
    DatabaseHelper::replaceRecords(tableSpec("virtual"), records.begin(), records.end());
}

TEST_F(SandboxTest, AddsAndReplacesRecordsInOnePostmapRun) {
    const std::string table = tableSpec("virtual");
    PostmapWrapper postmap;
    RecordList records{{"a@d.com", "a@o.com"}, {"b@d.com", "b@o.com, c@o.com"}};
    DatabaseHelper::addRecords(table, records.begin(), records.end());
    EXPECT_THAT(postmap.calls(), ElementsAre("-r -i " + table));
    EXPECT_EQ(tableRecords("virtual"),
              (Records{{"a@d.com", "a@o.com"}, {"b@d.com", "b@o.com, c@o.com"}}));

    // An existing key gets the new value; the others stay.
    RecordVector more{{"a@d.com", "z@o.com"}, {"@d.com", "catch@o.com"}};
    DatabaseHelper::addRecords(table, more.cbegin(), more.cend());
    DatabaseHelper::addRecord(table, "n@d.com", "\"|/usr/bin/prog arg\"");
    EXPECT_EQ(tableRecords("virtual"), (Records{{"@d.com", "catch@o.com"},
                                                {"a@d.com", "z@o.com"},
                                                {"b@d.com", "b@o.com, c@o.com"},
                                                {"n@d.com", "\"|/usr/bin/prog arg\""}}));

    // Empty ranges start nothing.
    postmap.clear();
    RecordList none;
    DatabaseHelper::addRecords(table, none.begin(), none.end());
    KeyList noKeys;
    DatabaseHelper::removeRecords(table, noKeys.begin(), noKeys.end());
    EXPECT_THAT(postmap.calls(), IsEmpty());
}

TEST_F(SandboxTest, BadRecordsAreRefusedBeforePostmapStarts) {
    fillVirtual({{"keep@d.com", "x@o.com"}});
    PostmapWrapper postmap;
    const std::string table = tableSpec("virtual");
    RecordList records{{"new@d.com", "y@o.com"}, {"evil@d.com\nother@d.com", "z@o.com"}};
    try {
        DatabaseHelper::addRecords(table, records.begin(), records.end());
        FAIL() << "not refused";
    } catch (const PostfixDatabaseError& e) {
        EXPECT_THAT(e.what(), HasSubstr(table));
        EXPECT_THAT(e.what(), HasSubstr("\"evil@d.com\\nother@d.com\""));
    }
    RecordVector badValue{{"keep@d.com", "a@o.com\nvictim@d.com b@o.com"}};
    EXPECT_THROW(DatabaseHelper::replaceRecords(table, badValue.begin(), badValue.end()),
                 PostfixDatabaseError);
    EXPECT_THROW(DatabaseHelper::removeRecord(table, "a b"), PostfixDatabaseError);
    EXPECT_THAT(postmap.calls(), IsEmpty());
    EXPECT_FALSE(pathExists(VIRTUAL));
    EXPECT_EQ(tableRecords("virtual"), (Records{{"keep@d.com", "x@o.com"}}));
}

TEST_F(SandboxTest, ReplaceRecordsRebuildsTheWholeTable) {
    fillVirtual({{"a@d.com", "1@o.com"}, {"b@d.com", "2@o.com"}});
    RecordVector records{{"c@d.com", "3@o.com"}, {"a@d.com", "4@o.com"}};
    DatabaseHelper::replaceRecords(tableSpec("virtual"), records.begin(), records.end());
    EXPECT_EQ(tableRecords("virtual"), (Records{{"a@d.com", "4@o.com"}, {"c@d.com", "3@o.com"}}));
    EXPECT_FALSE(pathExists(VIRTUAL));
    EXPECT_FALSE(lockBusy(VIRTUAL));

    RecordVector none;
    DatabaseHelper::replaceRecords(tableSpec("virtual"), none.begin(), none.end());
    EXPECT_THAT(tableRecords("virtual"), IsEmpty());
    EXPECT_FALSE(pathExists(VIRTUAL));

    // A map name without a type is a path of the default (hash) type.
    const std::string plain = "/var/spool/postfix/marun/plain";
    RecordList one{{"k", "v"}};
    DatabaseHelper::replaceRecords(plain, one.begin(), one.end());
    EXPECT_EQ(runChecked({"/usr/sbin/postmap", "-q", "k", "hash:" + plain}), "v\n");
    EXPECT_FALSE(pathExists(plain));
}

TEST_F(SandboxTest, ReplaceRecordsWaitsForTheLockByName) {
    fillVirtual({{"old@d.com", "x@o.com"}});
    // The rebuilding child is forked before the lock is taken: a child forked
    // afterwards would share the holder's open lock file, and with it the
    // lock.
    int go[2];
    ASSERT_EQ(0, ::pipe(go));
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        char byte;
        ::close(go[1]);
        if (::read(go[0], &byte, 1) != 1) {
            ::_exit(2);
        }
        RecordList records{{"new@d.com", "y@o.com"}};
        try {
            DatabaseHelper::replaceRecords(tableSpec("virtual"), records.begin(), records.end());
            ::_exit(0);
        } catch (...) {
            ::_exit(1);
        }
    }
    ::close(go[0]);
    {
        MKLock held(VIRTUAL, MKLock::LOCK_BY_NAME, MKLock::BLOCKING);
        ASSERT_EQ(1, ::write(go[1], "g", 1));
        ::close(go[1]);
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        int status;
        EXPECT_EQ(0, ::waitpid(child, &status, WNOHANG)) << "the rebuild did not wait";
        EXPECT_FALSE(pathExists(VIRTUAL));
        EXPECT_EQ(tableRecords("virtual"), (Records{{"old@d.com", "x@o.com"}}));
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(tableRecords("virtual"), (Records{{"new@d.com", "y@o.com"}}));
}

TEST_F(SandboxTest, FailedRebuildLeavesNoSourceAndReleasesTheLock) {
    // postmap cannot create an indexed file where a directory stands.
    const std::string path = "/var/spool/postfix/marun/broken";
    ASSERT_EQ(0, ::mkdir((path + ".db").c_str(), 0755));
    RecordList records{{"k", "v"}};
    try {
        DatabaseHelper::replaceRecords("hash:" + path, records.begin(), records.end());
        FAIL() << "no exception";
    } catch (const PostfixConfigurationError& e) {
        EXPECT_THAT(e.what(), HasSubstr("fatal:"));
    }
    EXPECT_FALSE(pathExists(path));
    EXPECT_FALSE(lockBusy(path));
}

TEST_F(SandboxTest, RemovalsSucceedOnWarningsAndFailOnFatalDiagnostics) {
    fillVirtual({{"a@d.com", "1@o.com"},
                 {"b@d.com", "2@o.com"},
                 {"c@d.com", "3@o.com"},
                 {"-", "dash@o.com"}});
    const std::string table = tableSpec("virtual");
    DatabaseHelper::removeRecord(table, "a@d.com");
    DatabaseHelper::removeRecord(table, "-");
    // A missing key: postmap exits with 1 and says nothing.
    DatabaseHelper::removeRecord(table, "missing@d.com");
    KeyList keys{"missing@d.com", "c@d.com"};
    DatabaseHelper::removeRecords(table, keys.begin(), keys.end());
    EXPECT_EQ(tableRecords("virtual"), (Records{{"b@d.com", "2@o.com"}}));

    // A duplicate main.cf entry makes postmap warn on every run; with the
    // missing key it also exits with 1: still a success.
    writeFile(kMainCf, readFile(kMainCf) + "kvarn_dup = 1\nkvarn_dup = 2\n");
    EXPECT_NO_THROW(DatabaseHelper::removeRecord(table, "missing@d.com"));
    std::vector<std::string> missing{"missing@d.com"};
    EXPECT_NO_THROW(DatabaseHelper::removeRecords(table, missing.cbegin(), missing.cend()));

    // A table without its indexed file: "fatal:".
    try {
        DatabaseHelper::removeRecord("hash:/var/spool/postfix/marun/none", "x");
        FAIL() << "no exception";
    } catch (const PostfixDatabaseError& e) {
        EXPECT_THAT(e.what(), HasSubstr("fatal:"));
    }
    EXPECT_THROW(DatabaseHelper::removeRecords("hash:/var/spool/postfix/marun/none", keys.begin(),
                                               keys.end()),
                 PostfixDatabaseError);
}

// Drops one domain's references, and checks at the first line that the lock
// is held and the text source exists while the dump is filtered.
struct ProbingFilter {
    ElementsFilter<NotInDomainFilter> inner;
    std::string path;
    int* lines;
    bool* lockedDuringDump;
    bool* sourceDuringDump;
    bool operator()(std::string& line) const {
        if ((*lines)++ == 0) {
            *lockedDuringDump = lockBusy(path);
            *sourceDuringDump = pathExists(path);
        }
        return inner(line);
    }
};

TEST_F(SandboxTest, FilterRecordsRewritesTheTableUnderTheLock) {
    fillVirtual({{"a@d.com", "x@o.com"},
                 {"@d.com", "catch@o.com"},
                 {"list@o.com", "a@d.com,b@o.com c@d.com"},
                 {"keep@o.com", "y@o.com"}});
    int lines = 0;
    bool locked = false;
    bool source = false;
    PostmapWrapper postmap;
    DatabaseHelper::filterRecords(
        tableSpec("virtual"),
        ProbingFilter{ElementsFilter<NotInDomainFilter>(NotInDomainFilter("d.com", false)), VIRTUAL,
                      &lines, &locked, &source});
    EXPECT_THAT(postmap.calls(), ElementsAre("-s " + tableSpec("virtual"), tableSpec("virtual")));
    EXPECT_EQ(4, lines);
    EXPECT_TRUE(locked);
    EXPECT_TRUE(source);
    EXPECT_FALSE(pathExists(VIRTUAL));
    EXPECT_FALSE(lockBusy(VIRTUAL));
    EXPECT_EQ(tableRecords("virtual"),
              (Records{{"keep@o.com", "y@o.com"}, {"list@o.com", "b@o.com"}}));
}

TEST_F(SandboxTest, FilterRecordsTakesALastLineWithoutLineFeed) {
    fillVirtual({{"a@d.com", "x@o.com"}, {"b@d.com", "y@o.com"}});
    PostmapWrapper postmap(true);
    const std::string from = "d.com";
    const std::string to = "e.net";
    DatabaseHelper::filterRecords(tableSpec("virtual"), ElementsFilter<ReplaceDomainPart>(
                                                            ReplaceDomainPart(from, to, false)));
    EXPECT_EQ(tableRecords("virtual"), (Records{{"a@e.net", "x@o.com"}, {"b@e.net", "y@o.com"}}));
}

TEST_F(SandboxTest, FailedFilteringLeavesTheTableAndNoSource) {
    fillVirtual({{"a@d.com", "x@o.com"}});
    const std::string from = "x@o.com";
    const std::string none = "nothing";

    // The dump fails: the table has no indexed file.
    const std::string missing = "/var/spool/postfix/marun/missing";
    try {
        DatabaseHelper::filterRecords("hash:" + missing, ElementsFilter<ReplaceElementFilterRef>(
                                                             ReplaceElementFilterRef(from, none)));
        FAIL() << "no exception";
    } catch (const PostfixConfigurationError& e) {
        EXPECT_THAT(e.what(), HasSubstr("fatal:"));
    }
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

    // The rebuild fails: during the dump a directory takes the place of the
    // indexed file.
    const std::string db = VIRTUAL + ".db";
    auto sabotage = [&db](std::string&) {
        if (!pathExists(db + ".saved")) {
            ::rename(db.c_str(), (db + ".saved").c_str());
            ::mkdir(db.c_str(), 0755);
        }
        return true;
    };
    EXPECT_THROW(DatabaseHelper::filterRecords(tableSpec("virtual"), sabotage),
                 PostfixConfigurationError);
    EXPECT_FALSE(pathExists(VIRTUAL));
    EXPECT_FALSE(lockBusy(VIRTUAL));
    ::rmdir(db.c_str());
    ::rename((db + ".saved").c_str(), db.c_str());
    EXPECT_EQ(tableRecords("virtual"), (Records{{"a@d.com", "x@o.com"}}));
}

TEST_F(SandboxTest, BatchesApplyOnePostmapRunPerTable) {
    fillVirtual({{"old@d.com", "x@o.com"}});
    PostmapWrapper postmap;
    const std::string virtualTable = tableSpec("virtual");
    const std::string domains = tableSpec("virtual_domains");
    {
        BatchDatabaseHelper discarded(true, false);
        discarded.addChange(virtualTable, "lost@d.com", "y@o.com");
        KeyList keys{"old@d.com"};
        discarded.removeChanges(virtualTable, keys.begin(), keys.end());
    }
    EXPECT_THAT(postmap.calls(), IsEmpty());
    EXPECT_EQ(tableRecords("virtual"), (Records{{"old@d.com", "x@o.com"}}));

    postmap.clear();
    BatchDatabaseHelper batch(true, false);
    batch.addChange(virtualTable, "a@d.com", "1@o.com");
    batch.addChange(domains, "d.com", "d.com/");
    RecordList more{{"b@d.com", "2@o.com"}, {"c@d.com", "3@o.com"}};
    batch.addChanges(virtualTable, more.cbegin(), more.cend());
    KeyList keys{"old@d.com", "c@d.com"};
    batch.removeChanges(virtualTable, keys.cbegin(), keys.cend());
    batch.commit();
    // Tables in name order: "virtual" sorts before "virtual_domains".
    EXPECT_THAT(postmap.calls(),
                ElementsAre("-r -i " + virtualTable, "-r -i " + domains, "-d - " + virtualTable));
    EXPECT_TRUE(batch.pendingAdditions().empty());
    EXPECT_TRUE(batch.pendingRemovals().empty());
    EXPECT_EQ(tableRecords("virtual"), (Records{{"a@d.com", "1@o.com"}, {"b@d.com", "2@o.com"}}));
    EXPECT_EQ(tableRecords("virtual_domains"), (Records{{"d.com", "d.com/"}}));

    // Not incremental: each table becomes exactly what was collected.
    BatchDatabaseHelper rebuild(false, false);
    rebuild.addChange(virtualTable, "z@d.com", "9@o.com");
    rebuild.commit();
    EXPECT_EQ(tableRecords("virtual"), (Records{{"z@d.com", "9@o.com"}}));

    // Immediate mode applies each change at once.
    BatchDatabaseHelper immediate;
    immediate.addChange(virtualTable, "now@d.com", "n@o.com");
    EXPECT_EQ(*tableLookup("virtual", "now@d.com"), "n@o.com");
}

}  // namespace
}  // namespace kvarn_test
