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

// "pid (comm) state ppid ...": comm may hold spaces and parentheses, so it
// ends at the last ')'.
std::optional<ProcessInfo> processInfo(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    const auto open = std::getline(in, line) ? line.find('(') : std::string::npos;
    const auto close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) {
        return std::nullopt;
    }
    ProcessInfo p{pid, 0, '?', line.substr(open + 1, close - open - 1)};
    std::istringstream(line.substr(close + 1)) >> p.state >> p.ppid;
    return p;
}

bool alive(pid_t pid) {
    auto p = processInfo(pid);
    return p && p->state != 'Z' && p->state != 'X';
}

// A line of output without its final line feed.
std::string chomp(std::string text) {
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
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
    return chomp(r.out);
}

std::string postconfValue(const std::string& name) {
    return chomp(runChecked({"/usr/sbin/postconf", "-h", name}));
}

std::vector<ProcessInfo> processes() {
    std::vector<ProcessInfo> all;
    DIR* proc = ::opendir("/proc");
    while (const struct dirent* e = proc ? ::readdir(proc) : nullptr) {
        if (std::isdigit(static_cast<unsigned char>(e->d_name[0]))) {
            if (auto p = processInfo(static_cast<pid_t>(std::atol(e->d_name)))) {
                all.push_back(*p);
            }
        }
    }
    if (proc) {
        ::closedir(proc);
    }
    return all;
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
        for (const ProcessInfo& p : processes()) {
            if (p.ppid == parent && p.state != 'Z') {
                seen.insert(p.pid);
            }
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
    for (;;) {
        const auto all = processes();
        if (std::none_of(all.begin(), all.end(),
                         [&](const ProcessInfo& p) { return p.comm == comm && p.state != 'Z'; })) {
            return;
        }
        ::usleep(1000);
    }
}

bool postfixRunning() {
    auto master = postfixMasterPid();
    if (!master) {
        return false;
    }
    for (const ProcessInfo& p : processes()) {
        if (p.ppid == *master && p.comm == "qmgr" && p.state != 'Z') {
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
