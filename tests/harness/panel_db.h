// Integration-test harness: the control panel's MariaDB database "oru" that
// kvarn reads — recreating its tables for every test and seeding rows.
#pragma once

#include <string>
#include <vector>

namespace kvarn_test {

using Rows = std::vector<std::vector<std::string>>;

// The text a SQL NULL reads as in query results.
extern const char* const kSqlNull;

// Drops and recreates every table of the panel database, empty:
//   domains(id, name, webspace_id, limits_id), domainaliases(id, name, dom_id),
//   mail(id, mail_name, dom_id, mbox_quota), mail_aliases(id, alias, mn_id),
//   Limits(id, limit_name, value)  (several rows per id), misc(param, val).
// Called by the fixture before each test.
void resetPanelDatabase();

// Runs one statement in the panel database (as the server's root) and
// returns its rows, every value as text and NULL as kSqlNull.
Rows panelQuery(const std::string& sql);

// Runs one statement that returns no rows; returns the affected row count.
unsigned long long panelExec(const std::string& sql);

// Seeding helpers; each returns the new row's id where the table has one.
int seedDomain(const std::string& name, int webspaceId = 0);
int seedDomainAlias(int domainId, const std::string& alias);
int seedMail(int domainId, const std::string& mailName, long long mboxQuota = -1);
int seedMailAlias(int mailId, const std::string& alias);
// Sets a limit of a domain, giving the domain a limits id on first use;
// setting the same limit again replaces its value.
void seedLimit(int domainId, const std::string& limitName, const std::string& value);
// Sets a row of misc, replacing any value the parameter had.
void seedMisc(const std::string& param, const std::string& value);

}  // namespace kvarn_test
