// Pipelines of child processes: process descriptions (Parameters), the
// channels that connect a pipeline's standard streams to callbacks, and
// Pipe, which launches the processes, feeds standard input from a producer,
// delivers standard output and error in chunks, and reaps the children. The
// feeding and draining is the process engine's loop (lib/process_engine.h).
#pragma once

#include <sys/types.h>

#include <boost/function.hpp>
#include <memory>
#include <string>
#include <vector>

#include "util/process_launch.h"
#include "util/process_set_catcher.h"

namespace marun {
namespace process {

// Receives one chunk (at most 1024 bytes) of a child's output.
using OutputCallback = boost::function<void(const std::vector<char>&)>;
// Appends input bytes to the buffer; answers whether more will come.
using InputCallback = boost::function<bool(std::vector<char>&)>;
// Called with a process's index in its pipeline and its wait status.
using ExitCallback = boost::function<void(unsigned int, int)>;

// A stream code (StreamCode or a descriptor) and the callback that serves the
// parent's end when the code is STREAM_PIPE.
template <class Callback>
struct Channel {
    Channel() = default;
    Channel(int code, const Callback& callback) : code(code), callback(callback) {}

    int code = STREAM_DEFAULT;
    Callback callback;
};

using InputChannel = Channel<InputCallback>;
using OutputChannel = Channel<OutputCallback>;

// Settings of one process; in a Pipe, also the defaults for its processes.
struct CommonFlags {
    std::string workingDirectory;        // empty: do not change
    char* const* environment = nullptr;  // "name=value" strings; null: keep
    bool closeDescriptors = false;       // close 3 and up before exec
    boost::function<void()> childHook;   // run in the child just before exec
    OutputChannel stderrChannel;
    ExitCallback exitCallback;
};

// A pipeline's ends: standard input of the first process and standard
// output of the last.
struct PipeFlags : CommonFlags {
    InputChannel stdinChannel;
    OutputChannel stdoutChannel;
};

using PipeProcessFlags = CommonFlags;

// One process: its flags, the executable and the argument vector.
template <class Flags>
class ProcessParameters : public Flags {
  public:
    // The argument vector is `path` followed by the given arguments up to
    // (not including) the first empty one.
    explicit ProcessParameters(
        const std::string& path, const std::string& a1 = std::string(),
        const std::string& a2 = std::string(), const std::string& a3 = std::string(),
        const std::string& a4 = std::string(), const std::string& a5 = std::string(),
        const std::string& a6 = std::string(), const std::string& a7 = std::string(),
        const std::string& a8 = std::string(), const std::string& a9 = std::string()) {
        args.reserve(10);
        args.push_back(path);
        for (const std::string* a : {&a1, &a2, &a3, &a4, &a5, &a6, &a7, &a8, &a9}) {
            if (a->empty()) {
                break;
            }
            args.push_back(*a);
        }
    }

    // The argument vector is `path` followed by every one of `arguments`,
    // however many and whether empty or not.
    ProcessParameters(const std::string& path, const std::vector<std::string>& arguments) {
        args.reserve(arguments.size() + 1);
        args.push_back(path);
        args.insert(args.end(), arguments.begin(), arguments.end());
    }

    std::string path;               // executable; empty: the first argument
    std::vector<std::string> args;  // argv[0] first
};

using Parameters = ProcessParameters<PipeProcessFlags>;

class Pipe : public PipeFlags {
  public:
    Pipe() = default;
    explicit Pipe(const Parameters& process) { processes.push_back(process); }
    virtual ~Pipe() = default;

    // Replaces the pipeline by the one process and makes the pipe runnable
    // again; the pipe's own flags and channels are kept.
    void assign(const Parameters& process);

    // Runs the pipeline to its end and returns the wait status of the last
    // process. Fields of a process's CommonFlags that it leaves unset take
    // the pipe's own. Runs once (until assign()).
    int run();
    // Runs independent pipelines side by side in one loop, each as run()
    // would, and fills each one's statuses; for dumps of several tables that
    // are read as they arrive. At most one of them may be fed by a producer.
    static void runSideBySide(const std::vector<Pipe*>& pipes);

    std::vector<Parameters> processes;
    std::vector<ProcessStatus> statuses;

  private:
    bool launched_ = false;
};

// An output callback that appends every chunk to `target`.
OutputCallback makeStringReceiver(std::string& target);

// Writes as much of `buffer` as a non-blocking descriptor takes, halving the
// length on EAGAIN; returns the count written. Throws SystemError "write".
size_t nonblock_write(int fd, const char* buffer, size_t length);

// Launches one process of a pipeline with the given stdin and stdout codes;
// standard error follows the parameters' channel code.
std::unique_ptr<ProcessLaunch> launchOne(const Parameters& parameters, int stdinCode,
                                         int stdoutCode);

}  // namespace process
}  // namespace marun
