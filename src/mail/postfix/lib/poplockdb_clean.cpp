// The lock-database cleaner's crontab entry.
#include "mail/postfix/lib/poplockdb_clean.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <exception>

#include "lib/lock.h"
#include "lib/log.h"
#include "util/exec_cmd.h"

const char* const POPLOCKDB_CLEANER = "/usr/lib/marun-9.0/postfix-poplockdb-clean";

namespace {

const char* const CRONTAB = "/usr/bin/crontab";
const char* const CRONTAB_SPOOL = "/var/spool/cron/crontabs/";

// An integer in 0 .. p-1.
int range_rand(int p) {
    static bool seeded = false;
    if (!seeded) {
        std::srand(static_cast<unsigned>(std::time(nullptr)));
        seeded = true;
    }
    return static_cast<int>(static_cast<double>(p) * std::rand() / 2147483648.0);
}

// Runs crontab and returns its exit status; -1 or 127 (logged) when it
// could not be run.
int runCrontab(marun::ExecCmd& command) {
    int result = -1;
    try {
        result = command.exec(std::nothrow);
    } catch (const std::exception& e) {
        marun_log(3, "%s\n", e.what());
    }
    if (result == -1 || result == 127) {
        marun_log(3, "Unable to execute: %s\n", command.getString().c_str());
    }
    return result;
}

bool active(const std::string& line) {
    const std::string::size_type first = line.find_first_not_of(" \t\n");
    return first == std::string::npos || line[first] != '#';
}

}  // namespace

std::string gen_cron_time_period_str(int period) {
    const int p = std::min(period, 60);
    std::string minutes;
    for (int minute = range_rand(p); minute < 60; minute += p) {
        minutes += (minutes.empty() ? "" : ",") + std::to_string(minute);
    }
    return minutes;
}

int filter_crontab(const char* user, const char* remove_by_substr, const char* add) {
    LockPtr lock(mk_lock((std::string(CRONTAB_SPOOL) + user).c_str(), 1));
    if (!is_locked(lock.get())) {
        marun_log(3, "Unable to lock the crontab of user '%s'\n", user);
        return -1;
    }
    marun::ExecCmd list(CRONTAB);
    list << "-l"
         << "-u" << user;
    const int listed = runCrontab(list);
    // "no crontab for <user>" is an empty crontab; any other failure leaves
    // the crontab alone rather than replacing it with what could be read.
    if (listed != 0 &&
        !(listed == 1 && list.getError().find("no crontab for") != std::string::npos)) {
        marun_log(3, "Unable to read the crontab of user '%s': %s\n", user,
                  list.getError().c_str());
        return -1;
    }
    const std::string& current = list.getOutput();
    std::string updated;
    bool replaced = false;
    std::string::size_type begin = 0;
    while (begin < current.size()) {
        std::string::size_type end = current.find('\n', begin);
        end = end == std::string::npos ? current.size() : end + 1;
        std::string line = current.substr(begin, end - begin);
        begin = end;
        if (line.back() != '\n') {
            line += '\n';
        }
        if (line.find(remove_by_substr) == std::string::npos || !active(line)) {
            updated += line;
        } else if (!replaced && add != nullptr) {
            updated += std::string(add) + "\n";
            replaced = true;
        }
    }
    if (!replaced && add != nullptr) {
        updated += std::string(add) + "\n";
    }
    if (updated == current) {
        return 0;
    }
    marun::ExecCmd install(CRONTAB);
    install << "-u" << user << "-";
    install.setInput(updated);
    if (runCrontab(install) != 0) {
        marun_log(3, "Failed to set new crontab for user '%s'\n", user);
        return -1;
    }
    return 0;
}

int set_poplockdb_clean_period(int poplockTime) {
    if (poplockTime < 1) {
        return filter_crontab("root", POPLOCKDB_CLEANER, nullptr);
    }
    const std::string entry =
        gen_cron_time_period_str(poplockTime) + "\t*\t*\t*\t*\t" + POPLOCKDB_CLEANER;
    return filter_crontab("root", POPLOCKDB_CLEANER, entry.c_str());
}
