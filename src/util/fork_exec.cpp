// ExecCmd's launcher: the user switch and the environment in the child, the
// string input and the collected outputs in the parent.
#include "util/fork_exec.h"

#include <grp.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib/log.h"
#include "lib/process_engine.h"
#include "util/errors.h"

namespace marun {

namespace {

// Exit status of a child that could not run its program.
const int EXIT_CANNOT_RUN = 127;

struct ChildSettings {
    const std::string* user;
    const std::map<std::string, std::string>* env;
};

// Switches the process to `user`: its groups, group id and user id.
bool p_setuid(const std::string& user) {
    struct passwd* pw = ::getpwnam(user.c_str());
    if (pw == nullptr) {
        if (errno == 0) {
            errno = ENOENT;
        }
        return false;
    }
    return ::initgroups(pw->pw_name, pw->pw_gid) == 0 && ::setgid(pw->pw_gid) == 0 &&
           ::setuid(pw->pw_uid) == 0;
}

// In the child, once the streams are in place: the user, then the variables.
void applySettings(void* arg, int) {
    const ChildSettings& settings = *static_cast<const ChildSettings*>(arg);
    if (!settings.user->empty() && !p_setuid(*settings.user)) {
        SystemError e("forkExecvPipes: p_setuid() to '" + *settings.user + "' failed", errno);
        marun_log(3, "%s\n", e.what());
        ::_exit(EXIT_CANNOT_RUN);
    }
    for (const auto& variable : *settings.env) {
        if (::setenv(variable.first.c_str(), variable.second.c_str(), 1) != 0) {
            marun_log(3, "forkExecvPipes: setenv() falied");
            ::_exit(EXIT_CANNOT_RUN);
        }
    }
}

void logChildFailure(void*, const char* step, int code) {
    if (std::strncmp(step, "exec", 4) == 0) {
        marun_log(3, "forkExecvPipes: execv() failed: %s\n", std::strerror(code));
    } else {
        marun_log(3, "forkExecvPipes: dup2() failed: %s\n", std::strerror(code));
    }
}

}  // namespace

int forkExecvGetInOutErrSuidEnv(const std::string& input, std::string& output, std::string& error,
                                const std::string& path, const std::vector<std::string>& args,
                                const std::string& user,
                                const std::map<std::string, std::string>& env) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    ChildSettings settings{&user, &env};
    process::LaunchSpec spec;
    spec.path = path.c_str();
    spec.argv = argv.data();
    spec.streams[0] = spec.streams[1] = spec.streams[2] = process::STREAM_PIPE;
    spec.searchPath = true;
    spec.closeDescriptors = true;
    spec.hook = applySettings;
    spec.hookArg = &settings;
    spec.childFailed = logChildFailure;
    spec.failureStatus = EXIT_CANNOT_RUN;
    process::Child child;
    process::LaunchFailure failure;
    if (process::launch(spec, child, failure) != 0) {
        if (std::strcmp(failure.message, "fork") == 0) {
            throwSystemError("forkExecvPipes: fork() failed", failure.code);
        }
        marun_log(3, "forkExecvGetOutErr: pipe() failed");
        errno = failure.code;
        return -1;
    }
    process::Pump pump;
    pump.input = &child.streams[0];
    if (!input.empty()) {
        pump.produce = [&input](std::vector<char>& buffer) {
            buffer.assign(input.begin(), input.end());
            return false;
        };
    }
    pump.outputs.push_back({&child.streams[1], [&output](const char* data, size_t size) {
                                output.append(data, size);
                            }});
    pump.outputs.push_back(
        {&child.streams[2], [&error](const char* data, size_t size) { error.append(data, size); }});
    const char* step = "";
    int failed = process::pump(pump, &step) != 0 ? errno : 0;
    if (failed != 0 && std::strcmp(step, "select") == 0) {
        marun_log(3, "forkExecvGetOutErr: select() failed");
    } else if (failed != 0 && std::strcmp(step, "fcntl") == 0) {
        marun_log(3, "forkExecvGetOutErr: fcntl(O_NONBLOCK) failed");
    }
    for (UniqueFd& end : child.streams) {
        end.reset();
    }
    int status = 0;
    if (process::waitChild(child.pid, &status, 0) < 0) {
        return -1;
    }
    if (failed != 0) {
        errno = failed;
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace marun
