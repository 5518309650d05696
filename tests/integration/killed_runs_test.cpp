// Every landed command killed at instants of its run and run again, as a
// panel does after a timeout: the retry exits 0 and leaves the lookup
// tables, the mail tree and the authentication and handler rows as one run
// that was never interrupted leaves them; at no point has a record of
// another domain been lost or changed. Kill points: the start of each child
// process kvarn runs (found by polling /proc), killing kvarn alone, as an
// out-of-memory kill does; and instants spread over the run, killing kvarn
// with its children, as a reboot does.
#include <signal.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "integration/panel_server.h"

namespace kvarn_test {
namespace {

namespace fs = std::filesystem;
using Records = std::vector<std::pair<std::string, std::string>>;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> TABLES = {"aliases", "virtual", "virtual_domains", "vmailbox"};
const std::string HANDLERS_DIR = fs::path(MH_DB_PATH).parent_path();
const std::string SAVED = "/tmp/server-before";

// The records that mention c.test, the domain no command here works on.
Records bystander() {
    Records records;
    for (const std::string& name : TABLES) {
        for (const auto& record : tableRecords(name)) {
            if ((record.first + " " + record.second).find("c.test") != std::string::npos) {
                records.push_back(record);
            }
        }
    }
    return records;
}

void copyDirectories(const std::string& from, const std::string& to) {
    for (const std::string& dir : {std::string(kMailRoot), std::string(kTablesDir), HANDLERS_DIR}) {
        runChecked({"/bin/sh", "-c", "rm -rf \"$1\"/* && cp -a \"$2\"/. \"$1\"/", "sh", to + dir,
                    from + dir});
    }
}

class KilledRunsTest : public PanelServerTest {
  protected:
    // a.test (alias b.test) with "info" (mailbox, quota, password, a
    // handler) and "sales" (no mailbox); c.test with "x"; d.test turned
    // off; n.test known to the panel only.
    void SetUp() override {
        PanelServerTest::SetUp();
        const int a = seedDomain("a.test");
        seedDomainAlias(a, "b.test");
        for (const char* name : {"info", "sales"}) {
            seedMail(a, name);
        }
        seedMail(seedDomain("c.test"), "x");
        seedDomain("d.test");
        seedDomain("n.test");
        for (const char* domain : {"a.test", "c.test", "d.test"}) {
            runKvarnChecked({"--add-domain", std::string("--domain-name=") + domain});
        }
        runKvarnChecked({"--turn-off-domain", "--domain-name=d.test"});
        const std::map<std::string, std::string> password{{"ORU_PASSWORD", "pw"}};
        runKvarnChecked(
            {"--add-mailname", "--domain-name=a.test", "--mailname=info", "--disk-quota=10000"});
        runKvarnChecked({"--add-mailbox", "--domain-name=a.test", "--mailname=info"}, password);
        runKvarnChecked({"--add-mailname", "--domain-name=a.test", "--mailname=sales"});
        runKvarnChecked({"--add-mailname", "--domain-name=c.test", "--mailname=x"});
        runKvarnChecked({"--add-mailbox", "--domain-name=c.test", "--mailname=x"}, password);
        runKvarnChecked(handler("--add-handler", "info@a.test"));
        for (const std::string& dir :
             {std::string(kMailRoot), std::string(kTablesDir), HANDLERS_DIR}) {
            runChecked({"/bin/mkdir", "-p", SAVED + dir});
        }
        copyDirectories("", SAVED);
    }

    static std::vector<std::string> handler(const std::string& command,
                                            const std::string& address) {
        std::vector<std::string> args = {command, "--handler-name=spam", "--handler-type=recipient",
                                         "--handler-type-name=" + address, "--hook=before-queue"};
        if (command == "--add-handler") {
            args.insert(args.end(), {"--executable=/usr/bin/h", "--context=ctx", "--priority=10"});
        }
        return args;
    }

    // Runs the command uninterrupted, then killed at each kill point and
    // run again, each time from the server as SetUp left it.
    void killAndRetry(const std::vector<std::string>& args,
                      const std::map<std::string, std::string>& env = {}) {
        SCOPED_TRACE(args[0]);
        copyDirectories(SAVED, "");
        const Records others = bystander();
        auto start = Clock::now();
        RunResult r = runKvarn(args, env);
        const auto duration = Clock::now() - start;
        ASSERT_TRUE(r.succeeded()) << r;
        const std::string uninterrupted = serverState(AuthRows::passwords);

        bool ended = false;
        for (int point = 1; point <= 12; ++point) {
            const int child = point <= 8 ? point : 0;
            if (child > 0 && ended) {
                continue;
            }
            const double fraction = 0.2 * (point - 8);
            SCOPED_TRACE(child > 0 ? "at the start of child " + std::to_string(child)
                                   : "at " + std::to_string(fraction) + " of the run");
            copyDirectories(SAVED, "");
            auto run = startKvarn(args, env);
            if (child > 0) {
                std::set<pid_t> seen;
                ended = !waitForChildren(run->pid(), static_cast<size_t>(child), seen);
                ::kill(run->pid(), SIGKILL);
            } else {
                std::this_thread::sleep_for(duration * fraction);
                ::kill(-run->pid(), SIGKILL);
            }
            run->wait();
            waitUntilNoneRuns("postmap");
            EXPECT_EQ(bystander(), others);

            RunResult retry = runKvarn(args, env);
            EXPECT_TRUE(retry.succeeded()) << retry;
            EXPECT_EQ(serverState(AuthRows::passwords), uninterrupted);
        }
    }
};

TEST_F(KilledRunsTest, DomainCommands) {
    killAndRetry({"--add-domain", "--domain-name=n.test", "--disk-quota=100000"});
    killAndRetry({"--remove-domain", "--domain-name=a.test"});
    killAndRetry({"--turn-off-domain", "--domain-name=a.test"});
    killAndRetry({"--turn-on-domain", "--domain-name=d.test"});
    killAndRetry({"--set-domain-disk-quota", "--domain-name=a.test", "--disk-quota=200000"});
}

TEST_F(KilledRunsTest, MailNameAndMailboxCommands) {
    const std::map<std::string, std::string> password{{"ORU_PASSWORD", "new"}};
    killAndRetry({"--add-mailname", "--domain-name=a.test", "--mailname=new", "--disk-quota=3000"});
    killAndRetry({"--remove-mailname", "--domain-name=a.test", "--mailname=info"});
    const std::vector<std::string> rename = {"--rename-mailname", "--domain-name=a.test",
                                             "--old-mailname=info", "--new-mailname=contact"};
    killAndRetry(rename, password);
    killAndRetry(rename);
    killAndRetry({"--add-mailbox", "--domain-name=a.test", "--mailname=sales"}, password);
    killAndRetry({"--remove-mailbox", "--domain-name=a.test", "--mailname=info"});
    killAndRetry({"--set-password", "--domain-name=a.test", "--mailname=info"}, password);
    killAndRetry({"--set-mailbox-disk-quota", "--domain-name=a.test", "--mailname=info",
                  "--disk-quota=5000"});
}

TEST_F(KilledRunsTest, HandlerCommands) {
    killAndRetry(handler("--add-handler", "sales@a.test"));
    killAndRetry(handler("--disable-handler", "info@a.test"));
    killAndRetry(handler("--remove-handler", "info@a.test"));
}

}  // namespace
}  // namespace kvarn_test
