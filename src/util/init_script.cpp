// Init-script runner over the process launcher.
#include "util/init_script.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstring>
#include <exception>
#include <memory>
#include <string>

#include "lib/log.h"
#include "lib/oru_conf.h"
#include "lib/unique_fd.h"
#include "util/process_launch.h"

namespace {

// The first existing script of the service, or the empty string.
std::string findScript(const std::string& service) {
    for (const std::string& path :
         {"/etc/init.d/" + service + ".sh", "/etc/init.d/" + service, "/etc/init.d" + service}) {
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) {
            if (!S_ISREG(st.st_mode)) {
                messlog2(1, 0, "Not a regular file: '%s'", path.c_str());
            }
            return path;
        }
    }
    return std::string();
}

// The product's action log, appended to; -1 when it cannot be opened. Its
// directory may be open to others like any "tmp": a link, a FIFO (which
// would block the open) or a second name of another file is not written to.
int openActionLog() {
    const std::string path =
        std::string(oruConfGetDefaultByIndex(_PRODUCT_ROOT_D_INDEX)) + "/tmp/rc_actions.log";
    marun::UniqueFd fd(::open(
        path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 ||
        st.st_nlink != 1) {
        return -1;
    }
    return fd.release();
}

}  // namespace

int restart_daemon(const char* service, const char* action) {
    const char* noRestart = oruConfGet("NO_RESTART_DAEMON");
    if (noRestart != nullptr && *noRestart != '\0') {
        return 0;
    }
    if (service == nullptr || *service == '\0') {
        marun_log(3, "Unknown service\n");
        return -1;
    }
    // The web server and the servlet container have controls of their own;
    // they are no mail services.
    const char* httpd = oruConfGetDefaultByIndex(_HTTPD_SERVICE_INDEX);
    if (strcasecmp(service, "tomcat6") == 0 ||
        (httpd != nullptr && std::strcmp(service, httpd) == 0)) {
        marun_log(3, "Service %s is not controlled here\n", service);
        return -1;
    }
    const std::string script = findScript(service);
    if (script.empty()) {
        marun_log(3, "Unable to find start/stop script for '%s'\n", service);
        return -1;
    }
    const std::string directory = script.substr(0, script.rfind('/'));
    char* const argv[] = {const_cast<char*>(script.c_str()), const_cast<char*>(action), nullptr};
    marun::UniqueFd log(openActionLog());
    std::unique_ptr<marun::process::ProcessLaunch> child;
    try {
        child = std::make_unique<marun::process::ProcessLaunch>(
            argv, script.c_str(), directory.c_str(), nullptr, true, false, true,
            boost::function<void()>(), marun::process::STREAM_DEVNULL,
            log.valid() ? log.get() : marun::process::STREAM_DEVNULL,
            marun::process::STREAM_AS_STDOUT);
        log.reset();
        child->waitExec();
    } catch (const std::exception& e) {
        marun_log(3, "fork: %s for %s: %s\n", action, service, e.what());
        return -1;
    }
    int status = 0;
    try {
        status = child->waitExit();
    } catch (const std::exception& e) {
        marun_log(3, "Error occured during %s service %s: %s\n", action, service, e.what());
        return -1;
    }
    if (WIFEXITED(status)) {
        if (WEXITSTATUS(status) == 0) {
            return 0;
        }
        if (std::strcmp(action, "status") != 0) {
            marun_log(3, "Service %s failed to %s\n", service, action);
        }
        return -1;
    }
    if (WIFSIGNALED(status)) {
        marun_log(3, "Unable to %s service %s: daemon killed by signal %i\n", action, service,
                  WTERMSIG(status));
    } else {
        marun_log(3, "Unable to %s service %s: daemon stopped by signal %i\n", action, service,
                  WSTOPSIG(status));
    }
    return -1;
}
