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
//   mailname_queries alias DOMAIN NAME MAILALIAS
//       the panel connection and the domain alias query; the copy of NAME's
//       authentication record to MAILALIAS (read on a read-only connection,
//       written on a read-write one) and of the mail handlers of its address
//       (selected, then written in one transaction), as --add-alias does them
//   mailname_queries domain-alias DOMAIN ALIAS
//       what --add-domain-alias must ask and write, each database on one
//       connection: the mail names of DOMAIN and the mail aliases of each;
//       the mail handlers of DOMAIN and their copies for ALIAS, in one
//       transaction; for every mail name and mail alias, the source row
//       read and its copy written into ALIAS in the mail authentication
//       database
#include <mysql.h>
#include <sqlite3.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

const char* const SHADOW = "/etc/oru/.oru.shadow";
const char* const AUTH_DB = "/var/spool/postfix/marun/passwd.db";
const char* const HANDLERS_DB = "/var/lib/marun/mail/handlers/handlers.db";

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

// Connects as kvarn does (user admin, the shadow file's first line); null
// on failure.
MYSQL* connectPanel() {
    char password[100] = {};
    FILE* shadow = std::fopen(SHADOW, "r");
    if (shadow == nullptr || std::fgets(password, sizeof password, shadow) == nullptr) {
        return nullptr;
    }
    std::fclose(shadow);
    password[std::strcspn(password, "\n")] = '\0';
    MYSQL* my = mysql_init(nullptr);
    if (!mysql_real_connect(my, "localhost", "admin", password, "oru", 0, nullptr, 0) ||
        !query(my, "SET NAMES utf8")) {
        mysql_close(my);
        return nullptr;
    }
    return my;
}

bool aliases(const std::string& domain) {
    MYSQL* my = connectPanel();
    bool ok = my != nullptr &&
              query(my,
                    "SELECT da.name FROM domainaliases da JOIN domains d WHERE da.dom_id=d.id "
                    "and d.name='" +
                        domain + "'");
    mysql_close(my);
    return ok;
}

// The first column of every row of `sql`, appended to `names`.
bool names(MYSQL* my, const std::string& sql, std::vector<std::string>& names) {
    if (mysql_real_query(my, sql.data(), sql.size()) != 0) {
        return false;
    }
    MYSQL_RES* result = mysql_store_result(my);
    if (result == nullptr) {
        return false;
    }
    while (MYSQL_ROW row = mysql_fetch_row(result)) {
        names.emplace_back(row[0]);
    }
    mysql_free_result(result);
    return true;
}

const char* text(sqlite3_stmt* stmt, int column) {
    const unsigned char* value = sqlite3_column_text(stmt, column);
    return value != nullptr ? reinterpret_cast<const char*>(value) : "";
}

bool step(sqlite3_stmt* stmt, int wanted) {
    bool ok = sqlite3_step(stmt) == wanted;
    sqlite3_reset(stmt);
    return ok;
}

bool domainAlias(const std::string& domain, const std::string& alias) {
    // The addresses of the domain, from the panel.
    MYSQL* my = connectPanel();
    std::vector<std::string> mailnames;
    std::vector<std::string> addresses;
    bool ok = my != nullptr && names(my,
                                     "SELECT m.mail_name FROM mail m JOIN domains d WHERE "
                                     "m.dom_id=d.id AND d.name='" +
                                         domain + "'",
                                     mailnames);
    for (const std::string& name : mailnames) {
        ok = ok && names(my,
                         "SELECT ma.alias FROM mail_aliases ma JOIN mail m, domains d WHERE "
                         "ma.mn_id=m.id AND m.mail_name='" +
                             name + "' AND m.dom_id=d.id AND d.name='" + domain + "'",
                         addresses);
        addresses.push_back(name);
    }
    mysql_close(my);

    // The domain's handlers, copied for the alias.
    sqlite3* db = nullptr;
    sqlite3_stmt* select = nullptr;
    sqlite3_stmt* insert = nullptr;
    ok = ok && sqlite3_open_v2(HANDLERS_DB, &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(db,
                            "SELECT priority, type, queue, name, executable, context, enabled, "
                            "address FROM handlers WHERE address LIKE '%' || ? || '%'",
                            -1, &select, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(db,
                            "INSERT OR REPLACE INTO handlers(priority, name, type, address, "
                            "queue, executable, context, enabled) VALUES(?, ?, ?, ?, ?, ?, ?, ?)",
                            -1, &insert, nullptr) == SQLITE_OK &&
         sqlite3_exec(db, "BEGIN TRANSACTION;", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (ok) {
        sqlite3_bind_text(select, 1, domain.c_str(), -1, SQLITE_TRANSIENT);
        while (ok && sqlite3_step(select) == SQLITE_ROW) {
            std::string address = text(select, 7);
            const std::string::size_type at = address.find('@');
            if (address == domain) {
                address = alias;
            } else if (at != std::string::npos &&
                       address.compare(at + 1, std::string::npos, domain) == 0) {
                address = address.substr(0, at + 1) + alias;
            } else {
                continue;
            }
            sqlite3_bind_int(insert, 1, sqlite3_column_int(select, 0));
            sqlite3_bind_text(insert, 2, text(select, 3), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 3, sqlite3_column_int(select, 1));
            sqlite3_bind_text(insert, 4, address.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 5, sqlite3_column_int(select, 2));
            sqlite3_bind_text(insert, 6, text(select, 4), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 7, text(select, 5), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 8, sqlite3_column_int(select, 6));
            ok = step(insert, SQLITE_DONE);
        }
        ok = ok && sqlite3_exec(db, "END TRANSACTION;", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    sqlite3_finalize(select);
    sqlite3_finalize(insert);
    sqlite3_close(db);

    // Each address's login, copied into the alias domain (made on first use).
    db = nullptr;
    sqlite3_stmt* domainId = nullptr;
    sqlite3_stmt* user = nullptr;
    sqlite3_stmt* newDomain = nullptr;
    sqlite3_stmt* write = nullptr;
    ok = ok && sqlite3_open_v2(AUTH_DB, &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(db, "SELECT id, status FROM domains WHERE name=?", -1, &domainId,
                            nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(db,
                            "SELECT name, userPassword, cmusaslsecretPLAIN, status FROM users "
                            "WHERE dom_id=? AND name=?",
                            -1, &user, nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(db, "INSERT INTO domains (name, status) VALUES (?, ?)", -1, &newDomain,
                            nullptr) == SQLITE_OK &&
         sqlite3_prepare_v2(db,
                            "INSERT OR REPLACE INTO users (name, userPassword, status, dom_id) "
                            "VALUES (?, ?, ?, ?)",
                            -1, &write, nullptr) == SQLITE_OK;
    sqlite3_int64 target = 0;
    for (const std::string& address : addresses) {
        if (!ok) {
            break;
        }
        sqlite3_bind_text(domainId, 1, domain.c_str(), -1, SQLITE_TRANSIENT);
        ok = sqlite3_step(domainId) == SQLITE_ROW;
        const sqlite3_int64 source = ok ? sqlite3_column_int64(domainId, 0) : 0;
        sqlite3_reset(domainId);
        sqlite3_bind_int64(user, 1, source);
        sqlite3_bind_text(user, 2, address.c_str(), -1, SQLITE_TRANSIENT);
        ok = ok && sqlite3_step(user) == SQLITE_ROW;
        const std::string password = ok ? text(user, 1) : "";
        sqlite3_reset(user);
        if (ok && target == 0) {
            sqlite3_bind_text(domainId, 1, alias.c_str(), -1, SQLITE_TRANSIENT);
            if (sqlite3_step(domainId) == SQLITE_ROW) {
                target = sqlite3_column_int64(domainId, 0);
            }
            sqlite3_reset(domainId);
            if (target == 0) {
                sqlite3_bind_text(newDomain, 1, alias.c_str(), -1, SQLITE_TRANSIENT);
                sqlite3_bind_int(newDomain, 2, 0);
                ok = step(newDomain, SQLITE_DONE);
                target = sqlite3_last_insert_rowid(db);
            }
        }
        sqlite3_bind_text(write, 1, address.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(write, 2, password.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int(write, 3, 0);
        sqlite3_bind_int64(write, 4, target);
        ok = ok && step(write, SQLITE_DONE);
    }
    for (sqlite3_stmt* stmt : {domainId, user, newDomain, write}) {
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
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

// Runs `sql` with text parameters; `row` sees each result row.
bool statement(sqlite3* db, const char* sql, const std::vector<std::string>& params,
               const std::function<void(sqlite3_stmt*)>& row = nullptr) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
        return false;
    }
    for (size_t i = 0; i < params.size(); ++i) {
        sqlite3_bind_text(stmt, static_cast<int>(i + 1), params[i].c_str(), -1, SQLITE_STATIC);
    }
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
        if (row) {
            row(stmt);
        }
    }
    sqlite3_finalize(stmt);
    return rc == SQLITE_DONE;
}

std::string column(sqlite3_stmt* stmt, int i) {
    const unsigned char* text = sqlite3_column_text(stmt, i);
    return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

bool alias(const std::string& domain, const std::string& name, const std::string& mailAlias) {
    if (!aliases(domain)) {
        return false;
    }
    std::string domainId;
    std::string password;
    sqlite3* db = nullptr;
    bool ok = sqlite3_open_v2(AUTH_DB, &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
              statement(db, "SELECT id, status FROM domains WHERE name=?", {domain},
                        [&](sqlite3_stmt* s) { domainId = column(s, 0); }) &&
              statement(db,
                        "SELECT name, userPassword, cmusaslsecretPLAIN, status FROM users WHERE "
                        "dom_id=? AND name=?",
                        {domainId, name}, [&](sqlite3_stmt* s) { password = column(s, 1); });
    sqlite3_close(db);
    ok = ok && sqlite3_open_v2(AUTH_DB, &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
         statement(db, "SELECT id FROM domains WHERE name=?", {domain}) &&
         statement(db,
                   "INSERT OR REPLACE INTO users (name, userPassword, status, dom_id) VALUES (?, "
                   "?, 0, ?)",
                   {mailAlias, password, domainId});
    sqlite3_close(db);

    std::vector<std::vector<std::string>> handlers;
    ok = ok && sqlite3_open_v2(HANDLERS_DB, &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
         statement(db,
                   "SELECT priority, type, queue, name, executable, context, enabled FROM "
                   "handlers WHERE address=?",
                   {name + "@" + domain},
                   [&](sqlite3_stmt* s) {
                       handlers.push_back({column(s, 0), column(s, 3), column(s, 1),
                                           mailAlias + "@" + domain, column(s, 2), column(s, 4),
                                           column(s, 5), column(s, 6)});
                   }) &&
         statement(db, "BEGIN TRANSACTION;", {});
    for (const std::vector<std::string>& handler : handlers) {
        ok = ok && statement(db,
                             "INSERT OR REPLACE INTO handlers(priority, name, type, address, "
                             "queue, executable, context, enabled) VALUES(?, ?, ?, ?, ?, ?, ?, ?)",
                             handler);
    }
    ok = ok && statement(db, "END TRANSACTION;", {});
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
    } else if (mode == "alias" && argc == 5) {
        ok = alias(argv[2], argv[3], argv[4]);
    } else if (mode == "domain-alias" && argc == 4) {
        ok = domainAlias(argv[2], argv[3]);
    } else {
        std::fprintf(stderr,
                     "usage: mailname_queries aliases DOMAIN\n"
                     "       mailname_queries mailbox DOMAIN ALIAS NAME\n"
                     "       mailname_queries alias DOMAIN NAME MAILALIAS\n"
                     "       mailname_queries domain-alias DOMAIN ALIAS\n");
        return 2;
    }
    if (!ok) {
        std::fprintf(stderr, "mailname_queries: %s failed\n", mode.c_str());
        return 1;
    }
    return 0;
}
