// The root crontab entry that runs the panel's cleaner of the POP-before-SMTP
// lock database every few minutes:
//   "<minutes>\t*\t*\t*\t*\t/usr/lib/marun-9.0/postfix-poplockdb-clean"
// At most one active entry with the cleaner remains; commented lines that
// mention it stay as they are. The crontab is read and written with the
// real crontab(1), started through the process engine with an argument
// vector (no shell), under the lock by name on the user's crontab.
#pragma once

#include <string>

extern const char* const POPLOCKDB_CLEANER;  // /usr/lib/marun-9.0/postfix-poplockdb-clean

// The minute field for a run every `period` minutes (at most 60): a random
// start below the period, then every period after it below 60, joined by
// "," (period 15, start 7: "7,22,37,52").
std::string gen_cron_time_period_str(int period);

// Rewrites the crontab of `user`: each active line (its first character
// other than blanks is not "#") that contains `remove_by_substr` is replaced
// by `add` the first time and dropped afterwards; `add` (when not null) is
// appended when no line was replaced. Nothing is written when nothing
// changes. 0, or -1 (logged) when crontab cannot be run or fails; a crontab
// that cannot be read is never replaced.
int filter_crontab(const char* user, const char* remove_by_substr, const char* add);

// Period < 1 removes root's entry; otherwise installs it for that period.
int set_poplockdb_clean_period(int poplockTime);
