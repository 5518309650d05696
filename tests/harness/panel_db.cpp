// Integration-test harness: the panel database, through libmariadb on the
// sandbox server's socket.
#include "harness/panel_db.h"

#include <mysql.h>
#include <stdlib.h>

#include <memory>

#include "harness/process.h"

namespace kvarn_test {

const char* const kSqlNull = "NULL";

namespace {

const char* const kTableDefinitions[] = {
    "CREATE TABLE domains ("
    " id INT PRIMARY KEY AUTO_INCREMENT,"
    " name VARCHAR(255),"
    " webspace_id INT DEFAULT 0,"
    " limits_id INT NULL)",
    "CREATE TABLE domainaliases ("
    " id INT PRIMARY KEY AUTO_INCREMENT,"
    " name VARCHAR(255),"
    " dom_id INT)",
    "CREATE TABLE mail ("
    " id INT PRIMARY KEY AUTO_INCREMENT,"
    " mail_name VARCHAR(255),"
    " dom_id INT,"
    " mbox_quota BIGINT DEFAULT -1)",
    "CREATE TABLE mail_aliases ("
    " id INT PRIMARY KEY AUTO_INCREMENT,"
    " alias VARCHAR(255),"
    " mn_id INT)",
    // Several rows share one id: one row per limit of a limits set.
    "CREATE TABLE Limits ("
    " id INT,"
    " limit_name VARCHAR(255),"
    " value VARCHAR(255))",
    "CREATE TABLE misc ("
    " param VARCHAR(255) PRIMARY KEY,"
    " val VARCHAR(255))",
};

std::string envOr(const char* name, const char* fallback) {
    const char* v = ::getenv(name);
    return v && *v ? v : fallback;
}

std::string databaseName() {
    return envOr("KVARN_SANDBOX_DB_NAME", "oru");
}

struct MysqlCloser {
    void operator()(MYSQL* m) const { mysql_close(m); }
};
using Connection = std::unique_ptr<MYSQL, MysqlCloser>;

Connection connect(const std::string& user, const std::string& password, const char* database) {
    Connection conn(mysql_init(nullptr));
    if (!conn) {
        throw HarnessError("mysql_init failed");
    }
    mysql_options(conn.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
    if (!mysql_real_connect(
            conn.get(), "localhost", user.c_str(), password.empty() ? nullptr : password.c_str(),
            database, 0, envOr("KVARN_SANDBOX_DB_SOCKET", "/run/mysqld/mysqld.sock").c_str(), 0)) {
        throw HarnessError("cannot connect to the panel database as " + user + ": " +
                           mysql_error(conn.get()));
    }
    return conn;
}

Rows fetchRows(MYSQL* m, const std::string& sql) {
    if (mysql_real_query(m, sql.data(), sql.size()) != 0) {
        throw HarnessError("SQL error: " + std::string(mysql_error(m)) + "\nin: " + sql);
    }
    Rows rows;
    MYSQL_RES* res = mysql_store_result(m);
    if (!res) {
        if (mysql_field_count(m) != 0) {
            throw HarnessError("SQL error: " + std::string(mysql_error(m)) + "\nin: " + sql);
        }
        return rows;
    }
    const unsigned int columns = mysql_num_fields(res);
    while (MYSQL_ROW row = mysql_fetch_row(res)) {
        const unsigned long* lengths = mysql_fetch_lengths(res);
        std::vector<std::string> values;
        for (unsigned int i = 0; i < columns; ++i) {
            values.push_back(row[i] ? std::string(row[i], lengths[i]) : kSqlNull);
        }
        rows.push_back(std::move(values));
    }
    mysql_free_result(res);
    return rows;
}

// The harness's own connection: the server's root over its socket (the
// unix_socket plugin admits uid 0), so resetting works whatever a test did
// to the panel's account. It is reopened if the server dropped it.
MYSQL* harnessConnection() {
    static Connection conn;
    if (conn && mysql_ping(conn.get()) != 0) {
        conn.reset();
    }
    if (!conn) {
        conn = connect("root", "", databaseName().c_str());
    }
    return conn.get();
}

void exec(const std::string& sql) {
    fetchRows(harnessConnection(), sql);
}

int insertId(const std::string& sql) {
    MYSQL* m = harnessConnection();
    fetchRows(m, sql);
    return static_cast<int>(mysql_insert_id(m));
}

std::string table(const char* name) {
    return "`" + databaseName() + "`." + name;
}

std::string sqlQuote(const std::string& value) {
    std::string escaped(value.size() * 2 + 1, '\0');
    unsigned long n =
        mysql_real_escape_string(harnessConnection(), escaped.data(), value.data(), value.size());
    escaped.resize(n);
    return "'" + escaped + "'";
}

}  // namespace

void resetPanelDatabase() {
    const std::string db = "`" + databaseName() + "`";
    exec("DROP DATABASE IF EXISTS " + db);
    exec("CREATE DATABASE " + db + " CHARACTER SET utf8mb4");
    exec("USE " + db);
    for (const char* ddl : kTableDefinitions) {
        exec(ddl);
    }
}

Rows panelQuery(const std::string& sql) {
    return fetchRows(harnessConnection(), sql);
}

unsigned long long panelExec(const std::string& sql) {
    MYSQL* m = harnessConnection();
    fetchRows(m, sql);
    return mysql_affected_rows(m);
}

int seedDomain(const std::string& name, int webspaceId) {
    return insertId("INSERT INTO " + table("domains") + " (name, webspace_id) VALUES (" +
                    sqlQuote(name) + ", " + std::to_string(webspaceId) + ")");
}

int seedDomainAlias(int domainId, const std::string& alias) {
    return insertId("INSERT INTO " + table("domainaliases") + " (name, dom_id) VALUES (" +
                    sqlQuote(alias) + ", " + std::to_string(domainId) + ")");
}

int seedMail(int domainId, const std::string& mailName, long long mboxQuota) {
    return insertId("INSERT INTO " + table("mail") + " (mail_name, dom_id, mbox_quota) VALUES (" +
                    sqlQuote(mailName) + ", " + std::to_string(domainId) + ", " +
                    std::to_string(mboxQuota) + ")");
}

int seedMailAlias(int mailId, const std::string& alias) {
    return insertId("INSERT INTO " + table("mail_aliases") + " (alias, mn_id) VALUES (" +
                    sqlQuote(alias) + ", " + std::to_string(mailId) + ")");
}

void seedLimit(int domainId, const std::string& limitName, const std::string& value) {
    const std::string domains = table("domains");
    const std::string limits = table("Limits");
    Rows rows = fetchRows(harnessConnection(), "SELECT limits_id FROM " + domains +
                                                   " WHERE id = " + std::to_string(domainId));
    if (rows.empty()) {
        throw HarnessError("seedLimit: no domain with id " + std::to_string(domainId));
    }
    std::string limitsId = rows[0][0];
    if (limitsId == kSqlNull) {
        limitsId = fetchRows(harnessConnection(),
                             "SELECT GREATEST(COALESCE((SELECT MAX(id) FROM " + limits +
                                 "), 0), COALESCE((SELECT MAX(limits_id) FROM " + domains +
                                 "), 0)) + 1")[0][0];
        exec("UPDATE " + domains + " SET limits_id = " + limitsId +
             " WHERE id = " + std::to_string(domainId));
    }
    exec("DELETE FROM " + limits + " WHERE id = " + limitsId +
         " AND limit_name = " + sqlQuote(limitName));
    exec("INSERT INTO " + limits + " (id, limit_name, value) VALUES (" + limitsId + ", " +
         sqlQuote(limitName) + ", " + sqlQuote(value) + ")");
}

void seedMisc(const std::string& param, const std::string& value) {
    exec("REPLACE INTO " + table("misc") + " (param, val) VALUES (" + sqlQuote(param) + ", " +
         sqlQuote(value) + ")");
}

}  // namespace kvarn_test
