// Logging of the plain-function library: a settable log function (the system
// log once marun_log_init has run) and the message-and-exit routine messlog2,
// which prints on standard error and standard output and may end the process.
#pragma once

#include <cstdarg>

using marun_log_fn = void (*)(int priority, const char* format, ...);
using marun_logv_fn = void (*)(int priority, const char* format, va_list args);

// printf-like; priority as for syslog (3 = error). Never null.
extern marun_log_fn marun_log;
extern marun_logv_fn marun_logv;

extern int marun_log_level;
extern int marun_log_enabled;
extern int marun_log_facility;

// With a null target: (re)opens the system log with `ident`, `options` plus
// LOG_PID and `facility`, and routes marun_log to syslog. A level below 1
// disables logging (level 0). Returns 0.
int marun_log_init(const char* target, int level, int facility, int options, const char* ident);

// Formats the message (appending "\nSystem error N: text" when errno was set)
// and hands it to ex_messlog.
int messlog2(int exit_status, int reserved, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int vmesslog2(int exit_status, int reserved, const char* format, va_list args);

// Prints `text` with a trailing newline on standard error, then on standard
// output; ends the process when exit_status is not 0, else returns 0.
int ex_messlog(const char* text, int exit_status, int reserved);
