// Integration-test harness: Postfix tables, parameters and process state.
#include "harness/postfix.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "harness/process.h"

namespace kvarn_test {

const char* const kTablesDir = "/var/spool/postfix/marun";
const std::vector<std::string> kLookupTables = {
    "virtual", "virtual_domains", "vmailbox", "aliases", "sdd_transport_maps", "blacklists",
};

namespace {

const char* const kMasterPidFile = "/var/spool/postfix/pid/master.pid";

struct ProcStat {
    std::string comm;
    char state = '?';
    pid_t ppid = 0;
};

// /proc/PID/stat is "pid (comm) state ppid ..."; comm may hold spaces and
// parentheses, so it ends at the last ')'.
std::optional<ProcStat> procStat(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) {
        return std::nullopt;
    }
    const auto open = line.find('(');
    const auto close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return std::nullopt;
    }
    ProcStat st;
    st.comm = line.substr(open + 1, close - open - 1);
    std::istringstream rest(line.substr(close + 1));
    rest >> st.state >> st.ppid;
    return st;
}

bool alive(pid_t pid) {
    auto st = procStat(pid);
    return st && st->state != 'Z' && st->state != 'X';
}

// Processes whose parent is pid, with their command names.
std::vector<std::pair<pid_t, std::string>> childProcesses(pid_t parent) {
    std::vector<std::pair<pid_t, std::string>> children;
    DIR* proc = ::opendir("/proc");
    if (!proc) {
        return children;
    }
    while (const struct dirent* e = ::readdir(proc)) {
        const std::string name = e->d_name;
        if (name.empty() || !std::all_of(name.begin(), name.end(), ::isdigit)) {
            continue;
        }
        const pid_t pid = static_cast<pid_t>(std::stol(name));
        auto st = procStat(pid);
        if (st && st->ppid == parent && st->state != 'Z') {
            children.emplace_back(pid, st->comm);
        }
    }
    ::closedir(proc);
    std::sort(children.begin(), children.end());
    return children;
}

}  // namespace

std::string tableSpec(const std::string& name) {
    return std::string("hash:") + kTablesDir + "/" + name;
}

std::vector<std::pair<std::string, std::string>> tableRecords(const std::string& name) {
    const std::string out = runChecked({"/usr/sbin/postmap", "-s", tableSpec(name)});
    std::vector<std::pair<std::string, std::string>> records;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        const auto ws = line.find_first_of(" \t");
        if (ws == std::string::npos) {
            records.emplace_back(line, "");
            continue;
        }
        const auto value = line.find_first_not_of(" \t", ws);
        records.emplace_back(line.substr(0, ws),
                             value == std::string::npos ? "" : line.substr(value));
    }
    std::sort(records.begin(), records.end());
    return records;
}

std::optional<std::string> tableLookup(const std::string& name, const std::string& key) {
    RunResult r = runCommand({"/usr/sbin/postmap", "-q", key, tableSpec(name)});
    if (r.exited(1)) {
        return std::nullopt;  // postmap -q: 1 means "not found"
    }
    if (!r.succeeded()) {
        std::ostringstream msg;
        msg << "postmap -q " << key << " " << tableSpec(name) << ": " << r;
        throw HarnessError(msg.str());
    }
    std::string value = r.out;
    if (!value.empty() && value.back() == '\n') {
        value.pop_back();
    }
    return value;
}

std::string postconfValue(const std::string& name) {
    std::string value = runChecked({"/usr/sbin/postconf", "-h", name});
    if (!value.empty() && value.back() == '\n') {
        value.pop_back();
    }
    return value;
}

std::optional<pid_t> postfixMasterPid() {
    std::ifstream in(kMasterPidFile);
    long pid = 0;
    if (!(in >> pid) || pid <= 0 || !alive(static_cast<pid_t>(pid))) {
        return std::nullopt;
    }
    return static_cast<pid_t>(pid);
}

bool waitForChildren(pid_t parent, size_t count, std::set<pid_t>& seen) {
    while (seen.size() < count) {
        for (const auto& child : childProcesses(parent)) {
            seen.insert(child.first);
        }
        if (seen.size() >= count) {
            break;
        }
        if (!alive(parent)) {
            return false;
        }
        ::usleep(100);
    }
    return true;
}

void waitUntilNoneRuns(const std::string& comm) {
    for (bool found = true; found;) {
        found = false;
        DIR* proc = ::opendir("/proc");
        while (const struct dirent* e = proc ? ::readdir(proc) : nullptr) {
            if (std::isdigit(static_cast<unsigned char>(e->d_name[0]))) {
                auto st = procStat(static_cast<pid_t>(std::atol(e->d_name)));
                found = found || (st && st->comm == comm && st->state != 'Z');
            }
        }
        if (proc) {
            ::closedir(proc);
        }
        if (found) {
            ::usleep(1000);
        }
    }
}

bool postfixRunning() {
    auto master = postfixMasterPid();
    if (!master) {
        return false;
    }
    for (const auto& [pid, comm] : childProcesses(*master)) {
        if (comm == "qmgr") {
            return true;
        }
    }
    return false;
}

bool waitForPostfix(bool running, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (postfixRunning() == running) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void killPostfix() {
    auto master = postfixMasterPid();
    if (!master) {
        return;
    }
    ::kill(*master, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (alive(*master) && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (alive(*master)) {
        ::kill(*master, SIGKILL);
        while (alive(*master)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

}  // namespace kvarn_test
