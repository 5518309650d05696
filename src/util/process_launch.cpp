// Launching one child through the process engine, and turning what failed
// into the exception the caller expects.
#include "util/process_launch.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "util/errors.h"

namespace marun {
namespace process {

namespace {

// Exit statuses of a child that failed before exec.
const int EXIT_SYSTEM_ERROR = 67;
const int EXIT_STD_EXCEPTION = 66;
const int EXIT_UNKNOWN = 65;

// Runs the caller's hook in the child; whatever it throws is reported to the
// parent with its type, and the child ends.
void runHook(void* arg, int control) {
    try {
        (*static_cast<const boost::function<void()>*>(arg))();
        return;
    } catch (const SystemError& e) {
        writeSystemError(control, e.std::runtime_error::what(), e.code());
        ::_exit(EXIT_SYSTEM_ERROR);
    } catch (const std::runtime_error& e) {
        writeException(control, "std::runtime_error", e.what());
    } catch (const std::exception& e) {
        writeException(control, "std::exception", e.what());
    } catch (...) {
        writeException(control, "std::runtime_error", "unknown error");
        ::_exit(EXIT_UNKNOWN);
    }
    ::_exit(EXIT_STD_EXCEPTION);
}

[[noreturn]] void throwFailure(const LaunchFailure& failure) {
    const std::string type = failure.type;
    if (type == "SystemError") {
        throwSystemError(failure.message, failure.code);
    }
    if (type == "std::invalid_argument") {
        throw std::invalid_argument(failure.message);
    }
    if (type == "std::runtime_error") {
        throw std::runtime_error(failure.message);
    }
    if (type == "std::exception") {
        throw std::exception();
    }
    throw std::bad_exception();
}

}  // namespace

PipeOwner::PipeOwner(const char* what, int flags) {
    int fds[2];
    if (::pipe2(fds, flags) != 0) {
        throwSystemError(what, errno);
    }
    read_.reset(fds[0]);
    write_.reset(fds[1]);
}

ProcessLaunch::ProcessLaunch(char* const* argv, const char* path, const char* cwd,
                             char* const* envp, bool closeDescriptors, bool searchPath, bool setsid,
                             const boost::function<void()>& childHook, int stdinCode,
                             int stdoutCode, int stderrCode) {
    LaunchSpec spec;
    spec.path = path;
    spec.argv = argv;
    spec.envp = envp;
    spec.cwd = cwd;
    spec.streams[0] = stdinCode;
    spec.streams[1] = stdoutCode;
    spec.streams[2] = stderrCode;
    spec.searchPath = searchPath;
    spec.closeDescriptors = closeDescriptors;
    spec.newSession = setsid;
    spec.controlPipe = true;
    if (childHook) {
        spec.hook = runHook;
        spec.hookArg = const_cast<boost::function<void()>*>(&childHook);
    }
    spec.failureStatus = EXIT_SYSTEM_ERROR;
    LaunchFailure failure;
    if (launch(spec, child_, failure) != 0) {
        throwFailure(failure);
    }
}

void ProcessLaunch::waitExec() {
    LaunchFailure failure;
    if (process::waitExec(child_, failure) != 0) {
        throwFailure(failure);
    }
}

int ProcessLaunch::waitExit() {
    int status = 0;
    if (waitChild(child_.pid, &status, 0) < 0) {
        throwSystemError("unable to wait for child process exit", errno);
    }
    return status;
}

}  // namespace process
}  // namespace marun
