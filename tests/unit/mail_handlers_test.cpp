// The mail handlers database functions, run against a temporary database
// handed in as an open connection: what the handler, mail name and domain
// command tests cannot reach (refused global addresses, owned strings,
// look-alike domains, overlong copies, transactions, a busy database).
#include "mail/lib/mail_handlers.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "log_match.h"
#include "test_support.h"

namespace {

using kvarn_unit::logged;
using kvarn_unit::loggedPart;

using Rows = std::vector<std::string>;

// A registration's key fields; the strings are the caller's.
mh_t record(const char* name, mh_type_t type, mh_queue_t queue, const char* address) {
    mh_t h;
    mh_data_init_ex(&h);
    h.name = const_cast<char*>(name);
    h.type = type;
    h.queue = queue;
    h.address = const_cast<char*>(address);
    return h;
}

class HandlersDbTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(SQLITE_OK, sqlite3_open(path_.c_str(), &db_));
        ASSERT_EQ(SQLITE_OK, sqlite3_exec(db_, MH_DB_SCHEMA_SQL, nullptr, nullptr, nullptr));
    }
    void TearDown() override { sqlite3_close(db_); }

    // Adds an enabled registration; returns mh_db_add's result.
    int add(const char* name, mh_type_t type, const char* address, mh_queue_t queue,
            uint32_t priority = 10, const char* executable = "/bin/h",
            const char* context = "ctx") {
        mh_t h = record(name, type, queue, address);
        h.priority = priority;
        h.executable = const_cast<char*>(executable);
        h.context = const_cast<char*>(context);
        h.enabled = 1;
        return mh_db_add(db_, &h);
    }
    Rows rows(const std::string& columns = "name, type, address, queue, enabled",
              const std::string& where = "1") {
        return kvarn_unit::sqliteRows(db_, "SELECT " + columns + " FROM handlers WHERE " + where +
                                               " ORDER BY address, name, type, queue");
    }

    kvarn_unit::TempDir dir_;
    std::string path_ = dir_.file("handlers.db");
    sqlite3* db_ = nullptr;
};

// The handler commands pass no address for a global handler.
TEST_F(HandlersDbTest, GlobalAddressesAreNormalisedOrRefused) {
    kvarn_unit::LogCapture log;
    EXPECT_EQ(0, add("g1", MH_TYPE_GLOBAL, nullptr, MH_QUEUE_QUEUE));
    EXPECT_EQ(0, add("g2", MH_TYPE_GLOBAL, "all-recipients", MH_QUEUE_QUEUE));
    EXPECT_EQ(-1, add("g3", MH_TYPE_GLOBAL, "a@b.test", MH_QUEUE_QUEUE));
    EXPECT_TRUE(loggedPart(log, "Incorrect recipient address for global handler"));
    EXPECT_EQ((Rows{"g1|4|all|1|1", "g2|4|all-recipients|1|1"}), rows());
}

TEST_F(HandlersDbTest, AddingAgainReplacesAndOwnedRecordsGetAnOwnedAll) {
    ASSERT_EQ(0, add("h", MH_TYPE_RECIPIENT, "a@x.test", MH_QUEUE_LOCAL, 10, "/bin/h", nullptr));
    ASSERT_EQ(0, add("h", MH_TYPE_RECIPIENT, "a@x.test", MH_QUEUE_LOCAL, 42, "/bin/h", nullptr));
    EXPECT_EQ((Rows{"h|a@x.test|42|none|1"}), rows("name, address, priority, context, enabled"));

    mh_t h = record("h", MH_TYPE_RECIPIENT, MH_QUEUE_LOCAL, "a@x.test");
    mh_t* owned = mh_data_clone(&h);
    owned->address[0] = '\0';
    ASSERT_EQ(0, mh_db_remove(db_, owned));
    EXPECT_STREQ("all", owned->address);
    mh_data_free(owned);
    EXPECT_EQ(Rows{}, rows());
}

// No command selects; look-alike domains show in the cloning test below.
TEST_F(HandlersDbTest, SelectingADomainGivesItsMailAddresses) {
    add("h", MH_TYPE_RECIPIENT, "a@example.test", MH_QUEUE_LOCAL);
    add("h", MH_TYPE_RECIPIENT_DOMAIN, "example.test", MH_QUEUE_LOCAL);
    add("h", MH_TYPE_RECIPIENT, "a@sub.example.test", MH_QUEUE_LOCAL);
    mh_list_t list;
    mh_list_init(&list);
    ASSERT_EQ(0, mh_db_select_by_name(db_, &list, "example.test"));
    ASSERT_NE(nullptr, list.lh_first);
    EXPECT_STREQ("a@example.test", list.lh_first->data->address);
    EXPECT_EQ(nullptr, list.lh_first->entries.le_next);
    mh_list_free(&list);
}

TEST_F(HandlersDbTest, CloningAMailNameOrAWholeDomain) {
    add("h1", MH_TYPE_RECIPIENT, "a@x.test", MH_QUEUE_LOCAL, 7, "/bin/one", "c1");
    add("h2", MH_TYPE_SENDER, "a@x.test", MH_QUEUE_QUEUE, 8, "/bin/two", "c2");
    add("h3", MH_TYPE_RECIPIENT_DOMAIN, "x.test", MH_QUEUE_LOCAL);
    add("h4", MH_TYPE_RECIPIENT, "b@x.test", MH_QUEUE_LOCAL);
    add("h5", MH_TYPE_RECIPIENT, "c@x.testing", MH_QUEUE_LOCAL);
    add("h6", MH_TYPE_RECIPIENT, "d@subx.test", MH_QUEUE_LOCAL);
    mh_t off = record("h4", MH_TYPE_RECIPIENT, MH_QUEUE_LOCAL, "b@x.test");
    mh_db_disable(db_, &off);

    ASSERT_EQ(0, mh_db_clone(db_, "a", "x.test", "z", "x.test"));
    EXPECT_EQ((Rows{"h1|z@x.test|7|/bin/one|c1|1", "h2|z@x.test|8|/bin/two|c2|1"}),
              rows("name, address, priority, executable, context, enabled", "address LIKE 'z@%'"));
    ASSERT_EQ(0, mh_db_clone(db_, "a", "x.test", nullptr, "alias.test"));
    EXPECT_EQ(2u, rows("name", "address='a@alias.test'").size());

    ASSERT_EQ(0, mh_db_clone(db_, nullptr, "x.test", "ignored", "copy.test"));
    EXPECT_EQ((Rows{"a@copy.test|h1|1", "a@copy.test|h2|1", "b@copy.test|h4|0", "copy.test|h3|1",
                    "z@copy.test|h1|1", "z@copy.test|h2|1"}),
              rows("address, name, enabled", "address LIKE '%copy.test'"));
    // The sources stay.
    EXPECT_EQ(5u, rows("name", "address LIKE '%@x.test'").size());
}

TEST_F(HandlersDbTest, OverlongComposedAddressesCopyNothing) {
    kvarn_unit::LogCapture log;
    std::string name(300, 'n');
    add("h", MH_TYPE_RECIPIENT, (name + "@x.test").c_str(), MH_QUEUE_LOCAL);
    size_t before = rows().size();
    EXPECT_EQ(-1, mh_db_clone(db_, name.c_str(), "x.test", nullptr, "much-longer-domain.test"));
    EXPECT_EQ(-1, mh_db_clone(db_, nullptr, "x.test", nullptr, "much-longer-domain.test"));
    EXPECT_EQ(before, rows().size());
    EXPECT_FALSE(log.messages().empty());
}

TEST_F(HandlersDbTest, OneFailingRecordUndoesTheWholeTransaction) {
    mh_list_t list;
    mh_list_init(&list);
    mh_t h = record("ok1", MH_TYPE_RECIPIENT, MH_QUEUE_LOCAL, "a@x.test");
    h.executable = const_cast<char*>("/bin/h");
    mh_list_add(&list, &h);
    h.name = const_cast<char*>("bad");
    h.type = MH_TYPE_GLOBAL;
    mh_list_add(&list, &h);
    h.name = const_cast<char*>("ok2");
    h.type = MH_TYPE_SENDER;
    mh_list_add(&list, &h);

    kvarn_unit::LogCapture log;
    // The records run last-added first: "ok2" is written before "bad" fails.
    EXPECT_EQ(-1, mh_db_do_all(&list, db_, mh_db_add));
    mh_list_free(&list);
    EXPECT_EQ(Rows{}, rows("name"));
    EXPECT_EQ(1u, log.messages().size()) << log.all();
}

// Adding shows in the handler command tests.
TEST_F(HandlersDbTest, MissingTableIsReportedNotCreated) {
    sqlite3_exec(db_, "DROP TABLE handlers", nullptr, nullptr, nullptr);
    kvarn_unit::LogCapture log;
    EXPECT_EQ(-1, mh_db_remove_addr(db_, "a@x.test"));
    EXPECT_EQ(-1, mh_db_switch_by_addr(db_, "a@x.test", 1));
    mh_list_t list;
    mh_list_init(&list);
    EXPECT_EQ(-1, mh_db_select_by_name(db_, &list, "x.test"));
    EXPECT_EQ(nullptr, list.lh_first);
    EXPECT_TRUE(logged(log, "Unable to select mail handlers")) << log.all();
    EXPECT_EQ(Rows{"ERROR no such table: handlers"}, rows());
}

TEST_F(HandlersDbTest, AWriterWaitsOutAnotherProcesssLock) {
    sqlite3_busy_timeout(db_, 50);
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t child = fork();
    if (child == 0) {
        sqlite3* other = nullptr;
        sqlite3_open(path_.c_str(), &other);
        sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
        if (write(ready[1], "x", 1) != 1) {
            _exit(1);
        }
        usleep(400000);  // several busy timeouts of the writer
        sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(other);
        _exit(0);
    }
    char byte;
    ASSERT_EQ(1, read(ready[0], &byte, 1));
    EXPECT_EQ(0, add("h", MH_TYPE_RECIPIENT, "a@x.test", MH_QUEUE_LOCAL));
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(1u, rows().size());
}

}  // namespace
