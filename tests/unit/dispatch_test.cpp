// The dispatcher's last word on exceptions, and the help texts' layout.
#include "commands/dispatch.h"

#include <gtest/gtest.h>

#include "commands/help.h"
#include "commands/program_options_helper.h"

using namespace marun::mail::postfix::kvarn_commands;

namespace {

int throwsMissingOption(int, char**) {
    throw MissingMandatoryOption("domain-name");
}
int throwsInt(int, char**) {
    throw 42;
}
int returnsSeven(int, char**) {
    return 7;
}

TEST(RunGuardedTest, TurnsExceptionsIntoReportsAndStatuses) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(1, runGuarded(throwsMissingOption, 0, nullptr));
    EXPECT_EQ(2, runGuarded(throwsInt, 0, nullptr));
    EXPECT_EQ(7, runGuarded(returnsSeven, 0, nullptr));
    std::string expected =
        "Fatal error: marun::mail::postfix::kvarn_commands::MissingMandatoryOption(mandatory "
        "option \"--domain-name\" is not specified)\nUNSPECIFIED ERROR OCCURED\n";
    EXPECT_EQ(expected, testing::internal::GetCapturedStdout());
    EXPECT_EQ(expected, testing::internal::GetCapturedStderr());
}

TEST(CommandMapTest, AliasesShareHandlersAndWordsAreExact) {
    CommandMap map;
    fillCommandMap(map);
    ASSERT_TRUE(map.count("--help") && map.count("-h"));
    EXPECT_EQ(map["--help"], map["-h"]);
    EXPECT_EQ(0u, map.count("--Help"));
    // Every served word appears in the help table (as a word or an alias).
    for (const auto& entry : map) {
        bool listed = false;
        for (const CommandDescription& row : commandDescriptions) {
            std::string column = row.command;
            listed = listed || column == entry.first || column.rfind(entry.first + ", ", 0) == 0 ||
                     column.find(", " + entry.first) != std::string::npos;
        }
        EXPECT_TRUE(listed) << entry.first;
    }
}

}  // namespace
