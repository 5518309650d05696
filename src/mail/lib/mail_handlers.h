// The mail handlers database: registrations of external programs for hook
// points of mail processing, per sender, recipient, domain or globally, in
// the table "handlers" of "/var/lib/marun/mail/handlers/handlers.db".
// Every function taking a database handle opens (and closes) the database
// itself when the handle is null. Results: 0 on success, -1 on failure after
// logging through marun_log.
#pragma once

#include <sqlite3.h>

#include <cstdint>

constexpr const char* MH_DB_PATH = "/var/lib/marun/mail/handlers/handlers.db";

// The schema the database is expected to have. This program never creates
// the database; whoever installs it runs this script.
constexpr const char* MH_DB_SCHEMA_SQL =
    "BEGIN TRANSACTION;"
    "CREATE TABLE handlers (queue INTEGER, type INTEGER, enabled BOOLEAN, priority INTEGER, "
    "name VARCHAR(255) NOT NULL, address VARCHAR(2048) NOT NULL, executable VARCHAR(2048) NOT "
    "NULL, context VARCHAR(2048) NOT NULL, CONSTRAINT uniq_entries_constaraint PRIMARY KEY "
    "(queue, type, name, address, executable, context));"
    "CREATE INDEX idx1 ON handlers(queue, type, enabled, address);"
    "CREATE INDEX idx2 ON handlers(queue, type, enabled, address, priority);"
    "CREATE INDEX idx3 ON handlers(name, queue, type, address);"
    "CREATE INDEX idx4 ON handlers(name, queue, type);"
    "COMMIT;";

typedef enum {
    MH_TYPE_SENDER = 0,
    MH_TYPE_RECIPIENT = 1,
    MH_TYPE_SENDER_DOMAIN = 2,
    MH_TYPE_RECIPIENT_DOMAIN = 3,
    MH_TYPE_GLOBAL = 4,
    MH_TYPE_UNKNOWN = 5,
} mh_type_t;

typedef enum {
    MH_QUEUE_DATA = 0,
    MH_QUEUE_QUEUE = 1,
    MH_QUEUE_LOCAL = 2,
    MH_QUEUE_REMOTE = 3,
    MH_QUEUE_UNKNOWN = 4,
} mh_queue_t;

// Words of the types and hook points, indexed by their codes.
extern const char* const mh_ptype[MH_TYPE_UNKNOWN + 1];
extern const char* const mh_pqueue[MH_QUEUE_UNKNOWN + 1];

// Exact, case-sensitive lookups; any other word (or null) is the unknown code.
mh_type_t mh_get_type(const char* word);
mh_queue_t mh_get_queue(const char* word);

// One registration. The strings are borrowed, except in records made by
// mh_data_clone, which own copies of them (released by mh_data_free).
struct mh_t {
    uint32_t priority;
    mh_type_t type;
    mh_queue_t queue;
    char* name;
    char* address;
    char* executable;
    char* context;
    int enabled;
    int owned;  // the strings belong to the record
};

// Priority 0, unknown type and hook, no strings, disabled, borrowing.
void mh_data_init_ex(mh_t* h);
// A new record owning copies of every string of `h`; null when memory runs out.
mh_t* mh_data_clone(const mh_t* h);
void mh_data_free(mh_t* h);

// A list of owned records in the manner of the BSD LIST macros (sys/queue.h);
// new entries go to the head.
struct mh_entry_t {
    mh_t* data;
    struct {
        mh_entry_t* le_next;
        mh_entry_t** le_prev;
    } entries;
};
struct mh_list_t {
    mh_entry_t* lh_first;
};

void mh_list_init(mh_list_t* list);
// Clones `h` into a new head entry: 0, or -1 when memory runs out.
int mh_list_add(mh_list_t* list, const mh_t* h);
void mh_list_free(mh_list_t* list);

// "all" for a null or empty address, the address itself when it is "all" or
// "all-recipients", null for anything else.
const char* validate_global_handler_recipient(const char* address);

// Adds or replaces the registration (a null context is stored as "none"; a
// global handler's address is checked and normalised first).
int mh_db_add(sqlite3* db, mh_t* h);
// Removes the registration. For a global handler, or an address that is null,
// empty or "all", the record's address becomes "all" and the registration is
// matched on name, type and hook alone.
int mh_db_remove(sqlite3* db, mh_t* h);
// Sets the enabled state, matched as mh_db_remove matches.
int mh_db_switch(sqlite3* db, mh_t* h, int enabled);
int mh_db_enable(sqlite3* db, mh_t* h);
int mh_db_disable(sqlite3* db, mh_t* h);
// Every registration of that handler name.
int mh_db_switch_by_name(sqlite3* db, const char* name, int enabled);
// Every registration of the address's domain, then every one of the address.
int mh_db_switch_by_addr(sqlite3* db, const char* address, int enabled);
int mh_db_remove_addr(sqlite3* db, const char* address);
int mh_db_remove_name(sqlite3* db, const char* name);
// Removes the registrations of every mail address of `domain`.
int mh_db_remove_all(sqlite3* db, const char* domain);
// Adds to `list` the registrations of mail addresses in the domain of `name`
// (its part after the first "@", or all of it); not those of the bare domain.
int mh_db_select_by_name(sqlite3* db, mh_list_t* list, const char* name);
// Copies the registrations of mailname@domain to newMailname@newDomain (the
// same mail name when newMailname is null); with a null mailname, those of
// every address of the domain and of the bare domain to newDomain.
int mh_db_clone(sqlite3* db, const char* mailname, const char* domain, const char* newMailname,
                const char* newDomain);

typedef int (*mh_db_fn)(sqlite3* db, mh_t* h);
// Runs fn on every record of `list` in one transaction; results of fn are
// ignored (fn logs its own failures).
int mh_db_do(mh_list_t* list, sqlite3* db, mh_db_fn fn);
// As mh_db_do, but all or nothing: when fn fails for a record, the
// transaction is rolled back and the result is -1.
int mh_db_do_all(mh_list_t* list, sqlite3* db, mh_db_fn fn);
// Prepares `sql`, binds `param` as text to its one parameter and runs it.
int mh_db_action(sqlite3* db, const char* sql, const char* param);
