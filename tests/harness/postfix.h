// Integration-test harness: what Postfix sees — kvarn's lookup tables read
// back with the real postmap, main.cf parameters read with the real
// postconf, and whether a Postfix mail system is running.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace kvarn_test {

// Where kvarn keeps its lookup tables, and their names.
extern const char* const kTablesDir;  // /var/spool/postfix/marun
extern const std::vector<std::string> kLookupTables;

// "hash:/var/spool/postfix/marun/NAME"
std::string tableSpec(const std::string& name);

// Every record of a table as (key, value), sorted, read with
// `postmap -s hash:...` and split at the first white space.
std::vector<std::pair<std::string, std::string>> tableRecords(const std::string& name);

// The value of key in a table (`postmap -q`), or nothing if it has none.
std::optional<std::string> tableLookup(const std::string& name, const std::string& key);

// The value of a main.cf parameter as Postfix reads it (`postconf -h`),
// without the trailing newline.
std::string postconfValue(const std::string& name);

// The live Postfix master: the pid in /var/spool/postfix/pid/master.pid if
// that process exists (and is not a zombie waiting to be reaped).
std::optional<pid_t> postfixMasterPid();

// Postfix counts as running when its master is alive and has a "qmgr"
// child: the master has read its configuration and started the queue.
bool postfixRunning();

// Waits until postfixRunning() == running; returns whether it got there.
bool waitForPostfix(bool running, std::chrono::milliseconds timeout = std::chrono::seconds(15));

// Ends a running Postfix the hard way (SIGTERM to the master, SIGKILL if it
// lingers) and waits until it is gone. Used by the fixture after a test.
void killPostfix();

// A process as /proc/PID/stat shows it.
struct ProcessInfo {
    pid_t pid;
    pid_t ppid;
    char state;  // 'R', 'S', 'Z' (a zombie)...
    std::string comm;
};

// Every process of the sandbox's pid namespace.
std::vector<ProcessInfo> processes();

// Kill points without ptrace: polls /proc until the process `parent` has
// started `count` children in all (those already seen are in `seen`);
// false when it ended first.
bool waitForChildren(pid_t parent, size_t count, std::set<pid_t>& seen);

// Waits until no process named `comm` runs any more (the children a killed
// run left to finish their work).
void waitUntilNoneRuns(const std::string& comm);

}  // namespace kvarn_test
