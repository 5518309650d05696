// Benchmark driver for main.cf, master.cf and the service commands, run
// inside the integration sandbox by bench/run-postfix-config.sh:
//
//   postfix_config_bench master-cf ENTRIES ROUNDS   loads and stores a
//       master.cf of ENTRIES entries (comments, continuation lines) through
//       ModuleManager; the baseline reads and writes the same bytes with a
//       plain read, write, fsync and rename
//   postfix_config_bench services KVARN ROUNDS   times service commands
//       against the same child processes and panel query run bare; kvarn's
//       own time is the difference
//   postfix_config_bench appends N   N processes each add one element to
//       mynetworks at once through appendStringValue; fails unless all N
//       are there
//
// Every figure is the median over the rounds; each round alternates which
// of kvarn and the baseline goes first.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "mail/restore.h"
#include "postfix/main_cf_manager.h"
#include "postfix/module_manager.h"
#include "util/mysql.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double millis(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double timed(const std::function<void()>& work) {
    const auto start = Clock::now();
    work();
    return millis(Clock::now() - start);
}

// Runs a program with standard input and output on /dev/null; returns its
// exit status.
int run(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        throw std::runtime_error("cannot start " + args[0]);
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

std::string masterCf(int entries) {
    std::ostringstream text;
    text << "# generated master.cf\n\n";
    for (int i = 0; i < entries; ++i) {
        if (i % 10 == 0) {
            text << "# service group " << i / 10 << "\n";
        }
        text << "svc" << i << "      unix  -       -       y       -       -       smtp\n";
        if (i % 4 == 0) {
            text << "  -o syslog_name=postfix/svc" << i << "\n"
                 << "  -o smtp_bind_address=192.0.2." << i % 250 << "\n";
        }
    }
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
}

// The same bytes read and replaced the plain way.
void plainCopy(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    const std::string temp = path + ".plain";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const std::string data = text.str();
    if (fd < 0 || ::write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size()) ||
        ::fsync(fd) != 0 || ::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
        throw std::runtime_error("plain copy failed");
    }
}

int benchMasterCf(int entries, int rounds) {
    const std::string dir = "/var/tmp/master-cf-bench";
    ::mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/master.cf";
    const std::string text = masterCf(entries);
    writeFile(path, text);
    std::vector<double> kvarn, plain;
    for (int round = 0; round < rounds; ++round) {
        auto viaKvarn = [&] {
            marun::mail::postfix::ModuleManager modules(path, dir + "/master.cf.disabled");
            kvarn.push_back(timed([&] {
                modules.loadModules(false);
                modules.storeModules(true);
            }));
        };
        auto viaPlain = [&] { plain.push_back(timed([&] { plainCopy(path); })); };
        if (round % 2 == 0) {
            viaKvarn();
            viaPlain();
        } else {
            viaPlain();
            viaKvarn();
        }
    }
    std::ifstream in(path);
    std::stringstream after;
    after << in.rdbuf();
    if (after.str() != text) {
        std::printf("FAIL: the stored master.cf differs from the loaded one\n");
        return 1;
    }
    const double own = median(kvarn), base = median(plain);
    std::printf(
        "master.cf of %d entries (%zu bytes): load and store %.2f ms, plain read and "
        "replace %.2f ms (ratio %.1f), %d rounds\n",
        entries, text.size(), own, base, own / base, rounds);
    return own < 5.0 ? 0 : 1;
}

// One service command and the bare work it needs.
struct ServiceCase {
    std::string name;
    std::vector<std::string> kvarnArgs;
    std::vector<std::vector<std::string>> children;
    bool panelQuery;
};

void panelQuery() {
    marun::mysql::Connection connection;
    marun::mail::restore::getBoolMiscParamSafe("message_submission", connection, false);
}

int benchServices(const std::string& kvarn, int rounds) {
    const std::string postconf = "/usr/sbin/postconf";
    const std::vector<ServiceCase> cases = {
        {"--status-service (mta, courier, milter)",
         {"--status-service"},
         {{"/etc/init.d/courier-imap", "status"}, {"/etc/init.d/pc-remote", "status"}},
         false},
        {"--restart-service --mail-component=milter",
         {"--restart-service", "--mail-component=milter"},
         {{"/etc/init.d/pc-remote", "restart"}},
         false},
        {"-p / -o (smtp and smtps on, off; reload)",
         {"-p"},
         {{postconf, "-h", "config_directory"}, {"/etc/init.d/postfix", "reload"}},
         false},
        {"--stop-service --mail-component=submission",
         {"--stop-service", "--mail-component=submission"},
         {{postconf, "-h", "config_directory"}},
         true},
        {"-l with Postfix running", {"-l"}, {}, false},
    };
    int status = 0;
    for (const ServiceCase& c : cases) {
        std::vector<double> own, base;
        std::vector<std::string> args = {kvarn};
        args.insert(args.end(), c.kvarnArgs.begin(), c.kvarnArgs.end());
        for (int round = 0; round < rounds; ++round) {
            // The smtp case alternates on and off, so master.cf is written
            // every time.
            if (c.kvarnArgs[0] == "-p") {
                args[1] = round % 2 == 0 ? "-o" : "-p";
            }
            double k = 0, b = 0;
            auto viaKvarn = [&] { k = timed([&] { run(args); }); };
            auto bare = [&] {
                b = timed([&] {
                    for (const auto& child : c.children) {
                        run(child);
                    }
                    if (c.panelQuery) {
                        panelQuery();
                    }
                });
            };
            if (round % 2 == 0) {
                viaKvarn();
                bare();
            } else {
                bare();
                viaKvarn();
            }
            own.push_back(k - b);
            base.push_back(b);
        }
        const double ownMedian = median(own);
        std::printf("%-45s kvarn's own %.2f ms beyond %.2f ms of bare work\n", c.name.c_str(),
                    ownMedian, median(base));
        if (ownMedian >= 10.0) {
            status = 1;
        }
    }
    return status;
}

int benchAppends(int count) {
    std::vector<pid_t> pids;
    for (int i = 0; i < count; ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            try {
                marun::mail::postfix::MainCfManager().appendStringValue(
                    "mynetworks", "10.77." + std::to_string(i) + ".0/24");
                ::_exit(0);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "append %d: %s\n", i, e.what());
                ::_exit(1);
            }
        }
        pids.push_back(pid);
    }
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
    }
    const std::string value =
        marun::mail::postfix::MainCfManager().getStringValue("mynetworks", false);
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (value.find("10.77." + std::to_string(i) + ".0/24") != std::string::npos) {
            ++kept;
        }
    }
    std::printf("%d concurrent appends to mynetworks: %d kept\n", count, kept);
    return kept == count ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string mode = argc > 1 ? argv[1] : "";
        if (mode == "master-cf" && argc == 4) {
            return benchMasterCf(std::atoi(argv[2]), std::atoi(argv[3]));
        }
        if (mode == "services" && argc == 4) {
            return benchServices(argv[2], std::atoi(argv[3]));
        }
        if (mode == "appends" && argc == 3) {
            return benchAppends(std::atoi(argv[2]));
        }
        std::fprintf(stderr,
                     "usage: postfix_config_bench master-cf ENTRIES ROUNDS | services KVARN "
                     "ROUNDS | appends N\n");
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "postfix_config_bench: %s\n", e.what());
        return 2;
    }
}
