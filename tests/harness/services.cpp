// Integration-test harness: reading the stand-in init scripts' call log and
// writing the files that steer their answers. The log format is written by
// the stand-ins that scripts/sandbox-run installs:
//   CALL <name> / ARG <argument>... / ENV <name>=<value>... / END
#include "harness/services.h"

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <sstream>

#include "harness/files.h"
#include "harness/process.h"

namespace kvarn_test {

namespace {

std::string servicesDir() {
    const char* dir = ::getenv("KVARN_SANDBOX_SERVICES");
    return dir && *dir ? dir : "/run/kvarn-sandbox/services";
}

// The stand-ins write a newline inside a value as "\n".
std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == 'n') {
            out += '\n';
            ++i;
        } else {
            out += s[i];
        }
    }
    return out;
}

}  // namespace

std::vector<ServiceCall> serviceCalls(const std::string& service) {
    const std::string log = servicesDir() + "/calls.log";
    std::vector<ServiceCall> calls;
    if (!pathExists(log)) {
        return calls;
    }
    std::istringstream lines(readFile(log));
    std::string line;
    ServiceCall current;
    bool inCall = false;
    while (std::getline(lines, line)) {
        if (line.rfind("CALL ", 0) == 0) {
            current = ServiceCall{};
            current.service = line.substr(5);
            inCall = true;
        } else if (inCall && line.rfind("ARG ", 0) == 0) {
            current.args.push_back(unescape(line.substr(4)));
        } else if (inCall && line == "END") {
            if (service.empty() || current.service == service) {
                calls.push_back(current);
            }
            inCall = false;
        }
    }
    return calls;
}

std::vector<std::string> serviceActions(const std::string& service) {
    std::vector<std::string> actions;
    for (const auto& call : serviceCalls(service)) {
        std::string joined;
        for (const auto& arg : call.args) {
            joined += (joined.empty() ? "" : " ") + arg;
        }
        actions.push_back(joined);
    }
    return actions;
}

void setServiceRunning(const std::string& service, bool running) {
    writeFile(servicesDir() + "/" + service + ".status", running ? "running\n" : "stopped\n");
}

void setServiceFailure(const std::string& service, int exitStatus) {
    const std::string path = servicesDir() + "/" + service + ".fail";
    if (exitStatus == 0) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            throw HarnessError("cannot remove " + path);
        }
        return;
    }
    writeFile(path, std::to_string(exitStatus) + "\n");
}

}  // namespace kvarn_test
