// Lookup tables under the conditions of a busy server: a --remove-domain
// killed at instants spread over its run, commands run side by side on
// different domains, and lookups while a table of a million records is
// rewritten.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <thread>

#include "integration/panel_server.h"
#include "postfix/database_helper.h"
#include "postfix/record_filters.h"

namespace kvarn_test {
namespace {

using marun::mail::postfix::DatabaseHelper;
using namespace marun::mail::postfix::database;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using Records = std::vector<std::pair<std::string, std::string>>;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> TABLES = {"virtual", "virtual_domains", "vmailbox"};

// Builds a table whole from the lines `write` gives.
void buildTable(const std::string& name, const std::function<void(std::ostream&)>& write) {
    const std::string source = std::string(kTablesDir) + "/" + name;
    {
        std::ofstream out(source);
        write(out);
    }
    runChecked({"/usr/sbin/postmap", tableSpec(name)});
    ::unlink(source.c_str());
}

// `domains` domains "d<i>.test", each served with `mailnames` mailboxes
// "u<j>" and a forward of its own.
void seedServer(int domains, int mailnames) {
    buildTable("virtual_domains", [&](std::ostream& out) {
        for (int i = 0; i < domains; ++i) {
            out << "d" << i << ".test d" << i << ".test/\n";
        }
    });
    buildTable("virtual", [&](std::ostream& out) {
        for (int i = 0; i < domains; ++i) {
            out << "fwd@d" << i << ".test u0@d" << i << ".test, out@remote.test\n";
            for (int j = 0; j < mailnames; ++j) {
                out << "u" << j << "@d" << i << ".test u" << j << "@d" << i << ".test\n";
            }
        }
    });
    buildTable("vmailbox", [&](std::ostream& out) {
        for (int i = 0; i < domains; ++i) {
            for (int j = 0; j < mailnames; ++j) {
                out << "u" << j << "@d" << i << ".test d" << i << ".test/u" << j << "/Maildir/\n";
            }
        }
    });
}

std::map<std::string, Records> tables() {
    std::map<std::string, Records> all;
    for (const std::string& name : TABLES) {
        all[name] = tableRecords(name);
    }
    return all;
}

using TableSafetyTest = PanelServerTest;

TEST_F(TableSafetyTest, KilledDomainRemovalLeavesEachTableOldOrNewAndTheRetryFinishesIt) {
    seedServer(1000, 100);
    seedDomain("d7.test");
    const std::vector<std::string> remove = {"--remove-domain", "--domain-name=d7.test"};
    const std::string saved = "/tmp/saved-tables";
    runChecked({"/bin/cp", "-a", kTablesDir, saved});
    auto restore = [&] {
        for (const std::string& name : TABLES) {
            runChecked({"/bin/cp", "-p", saved + "/" + name + ".db", kTablesDir});
        }
    };
    const auto before = tables();
    ASSERT_GE(before.at("virtual").size(), 100000u);

    const auto start = Clock::now();
    RunResult r = runKvarn(remove);
    const auto duration = Clock::now() - start;
    ASSERT_TRUE(r.succeeded()) << r;
    const auto after = tables();
    ASSERT_EQ(after.at("vmailbox").size(), before.at("vmailbox").size() - 100);

    // Kill points: as each child starts (the removal from
    // "virtual_domains", the dumps, the changes to each copy), killing
    // kvarn alone as an out-of-memory kill does; and instants spread over
    // the run, killing kvarn with the postmap it runs, as a reboot does.
    std::vector<std::pair<int, double>> points;
    for (int child = 1; child <= 5; ++child) {
        points.emplace_back(child, 0);
    }
    for (double fraction : {0.1, 0.3, 0.5, 0.7, 0.9}) {
        points.emplace_back(0, fraction);
    }
    for (const auto& [child, fraction] : points) {
        SCOPED_TRACE("killed at child " + std::to_string(child) + ", at " +
                     std::to_string(fraction) + " of the run");
        restore();
        auto run = startKvarn(remove);
        if (child > 0) {
            std::set<pid_t> seen;
            waitForChildren(run->pid(), static_cast<size_t>(child), seen);
        } else {
            std::this_thread::sleep_for(duration * fraction);
        }
        ::kill(child > 0 ? run->pid() : -run->pid(), SIGKILL);
        run->wait();
        waitUntilNoneRuns("postmap");
        for (const std::string& name : TABLES) {
            const Records records = tableRecords(name);
            EXPECT_TRUE(records == before.at(name) || records == after.at(name)) << name;
        }

        RunResult retry = runKvarn(remove);
        EXPECT_TRUE(retry.succeeded()) << retry;
        EXPECT_EQ(tables(), after);
        EXPECT_THAT(listDir(kTablesDir), Not(Contains(HasSubstr(".kvarn."))));
    }
}

TEST_F(TableSafetyTest, MailnamesAddedBesideADomainRemovalAllStay) {
    seedServer(1000, 100);
    seedDomain("d7.test");
    seedDomain("a.test");
    runKvarnChecked({"--add-domain", "--domain-name=a.test"});
    auto removal = startKvarn({"--remove-domain", "--domain-name=d7.test"});
    // From its dumps on, the removal rewrites "virtual" and "vmailbox".
    std::set<pid_t> seen;
    waitForChildren(removal->pid(), 2, seen);
    std::vector<std::unique_ptr<Background>> additions;
    for (int n = 0; n < 16; ++n) {
        additions.push_back(startKvarn(
            {"--add-mailname", "--domain-name=a.test", "--mailname=n" + std::to_string(n)}));
    }
    for (auto& addition : additions) {
        RunResult r = addition->wait();
        EXPECT_TRUE(r.succeeded()) << r;
    }
    RunResult r = removal->wait();
    ASSERT_TRUE(r.succeeded()) << r;

    for (int n = 0; n < 16; ++n) {
        const std::string address = "n" + std::to_string(n) + "@a.test";
        EXPECT_EQ(tableLookup("vmailbox", address), "a.test/n" + std::to_string(n) + "/Maildir/");
        EXPECT_EQ(tableLookup("virtual", address), address);
    }
    for (const std::string& name : TABLES) {
        for (const auto& record : tableRecords(name)) {
            EXPECT_THAT(record.first + " " + record.second, Not(HasSubstr("d7.test")));
        }
    }
    EXPECT_EQ(tableRecords("vmailbox").size(), 999u * 100 + 16);
}

// A random sequence of panel requests (command lines, each handing over a
// password) of the landed commands that change tables, mail tree or
// authentication rows, all on `domain`: "D" stands for the domain option,
// "N" and "M" for two mail names.
std::vector<std::vector<std::string>> workload(const std::string& domain, unsigned seed,
                                               int count) {
    static const std::vector<std::vector<std::string>> commands = {
        {"--remove-domain", "D"},
        {"--add-domain", "D"},
        {"--turn-off-domain", "D"},
        {"--turn-on-domain", "D"},
        {"--set-domain-disk-quota", "D", "--disk-quota=100000"},
        {"--add-mailname", "D", "N"},
        {"--add-mailname", "D", "N", "--disk-quota=7000"},
        {"--remove-mailname", "D", "N"},
        {"--rename-mailname", "D", "--old-mailname=M", "--new-mailname=N"},
        {"--add-mailbox", "D", "N"},
        {"--remove-mailbox", "D", "N"},
        {"--set-password", "D", "N"},
        {"--set-mailbox-disk-quota", "D", "N", "--disk-quota=5000"},
    };
    std::mt19937 random(seed);
    std::vector<std::vector<std::string>> requests{{"--add-domain", "--domain-name=" + domain}};
    while (static_cast<int>(requests.size()) < count) {
        std::vector<std::string> request = commands[random() % commands.size()];
        const std::string n = std::to_string(random() % 4);
        const std::string m = std::to_string(random() % 4);
        for (std::string& arg : request) {
            arg = arg == "D" ? "--domain-name=" + domain
                  : arg == "N"
                      ? "--mailname=m" + n
                      : std::regex_replace(std::regex_replace(arg, std::regex("=M$"), "=m" + m),
                                           std::regex("=N$"), "=m" + n);
        }
        requests.push_back(request);
    }
    return requests;
}

// A table's records that mention a domain of `prefix` ("c" or "s"), with
// "c" written as "s".
Records recordsOf(const Records& records, const std::string& prefix) {
    static const std::regex concurrent(R"(\bc(a?[0-9]+\.test))");
    const std::regex mine("\\b" + prefix + "a?[0-9]+\\.test");
    Records selected;
    for (const auto& [key, value] : records) {
        if (std::regex_search(key + " " + value, mine)) {
            selected.emplace_back(std::regex_replace(key, concurrent, "s$1"),
                                  std::regex_replace(value, concurrent, "s$1"));
        }
    }
    std::sort(selected.begin(), selected.end());
    return selected;
}

TEST_F(TableSafetyTest, WorkersOnDifferentDomainsLoseAndResurrectNothing) {
    // Every run of every worker is compared with the same run made alone:
    // worker k works on "c<k>.test" while the others run, then the same
    // requests go one by one to the twin domain "s<k>.test".
    seedServer(500, 100);
    const int workers = 4;
    const int requests = 24;
    for (int k = 0; k < workers; ++k) {
        for (const char* prefix : {"c", "s"}) {
            const std::string n = prefix + std::to_string(k);
            seedDomainAlias(seedDomain(n + ".test"),
                            std::string(prefix) + "a" + std::to_string(k) + ".test");
        }
    }
    const Records others = tableRecords("virtual");
    auto runAll = [&](const std::string& prefix, int k) {
        std::vector<int> statuses;
        for (const auto& request :
             workload(prefix + std::to_string(k) + ".test", 100u + k, requests)) {
            statuses.push_back(runKvarn(request, {{"ORU_PASSWORD", "pw"}}).exitCode);
        }
        return statuses;
    };
    std::vector<std::vector<int>> concurrent(workers);
    std::vector<std::thread> threads;
    for (int k = 0; k < workers; ++k) {
        threads.emplace_back([&, k] { concurrent[k] = runAll("c", k); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (int k = 0; k < workers; ++k) {
        EXPECT_EQ(runAll("s", k), concurrent[k]) << "worker " << k;
    }

    for (const std::string& name : TABLES) {
        const Records records = tableRecords(name);
        EXPECT_EQ(recordsOf(records, "c"), recordsOf(records, "s")) << name;
    }
    Records stayed;
    for (const auto& record : tableRecords("virtual")) {
        if (std::regex_search(record.first, std::regex(R"(@d[0-9]+\.test$)"))) {
            stayed.push_back(record);
        }
    }
    EXPECT_EQ(stayed, others);
}

TEST_F(TableSafetyTest, LookupsAnswerWithinAQuarterSecondWhileAMillionRecordsAreRewritten) {
    buildTable("virtual", [](std::ostream& out) {
        for (int i = 0; i < 1000000; ++i) {
            out << "u" << i << "@d" << i % 10000 << ".test u" << i << "@d" << i % 10000
                << ".test\n";
        }
        out << "probe@p.test old@o.test\n";
    });
    const std::string from = "old@o.test";
    const std::string to = "new@o.test";
    pid_t rewrite = ::fork();
    ASSERT_GE(rewrite, 0);
    if (rewrite == 0) {
        try {
            DatabaseHelper::filterRecords(
                tableSpec("virtual"),
                ElementsFilter<ReplaceElementFilterRef>(ReplaceElementFilterRef(from, to)));
            ::_exit(0);
        } catch (...) {
            ::_exit(1);
        }
    }
    Clock::duration slowest{};
    int lookups = 0;
    int status = 0;
    while (::waitpid(rewrite, &status, WNOHANG) == 0) {
        const auto start = Clock::now();
        RunResult r = runCommand({"/usr/sbin/postmap", "-q", "probe@p.test", tableSpec("virtual")});
        slowest = std::max(slowest, Clock::now() - start);
        ++lookups;
        EXPECT_TRUE(r.out == from + "\n" || r.out == to + "\n") << r;
    }
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_GT(lookups, 10);
    EXPECT_LE(slowest, std::chrono::milliseconds(250));
    EXPECT_EQ(tableLookup("virtual", "probe@p.test"), to);
}

}  // namespace
}  // namespace kvarn_test
