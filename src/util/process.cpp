// Running a pipeline: launching, the engine's loop feeding and draining the
// children's streams, and reaping through ProcessSetCatcher.
#include "util/process.h"

#include <cerrno>
#include <csignal>
#include <stdexcept>

#include "util/errors.h"
#include "util/sig_blocker.h"

namespace marun {
namespace process {

OutputCallback makeStringReceiver(std::string& target) {
    return [&target](const std::vector<char>& chunk) { target.append(chunk.begin(), chunk.end()); };
}

size_t nonblock_write(int fd, const char* buffer, size_t length) {
    ssize_t n = writeNonblock(fd, buffer, length);
    if (n < 0) {
        throwSystemError("write", errno);
    }
    return static_cast<size_t>(n);
}

std::unique_ptr<ProcessLaunch> launchOne(const Parameters& parameters, int stdinCode,
                                         int stdoutCode) {
    if (parameters.args.empty() && parameters.path.empty()) {
        throw std::invalid_argument("no program to launch");
    }
    const std::string& executable = parameters.path.empty() ? parameters.args[0] : parameters.path;
    std::vector<char*> argv;
    argv.reserve(parameters.args.size() + 1);
    for (const std::string& arg : parameters.args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    bool searchPath = executable[0] != '.' && executable[0] != '/';
    int stderrCode = parameters.stderrChannel.code == STREAM_DEFAULT
                         ? STREAM_INHERIT
                         : parameters.stderrChannel.code;
    return std::unique_ptr<ProcessLaunch>(new ProcessLaunch(
        argv.data(), executable.c_str(),
        parameters.workingDirectory.empty() ? nullptr : parameters.workingDirectory.c_str(),
        parameters.environment, parameters.closeDescriptors, searchPath, false,
        parameters.childHook, stdinCode, stdoutCode, stderrCode));
}

void Pipe::assign(const Parameters& process) {
    processes.assign(1, process);
    statuses.clear();
    launched_ = false;
}

int Pipe::run() {
    if (processes.empty()) {
        throw std::logic_error("No processes to launch were assigned so far");
    }
    if (launched_) {
        throw std::logic_error("the pipe has been launched already");
    }
    launched_ = true;

    // Each process takes the pipe's settings for whatever it leaves unset.
    std::vector<Parameters> procs = processes;
    for (Parameters& p : procs) {
        if (p.workingDirectory.empty()) {
            p.workingDirectory = workingDirectory;
        }
        if (p.environment == nullptr) {
            p.environment = environment;
        }
        if (!p.closeDescriptors) {
            p.closeDescriptors = closeDescriptors;
        }
        if (!p.childHook) {
            p.childHook = childHook;
        }
        if (p.stderrChannel.code == STREAM_DEFAULT) {
            p.stderrChannel = stderrChannel;
        }
        if (!p.exitCallback) {
            p.exitCallback = exitCallback;
        }
    }
    const int inCode = stdinChannel.code == STREAM_DEFAULT ? STREAM_INHERIT : stdinChannel.code;
    const int outCode = stdoutChannel.code == STREAM_DEFAULT ? STREAM_INHERIT : stdoutChannel.code;
    const size_t count = procs.size();
    statuses.assign(count, ProcessStatus());

    ProcessSetCatcher catcher;
    std::vector<std::unique_ptr<ProcessLaunch>> launches;
    std::vector<pid_t> pids;
    {
        // While SIGCHLD is blocked the handler cannot run for a child that is
        // not registered yet; a failure in between leaves through the
        // catcher's destructor, which removes it forcibly.
        SigBlocker blocker(SIGCHLD);
        catcher.install();
        for (size_t i = 0; i < count; ++i) {
            int in = i == 0 ? inCode : launches[i - 1]->output().get();
            int out = i + 1 == count ? outCode : STREAM_PIPE;
            launches.push_back(launchOne(procs[i], in, out));
            if (i > 0) {
                launches[i - 1]->output().reset();
            }
            launches[i]->waitExec();
            pids.push_back(launches[i]->pid());
            catcher.add(pids.back());
        }
        blocker.restore();
    }
    Pump pump;
    pump.input = &launches.front()->input();
    if (stdinChannel.callback) {
        pump.produce = stdinChannel.callback;
    }
    auto addOutput = [&pump](UniqueFd& fd, const OutputCallback& callback) {
        if (fd.valid()) {
            pump.outputs.push_back(PumpOutput{&fd, [&callback](const char* data, size_t size) {
                                                  if (callback) {
                                                      callback(
                                                          std::vector<char>(data, data + size));
                                                  }
                                              }});
        }
    };
    addOutput(launches.back()->output(), stdoutChannel.callback);
    for (size_t i = 0; i < count; ++i) {
        addOutput(launches[i]->error(), procs[i].stderrChannel.callback);
    }
    std::vector<bool> notified(count, false);
    pump.wakeFd = catcher.controlFd();
    pump.wake = [&]() {
        catcher.clear_control();
        for (size_t i = 0; i < count; ++i) {
            statuses[i] = catcher.status(pids[i]);
            if (statuses[i].finished && !notified[i]) {
                notified[i] = true;
                if (procs[i].exitCallback) {
                    procs[i].exitCallback(static_cast<unsigned int>(i), statuses[i].status);
                }
            }
        }
    };
    pump.finished = [&]() {
        if (!catcher.allFinished()) {
            return false;
        }
        pump.wake();
        return true;
    };
    const char* step = "";
    if (process::pump(pump, &step) != 0) {
        throwSystemError(step, errno);
    }
    for (auto& launch : launches) {
        launch->input().reset();
        launch->output().reset();
        launch->error().reset();
    }
    catcher.remove(false);
    return statuses.back().status;
}

}  // namespace process
}  // namespace marun
