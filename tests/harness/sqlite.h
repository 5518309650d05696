// Integration-test harness: reading (and, for set-up, writing) the SQLite
// files in which kvarn keeps mail passwords.
#pragma once

#include <string>

#include "harness/panel_db.h"

namespace kvarn_test {

// Runs the statements in sql against an existing SQLite database file and
// returns the rows they produce, every value as text and NULL as kSqlNull.
// Throws HarnessError if the file does not exist or a statement fails.
Rows sqliteQuery(const std::string& dbPath, const std::string& sql);

// Creates the database file (when missing) and runs the statements in sql
// (a schema) against it. Throws HarnessError when that fails.
void createSqliteDatabase(const std::string& dbPath, const std::string& sql);

}  // namespace kvarn_test
