// Integration-test harness: per-test fresh state inside the sandbox that
// scripts/sandbox-run set up — mounts, process clean-up, host name.
#include "harness/sandbox.h"

#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "harness/files.h"
#include "harness/panel_db.h"
#include "harness/postfix.h"
#include "harness/process.h"

namespace kvarn_test {

const char* const kMainCf = "/etc/postfix/main.cf";
const char* const kPostfixInit = "/etc/init.d/postfix";
const char* const kShadowFile = "/etc/oru/.oru.shadow";
const char* const kMailRoot = "/var/qmail/mailnames";
const char* const kMarunLibDir = "/var/lib/marun";

namespace {

// Directories that get a copy-on-write layer per test, so that whatever a
// test writes outside the fresh paths is gone for the next one too.
const char* const kPerTestOverlays[] = {"/etc", "/var", "/usr/local", "/tmp", "/root"};

[[noreturn]] void fail(const std::string& what, const std::string& path) {
    throw HarnessError(what + " " + path + ": " + strerror(errno));
}

void mountTmpfs(const std::string& path) {
    if (::mount("kvarn-test", path.c_str(), "tmpfs", 0, "mode=0755") != 0) {
        fail("cannot mount tmpfs on", path);
    }
}

void mountOverlay(const std::string& dir, const std::string& upper, const std::string& work) {
    const std::string options = "lowerdir=" + dir + ",upperdir=" + upper + ",workdir=" + work;
    if (::mount("kvarn-test", dir.c_str(), "overlay", 0, options.c_str()) != 0) {
        fail("cannot mount overlay on", dir);
    }
}

// An overlay's root directory takes owner and mode from its upper layer.
void copyOwnerAndMode(const std::string& from, const std::string& to) {
    struct stat st;
    if (::stat(from.c_str(), &st) != 0) {
        fail("cannot stat", from);
    }
    if (::chown(to.c_str(), st.st_uid, st.st_gid) != 0 ||
        ::chmod(to.c_str(), st.st_mode & 07777) != 0) {
        fail("cannot set owner and mode of", to);
    }
}

struct ProcessTable {
    std::map<pid_t, pid_t> parent;
    std::map<pid_t, std::vector<pid_t>> children;
    std::set<pid_t> zombies;
};

ProcessTable readProcessTable() {
    ProcessTable table;
    for (const ProcessInfo& p : processes()) {
        table.parent[p.pid] = p.ppid;
        table.children[p.ppid].push_back(p.pid);
        if (p.state == 'Z' || p.state == 'X') {
            table.zombies.insert(p.pid);
        }
    }
    return table;
}

// Processes a test left behind: everything this process started that still
// runs, and every orphan the sandbox's init adopted (daemons such as
// Postfix's master detach and end up there) with its descendants — except
// the MariaDB server and this process's own ancestors. Processes running
// beside the test binary (say, a pipe it writes to) are not touched.
std::vector<pid_t> leftoverProcesses() {
    ProcessTable table = readProcessTable();
    std::set<pid_t> keep;
    for (pid_t p = ::getpid(); p > 0 && keep.insert(p).second;) {
        auto it = table.parent.find(p);
        p = it == table.parent.end() ? 0 : it->second;
    }
    if (const char* mysqld = ::getenv("KVARN_SANDBOX_MYSQLD_PID")) {
        keep.insert(static_cast<pid_t>(::atol(mysqld)));
    }
    std::vector<pid_t> todo{::getpid()};
    for (pid_t orphan : table.children[1]) {
        if (keep.count(orphan) == 0) {
            todo.push_back(orphan);
        }
    }
    std::vector<pid_t> left;
    std::set<pid_t> seen;
    while (!todo.empty()) {
        const pid_t pid = todo.back();
        todo.pop_back();
        if (!seen.insert(pid).second) {
            continue;
        }
        if (keep.count(pid) == 0 && table.zombies.count(pid) == 0) {
            left.push_back(pid);
        }
        for (pid_t child : table.children[pid]) {
            todo.push_back(child);
        }
    }
    return left;
}

void killLeftoverProcesses() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        const std::vector<pid_t> left = leftoverProcesses();
        if (left.empty() || std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        for (pid_t pid : left) {
            ::kill(pid, SIGKILL);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Killing processes and mounting over system directories is only ever done
// where sandbox-run made its namespaces: its marker holds the pid it had,
// 1, and pid 1 is that script.
void requireSandbox() {
    if (!insideSandbox()) {
        throw HarnessError(
            "not inside the integration sandbox: run the test binary itself (its main() enters "
            "scripts/sandbox-run) or run it under scripts/sandbox-run");
    }
}

}  // namespace

bool insideSandbox() {
    const char* flag = ::getenv("KVARN_SANDBOX");
    const char* dir = ::getenv("KVARN_SANDBOX_DIR");
    if (!flag || std::string(flag) != "1" || !dir) {
        return false;
    }
    std::ifstream marker(std::string(dir) + "/.sandbox");
    std::string pid;
    std::ifstream init("/proc/1/cmdline");
    std::string cmdline((std::istreambuf_iterator<char>(init)), std::istreambuf_iterator<char>());
    return std::getline(marker, pid) && pid == "1" &&
           cmdline.find("sandbox-run") != std::string::npos;
}

std::string sandboxEnv(const char* name) {
    const char* value = ::getenv(name);
    if (!value || !*value) {
        throw HarnessError(std::string("environment variable ") + name +
                           " is not set: not inside scripts/sandbox-run?");
    }
    return value;
}

std::string panelPassword() {
    return sandboxEnv("KVARN_SANDBOX_DB_PASSWORD");
}

std::string sandboxHostname() {
    return sandboxEnv("KVARN_SANDBOX_HOSTNAME");
}

std::vector<std::string> freshPaths() {
    std::vector<std::string> paths;
    std::istringstream lines(readFile(sandboxEnv("KVARN_SANDBOX_MOUNTS")));
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty()) {
            paths.push_back(line);
        }
    }
    return paths;
}

void SandboxTest::SetUp() {
    requireSandbox();
    active_ = true;
    if (currentHostname() != sandboxHostname()) {
        setHostname(sandboxHostname());
    }

    const std::string scratch = sandboxEnv("KVARN_SANDBOX_DIR") + "/test";
    std::filesystem::create_directories(scratch);
    mountTmpfs(scratch);
    mounts_.push_back(scratch);

    for (const std::string dir : kPerTestOverlays) {
        if (!std::filesystem::is_directory(dir)) {
            continue;
        }
        std::string name = dir.substr(1);
        std::replace(name.begin(), name.end(), '/', '-');
        const std::string upper = scratch + "/upper/" + name;
        const std::string work = scratch + "/work/" + name;
        std::filesystem::create_directories(upper);
        std::filesystem::create_directories(work);
        copyOwnerAndMode(dir, upper);
        mountOverlay(dir, upper, work);
        mounts_.push_back(dir);
    }

    const std::string pristine = sandboxEnv("KVARN_SANDBOX_PRISTINE");
    for (const std::string& path : freshPaths()) {
        if (std::find(absentPaths_.begin(), absentPaths_.end(), path) != absentPaths_.end()) {
            std::filesystem::remove_all(path);
            continue;
        }
        std::filesystem::create_directories(path);
        mountTmpfs(path);
        mounts_.push_back(path);
        copyTreeInto(pristine + path, path);
    }

    resetPanelDatabase();
}

void SandboxTest::TearDown() {
    if (!active_) {
        return;
    }
    try {
        killPostfix();
    } catch (const std::exception& e) {
        ADD_FAILURE() << "stopping Postfix after the test: " << e.what();
    }
    killLeftoverProcesses();
    if (currentHostname() != sandboxHostname()) {
        setHostname(sandboxHostname());
    }
    // Detached, so that a file a test left open cannot keep the next test
    // from starting on fresh state.
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) {
        if (::umount2(it->c_str(), MNT_DETACH) != 0) {
            ADD_FAILURE() << "cannot unmount " << *it << ": " << strerror(errno);
        }
    }
    mounts_.clear();
    active_ = false;
}

}  // namespace kvarn_test
