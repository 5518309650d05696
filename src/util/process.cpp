// Running a pipeline: launching, the select loop that feeds and drains the
// children's streams, and reaping through ProcessSetCatcher.
#include "util/process.h"

#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <stdexcept>

#include "util/errors.h"
#include "util/sig_blocker.h"

namespace marun {
namespace process {

namespace {

const size_t CHUNK = 1024;

void collectOutput(std::string& target, const std::vector<char>& chunk) {
    target.append(chunk.begin(), chunk.end());
}

void setNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        throwSystemError("fcntl", errno);
    }
}

// A readable end with the callback that receives its chunks.
struct Reader {
    FdOwner* fd;
    const OutputCallback* callback;
};

// Reads one chunk; returns false once the end is closed (end of file).
bool readChunk(Reader& reader) {
    std::vector<char> chunk(CHUNK);
    ssize_t n;
    do {
        n = ::read(reader.fd->get(), chunk.data(), chunk.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN) {
            return true;
        }
        throwSystemError("read", errno);
    }
    if (n == 0) {
        reader.fd->close_nothrow();
        return false;
    }
    chunk.resize(static_cast<size_t>(n));
    if (*reader.callback) {
        (*reader.callback)(chunk);
    }
    return true;
}

// Delivers what a finished child left in the pipe, without waiting for an
// end of file that a descendant still holding the pipe could delay.
void drain(Reader& reader) {
    while (reader.fd->valid()) {
        std::vector<char> chunk(CHUNK);
        ssize_t n = ::read(reader.fd->get(), chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno == EAGAIN) {
            return;
        }
        if (n < 0) {
            throwSystemError("read", errno);
        }
        if (n == 0) {
            reader.fd->close_nothrow();
            return;
        }
        chunk.resize(static_cast<size_t>(n));
        if (*reader.callback) {
            (*reader.callback)(chunk);
        }
    }
}

}  // namespace

OutputCallback makeStringReceiver(std::string& target) {
    return [&target](const std::vector<char>& chunk) { collectOutput(target, chunk); };
}

size_t nonblock_write(int fd, const char* buffer, size_t length) {
    int saved = errno;
    if (length == 0) {
        throw SystemError("write", EINVAL);
    }
    for (;;) {
        ssize_t n = ::write(fd, buffer, length);
        if (n >= 0) {
            errno = saved;
            return static_cast<size_t>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EAGAIN) {
            length /= 2;
            if (length == 0) {
                throwSystemError("write", EAGAIN);
            }
            continue;
        }
        throwSystemError("write", errno);
    }
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
                launches[i - 1]->output().close();
            }
            launches[i]->waitExec();
            pids.push_back(launches[i]->pid());
            catcher.add(pids.back());
        }
        blocker.restore();
    }
    // A child that quits reading makes a write fail with EPIPE instead of
    // ending this process.
    SigIgnorer sigPipe(SIGPIPE);

    FdOwner& input = launches.front()->input();
    const InputCallback& producer = stdinChannel.callback;
    bool producerMore = static_cast<bool>(producer);
    std::vector<char> buffer;
    size_t offset = 0;
    if (input.valid()) {
        if (producerMore) {
            setNonBlocking(input.get());
        } else {
            input.close();  // the child sees an end of file at once
        }
    }

    std::vector<Reader> readers;
    if (launches.back()->output().valid()) {
        readers.push_back(Reader{&launches.back()->output(), &stdoutChannel.callback});
    }
    for (size_t i = 0; i < count; ++i) {
        if (launches[i]->error().valid()) {
            readers.push_back(Reader{&launches[i]->error(), &procs[i].stderrChannel.callback});
        }
    }
    for (Reader& reader : readers) {
        setNonBlocking(reader.fd->get());
    }

    std::vector<bool> notified(count, false);
    auto collectStatuses = [&]() {
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

    for (;;) {
        if (input.valid()) {
            while (offset == buffer.size() && producerMore) {
                buffer.clear();
                offset = 0;
                producerMore = producer(buffer);
            }
            if (offset == buffer.size()) {
                input.close();
            }
        }
        if (catcher.allFinished()) {
            collectStatuses();
            for (Reader& reader : readers) {
                drain(reader);
            }
            break;
        }

        fd_set readable;
        fd_set writable;
        FD_ZERO(&readable);
        FD_ZERO(&writable);
        int maxFd = catcher.controlFd();
        FD_SET(catcher.controlFd(), &readable);
        for (const Reader& reader : readers) {
            if (reader.fd->valid()) {
                FD_SET(reader.fd->get(), &readable);
                maxFd = std::max(maxFd, reader.fd->get());
            }
        }
        if (input.valid()) {
            FD_SET(input.get(), &writable);
            maxFd = std::max(maxFd, input.get());
        }
        if (::select(maxFd + 1, &readable, &writable, nullptr, nullptr) < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwSystemError("select", errno);
        }

        if (input.valid() && FD_ISSET(input.get(), &writable)) {
            try {
                offset +=
                    nonblock_write(input.get(), buffer.data() + offset, buffer.size() - offset);
            } catch (const SystemError& e) {
                if (e.code() != EPIPE) {
                    throw;
                }
                // The child stopped reading; its exit status tells why.
                input.close_nothrow();
                producerMore = false;
            }
        }
        for (Reader& reader : readers) {
            if (reader.fd->valid() && FD_ISSET(reader.fd->get(), &readable)) {
                readChunk(reader);
            }
        }
        if (FD_ISSET(catcher.controlFd(), &readable)) {
            collectStatuses();
        }
    }

    input.close_nothrow();
    for (Reader& reader : readers) {
        reader.fd->close_nothrow();
    }
    catcher.remove(false);
    return statuses.back().status;
}

}  // namespace process
}  // namespace marun
