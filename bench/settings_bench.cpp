// Benchmark driver for the server settings commands, run inside the
// integration sandbox by bench/run-settings.sh:
//
//   settings_bench costs KVARN ROUNDS [COMMAND]   times each command (or
//       only COMMAND, e.g. --features) against the
//       postconf, postmap, init-script and crontab runs it must make, done
//       bare with the same arguments on the same state by a program of its
//       own ("settings_bench bare CASE COMMAND", which links nothing but the
//       C++ runtime, as kvarn is one program the panel starts); prints the
//       median of the rounds' ratios and kvarn's own time (the median
//       difference); fails when a ratio is above 1.25
//   settings_bench concurrent KVARN N   N concurrent --add-whitelist runs,
//       each with its own network, then N concurrent --add-badmailfrom runs;
//       fails unless every network and every record is kept
//
// Postfix's tools wait for a main.cf changed within the last second to
// settle, in whole seconds. Every timed run therefore starts 20 ms after a
// second begins, on a main.cf dated back: kvarn and the bare runs meet the
// same waits. Commands that change state come in pairs that undo each other
// (A then B); each side runs A then B from the state B leaves, and which
// side goes first alternates by round.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using Args = std::vector<std::string>;

const std::string POSTCONF = "/usr/sbin/postconf";
const std::string POSTMAP = "/usr/sbin/postmap";
const std::string CRONTAB = "/usr/bin/crontab";
const std::string BLACKLIST = "hash:/var/spool/postfix/marun/blacklists";
const std::string POPLOCK = "hash:/var/spool/postfix/marun/poplock";
const std::string CLEANER = "/usr/lib/marun-9.0/postfix-poplockdb-clean";
const std::string NO_RELAY = "check_client_access pcre:/var/spool/postfix/marun/no_relay.re";

// Runs a program with `input` on its standard input; its standard output
// goes to `output` when given (else /dev/null). Returns the exit status.
int run(const Args& args, const std::string& input = "", std::string* output = nullptr) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (output != nullptr) {
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int started = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    if (started != 0) {
        throw std::runtime_error("cannot start " + args[0]);
    }
    if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
        throw std::runtime_error("write to " + args[0]);
    }
    close(in[1]);
    char buffer[4096];
    ssize_t got;
    while ((got = read(out[0], buffer, sizeof buffer)) > 0) {
        if (output != nullptr) {
            output->append(buffer, static_cast<size_t>(got));
        }
    }
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

std::string value(const std::string& name) {
    std::string text;
    run({POSTCONF, "-h", name}, "", &text);
    text.erase(text.find_last_not_of(" \t\n") + 1);
    return text;
}

// The bare work of the commands: what kvarn must run, with the arguments it
// runs it with.
void configDirectory() {
    value("config_directory");
}
void setValue(const std::string& name, const std::string& text) {
    run({POSTCONF, "-e", name + "=" + text});
}
void reload() {
    run({"/etc/init.d/postfix", "reload"});
}
void service(const std::string& name) {
    run({"/etc/init.d/" + name, "restart"});
}
void crontab(const std::string& entry) {
    std::string current;
    run({CRONTAB, "-l", "-u", "root"}, "", &current);
    run({CRONTAB, "-u", "root", "-"}, entry.empty() ? "" : entry + "\n");
}
void recipientRestrictions(const std::string& fixed) {
    value("smtpd_recipient_restrictions");
    setValue("smtpd_recipient_restrictions", fixed);
}
void mynetworks(const std::string& added, const std::string& removed) {
    std::string current = value("mynetworks");
    if (!removed.empty()) {
        current.erase(current.find(", " + removed));
    }
    setValue("mynetworks", added.empty() ? current : current + ", " + added);
}

struct Command {
    Args args;
    std::function<void()> bare;
};

struct Case {
    std::vector<Command> commands;  // A, then B that undoes it
};

void startOfSecond() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto into = now % std::chrono::seconds(1);
    std::this_thread::sleep_for(std::chrono::seconds(1) - into + std::chrono::milliseconds(20));
    const struct timespec past[2] = {{std::time(nullptr) - 10, 0}, {std::time(nullptr) - 10, 0}};
    utimensat(AT_FDCWD, "/etc/postfix/main.cf", past, 0);
}

double timed(const std::function<void()>& work) {
    startOfSecond();
    const auto start = Clock::now();
    work();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::vector<Case> cases() {
    const std::string whitelisted = "10.5.0.0/16";
    const std::string cleanerEntry = "7,17,27,37,47,57\t*\t*\t*\t*\t" + CLEANER;
    return {
        {{{{"--add-badmailfrom", "--domain-name=spam.test"},
           [] {
               run({POSTMAP, "-r", "-i", BLACKLIST}, "spam.test REJECT\n");
           }},
          {{"--remove-badmailfrom", "--domain-name=spam.test"},
           [] {
               run({POSTMAP, "-d", "spam.test", BLACKLIST});
           }}}},
        {{{{"--add-whitelist", "--ip-address=10.5.0.0", "--netmask=16"},
           [=] {
               configDirectory();
               mynetworks(whitelisted, "");
               reload();
           }},
          {{"--remove-whitelist", "--ip-address=10.5.0.0", "--netmask=16"},
           [=] {
               configDirectory();
               mynetworks("", whitelisted);
               reload();
           }}}},
        {{{{"--set-maps-protection", "--maps-zones=a.test,b.test"},
           [] {
               configDirectory();
               value("smtpd_client_restrictions");
               setValue("smtpd_client_restrictions",
                        "reject_rbl_client a.test, reject_rbl_client b.test");
               reload();
           }}}},
        {{{{"--set-mail-params", "--popauth", "--poplock-time=10"},
           [=] {
               crontab(cleanerEntry);
               service("courier-imap");
               configDirectory();
               setValue("smtpd_sasl_auth_enable", "no");
               recipientRestrictions("permit_mynetworks, " + NO_RELAY +
                                     ", reject_unauth_destination");
               mynetworks(POPLOCK, "");
               service("pc-remote");
               reload();
           }},
          {{"--set-mail-params", "--smtpauth"},
           [=] {
               crontab("");
               service("courier-imap");
               configDirectory();
               setValue("smtpd_sasl_auth_enable", "yes");
               recipientRestrictions("permit_mynetworks, " + NO_RELAY +
                                     ", permit_sasl_authenticated, reject_unauth_destination");
               mynetworks("", POPLOCK);
               service("pc-remote");
               reload();
           }}}},
        {{{{"--set-accounts-format", "--account-format=compound"},
           [] { service("courier-imap"); }}}},
        {{{{"--set-max-letter-size", "--size=20000000"},
           [] {
               configDirectory();
               setValue("message_size_limit", "20000000");
               reload();
           }}}},
        {{{{"--get-max-letter-size"}, [] { value("message_size_limit"); }}}},
        {{{{"--get-mailbox-size-limit"}, [] { value("mailbox_size_limit"); }}}},
        {{{{"--features"},
           [] {
               run({POSTCONF, "-d", "-h", "mail_version"});
           }}}},
    };
}

int costs(const std::string& self, const std::string& kvarn, int rounds, const std::string& only) {
    int status = 0;
    const std::vector<Case> all = cases();
    for (size_t number = 0; number < all.size(); ++number) {
        const Case& c = all[number];
        if (!only.empty() && c.commands[0].args[0] != only) {
            continue;
        }
        const size_t n = c.commands.size();
        std::vector<std::vector<double>> ratios(n), own(n), bare(n);
        for (int round = 0; round < rounds; ++round) {
            std::vector<double> k(n), b(n);
            auto viaKvarn = [&] {
                for (size_t i = 0; i < n; ++i) {
                    Args args = {kvarn};
                    args.insert(args.end(), c.commands[i].args.begin(), c.commands[i].args.end());
                    k[i] = timed([&] {
                        if (run(args) != 0) {
                            throw std::runtime_error("kvarn " + c.commands[i].args[0] + " failed");
                        }
                    });
                }
            };
            auto viaBare = [&] {
                for (size_t i = 0; i < n; ++i) {
                    b[i] = timed([&] {
                        run({self, "bare", std::to_string(number), std::to_string(i)});
                    });
                }
            };
            if (round % 2 == 0) {
                viaKvarn();
                viaBare();
            } else {
                viaBare();
                viaKvarn();
            }
            for (size_t i = 0; i < n; ++i) {
                ratios[i].push_back(k[i] / b[i]);
                own[i].push_back(k[i] - b[i]);
                bare[i].push_back(b[i]);
            }
        }
        for (size_t i = 0; i < n; ++i) {
            std::string name;
            for (const std::string& arg : c.commands[i].args) {
                name += (name.empty() ? "" : " ") + arg;
            }
            const double ratio = median(ratios[i]);
            std::printf("%-58s ratio %.3f  (bare %7.1f ms, kvarn's own %5.1f ms)\n", name.c_str(),
                        ratio, median(bare[i]), median(own[i]));
            if (ratio > 1.25) {
                status = 1;
            }
        }
    }
    return status;
}

// Starts every command at once and waits for all; returns how many failed.
int concurrently(const std::vector<Args>& commands) {
    std::vector<pid_t> pids;
    for (const Args& args : commands) {
        const pid_t pid = fork();
        if (pid == 0) {
            _exit(run(args));
        }
        pids.push_back(pid);
    }
    int failed = 0;
    for (pid_t pid : pids) {
        int status = 0;
        waitpid(pid, &status, 0);
        failed += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
    }
    return failed;
}

int concurrent(const std::string& kvarn, int count) {
    std::vector<Args> whitelist, blacklist;
    for (int i = 0; i < count; ++i) {
        whitelist.push_back({kvarn, "--add-whitelist",
                             "--ip-address=10.88." + std::to_string(i) + ".0", "--netmask=24"});
        blacklist.push_back(
            {kvarn, "--add-badmailfrom", "--domain-name=bulk" + std::to_string(i) + ".test"});
    }
    auto start = Clock::now();
    const int whiteFailed = concurrently(whitelist);
    const double whiteSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    const std::string networks = value("mynetworks");
    start = Clock::now();
    const int blackFailed = concurrently(blacklist);
    const double blackSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::string records;
    run({POSTMAP, "-s", BLACKLIST}, "", &records);
    int whiteKept = 0, blackKept = 0;
    for (int i = 0; i < count; ++i) {
        whiteKept += networks.find("10.88." + std::to_string(i) + ".0/24") != std::string::npos;
        blackKept +=
            records.find("bulk" + std::to_string(i) + ".test\tREJECT") != std::string::npos;
    }
    std::printf("%d concurrent --add-whitelist: %d kept, %d failed (%.1f s)\n", count, whiteKept,
                whiteFailed, whiteSeconds);
    std::printf("%d concurrent --add-badmailfrom: %d kept, %d failed (%.1f s)\n", count, blackKept,
                blackFailed, blackSeconds);
    return whiteKept == count && blackKept == count && whiteFailed + blackFailed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string mode = argc > 1 ? argv[1] : "";
        if (mode == "costs" && (argc == 4 || argc == 5)) {
            return costs(argv[0], argv[2], std::atoi(argv[3]), argc == 5 ? argv[4] : "");
        }
        if (mode == "bare" && argc == 4) {
            cases().at(std::stoul(argv[2])).commands.at(std::stoul(argv[3])).bare();
            return 0;
        }
        if (mode == "concurrent" && argc == 4) {
            return concurrent(argv[2], std::atoi(argv[3]));
        }
        std::fprintf(stderr,
                     "usage: settings_bench costs KVARN ROUNDS [COMMAND] | concurrent KVARN N\n");
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "settings_bench: %s\n", e.what());
        return 2;
    }
}
