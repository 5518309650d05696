// The program's entry as the panel sees it: refused command lines, help
// texts, exit statuses and streams.
#include <string>
#include <vector>

#include "harness/kvarn_harness.h"

namespace kvarn_test {
namespace {

const std::string kShortUsage =
    "Usage: kvarn <COMMAND> <COMMAND OPTIONS...>\n"
    "\t for a complete list of commands use ``kvarn --help-commands''\n"
    "\t for help on syntax for a particular command use ``kvarn <COMMAND> --help''\n"
    "\t for legacy complete help use ``kvarn --help-legacy''\n";

using EntryTest = SandboxTest;

TEST_F(EntryTest, RefusedCommandLinesGoToStderrWithShortUsage) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "no command specified"},
        {{"-x"}, "invalid command -x"},
        {{"--Add-Domain"}, "invalid command --Add-Domain"},
        {{"--domain-name=a.test", "--add-domain"}, "invalid command --domain-name=a.test"},
    };
    for (const auto& [args, message] : cases) {
        RunResult r = runKvarn(args);
        EXPECT_TRUE(r.exited(1)) << r;
        EXPECT_EQ("Error: " + message + "\n" + kShortUsage, r.err);
        EXPECT_EQ("", r.out);
    }
}

TEST_F(EntryTest, HelpCommandsPrintOnStdoutAndExitZero) {
    for (const char* word : {"--help", "-h"}) {
        RunResult r = runKvarn({word, "extra", "words"});
        EXPECT_TRUE(r.exited(0)) << r;
        EXPECT_EQ(kShortUsage, r.out);
    }

    RunResult list = runKvarn({"--help-commands"});
    ASSERT_TRUE(list.exited(0)) << list;
    EXPECT_EQ(0u, list.out.rfind("Kvarn commands:\n", 0));
    EXPECT_NE(std::string::npos,
              list.out.find("-p, --start-smtpd                      starts SMTP server"));

    RunResult legacy = runKvarn({"--help-legacy"});
    ASSERT_TRUE(legacy.exited(0)) << legacy;
    EXPECT_EQ(0u, legacy.out.rfind("Usage: kvarn [OPTIONS]... \n  --add-mailname "
                                   "--domain-name=<domain_name> --mailname=<mail_name> "
                                   "[--disk-quota=<quota>]\n        adds mailname",
                                   0));
}

}  // namespace
}  // namespace kvarn_test
