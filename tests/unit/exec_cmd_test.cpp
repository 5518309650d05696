// ExecCmd (input, collected output, the failure report) and sh_quote.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "util/exec_cmd.h"
#include "util/sh_quote.h"

namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

using marun::ExecCmd;

TEST(ShQuoteTest, QuotedTextSurvivesTheShell) {
    // What the shell reads back is the original text, byte for byte.
    const std::string nasty = "it's $HOME; `id` | rm -rf * > x\n~ \"q\" (a) [b] #c\t&d\\";
    ExecCmd cmd("/bin/sh");
    cmd << "-c"
        << "printf %s " + marun::sh_quote(nasty);
    cmd.exec();
    EXPECT_EQ(nasty, cmd.getOutput());
}

TEST(ExecCmdTest, FeedsInputAndCollectsOutput) {
    ExecCmd cat("/bin/cat");
    cat.setInput("line\n");
    cat.exec();
    EXPECT_EQ(0, cat.getResult());
    EXPECT_EQ("line\n", cat.getOutput());

    ExecCmd env("/bin/sh");
    env << "-c"
        << "echo \"$KVARN_X\"";
    env.setEnv("KVARN_X", "first");
    env.setEnv("KVARN_X", "second");
    env.exec();
    EXPECT_EQ("second\n", env.getOutput());
}

TEST(ExecCmdTest, NonZeroResultThrowsTheFullReport) {
    ExecCmd cmd("/bin/sh");
    cmd << "-c"
        << "cat >/dev/null; echo out; printf err >&2; exit 5";
    cmd.setInput("in\n");
    EXPECT_THAT(
        [&] { cmd.exec(); },
        ThrowsMessage<marun::Exc<&ExecCmd::Failed>>(
            StrEq("Execution of /bin/sh -c cat\\ \\>/dev/null\\;\\ echo\\ out\\;\\ printf\\ err\\ "
                  "\\>\\&2\\;\\ exit\\ 5 failed with return code 5.\n"
                  "Stdin is\nin\nStdout is\nout\nStderr is\nerr\n")));
    // Without throwing, the result is just returned.
    EXPECT_EQ(5, cmd.exec(std::nothrow));
    EXPECT_EQ("out\n", cmd.getOutput());
}

TEST(ExecCmdTest, ResultForMissingProgramAndSignal) {
    ExecCmd missing("kvarn-no-such-program");
    EXPECT_EQ(127, missing.exec(std::nothrow));
    ExecCmd killed("/bin/sh");
    killed << "-c"
           << "kill -KILL $$";
    EXPECT_EQ(-1, killed.exec(std::nothrow));
    EXPECT_THROW(killed.exec(), marun::Exc<&ExecCmd::Failed>);
}

}  // namespace
