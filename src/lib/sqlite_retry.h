// SQLite access shared by the mail authentication and mail handlers
// databases: the one owner of a database handle and of a statement, the
// opening, and prepare/step/exec repeated while SQLite answers "busy", with
// growing pauses between the tries.
#pragma once

#include <sqlite3.h>

#include <memory>

// Result of a retried call whose pause could not be taken (the pause would
// have reached one second): the caller gives up with -1.
constexpr int SQLITE_RETRY_GAVE_UP = -1;

// Retries `call` while it answers SQLITE_BUSY. Try k (k >= 2) is followed by
// a pause of 10 * (k - 1) microseconds; `before_retry` runs before each
// repeated try (a busy step resets its statement there).
template <class Call, class BeforeRetry>
int sqliteRetry(Call call, BeforeRetry before_retry);

bool sqliteRetryPause(long attempt);

template <class Call, class BeforeRetry>
int sqliteRetry(Call call, BeforeRetry before_retry) {
    for (long attempt = 1;; ++attempt) {
        int rc = call();
        if (attempt >= 2 && !sqliteRetryPause(attempt)) {
            return SQLITE_RETRY_GAVE_UP;
        }
        if (rc != SQLITE_BUSY) {
            return rc;
        }
        before_retry();
    }
}

// Closes with retries; used as the deleter of an owned connection.
struct SqliteCloser {
    void operator()(sqlite3* db) const;
};
using SqliteDb = std::unique_ptr<sqlite3, SqliteCloser>;

struct SqliteFinalizer {
    void operator()(sqlite3_stmt* stmt) const { sqlite3_finalize(stmt); }
};
using SqliteStmt = std::unique_ptr<sqlite3_stmt, SqliteFinalizer>;

// sqlite3_open_v2 of `path` into `db` (which owns whatever handle SQLite
// gives, so that its error text can be read), then a busy timeout of 50 ms.
// The database file itself is never reached through a link: the mail
// authentication database lies in a directory the postfix user may write,
// where one could be planted to make root open another file.
// SQLite's result code.
int sqliteOpen(const char* path, int flags, SqliteDb& db);
// sqlite3_prepare_v2 with retries; on success `stmt` owns the statement.
int sqliteRetryPrepare(sqlite3* db, const char* sql, SqliteStmt& stmt);
// sqlite3_step with retries; a busy statement is reset before it is repeated.
int sqliteRetryStep(sqlite3_stmt* stmt);
// sqlite3_exec of a script without callback, with retries.
int sqliteRetryExec(sqlite3* db, const char* sql);

// sqlite3_errmsg, or "general DB errror" when there is no connection to ask.
const char* sqliteErrorText(sqlite3* db);
