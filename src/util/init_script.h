// The init-script runner: starts, stops or queries a service through its
// script under /etc/init.d, detached from kvarn (own session, no inherited
// descriptors, standard input from /dev/null, output appended to the
// product's "tmp/rc_actions.log").
#pragma once

// Runs the service's init script with `action` and waits for it. 0 on
// success; -1 when the script is missing, fails (silently for "status"),
// is ended by a signal or cannot be run, each logged. Does nothing and
// returns 0 when the panel configuration sets NO_RESTART_DAEMON. A script
// that is not a regular file ends the process.
int restart_daemon(const char* service, const char* action);
