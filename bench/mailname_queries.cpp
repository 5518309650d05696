// The database work of the mail name commands, done bare: a program that
// links nothing but the MariaDB and SQLite client libraries and sends the
// statements kvarn sends, so that its run time (process start included) is
// the database part of the benchmark's baseline.
//
//   mailname_queries aliases DOMAIN
//       the panel connection and the domain alias query of --add-mailname
//   mailname_queries mailbox DOMAIN ALIAS NAME
//       the same, then on one connection to the mail authentication database
//       the domain lookup and the user write for DOMAIN and ALIAS, as
//       --add-mailbox does them
#include <mysql.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const SHADOW = "/etc/oru/.oru.shadow";
const char* const AUTH_DB = "/var/spool/postfix/marun/passwd.db";

bool query(MYSQL* my, const std::string& sql) {
    if (mysql_real_query(my, sql.data(), sql.size()) != 0) {
        return false;
    }
    if (MYSQL_RES* result = mysql_store_result(my)) {
        while (mysql_fetch_row(result) != nullptr) {
        }
        mysql_free_result(result);
    }
    return true;
}

// Connects as kvarn does (user admin, the shadow file's first line) and
// runs its statements.
bool aliases(const std::string& domain) {
    char password[100] = {};
    FILE* shadow = std::fopen(SHADOW, "r");
    if (shadow == nullptr || std::fgets(password, sizeof password, shadow) == nullptr) {
        return false;
    }
    std::fclose(shadow);
    password[std::strcspn(password, "\n")] = '\0';
    MYSQL* my = mysql_init(nullptr);
    bool ok = mysql_real_connect(my, "localhost", "admin", password, "oru", 0, nullptr, 0) &&
              query(my, "SET NAMES utf8") &&
              query(my,
                    "SELECT da.name FROM domainaliases da JOIN domains d WHERE da.dom_id=d.id "
                    "and d.name='" +
                        domain + "'");
    mysql_close(my);
    return ok;
}

bool mailbox(const std::string& domain, const std::string& alias, const std::string& name) {
    if (!aliases(domain)) {
        return false;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(AUTH_DB, &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        return false;
    }
    sqlite3_stmt* lookup = nullptr;
    sqlite3_stmt* write = nullptr;
    bool ok =
        sqlite3_prepare_v2(db, "SELECT id FROM domains WHERE name=?", -1, &lookup, nullptr) ==
            SQLITE_OK &&
        sqlite3_prepare_v2(db,
                           "INSERT OR REPLACE INTO users (name, userPassword, status, dom_id) "
                           "VALUES (?, ?, ?, ?)",
                           -1, &write, nullptr) == SQLITE_OK;
    for (const std::string* d : {&domain, &alias}) {
        if (!ok) {
            break;
        }
        sqlite3_bind_text(lookup, 1, d->c_str(), -1, SQLITE_TRANSIENT);
        ok = sqlite3_step(lookup) == SQLITE_ROW;
        sqlite3_int64 id = ok ? sqlite3_column_int64(lookup, 0) : 0;
        sqlite3_reset(lookup);
        sqlite3_bind_text(write, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(write, 2, "$AES-256-CBC:PKCS$YmFzZWxpbmUgcGFzc3dvcmQ=", -1,
                          SQLITE_STATIC);
        sqlite3_bind_int(write, 3, 0);
        sqlite3_bind_int64(write, 4, id);
        ok = ok && sqlite3_step(write) == SQLITE_DONE;
        sqlite3_reset(write);
    }
    sqlite3_finalize(lookup);
    sqlite3_finalize(write);
    sqlite3_close(db);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    bool ok;
    if (mode == "aliases" && argc == 3) {
        ok = aliases(argv[2]);
    } else if (mode == "mailbox" && argc == 5) {
        ok = mailbox(argv[2], argv[3], argv[4]);
    } else {
        std::fprintf(stderr,
                     "usage: mailname_queries aliases DOMAIN\n"
                     "       mailname_queries mailbox DOMAIN ALIAS NAME\n");
        return 2;
    }
    if (!ok) {
        std::fprintf(stderr, "mailname_queries: %s failed\n", mode.c_str());
        return 1;
    }
    return 0;
}
