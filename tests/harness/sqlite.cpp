// Integration-test harness: SQLite access through the sqlite3 C API.
#include "harness/sqlite.h"

#include <sqlite3.h>

#include "harness/process.h"

namespace kvarn_test {

Rows sqliteQuery(const std::string& dbPath, const std::string& sql) {
    sqlite3* db = nullptr;
    // No SQLITE_OPEN_CREATE: a missing database is an error, not an empty one.
    if (sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw HarnessError("cannot open SQLite database " + dbPath + ": " + msg);
    }
    sqlite3_busy_timeout(db, 5000);
    auto fail = [&] {
        std::string msg = sqlite3_errmsg(db);
        sqlite3_close(db);
        throw HarnessError("SQLite error in " + dbPath + ": " + msg + "\nin: " + sql);
    };

    Rows rows;
    const char* next = sql.c_str();
    while (*next) {
        sqlite3_stmt* stmt = nullptr;
        const char* tail = nullptr;
        if (sqlite3_prepare_v2(db, next, -1, &stmt, &tail) != SQLITE_OK) {
            fail();
        }
        next = tail;
        if (!stmt) {
            continue;  // white space or a comment
        }
        int rc;
        while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
                if (sqlite3_column_type(stmt, i) == SQLITE_NULL) {
                    row.emplace_back(kSqlNull);
                } else {
                    const auto* text = sqlite3_column_text(stmt, i);
                    row.emplace_back(reinterpret_cast<const char*>(text),
                                     static_cast<size_t>(sqlite3_column_bytes(stmt, i)));
                }
            }
            rows.push_back(std::move(row));
        }
        sqlite3_finalize(stmt);
        if (rc != SQLITE_DONE) {
            fail();
        }
    }
    sqlite3_close(db);
    return rows;
}

void createSqliteDatabase(const std::string& dbPath, const std::string& sql) {
    sqlite3* db = nullptr;
    bool ok = sqlite3_open(dbPath.c_str(), &db) == SQLITE_OK &&
              sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    if (!ok) {
        throw HarnessError("cannot create SQLite database " + dbPath + ": " + msg);
    }
}

}  // namespace kvarn_test
