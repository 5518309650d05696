// ServiceManager: Postfix driven through its init script and judged running
// by its master process and queue manager; the panel's milter through the
// init-script runner. Nothing is cached: every decision reads the pid file
// and the process table again.
#pragma once

#include <sys/types.h>

namespace marun {
namespace mail {
namespace postfix {

extern const char* const POSTFIX_INIT_SCRIPT;  // /etc/init.d/postfix
extern const char* const POSTFIX_MASTER_PID;   // /var/spool/postfix/pid/master.pid
extern const char* const MILTER_SERVICE;       // pc-remote
extern const char* const COURIER_SERVICE;      // courier-imap

class ServiceManager {
  public:
    // The first integer of the master's pid file, or -1.
    static pid_t getMasterPid();
    // 0 when the master runs with a "qmgr" child, else 1 after checking
    // once a second for up to `timeout` seconds.
    static int statusServer(int timeout);
    // The exit code of the init script run with `action` (environment
    // "LANG=C" only), 255 when a signal ended it.
    static int rcCommand(const char* action);

    // 0 at once when running; else the script's code, or when that is 0,
    // whether Postfix came up within 5 s.
    static int startServer();
    // 0 at once when not running; else the script's code.
    static int stopServer();
    static int restartServer();
    static int reloadServer();

    static int startMilter();
    static int stopMilter();
    static int restartMilter();
    static int statusMilter();
};

// Prints "is running" for 0, else "is stopped", and a newline, on standard
// output.
void print_status(int code);

}  // namespace postfix
}  // namespace mail
}  // namespace marun
