// Process table scan over /proc/<pid> entries.
#include "lib/proc_scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "lib/unique_fd.h"

pid_t for_each_process(const std::function<bool(pid_t)>& visit) {
    std::unique_ptr<DIR, int (*)(DIR*)> proc(opendir("/proc"), closedir);
    if (!proc) {
        return -1;
    }
    while (dirent* entry = readdir(proc.get())) {
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) {
            continue;
        }
        const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
        if (visit(pid)) {
            return pid;
        }
    }
    return 0;
}

namespace {

// "pid (comm) state ppid ...": the command name may hold blanks and
// parentheses, so it ends at the last ")".
bool readStat(pid_t pid, std::string& comm, char& state, pid_t& ppid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    marun::UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return false;  // gone meanwhile
    }
    char buffer[512];
    const ssize_t n = read(fd.get(), buffer, sizeof buffer - 1);
    if (n <= 0) {
        return false;
    }
    buffer[n] = '\0';
    const char* open = std::strchr(buffer, '(');
    const char* close = std::strrchr(buffer, ')');
    if (open == nullptr || close == nullptr || close < open || close[1] != ' ') {
        return false;
    }
    comm.assign(open + 1, close);
    char* end = nullptr;
    state = close[2];
    ppid = static_cast<pid_t>(std::strtol(close + 3, &end, 10));
    return end != close + 3;
}

}  // namespace

pid_t find_child_process(pid_t parent, const char* name) {
    return for_each_process([parent, name](pid_t pid) {
        std::string comm;
        char state = 0;
        pid_t ppid = 0;
        return readStat(pid, comm, state, ppid) && ppid == parent && state != 'Z' && comm == name;
    });
}
