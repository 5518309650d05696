// Postfix and milter control.
#include "postfix/service_manager.h"

#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iostream>

#include "lib/proc_scan.h"
#include "util/init_script.h"
#include "util/process_launch.h"

namespace marun {
namespace mail {
namespace postfix {

const char* const POSTFIX_INIT_SCRIPT = "/etc/init.d/postfix";
const char* const POSTFIX_MASTER_PID = "/var/spool/postfix/pid/master.pid";
const char* const MILTER_SERVICE = "pc-remote";
const char* const COURIER_SERVICE = "courier-imap";

namespace {

// Seconds Postfix gets to come up after a start or restart.
const int START_TIMEOUT = 5;

}  // namespace

pid_t ServiceManager::getMasterPid() {
    std::ifstream in(POSTFIX_MASTER_PID);
    long pid = -1;
    if (!(in >> pid) || pid <= 0) {
        return -1;
    }
    return static_cast<pid_t>(pid);
}

int ServiceManager::statusServer(int timeout) {
    for (int waited = 0;; ++waited) {
        const pid_t master = getMasterPid();
        if (master != -1 && find_child_process(master, "qmgr") > 0) {
            return 0;
        }
        if (waited >= timeout) {
            return 1;
        }
        ::sleep(1);
    }
}

int ServiceManager::rcCommand(const char* action) {
    char* const argv[] = {const_cast<char*>(POSTFIX_INIT_SCRIPT), const_cast<char*>(action),
                          nullptr};
    char lang[] = "LANG=C";
    char* const envp[] = {lang, nullptr};
    // No descriptor of this run may reach the Postfix master, which lives
    // on: a lock file held open there would stay locked.
    process::ProcessLaunch script(argv, POSTFIX_INIT_SCRIPT, nullptr, envp, true, false, false,
                                  boost::function<void()>(), process::STREAM_DEVNULL,
                                  process::STREAM_INHERIT, process::STREAM_AS_STDOUT);
    script.waitExec();
    const int status = script.waitExit();
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    return 255;
}

int ServiceManager::startServer() {
    if (statusServer(0) == 0) {
        return 0;
    }
    const int code = rcCommand("start");
    return code != 0 ? code : statusServer(START_TIMEOUT);
}

int ServiceManager::stopServer() {
    if (statusServer(0) != 0) {
        return 0;
    }
    return rcCommand("stop");
}

int ServiceManager::restartServer() {
    const int code = rcCommand("restart");
    return code != 0 ? code : statusServer(START_TIMEOUT);
}

int ServiceManager::reloadServer() {
    return rcCommand("reload");
}

int ServiceManager::startMilter() {
    return restart_daemon(MILTER_SERVICE, "start");
}

int ServiceManager::stopMilter() {
    return restart_daemon(MILTER_SERVICE, "stop");
}

int ServiceManager::restartMilter() {
    return restart_daemon(MILTER_SERVICE, "restart");
}

int ServiceManager::statusMilter() {
    return restart_daemon(MILTER_SERVICE, "status");
}

void print_status(int code) {
    std::cout << (code == 0 ? "is running" : "is stopped") << std::endl;
}

}  // namespace postfix
}  // namespace mail
}  // namespace marun
