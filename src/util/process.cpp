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
    runSideBySide({this});
    return statuses.back().status;
}

void Pipe::runSideBySide(const std::vector<Pipe*>& pipes) {
    struct Run {
        Pipe* pipe;
        std::vector<Parameters> procs;
        std::vector<std::unique_ptr<ProcessLaunch>> launches;
        std::vector<pid_t> pids;
        std::vector<bool> notified;
    };
    std::vector<Run> runs;
    Pipe* producer = nullptr;
    for (Pipe* pipe : pipes) {
        if (pipe->processes.empty()) {
            throw std::logic_error("No processes to launch were assigned so far");
        }
        if (pipe->launched_) {
            throw std::logic_error("the pipe has been launched already");
        }
        if (pipe->stdinChannel.callback) {
            if (producer != nullptr) {
                throw std::logic_error("only one pipe run side by side may be fed");
            }
            producer = pipe;
        }
    }
    for (Pipe* pipe : pipes) {
        pipe->launched_ = true;
        // Each process takes the pipe's settings for whatever it leaves unset.
        std::vector<Parameters> procs = pipe->processes;
        for (Parameters& p : procs) {
            if (p.workingDirectory.empty()) {
                p.workingDirectory = pipe->workingDirectory;
            }
            if (p.environment == nullptr) {
                p.environment = pipe->environment;
            }
            if (!p.closeDescriptors) {
                p.closeDescriptors = pipe->closeDescriptors;
            }
            if (!p.childHook) {
                p.childHook = pipe->childHook;
            }
            if (p.stderrChannel.code == STREAM_DEFAULT) {
                p.stderrChannel = pipe->stderrChannel;
            }
            if (!p.exitCallback) {
                p.exitCallback = pipe->exitCallback;
            }
        }
        pipe->statuses.assign(procs.size(), ProcessStatus());
        std::vector<bool> notified(procs.size(), false);
        runs.push_back(Run{pipe, std::move(procs), {}, {}, std::move(notified)});
    }

    ProcessSetCatcher catcher;
    {
        // While SIGCHLD is blocked the handler cannot run for a child that is
        // not registered yet; a failure in between leaves through the
        // catcher's destructor, which removes it forcibly.
        SigBlocker blocker(SIGCHLD);
        catcher.install();
        for (Run& run : runs) {
            const PipeFlags& ends = *run.pipe;
            const int inCode =
                ends.stdinChannel.code == STREAM_DEFAULT ? STREAM_INHERIT : ends.stdinChannel.code;
            const int outCode = ends.stdoutChannel.code == STREAM_DEFAULT ? STREAM_INHERIT
                                                                          : ends.stdoutChannel.code;
            const size_t count = run.procs.size();
            for (size_t i = 0; i < count; ++i) {
                int in = i == 0 ? inCode : run.launches[i - 1]->output().get();
                int out = i + 1 == count ? outCode : STREAM_PIPE;
                run.launches.push_back(launchOne(run.procs[i], in, out));
                if (i > 0) {
                    run.launches[i - 1]->output().reset();
                }
                run.launches[i]->waitExec();
                run.pids.push_back(run.launches[i]->pid());
                catcher.add(run.pids.back());
            }
        }
        blocker.restore();
    }
    Pump pump;
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
    for (Run& run : runs) {
        if (run.pipe == producer || (producer == nullptr && &run == &runs.front())) {
            // Without a producer the pump closes the input at once.
            pump.input = &run.launches.front()->input();
            if (producer != nullptr) {
                pump.produce = producer->stdinChannel.callback;
            }
        } else {
            run.launches.front()->input().reset();
        }
        addOutput(run.launches.back()->output(), run.pipe->stdoutChannel.callback);
        for (size_t i = 0; i < run.procs.size(); ++i) {
            addOutput(run.launches[i]->error(), run.procs[i].stderrChannel.callback);
        }
    }
    pump.wakeFd = catcher.controlFd();
    pump.wake = [&]() {
        catcher.clear_control();
        for (Run& run : runs) {
            for (size_t i = 0; i < run.procs.size(); ++i) {
                run.pipe->statuses[i] = catcher.status(run.pids[i]);
                if (run.pipe->statuses[i].finished && !run.notified[i]) {
                    run.notified[i] = true;
                    if (run.procs[i].exitCallback) {
                        run.procs[i].exitCallback(static_cast<unsigned int>(i),
                                                  run.pipe->statuses[i].status);
                    }
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
    for (Run& run : runs) {
        for (auto& launch : run.launches) {
            launch->input().reset();
            launch->output().reset();
            launch->error().reset();
        }
    }
    catcher.remove(false);
}

}  // namespace process
}  // namespace marun
