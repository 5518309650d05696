// Mail authentication database operations: storing, copying, renaming and
// removing users, domain status and names, and reading users back through
// a visitor with their passwords decrypted.
#include <openssl/crypto.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <new>
#include <string>

#include "lib/c_handles.h"
#include "lib/log.h"
#include "lib/sqlite_retry.h"
#include "mail/lib/mail_auth.h"
#include "mail/lib/mail_auth_location.h"

namespace {

const char kDomainStatusSql[] = "UPDATE domains SET status=? WHERE name=?";
const char kDomainLookupSql[] = "SELECT id FROM domains WHERE name=?";
const char kDomainInsertSql[] = "INSERT INTO domains (name, status) VALUES(?, ?)";
const char kStorePlainSql[] =
    "INSERT OR REPLACE INTO users (name, userPassword, status, dom_id) VALUES (?, ?, ?, ?)";
const char kStoreCryptedSql[] =
    "INSERT OR REPLACE INTO users (name, cmusaslsecretPLAIN, status, dom_id) VALUES (?, ?, ?, ?)";
const char kCopyDomainSql[] = "SELECT id, status FROM domains WHERE name=?";
const char kCopyUserSql[] =
    "SELECT name, userPassword, cmusaslsecretPLAIN, status FROM users WHERE dom_id=? AND name=?";
const char kCheckSql[] =
    "SELECT u.userPassword AS password, u.cmusaslsecretPLAIN AS encPassword, u.status AS "
    "userDisabled, d.status AS domainDisabled FROM users AS u, domains AS d WHERE u.dom_id = "
    "d.id AND u.name=? AND d.name=?";
#define WALK_SQL                                                                                 \
    "SELECT u.name || '@' || d.name as mailAddress, u.userPassword AS password, "                \
    "u.cmusaslsecretPLAIN AS encPassword, u.status AS userDisabled, d.status AS domainDisabled " \
    "FROM users AS u, domains AS d WHERE u.dom_id = d.id"
const char kWalkByNameSql[] = WALK_SQL " AND u.name=?";
const char kWalkAllSql[] = WALK_SQL " ORDER BY d.name, u.name";
#undef WALK_SQL
const char kRemoveUserSql[] = "DELETE FROM users WHERE name=? AND dom_id=?";
const char kRenameUserSql[] = "UPDATE users SET name=? WHERE name=? AND dom_id=?";
const char kRenameDomainSql[] = "UPDATE domains SET name=? WHERE name=?";
const char kRemoveDomainSql[] = "DELETE FROM domains WHERE name=?";

const char kNoSuchDomain[] = "No such domain '%s' in the mail authentication DB";

// A password in memory that is wiped before it is freed.
struct WipingDeleter {
    void operator()(char* p) const {
        if (p != nullptr) {
            OPENSSL_cleanse(p, std::strlen(p));
            std::free(p);
        }
    }
};
using SecretString = std::unique_ptr<char, WipingDeleter>;

// One connection to the database at mailAuthDB, closed with this object.
class AuthDb {
  public:
    bool openReadWrite() { return open(SQLITE_OPEN_READWRITE, "Unable to open database %s: %s"); }
    bool openReadOnly() {
        return open(SQLITE_OPEN_READONLY, "Unable to open database(readonly) %s: %s");
    }
    sqlite3* get() const { return db_.get(); }
    const char* error() const { return sqliteErrorText(db_.get()); }

    bool prepare(const char* sql, SqliteStmt& stmt) const {
        if (sqliteRetryPrepare(db_.get(), sql, stmt) != SQLITE_OK) {
            marun_log(3, "Unable to prepare SQL statement for query '%s': %s", sql, error());
            return false;
        }
        return true;
    }

  private:
    bool open(int flags, const char* failure_format) {
        if (sqliteOpen(mailAuthDB, flags, db_) != SQLITE_OK) {
            marun_log(3, failure_format, mailAuthDB, error());
            return false;
        }
        return true;
    }

    SqliteDb db_;
};

bool bindText(sqlite3_stmt* stmt, int index, const char* value) {
    if (value == nullptr) {
        return sqlite3_bind_null(stmt, index) == SQLITE_OK;
    }
    return sqlite3_bind_text(stmt, index, value, static_cast<int>(std::strlen(value)),
                             SQLITE_STATIC) == SQLITE_OK;
}

bool bindInt(sqlite3_stmt* stmt, int index, sqlite3_int64 value) {
    return sqlite3_bind_int64(stmt, index, value) == SQLITE_OK;
}

const char* columnText(sqlite3_stmt* stmt, int column) {
    return reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
}

bool isConstraint(int rc) {
    return (rc & 0xff) == SQLITE_CONSTRAINT;
}

enum class DomainLookup { Found, Missing, Failed };

// Finds the domain's id; registers the domain unless MAIL_AUTH_DO_NOT_CHANGE
// is set (status 1 with MAIL_DOMAIN_AUTH_DISABLED).
DomainLookup findDomain(const AuthDb& db, const char* domain, MailAuthFlagsT flags,
                        sqlite3_int64* id) {
    // A second round only follows a registration that lost the race against
    // another process registering the same domain.
    for (int round = 0; round < 2; ++round) {
        SqliteStmt lookup;
        if (!db.prepare(kDomainLookupSql, lookup)) {
            return DomainLookup::Failed;
        }
        if (!bindText(lookup.get(), 1, domain)) {
            marun_log(3,
                      "Unable to bind parameter domain name '%s' to  SQL statement for query "
                      "'%s': %s",
                      domain, kDomainLookupSql, db.error());
            return DomainLookup::Failed;
        }
        int rc = sqliteRetryStep(lookup.get());
        if (rc == SQLITE_ROW) {
            *id = sqlite3_column_int64(lookup.get(), 0);
            return DomainLookup::Found;
        }
        if (rc != SQLITE_DONE) {
            marun_log(3, "Unable to execute the domain selection query: %s", db.error());
            return DomainLookup::Failed;
        }
        if (flags & MAIL_AUTH_DO_NOT_CHANGE) {
            return DomainLookup::Missing;
        }
        lookup.reset();

        SqliteStmt insert;
        if (!db.prepare(kDomainInsertSql, insert)) {
            return DomainLookup::Failed;
        }
        int status = (flags & MAIL_DOMAIN_AUTH_DISABLED) ? 1 : 0;
        if (!bindText(insert.get(), 1, domain)) {
            marun_log(3,
                      "Unable to bind parameter domain name '%s' to  SQL statement for query "
                      "'%s': %s",
                      domain, kDomainInsertSql, db.error());
            return DomainLookup::Failed;
        }
        if (!bindInt(insert.get(), 2, status)) {
            marun_log(3,
                      "Unable to bind parameter status '%d' for domain '%s' to SQL statement for "
                      "query '%s': %s",
                      status, domain, kDomainInsertSql, db.error());
            return DomainLookup::Failed;
        }
        rc = sqliteRetryStep(insert.get());
        if (rc == SQLITE_DONE) {
            *id = sqlite3_last_insert_rowid(db.get());
            return DomainLookup::Found;
        }
        if (!isConstraint(rc) || round > 0) {
            marun_log(3, "Unable to execute the mail domain authentication registration query: %s",
                      db.error());
            return DomainLookup::Failed;
        }
    }
    return DomainLookup::Failed;
}

// Writes the user's row whole: `text` goes to cmusaslsecretPLAIN with
// MAIL_AUTH_CRYPTED, else to userPassword, as given.
int writeUser(const AuthDb& db, const char* name, const char* domain, const char* text,
              MailAuthFlagsT flags) {
    sqlite3_int64 domain_id = 0;
    if (findDomain(db, domain, flags & ~MAIL_AUTH_DO_NOT_CHANGE, &domain_id) !=
        DomainLookup::Found) {
        marun_log(3, kNoSuchDomain, domain);
        return -1;
    }
    const char* sql = (flags & MAIL_AUTH_CRYPTED) ? kStoreCryptedSql : kStorePlainSql;
    SqliteStmt stmt;
    if (!db.prepare(sql, stmt)) {
        return -1;
    }
    sqlite3_stmt* s = stmt.get();
    if (!bindText(s, 1, name)) {
        marun_log(3, "Unable to bind parameter mailname '%s' to SQL statement for query '%s': %s",
                  name, sql, db.error());
        return -1;
    }
    if (!bindText(s, 2, text)) {
        marun_log(3,
                  "Unable to bind parameter password for mail address '%s@%s' to SQL statement "
                  "for query '%s': %s",
                  name, domain, sql, db.error());
        return -1;
    }
    if (!bindInt(s, 3, (flags & MAIL_AUTH_DISABLED) ? 1 : 0)) {
        marun_log(3,
                  "Unable to bind parameter status for mail address '%s@%s' to  SQL statement "
                  "for query '%s': %s",
                  name, domain, sql, db.error());
        return -1;
    }
    if (!bindInt(s, 4, domain_id)) {
        marun_log(3,
                  "Unable to bind parameter domain ID for mail address '%s@%s' to  SQL statement "
                  "for query '%s': %s",
                  name, domain, sql, db.error());
        return -1;
    }
    if (sqliteRetryStep(s) != SQLITE_DONE) {
        marun_log(3, "Unable to execute the mail authorization registration query: %s: %s", sql,
                  db.error());
        return -1;
    }
    return 0;
}

// A user row read for copying; the strings are owned.
struct CopiedUser {
    passwd_type_t row{nullptr, nullptr, 0};
    MailAuthFlagsT domain_flags = 0;
    ~CopiedUser() {
        std::free(row.name);
        if (row.passwd != nullptr) {
            OPENSSL_cleanse(row.passwd, std::strlen(row.passwd));
        }
        std::free(row.passwd);
    }
};

bool copyColumn(const char* text, char** out) {
    if (text == nullptr) {
        *out = nullptr;
        return true;
    }
    *out = strdup(text);
    if (*out == nullptr) {
        marun_log(3, "System error: %s", std::strerror(errno));
        return false;
    }
    return true;
}

// Reads a user for copying: 1 found, 0 no such domain or user, -1 failure.
int readUser(const AuthDb& db, const char* name, const char* domain, CopiedUser& user) {
    SqliteStmt domain_stmt;
    if (!db.prepare(kCopyDomainSql, domain_stmt)) {
        return -1;
    }
    if (!bindText(domain_stmt.get(), 1, domain)) {
        marun_log(3, "Unable to bind parameter domain id for: %s: %s", domain, db.error());
        return -1;
    }
    int rc = sqliteRetryStep(domain_stmt.get());
    if (rc == SQLITE_DONE) {
        return 0;
    }
    if (rc != SQLITE_ROW) {
        marun_log(3, "Unable to get domain id: %s", db.error());
        return -1;
    }
    if (sqlite3_column_type(domain_stmt.get(), 0) != SQLITE_INTEGER) {
        marun_log(3, "Unable to get mail domain id for: %s", domain);
        return -1;
    }
    sqlite3_int64 domain_id = sqlite3_column_int64(domain_stmt.get(), 0);
    if (sqlite3_column_int(domain_stmt.get(), 1) != 0) {
        user.domain_flags |= MAIL_DOMAIN_AUTH_DISABLED;
    }
    domain_stmt.reset();

    SqliteStmt user_stmt;
    if (!db.prepare(kCopyUserSql, user_stmt)) {
        return -1;
    }
    sqlite3_stmt* s = user_stmt.get();
    if (!bindInt(s, 1, domain_id)) {
        marun_log(3, "Unable to bind parameter bind domain id for: %s: %s", domain, db.error());
        return -1;
    }
    if (!bindText(s, 2, name)) {
        marun_log(3, "Unable to bind parameter bind mailname %s: %s", name, db.error());
        return -1;
    }
    rc = sqliteRetryStep(s);
    if (rc == SQLITE_DONE) {
        return 0;
    }
    if (rc != SQLITE_ROW) {
        marun_log(3, "Unable to get passwd for mailname: %s: %s", name, db.error());
        return -1;
    }
    const char* plain_column = columnText(s, 1);
    const char* crypted_column = columnText(s, 2);
    const char* password = plain_column;
    if ((plain_column == nullptr || plain_column[0] == '\0') && crypted_column != nullptr) {
        password = crypted_column;
        user.row.flags |= MAIL_AUTH_CRYPTED;
    }
    if (sqlite3_column_int(s, 3) != 0) {
        user.row.flags |= MAIL_AUTH_DISABLED;
    }
    if (!copyColumn(columnText(s, 0), &user.row.name) || !copyColumn(password, &user.row.passwd)) {
        return -1;
    }
    return 1;
}

// Runs one change statement with text and integer parameters bound by the
// caller; returns false after logging `failure_format` (statement, message).
bool runChange(const AuthDb& db, sqlite3_stmt* stmt, const char* sql, const char* failure_format) {
    if (sqliteRetryStep(stmt) != SQLITE_DONE) {
        marun_log(3, failure_format, sql, db.error());
        return false;
    }
    return true;
}

int setDomainStatus(const char* domain, int status) {
    AuthDb db;
    SqliteStmt stmt;
    if (!db.openReadWrite() || !db.prepare(kDomainStatusSql, stmt)) {
        return -1;
    }
    if (!bindInt(stmt.get(), 1, status)) {
        marun_log(3, "Unable to bind parameter status %d to  SQL statement for query '%s': %s",
                  status, kDomainStatusSql, db.error());
        return -1;
    }
    if (!bindText(stmt.get(), 2, domain)) {
        marun_log(3,
                  "Unable to bind parameter domain name '%s' to  SQL statement for query '%s': %s",
                  domain, kDomainStatusSql, db.error());
        return -1;
    }
    return runChange(db, stmt.get(), kDomainStatusSql,
                     "Unable to execute the mail domain authorization status change query: %s: "
                     "%s")
               ? 0
               : -1;
}

// Hands one row to the visitor: the decrypted password (or, when it does not
// decrypt, the stored text), or the crypted one with MAIL_AUTH_CRYPTED.
int visitRow(const char* address, const char* user_password, const char* crypted_password,
             int user_status, int domain_status, MailAuthVisitor visitor, void* data) {
    MailAuthFlagsT flags = 0;
    SecretString decrypted;
    const char* password = user_password != nullptr ? user_password : "";
    if (user_password != nullptr && user_password[0] != '\0') {
        decrypted.reset(mailPasswdCipherOp(user_password, MAIL_PASSWD_DECRYPT, address, nullptr));
        if (decrypted) {
            password = decrypted.get();
        }
    } else if (crypted_password != nullptr) {
        password = crypted_password;
        flags |= MAIL_AUTH_CRYPTED;
    }
    if (user_status != 0) {
        flags |= MAIL_AUTH_DISABLED;
    }
    if (domain_status != 0) {
        flags |= MAIL_DOMAIN_AUTH_DISABLED;
    }
    return visitor(address, password, flags, data);
}

// Walks the rows of the walk statement (already bound).
int walk(const AuthDb& db, sqlite3_stmt* stmt, MailAuthVisitor visitor, void* data) {
    int result = 1;
    int rc;
    while ((rc = sqliteRetryStep(stmt)) == SQLITE_ROW) {
        const char* address = columnText(stmt, 0);
        if (address == nullptr || address[0] == '\0') {
            marun_log(4, "NULL or empty mail address stored in the database, skipped");
            continue;
        }
        const char* user_password = columnText(stmt, 1);
        const char* crypted_password = columnText(stmt, 2);
        if (user_password == nullptr && crypted_password == nullptr) {
            marun_log(6,
                      "empty password properties (both plain and encrypted) for user %s, skipped",
                      address);
            continue;
        }
        result = visitRow(address, user_password, crypted_password, sqlite3_column_int(stmt, 3),
                          sqlite3_column_int(stmt, 4), visitor, data);
        if (result <= 0) {
            return result;
        }
    }
    if (rc != SQLITE_DONE) {
        marun_log(3, "Unable to execute the user selection query: %s", db.error());
        return -1;
    }
    return result;
}

bool argumentsGiven(const char* what, std::initializer_list<const char*> args) {
    for (const char* arg : args) {
        if (arg == nullptr) {
            marun_log(3, "%s: a name or domain argument is missing", what);
            return false;
        }
    }
    return true;
}

}  // namespace

int set_postbox_passwd(const char* mailName, const char* mailDomain, const char* password,
                       MailAuthFlagsT flags) {
    if (password != nullptr && password[0] != '\0') {
        return mailAuthSet(mailName, mailDomain, password, flags);
    }
    return mailAuthRemove(mailName, mailDomain);
}

int mailAuthSet(const char* mailName, const char* mailDomain, const char* password,
                MailAuthFlagsT flags) {
    if (!argumentsGiven("mailAuthSet", {mailName, mailDomain})) {
        return -1;
    }
    MallocPtr<char> encrypted;
    const char* text = password;
    if (password != nullptr && !(flags & MAIL_AUTH_CRYPTED)) {
        encrypted.reset(mailPasswdCipherOp(password, MAIL_PASSWD_ENCRYPT, mailName, mailDomain));
        if (!encrypted) {
            return -1;
        }
        text = encrypted.get();
    }
    AuthDb db;
    if (!db.openReadWrite()) {
        return -1;
    }
    return writeUser(db, mailName, mailDomain, text, flags);
}

namespace {

// Copies one user on an open connection: 0 (also when there is no source),
// or -1 after a message.
int cloneUser(const AuthDb& db, const char* oldName, const char* oldDomain, const char* newName,
              const char* newDomain) {
    CopiedUser user;
    int found = readUser(db, oldName, oldDomain, user);
    if (found < 0) {
        marun_log(3, "Unable to get users list from MTA password database");
        return -1;
    }
    if (found == 0) {
        return 0;
    }
    // A row without any password is copied as such: the copy exists and
    // cannot log in, like its source.
    return writeUser(db, newName, newDomain, user.row.passwd, user.row.flags | user.domain_flags);
}

}  // namespace

int mailAuthClone(const char* oldName, const char* oldDomain, const char* newName,
                  const char* newDomain) {
    if (!argumentsGiven("mailAuthClone", {oldName, oldDomain, newName, newDomain})) {
        return -1;
    }
    // One connection reads the source and writes the copy.
    AuthDb db;
    if (!db.openReadWrite()) {
        return -1;
    }
    return cloneUser(db, oldName, oldDomain, newName, newDomain);
}

int mailAuthCloneNames(const char* const* names, const char* oldDomain, const char* newDomain) {
    if (!argumentsGiven("mailAuthCloneNames", {oldDomain, newDomain})) {
        return -1;
    }
    AuthDb db;
    if (!db.openReadWrite()) {
        return -1;
    }
    if (sqliteRetryExec(db.get(), "BEGIN IMMEDIATE;") != SQLITE_OK) {
        marun_log(3, "Unable to begin sqlite transaction: %s", db.error());
        return -1;
    }
    // Closing the connection without the commit rolls every copy back.
    for (const char* const* name = names; name != nullptr && *name != nullptr; ++name) {
        if (cloneUser(db, *name, oldDomain, *name, newDomain) != 0) {
            marun_log(3, "Unable to clone auth record for %s@%s", *name, newDomain);
            return -1;
        }
    }
    if (sqliteRetryExec(db.get(), "COMMIT;") != SQLITE_OK) {
        marun_log(3, "Unable to end sqlite transaction: %s", db.error());
        return -1;
    }
    return 0;
}

int mailAuthRemove(const char* mailName, const char* mailDomain) {
    if (!argumentsGiven("mailAuthRemove", {mailName, mailDomain})) {
        return -1;
    }
    AuthDb db;
    if (!db.openReadWrite()) {
        return -1;
    }
    sqlite3_int64 domain_id = 0;
    if (findDomain(db, mailDomain, MAIL_AUTH_DO_NOT_CHANGE, &domain_id) != DomainLookup::Found) {
        return 0;
    }
    SqliteStmt stmt;
    if (!db.prepare(kRemoveUserSql, stmt)) {
        return -1;
    }
    if (!bindText(stmt.get(), 1, mailName)) {
        marun_log(3, "Unable to bind parameter mailname '%s' to  SQL statement for query '%s': %s",
                  mailName, kRemoveUserSql, db.error());
        return -1;
    }
    if (!bindInt(stmt.get(), 2, domain_id)) {
        marun_log(3,
                  "Unable to bind parameter domain ID for mail address '%s@%s' to  SQL statement "
                  "for query '%s': %s",
                  mailName, mailDomain, kRemoveUserSql, db.error());
        return -1;
    }
    return runChange(db, stmt.get(), kRemoveUserSql,
                     "Unable to execute the mail authorization removal query: %s: %s")
               ? 0
               : -1;
}

int mailAuthRename(const char* oldMailName, const char* newMailName, const char* mailDomain) {
    if (!argumentsGiven("mailAuthRename", {oldMailName, newMailName, mailDomain})) {
        return -1;
    }
    sqlite3_int64 domain_id = 0;
    AuthDb db;
    if (!db.openReadWrite()) {
        return -1;
    }
    if (findDomain(db, mailDomain, MAIL_AUTH_DO_NOT_CHANGE, &domain_id) != DomainLookup::Found) {
        marun_log(3, kNoSuchDomain, mailDomain);
        return -1;
    }
    SqliteStmt stmt;
    if (!db.prepare(kRenameUserSql, stmt)) {
        return -1;
    }
    sqlite3_stmt* s = stmt.get();
    if (!bindText(s, 1, newMailName)) {
        marun_log(3,
                  "Unable to bind parameter new mailname '%s' to  SQL statement for query '%s': "
                  "%s",
                  newMailName, kRenameUserSql, db.error());
        return -1;
    }
    if (!bindText(s, 2, oldMailName)) {
        marun_log(3,
                  "Unable to bind parameter old mailname '%s' to  SQL statement for query '%s': "
                  "%s",
                  oldMailName, kRenameUserSql, db.error());
        return -1;
    }
    if (!bindInt(s, 3, domain_id)) {
        marun_log(3,
                  "Unable to bind parameter domain ID for mail address '%s@%s' to  SQL statement "
                  "for query '%s': %s",
                  oldMailName, mailDomain, kRenameUserSql, db.error());
        return -1;
    }
    return runChange(db, s, kRenameUserSql,
                     "Unable to execute the mail authorization renaming query: %s: %s")
               ? 0
               : -1;
}

int mailAuthDisableDomain(const char* domain) {
    if (!argumentsGiven("mailAuthDisableDomain", {domain})) {
        return -1;
    }
    return setDomainStatus(domain, 1);
}

int mailAuthEnableDomain(const char* domain) {
    if (!argumentsGiven("mailAuthEnableDomain", {domain})) {
        return -1;
    }
    return setDomainStatus(domain, 0);
}

int mailAuthRenameDomain(const char* oldDomain, const char* newDomain) {
    if (!argumentsGiven("mailAuthRenameDomain", {oldDomain, newDomain})) {
        return -1;
    }
    AuthDb db;
    SqliteStmt stmt;
    if (!db.openReadWrite() || !db.prepare(kRenameDomainSql, stmt)) {
        return -1;
    }
    if (!bindText(stmt.get(), 1, newDomain)) {
        marun_log(3,
                  "Unable to bind parameter new domain name '%s' to SQL statement for query '%s': "
                  "%s",
                  newDomain, kRenameDomainSql, db.error());
        return -1;
    }
    if (!bindText(stmt.get(), 2, oldDomain)) {
        marun_log(3,
                  "Unable to bind parameter old domain name '%s' to SQL statement for query '%s': "
                  "%s",
                  oldDomain, kRenameDomainSql, db.error());
        return -1;
    }
    return runChange(db, stmt.get(), kRenameDomainSql,
                     "Unable to execute the mail domain authorization name change query: %s: %s")
               ? 0
               : -1;
}

int mailAuthRemoveDomain(const char* domain) {
    if (!argumentsGiven("mailAuthRemoveDomain", {domain})) {
        return -1;
    }
    AuthDb db;
    SqliteStmt stmt;
    if (!db.openReadWrite() || !db.prepare(kRemoveDomainSql, stmt)) {
        return -1;
    }
    if (!bindText(stmt.get(), 1, domain)) {
        marun_log(3,
                  "Unable to bind parameter domain name '%s' to SQL statement for query '%s': %s",
                  domain, kRemoveDomainSql, db.error());
        return -1;
    }
    return runChange(db, stmt.get(), kRemoveDomainSql,
                     "Unable to execute the domain mail authorization removal query: %s: %s")
               ? 0
               : -1;
}

int mailAuthCheck(const char* mailAddress, MailAuthVisitor visitor, void* data) {
    const char* at = mailAddress != nullptr ? std::strchr(mailAddress, '@') : nullptr;
    if (at == nullptr || at == mailAddress || at[1] == '\0') {
        marun_log(3, "Invalid mail address '%s'", mailAddress != nullptr ? mailAddress : "");
        return -1;
    }
    int name_length = static_cast<int>(at - mailAddress);
    const char* domain = at + 1;
    AuthDb db;
    SqliteStmt stmt;
    if (!db.openReadOnly() || !db.prepare(kCheckSql, stmt)) {
        return -1;
    }
    sqlite3_stmt* s = stmt.get();
    if (sqlite3_bind_text(s, 1, mailAddress, name_length, SQLITE_STATIC) != SQLITE_OK) {
        marun_log(3, "Unable to bind parameter mailname '%.*s' to SQL statement for query '%s': %s",
                  name_length, mailAddress, kCheckSql, db.error());
        return -1;
    }
    if (!bindText(s, 2, domain)) {
        marun_log(3,
                  "Unable to bind parameter domain name '%s' to SQL statement for query '%s': %s",
                  domain, kCheckSql, db.error());
        return -1;
    }
    int rc = sqliteRetryStep(s);
    if (rc == SQLITE_DONE) {
        marun_log(6, "No such user '%s' in mail authorization database", mailAddress);
        return 1;
    }
    if (rc != SQLITE_ROW) {
        marun_log(3, "Unable to execute the user selection query: %s", db.error());
        return -1;
    }
    const char* user_password = columnText(s, 0);
    const char* crypted_password = columnText(s, 1);
    if (user_password == nullptr && crypted_password == nullptr) {
        marun_log(6, "NULL password fields (both plain and encrypted) for user %s, skipped",
                  mailAddress);
        return -1;
    }
    return visitRow(mailAddress, user_password, crypted_password, sqlite3_column_int(s, 2),
                    sqlite3_column_int(s, 3), visitor, data);
}

int mailAuthCheckShort(const char* mailname, MailAuthVisitor visitor, void* data) {
    if (!argumentsGiven("mailAuthCheckShort", {mailname})) {
        return -1;
    }
    AuthDb db;
    SqliteStmt stmt;
    if (!db.openReadOnly() || !db.prepare(kWalkByNameSql, stmt)) {
        return -1;
    }
    if (!bindText(stmt.get(), 1, mailname)) {
        marun_log(3, "Unable to bind parameter mailname '%s' to  SQL statement: %s", mailname,
                  db.error());
        return -1;
    }
    return walk(db, stmt.get(), visitor, data);
}

int mailAuthIterateAll(MailAuthVisitor visitor, void* data) {
    AuthDb db;
    SqliteStmt stmt;
    if (!db.openReadOnly() || !db.prepare(kWalkAllSql, stmt)) {
        return -1;
    }
    return walk(db, stmt.get(), visitor, data);
}
