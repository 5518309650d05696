// Service commands against the real Postfix init script and a real Postfix,
// and the recording stand-ins for Courier-IMAP and the milter.
#include <fstream>
#include <thread>

#include "harness/kvarn_harness.h"

namespace kvarn_test {
namespace {

const char* const kMasterCf = "/etc/postfix/master.cf";

// Whether something listens on 127.0.0.1:port (in the sandbox's own
// network namespace).
bool listening(int port) {
    char local[32];
    std::snprintf(local, sizeof local, "0100007F:%04X", port);
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    while (std::getline(tcp, line)) {
        if (line.find(local) != std::string::npos && line.find(" 0A ") != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool eventuallyListening(int port) {
    for (int i = 0; i < 100 && !listening(port); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return listening(port);
}

TEST_F(SandboxTest, PostfixLifecycleThroughItsInitScript) {
    // Debian's init-script helpers would hand the script to the host's
    // service manager if they saw it.
    ASSERT_FALSE(pathExists("/run/systemd"));
    ASSERT_FALSE(postfixRunning());
    EXPECT_EQ(runKvarnChecked({"--status-service", "--mail-component=mta"}), "mta is stopped\n");
    runKvarnChecked({"-m"});  // not running: nothing to do

    runKvarnChecked({"-l"});
    ASSERT_TRUE(postfixRunning());  // started and waited for
    const auto master = postfixMasterPid();
    runKvarnChecked({"--start-qmail-send"});
    EXPECT_EQ(postfixMasterPid(), master);
    RunResult all = runKvarn({"--status-service"});
    EXPECT_EQ(all.out,
              "mta is running\npop3 is running\npop3s is running\nimap is running\n"
              "imaps is running\nmilter is running\n")
        << all;
    EXPECT_EQ(runKvarn({"-s"}).out, "is running\n");

    // A listener switched on in a running Postfix takes effect at once.
    ASSERT_FALSE(listening(465));
    runKvarnChecked({"--start-service", "--mail-component=smtps"});
    EXPECT_TRUE(eventuallyListening(465));
    EXPECT_EQ(postfixMasterPid(), master);
    runKvarnChecked({"--reload-service", "--mail-component=mta"});

    runKvarnChecked({"--restart-service", "--mail-component=mta"});
    EXPECT_TRUE(postfixRunning());
    EXPECT_NE(postfixMasterPid(), master);

    runKvarnChecked({"--stop-service", "--mail-component=mta"});
    EXPECT_TRUE(waitForPostfix(false));

    // A stopped Postfix is neither started nor reloaded by a listener change.
    runKvarnChecked({"--stop-service", "--mail-component=smtps"});
    EXPECT_EQ(readFile(kMasterCf).find("smtps"), std::string::npos);
    EXPECT_FALSE(postfixRunning());
    RunResult reload = runKvarn({"--reload-service", "--mail-component=mta"});
    EXPECT_TRUE(reload.exited(1)) << reload;
}

TEST_F(SandboxTest, CourierAndMilterGoThroughTheirInitScripts) {
    writeFile("/etc/oru/oru.conf", "PRODUCT_ROOT_D /usr/local/oru\n");
    ASSERT_EQ(runCommand({"/bin/mkdir", "/usr/local/oru/tmp"}).exitCode, 0);

    runKvarnChecked({"--restart-service", "--mail-component=imap", "--mail-component=milter"});
    EXPECT_EQ(serviceActions("courier-imap"), std::vector<std::string>{"restart"});
    EXPECT_EQ(serviceActions("pc-remote"), std::vector<std::string>{"restart"});
    EXPECT_FALSE(postfixRunning());

    setServiceRunning("courier-imap", false);
    EXPECT_EQ(runKvarn({"-e"}).out, "is stopped\n");
    EXPECT_EQ(
        runKvarnChecked({"--status-service", "--mail-component=imaps", "--mail-component=pop3"}),
        "pop3 is stopped\nimaps is stopped\n");
    EXPECT_EQ(serviceActions("courier-imap").size(), 3u);  // one status call per command

    // A failing script: the C result -1 is the legacy command's 255, the
    // component command's step failure is 1; its output is in the log.
    setServiceFailure("courier-imap", 3);
    EXPECT_TRUE(runKvarn({"-i"}).exited(255));
    EXPECT_TRUE(runKvarn({"--start-service", "--mail-component=pop3s"}).exited(1));
    EXPECT_NE(readFile("/usr/local/oru/tmp/rc_actions.log").find("courier-imap: start failed"),
              std::string::npos);

    ASSERT_EQ(::unlink("/etc/init.d/pc-remote"), 0);
    EXPECT_TRUE(runKvarn({"--start-milter"}).exited(255));
    writeFile("/etc/oru/oru.conf", "PRODUCT_ROOT_D /usr/local/oru\nNO_RESTART_DAEMON 1\n");
    const size_t calls = serviceCalls().size();
    runKvarnChecked({"--start-milter"});
    runKvarnChecked({"-z"});
    EXPECT_EQ(serviceCalls().size(), calls);
}

}  // namespace
}  // namespace kvarn_test
