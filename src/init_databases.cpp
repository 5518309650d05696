// init-databases: the package's step that gives a server the two SQLite
// databases kvarn expects and changes nothing that exists.
//
// - The mail authentication database and its key file, at the Postfix
//   spool's paths, are made by the library's own initialiser
//   (mailAuthDBInitStyle) with its owners and modes. An existing pair is left
//   alone: a new key would make every stored password unreadable. What a
//   killed initialisation leaves (a database without users whose key is
//   missing or not yet handed to postfix) is made anew, so a second run
//   finishes the first. A database holding users without its key, a key
//   without its database, or a database that cannot be read is reported and
//   left for the administrator.
// - The mail handlers database is made with its schema under a temporary name
//   beside its final one, root's with mode 0644, and renamed into place when
//   complete; one that exists is left alone.
//
// Exit status 0 when both are in place, 1 otherwise; each failure is said on
// standard error.
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "lib/atomic_file.h"
#include "lib/log.h"
#include "lib/sqlite_retry.h"
#include "lib/tree_walk.h"
#include "mail/lib/mail_auth.h"
#include "mail/lib/mail_auth_location.h"
#include "mail/lib/mail_handlers.h"

namespace {

const char kProgram[] = "init-databases";

// Something stands at the path. A path that cannot be looked at counts as
// taken: nothing is made over what this program cannot see. lstat opens
// nothing and does not follow a link at the last element.
bool present(const char* path, struct stat* st = nullptr) {
    struct stat own;
    return lstat(path, st != nullptr ? st : &own) == 0 || errno != ENOENT;
}

// The value of a one-number query, or -1.
long long countOf(sqlite3* db, const char* sql) {
    SqliteStmt stmt;
    if (sqliteRetryPrepare(db, sql, stmt) != SQLITE_OK ||
        sqliteRetryStep(stmt.get()) != SQLITE_ROW) {
        return -1;
    }
    return sqlite3_column_int64(stmt.get(), 0);
}

// Users stored in the mail authentication database, or -1 when it cannot be
// read. A file without the users table (the schema was never committed)
// holds none.
long long storedUsers() {
    SqliteDb db;
    long long users = -1;
    if (sqliteOpen(mailAuthDB, SQLITE_OPEN_READONLY, db) == SQLITE_OK) {
        users = countOf(db.get(),
                        "SELECT count(*) FROM sqlite_master WHERE type='table' AND name='users'");
        if (users == 1) {
            users = countOf(db.get(), "SELECT count(*) FROM users");
        }
    }
    if (users < 0) {
        std::fprintf(stderr, "%s: cannot read %s: %s; left as it is\n", kProgram, mailAuthDB,
                     sqliteErrorText(db.get()));
    }
    return users;
}

bool prepareMailAuth() {
    mailAuthDBSelectStyle(MAIL_AUTH_DB_POSTFIX_STYLE);
    const passwd* postfix = getpwnam("postfix");
    if (postfix == nullptr) {
        std::fprintf(stderr, "%s: there is no user postfix, who must own %s\n", kProgram,
                     mailAuthDB);
        return false;
    }
    struct stat key {};
    const bool have_key = present(mailAuthKey, &key);
    if (present(mailAuthDB)) {
        const long long users = storedUsers();
        if (users < 0) {
            return false;
        }
        const bool key_finished = have_key && S_ISREG(key.st_mode) && key.st_uid == postfix->pw_uid;
        if (users > 0 && !have_key) {
            std::fprintf(stderr,
                         "%s: %s holds %lld user(s) but its key %s is missing; no new key is made, "
                         "it would make their passwords unreadable\n",
                         kProgram, mailAuthDB, users, mailAuthKey);
            return false;
        }
        if (users > 0 || key_finished) {
            return true;
        }
    } else if (have_key) {
        std::fprintf(stderr,
                     "%s: the key %s exists without its database %s; left as it is (move it away "
                     "to have both made afresh)\n",
                     kProgram, mailAuthKey, mailAuthDB);
        return false;
    }
    if (mailAuthDBInitStyle(MAIL_AUTH_DB_POSTFIX_STYLE) != 0) {
        std::fprintf(stderr, "%s: cannot create %s and its key %s\n", kProgram, mailAuthDB,
                     mailAuthKey);
        return false;
    }
    std::printf("%s: created %s and its key %s\n", kProgram, mailAuthDB, mailAuthKey);
    return true;
}

bool prepareHandlers() {
    if (present(MH_DB_PATH)) {
        return true;
    }
    const std::string path = MH_DB_PATH;
    const std::string dir = path.substr(0, path.rfind('/'));
    marun::UniqueFd dir_fd(walk_make_dirs(dir.c_str(), 0755));
    marun::AtomicFile file;
    const char* failed = nullptr;
    std::string why;
    if (!dir_fd.valid()) {
        failed = "make the directory of";
        why = walk_strerror(errno);
    } else if (file.createBeside(MH_DB_PATH, ".XXXXXX", 0644) != 0 ||
               fchown(file.fd(), 0, 0) != 0 || fchmod(file.fd(), 0644) != 0) {
        failed = "create";
        why = walk_strerror(errno);
    } else {
        SqliteDb db;
        const std::string temp = dir + "/" + file.tempName();
        if (sqliteOpen(temp.c_str(), SQLITE_OPEN_READWRITE, db) !=
                SQLITE_OK ||
            sqliteRetryExec(db.get(), MH_DB_SCHEMA_SQL) != SQLITE_OK) {
            failed = "write the schema into";
            why = sqliteErrorText(db.get());
        }
    }
    if (failed == nullptr && file.commit() != 0) {
        failed = "rename into place";
        why = std::strerror(errno);
    }
    if (failed != nullptr) {
        std::fprintf(stderr, "%s: cannot %s %s: %s\n", kProgram, failed, MH_DB_PATH, why.c_str());
        return false;
    }
    std::printf("%s: created %s\n", kProgram, MH_DB_PATH);
    return true;
}

}  // namespace

int main() {
    // The library's own messages go to the system log and standard error.
    marun_log_init(nullptr, 6, 16, 32, "kvarn-init-databases");
    const bool auth = prepareMailAuth();
    const bool handlers = prepareHandlers();
    return auth && handlers ? 0 : 1;
}
