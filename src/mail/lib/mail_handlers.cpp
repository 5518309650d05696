// The mail handlers database: records and lists, and the statements that
// add, remove, switch, select and copy registrations.
#include "mail/lib/mail_handlers.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "lib/log.h"
#include "lib/sqlite_retry.h"

const char* const mh_ptype[MH_TYPE_UNKNOWN + 1] = {
    "sender", "recipient", "sender-domain", "recipient-domain", "global", "unknown",
};
const char* const mh_pqueue[MH_QUEUE_UNKNOWN + 1] = {
    "before-data", "before-queue", "before-local", "before-remote", "unknown",
};

namespace {

const char kAll[] = "all";
const char kAllRecipients[] = "all-recipients";
// Longest address that copying registrations composes.
constexpr size_t kMaxComposedAddress = 310;

const char kInsertSql[] =
    "INSERT OR REPLACE INTO handlers(priority, name, type, address, queue, executable, context, "
    "enabled) VALUES(?, ?, ?, ?, ?, ?, ?, ?)";
const char kDeleteSql[] = "DELETE FROM handlers WHERE name=? AND type=? AND address=? AND queue=?";
const char kDeleteAnyAddressSql[] = "DELETE FROM handlers WHERE name=? AND type=? AND queue=?";
const char kSwitchSql[] =
    "UPDATE OR REPLACE handlers SET enabled=? WHERE name=? AND type=? AND queue=? AND address=?";
const char kSwitchAnyAddressSql[] =
    "UPDATE OR REPLACE handlers SET enabled=? WHERE name=? AND type=? AND queue=?";
const char kSwitchByNameSql[] = "UPDATE OR REPLACE handlers SET enabled=? WHERE name=?";
const char kSwitchByAddressSql[] = "UPDATE OR REPLACE handlers SET enabled=? WHERE address=?";
const char kSelectDomainSql[] =
    "SELECT priority, type, queue, name, address, executable, context, enabled FROM handlers "
    "WHERE address LIKE '%' || ? || '%'";
const char kCloneAddressSql[] =
    "SELECT priority, type, queue, name, executable, context, enabled FROM handlers WHERE "
    "address=?";
const char kCloneDomainSql[] =
    "SELECT priority, type, queue, name, executable, context, enabled, address FROM handlers "
    "WHERE address LIKE '%' || ? || '%'";

const char kInsertFailed[] = "Unable to execute insert record into handlers database: %s";
const char kDeleteFailed[] = "Unable to execute delete record from handlers database: %s";
const char kUpdateFailed[] = "Unable to execute update record into handlers database: %s";
const char kSelectFailed[] = "Unable to select data from handlers database: %s";
const char kSaveFailed[] = "Unable to save the data from SELECT query";

const char kOpenMessage[] = "Unable to open database %s: %s";
const char kOpenReadonlyMessage[] = "Unable to open database(readonly) %s: %s";

// The caller's connection, or one opened here and closed with this object.
class Connection {
  public:
    bool open(sqlite3* given, const char* failure_format, int flags) {
        if (given != nullptr) {
            db_ = given;
            return true;
        }
        if (sqliteOpen(MH_DB_PATH, flags, owned_) != SQLITE_OK) {
            marun_log(3, failure_format, MH_DB_PATH, sqliteErrorText(owned_.get()));
            return false;
        }
        db_ = owned_.get();
        return true;
    }
    bool openReadWrite(sqlite3* given, const char* failure_format = kOpenMessage) {
        return open(given, failure_format, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    }
    sqlite3* get() const { return db_; }

  private:
    SqliteDb owned_;
    sqlite3* db_ = nullptr;
};

bool prepare(sqlite3* db, const char* sql, SqliteStmt& stmt) {
    if (sqliteRetryPrepare(db, sql, stmt) != SQLITE_OK) {
        marun_log(3, "Unable to prepare SQL statement for query '%s': %s", sql,
                  sqliteErrorText(db));
        return false;
    }
    return true;
}

bool bindText(sqlite3* db, sqlite3_stmt* stmt, int index, const char* value, const char* param,
              const char* kind) {
    int rc = value != nullptr
                 ? sqlite3_bind_text(stmt, index, value, static_cast<int>(std::strlen(value)),
                                     SQLITE_STATIC)
                 : sqlite3_bind_null(stmt, index);
    if (rc != SQLITE_OK) {
        marun_log(3, "Unable to bind parameter '%s' to the '%s' query: %s", param, kind,
                  sqliteErrorText(db));
        return false;
    }
    return true;
}

bool bindInt(sqlite3* db, sqlite3_stmt* stmt, int index, sqlite3_int64 value, const char* param,
             const char* kind) {
    if (sqlite3_bind_int64(stmt, index, value) != SQLITE_OK) {
        marun_log(3, "Unable to bind parameter '%s' to the '%s' query: %s", param, kind,
                  sqliteErrorText(db));
        return false;
    }
    return true;
}

// Steps a change to its end; anything but "done" is logged with `failure_format`.
bool runChange(sqlite3* db, sqlite3_stmt* stmt, const char* failure_format) {
    if (sqliteRetryStep(stmt) != SQLITE_DONE) {
        marun_log(3, failure_format, sqliteErrorText(db));
        return false;
    }
    return true;
}

// Global handlers, and addresses null, empty or "all", match every address.
bool matchesEveryAddress(const mh_t* h) {
    return h->type == MH_TYPE_GLOBAL || h->address == nullptr || h->address[0] == '\0' ||
           std::strcmp(h->address, kAll) == 0;
}

// Makes the record's address "all", keeping the record's ownership rule.
bool setAddressAll(mh_t* h) {
    if (!h->owned) {
        h->address = const_cast<char*>(kAll);
        return true;
    }
    char* all = strdup(kAll);
    if (all == nullptr) {
        marun_log(3, "Memory allocation error");
        return false;
    }
    std::free(h->address);
    h->address = all;
    return true;
}

// Domain of an address: the part after its first "@", or all of it.
const char* domainOf(const char* name) {
    const char* at = std::strchr(name, '@');
    return at != nullptr ? at + 1 : name;
}

const char* columnText(sqlite3_stmt* stmt, int column) {
    return reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
}

// Opens the database and prepares the statement for the record: `anySql`
// when it matches every address (its address then becomes "all"), else `sql`.
bool prepareFor(Connection& connection, sqlite3* db, mh_t* h, const char* sql, const char* anySql,
                SqliteStmt& stmt, bool& everyAddress) {
    everyAddress = matchesEveryAddress(h);
    return (!everyAddress || setAddressAll(h)) && connection.openReadWrite(db) &&
           prepare(connection.get(), everyAddress ? anySql : sql, stmt);
}

// A record whose priority, type, queue and name are columns 0 to 3 of the
// statement's row; its strings stay the statement's.
mh_t rowStart(sqlite3_stmt* s) {
    mh_t row;
    mh_data_init_ex(&row);
    row.priority = static_cast<uint32_t>(sqlite3_column_int64(s, 0));
    row.type = static_cast<mh_type_t>(sqlite3_column_int(s, 1));
    row.queue = static_cast<mh_queue_t>(sqlite3_column_int(s, 2));
    row.name = const_cast<char*>(columnText(s, 3));
    return row;
}

// Frees a list when leaving scope.
struct ListOwner {
    mh_list_t list;
    ListOwner() { mh_list_init(&list); }
    ~ListOwner() { mh_list_free(&list); }
    ListOwner(const ListOwner&) = delete;
    ListOwner& operator=(const ListOwner&) = delete;
};

// "%s@%s", refused when longer than copying allows.
bool composeAddress(const char* local, const char* domain, std::string& out) {
    out = std::string(local) + "@" + domain;
    if (out.size() > kMaxComposedAddress) {
        marun_log(3, "Mail address '%s' is longer than %zu characters, handlers not copied",
                  out.c_str(), kMaxComposedAddress);
        return false;
    }
    return true;
}

}  // namespace

mh_type_t mh_get_type(const char* word) {
    for (int code = MH_TYPE_SENDER; word != nullptr && code < MH_TYPE_UNKNOWN; ++code) {
        if (std::strcmp(word, mh_ptype[code]) == 0) {
            return static_cast<mh_type_t>(code);
        }
    }
    return MH_TYPE_UNKNOWN;
}

mh_queue_t mh_get_queue(const char* word) {
    for (int code = MH_QUEUE_DATA; word != nullptr && code < MH_QUEUE_UNKNOWN; ++code) {
        if (std::strcmp(word, mh_pqueue[code]) == 0) {
            return static_cast<mh_queue_t>(code);
        }
    }
    return MH_QUEUE_UNKNOWN;
}

void mh_data_init_ex(mh_t* h) {
    h->priority = 0;
    h->type = MH_TYPE_UNKNOWN;
    h->queue = MH_QUEUE_UNKNOWN;
    h->name = nullptr;
    h->address = nullptr;
    h->executable = nullptr;
    h->context = nullptr;
    h->enabled = 0;
    h->owned = 0;
}

mh_t* mh_data_clone(const mh_t* h) {
    auto* copy = static_cast<mh_t*>(std::calloc(1, sizeof(mh_t)));
    if (copy == nullptr) {
        return nullptr;
    }
    mh_data_init_ex(copy);
    copy->owned = 1;
    copy->priority = h->priority;
    copy->type = h->type;
    copy->queue = h->queue;
    copy->enabled = h->enabled;
    char* mh_t::*fields[] = {&mh_t::name, &mh_t::address, &mh_t::executable, &mh_t::context};
    for (auto field : fields) {
        if (h->*field != nullptr && (copy->*field = strdup(h->*field)) == nullptr) {
            mh_data_free(copy);
            return nullptr;
        }
    }
    return copy;
}

void mh_data_free(mh_t* h) {
    if (h == nullptr) {
        return;
    }
    if (h->owned) {
        std::free(h->name);
        std::free(h->address);
        std::free(h->executable);
        std::free(h->context);
    }
    std::free(h);
}

void mh_list_init(mh_list_t* list) {
    list->lh_first = nullptr;
}

int mh_list_add(mh_list_t* list, const mh_t* h) {
    auto* entry = static_cast<mh_entry_t*>(std::calloc(1, sizeof(mh_entry_t)));
    if (entry == nullptr) {
        return -1;
    }
    entry->data = mh_data_clone(h);
    if (entry->data == nullptr) {
        std::free(entry);
        return -1;
    }
    entry->entries.le_next = list->lh_first;
    if (list->lh_first != nullptr) {
        list->lh_first->entries.le_prev = &entry->entries.le_next;
    }
    list->lh_first = entry;
    entry->entries.le_prev = &list->lh_first;
    return 0;
}

void mh_list_free(mh_list_t* list) {
    while (mh_entry_t* entry = list->lh_first) {
        list->lh_first = entry->entries.le_next;
        mh_data_free(entry->data);
        std::free(entry);
    }
}

const char* validate_global_handler_recipient(const char* address) {
    if (address == nullptr || address[0] == '\0') {
        return kAll;
    }
    if (std::strcmp(address, kAll) == 0 || std::strcmp(address, kAllRecipients) == 0) {
        return address;
    }
    return nullptr;
}

int mh_db_add(sqlite3* db, mh_t* h) {
    const char* address = h->address;
    if (h->type == MH_TYPE_GLOBAL) {
        address = validate_global_handler_recipient(h->address);
        if (address == nullptr) {
            marun_log(3,
                      "Incorrect recipient address for global handler, expected "
                      "[NULL|EMPTY_STRING|%s|%s]",
                      kAll, kAllRecipients);
            return -1;
        }
    }
    Connection connection;
    SqliteStmt stmt;
    if (!connection.openReadWrite(db) || !prepare(connection.get(), kInsertSql, stmt)) {
        return -1;
    }
    sqlite3* d = connection.get();
    const char* kind = "INSERT";
    sqlite3_stmt* s = stmt.get();
    bool bound =
        bindInt(d, s, 1, h->priority, "priority", kind) &&
        bindText(d, s, 2, h->name, "name", kind) && bindInt(d, s, 3, h->type, "type", kind) &&
        bindText(d, s, 4, address, "address", kind) && bindInt(d, s, 5, h->queue, "queue", kind) &&
        bindText(d, s, 6, h->executable, "executable", kind) &&
        bindText(d, s, 7, h->context != nullptr ? h->context : "none", "context", kind) &&
        bindInt(d, s, 8, h->enabled, "enabled", kind);
    return bound && runChange(d, s, kInsertFailed) ? 0 : -1;
}

int mh_db_remove(sqlite3* db, mh_t* h) {
    Connection connection;
    SqliteStmt stmt;
    bool every_address = false;
    if (!prepareFor(connection, db, h, kDeleteSql, kDeleteAnyAddressSql, stmt, every_address)) {
        return -1;
    }
    sqlite3* d = connection.get();
    const char* kind = "DELETE";
    sqlite3_stmt* s = stmt.get();
    bool bound = bindText(d, s, 1, h->name, "name", kind) &&
                 bindInt(d, s, 2, h->type, "type", kind) &&
                 (every_address ? bindInt(d, s, 3, h->queue, "queue", kind)
                                : bindText(d, s, 3, h->address, "address", kind) &&
                                      bindInt(d, s, 4, h->queue, "queue", kind));
    return bound && runChange(d, s, kDeleteFailed) ? 0 : -1;
}

int mh_db_switch(sqlite3* db, mh_t* h, int enabled) {
    Connection connection;
    SqliteStmt stmt;
    bool every_address = false;
    if (!prepareFor(connection, db, h, kSwitchSql, kSwitchAnyAddressSql, stmt, every_address)) {
        return -1;
    }
    sqlite3* d = connection.get();
    const char* kind = "UPDATE";
    sqlite3_stmt* s = stmt.get();
    bool bound =
        bindInt(d, s, 1, enabled, "enabled", kind) && bindText(d, s, 2, h->name, "name", kind) &&
        bindInt(d, s, 3, h->type, "type", kind) && bindInt(d, s, 4, h->queue, "queue", kind) &&
        (every_address || bindText(d, s, 5, h->address, "address", kind));
    return bound && runChange(d, s, kUpdateFailed) ? 0 : -1;
}

int mh_db_enable(sqlite3* db, mh_t* h) {
    return mh_db_switch(db, h, 1);
}

int mh_db_disable(sqlite3* db, mh_t* h) {
    return mh_db_switch(db, h, 0);
}

int mh_db_switch_by_name(sqlite3* db, const char* name, int enabled) {
    Connection connection;
    SqliteStmt stmt;
    if (!connection.openReadWrite(db) || !prepare(connection.get(), kSwitchByNameSql, stmt)) {
        return -1;
    }
    sqlite3* d = connection.get();
    bool bound = bindInt(d, stmt.get(), 1, enabled, "enabled", "UPDATE") &&
                 bindText(d, stmt.get(), 2, name, "name", "UPDATE");
    return bound && runChange(d, stmt.get(), kUpdateFailed) ? 0 : -1;
}

int mh_db_switch_by_addr(sqlite3* db, const char* address, int enabled) {
    if (address == nullptr) {
        marun_log(3, "Unable to select mail handlers");
        return -1;
    }
    Connection connection;
    if (!connection.openReadWrite(db)) {
        return -1;
    }
    sqlite3* d = connection.get();
    ListOwner selected;
    if (mh_db_select_by_name(d, &selected.list, address) != 0) {
        marun_log(3, "Unable to select mail handlers");
        return -1;
    }
    if (mh_db_do(&selected.list, d, enabled == 1 ? mh_db_enable : mh_db_disable) != 0) {
        return -1;
    }
    SqliteStmt stmt;
    if (!prepare(d, kSwitchByAddressSql, stmt)) {
        return -1;
    }
    bool bound = bindInt(d, stmt.get(), 1, enabled, "enabled", "UPDATE") &&
                 bindText(d, stmt.get(), 2, address, "address", "UPDATE");
    return bound && runChange(d, stmt.get(), kUpdateFailed) ? 0 : -1;
}

int mh_db_remove_addr(sqlite3* db, const char* address) {
    return mh_db_action(db, "DELETE FROM handlers WHERE address=?", address);
}

int mh_db_remove_name(sqlite3* db, const char* name) {
    return mh_db_action(db, "DELETE FROM handlers WHERE name=?", name);
}

int mh_db_remove_all(sqlite3* db, const char* domain) {
    Connection connection;
    if (!connection.openReadWrite(db, kOpenReadonlyMessage)) {
        return -1;
    }
    ListOwner selected;
    if (mh_db_select_by_name(connection.get(), &selected.list, domain) != 0) {
        marun_log(3, "Get handlers list");
        return -1;
    }
    return mh_db_do(&selected.list, connection.get(), mh_db_remove);
}

int mh_db_select_by_name(sqlite3* db, mh_list_t* list, const char* name) {
    if (name == nullptr) {
        marun_log(3, kSelectFailed, "no name given");
        return -1;
    }
    Connection connection;
    if (!connection.open(db, kOpenReadonlyMessage, SQLITE_OPEN_READONLY)) {
        return -1;
    }
    sqlite3* d = connection.get();
    SqliteStmt stmt;
    if (!prepare(d, kSelectDomainSql, stmt)) {
        return -1;
    }
    const char* domain = domainOf(name);
    if (!bindText(d, stmt.get(), 1, domain, "address", "SELECT")) {
        return -1;
    }
    sqlite3_stmt* s = stmt.get();
    int rc;
    while ((rc = sqliteRetryStep(s)) == SQLITE_ROW) {
        const char* address = columnText(s, 4);
        const char* at = address != nullptr ? std::strchr(address, '@') : nullptr;
        if (at == nullptr || std::strcmp(at + 1, domain) != 0) {
            continue;
        }
        mh_t row = rowStart(s);
        row.address = const_cast<char*>(address);
        row.executable = const_cast<char*>(columnText(s, 5));
        row.context = const_cast<char*>(columnText(s, 6));
        row.enabled = sqlite3_column_int(s, 7);
        if (mh_list_add(list, &row) != 0) {
            marun_log(3, kSaveFailed);
            return -1;
        }
    }
    if (rc != SQLITE_DONE) {
        marun_log(3, kSelectFailed, sqliteErrorText(d));
        return -1;
    }
    return 0;
}

int mh_db_clone(sqlite3* db, const char* mailname, const char* domain, const char* newMailname,
                const char* newDomain) {
    if (domain == nullptr || newDomain == nullptr) {
        marun_log(3, kSelectFailed, "no domain given");
        return -1;
    }
    std::string source;
    std::string target;
    if (mailname != nullptr) {
        if (!composeAddress(mailname, domain, source) ||
            !composeAddress(newMailname != nullptr ? newMailname : mailname, newDomain, target)) {
            return -1;
        }
    }
    Connection connection;
    SqliteStmt stmt;
    if (!connection.openReadWrite(db) ||
        !prepare(connection.get(), mailname != nullptr ? kCloneAddressSql : kCloneDomainSql,
                 stmt)) {
        return -1;
    }
    sqlite3* d = connection.get();
    sqlite3_stmt* s = stmt.get();
    if (!bindText(d, s, 1, mailname != nullptr ? source.c_str() : domain, "address", "SELECT")) {
        return -1;
    }
    ListOwner copies;
    int rc;
    while ((rc = sqliteRetryStep(s)) == SQLITE_ROW) {
        if (mailname == nullptr) {
            const char* address = columnText(s, 7);
            const char* at = address != nullptr ? std::strchr(address, '@') : nullptr;
            if (at != nullptr && std::strcmp(at + 1, domain) == 0) {
                if (!composeAddress(std::string(address, at).c_str(), newDomain, target)) {
                    return -1;
                }
            } else if (address != nullptr && std::strcmp(address, domain) == 0) {
                target = newDomain;
            } else {
                continue;
            }
        }
        mh_t row = rowStart(s);
        row.executable = const_cast<char*>(columnText(s, 4));
        row.context = const_cast<char*>(columnText(s, 5));
        row.enabled = sqlite3_column_int(s, 6) == 1 ? 1 : 0;
        row.address = const_cast<char*>(target.c_str());
        if (mh_list_add(&copies.list, &row) != 0) {
            marun_log(3, kSaveFailed);
            return -1;
        }
    }
    if (rc != SQLITE_DONE) {
        marun_log(3, kSelectFailed, sqliteErrorText(d));
        return -1;
    }
    stmt.reset();
    if (mh_db_do(&copies.list, d, mh_db_add) != 0) {
        marun_log(3, "Unable to add records into handlers database");
        return -1;
    }
    return 0;
}

namespace {

// mh_db_do; with `all`, the first failing record ends the transaction
// without committing anything.
int doInTransaction(mh_list_t* list, sqlite3* db, mh_db_fn fn, bool all) {
    Connection connection;
    if (!connection.openReadWrite(db)) {
        return -1;
    }
    sqlite3* d = connection.get();
    if (sqliteRetryExec(d, "BEGIN TRANSACTION;") != SQLITE_OK) {
        marun_log(3, "Unable to begin sqlite transaction: %s", sqliteErrorText(d));
        return -1;
    }
    for (mh_entry_t* entry = list->lh_first; entry != nullptr; entry = entry->entries.le_next) {
        if (fn(d, entry->data) != 0 && all) {
            sqlite3_exec(d, "ROLLBACK;", nullptr, nullptr, nullptr);
            return -1;
        }
    }
    if (sqliteRetryExec(d, "END TRANSACTION;") != SQLITE_OK) {
        marun_log(3, "Unable to end sqlite transaction: %s", sqliteErrorText(d));
        // Leave the caller's connection without an open transaction.
        sqlite3_exec(d, "ROLLBACK;", nullptr, nullptr, nullptr);
        return -1;
    }
    return 0;
}

}  // namespace

int mh_db_do(mh_list_t* list, sqlite3* db, mh_db_fn fn) {
    return doInTransaction(list, db, fn, false);
}

int mh_db_do_all(mh_list_t* list, sqlite3* db, mh_db_fn fn) {
    return doInTransaction(list, db, fn, true);
}

int mh_db_action(sqlite3* db, const char* sql, const char* param) {
    Connection connection;
    SqliteStmt stmt;
    if (!connection.openReadWrite(db) || !prepare(connection.get(), sql, stmt)) {
        return -1;
    }
    sqlite3* d = connection.get();
    int rc = param != nullptr
                 ? sqlite3_bind_text(stmt.get(), 1, param, static_cast<int>(std::strlen(param)),
                                     SQLITE_STATIC)
                 : sqlite3_bind_null(stmt.get(), 1);
    if (rc != SQLITE_OK) {
        marun_log(3, "Unable to bind parameter param to query: %s", sqliteErrorText(d));
        return -1;
    }
    return runChange(d, stmt.get(), "Unable to execute do action on handlers database: %s") ? 0
                                                                                            : -1;
}
