// Busy-retry discipline for SQLite calls.
#include "lib/sqlite_retry.h"

#include <cerrno>
#include <ctime>

bool sqliteRetryPause(long attempt) {
    // nanosleep refuses a nanosecond field of one second or more, which ends
    // the retries after 100,000 tries.
    timespec pause{0, 10000L * (attempt - 1)};
    while (nanosleep(&pause, &pause) != 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

void SqliteCloser::operator()(sqlite3* db) const {
    sqliteRetry([db] { return sqlite3_close(db); }, [] {});
}

int sqliteOpen(const char* path, int flags, SqliteDb& db) {
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path, &raw, flags | SQLITE_OPEN_NOFOLLOW, nullptr);
    db.reset(raw);
    if (rc == SQLITE_OK) {
        sqlite3_busy_timeout(raw, 50);
    }
    return rc;
}

int sqliteRetryPrepare(sqlite3* db, const char* sql, SqliteStmt& stmt) {
    sqlite3_stmt* raw = nullptr;
    int rc = sqliteRetry(
        [&] {
            sqlite3_finalize(raw);
            raw = nullptr;
            return sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
        },
        [] {});
    stmt.reset(raw);
    return rc;
}

int sqliteRetryStep(sqlite3_stmt* stmt) {
    return sqliteRetry([stmt] { return sqlite3_step(stmt); }, [stmt] { sqlite3_reset(stmt); });
}

int sqliteRetryExec(sqlite3* db, const char* sql) {
    return sqliteRetry([&] { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }, [] {});
}

const char* sqliteErrorText(sqlite3* db) {
    return db != nullptr ? sqlite3_errmsg(db) : "general DB errror";
}
