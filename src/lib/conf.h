// A small in-memory store of name/value pairs and the reader that fills it
// from a configuration file made of "name <white space> value" lines.
#pragma once

#include <cstdint>

struct conf_entry {
    char* key;    // owned, NUL-terminated
    char* value;  // owned, NUL-terminated
};

struct conf_data {
    conf_entry* data;  // malloc'ed array of `size` entries
    uint32_t size;     // capacity in entries
    uint32_t nmemb;    // entries in use
    int finalized;     // 1 while `data` is sorted by key (byte order), 0 after an append
};

// All functions below return 0 on success and -1 with errno set on failure.
// A store is allocated by the caller (zeroed) and released with conf_free_r.

// Makes room for one more entry: an empty store gets 20 entries (and counts
// as sorted), a full one grows to twice its capacity.
int conf_init_r(conf_data* conf);

// Stores copies of `name` and `value`, replacing the value of an existing
// name; a new name is appended and leaves the store unsorted.
int conf_set_r(const char* name, const char* value, conf_data* conf);

// Sorts the entries by key unless they are sorted already.
int conf_finalize_r(conf_data* conf);

// The value of `name` (case-sensitive), or null. Binary search on a sorted
// store, linear otherwise. The value belongs to the store.
const char* conf_get_r(const char* name, const conf_data* conf);

// Reads every "name value" line of `path` into the store, the last definition
// of a name winning, then sorts it. Malformed lines are logged and skipped.
int conf_read_file_r(const char* path, conf_data* conf);

// Frees every key and value, the array and `conf` itself; accepts null.
void conf_free_r(conf_data* conf);
