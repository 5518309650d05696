// The bounce program's pipe command: the message flattened to one line and
// shell-quoted twice between the double quotes.
#include "postfix/domain_manager.h"

#include <gtest/gtest.h>

namespace {

using marun::mail::postfix::DomainManager;

const std::string PROGRAM = "\"|/usr/lib/marun-9.0/bouncemessage";

TEST(BounceCommand, EmptyMessageGivesTheBareProgram) {
    EXPECT_EQ(PROGRAM + "\"", DomainManager::bounceCommand(""));
}

TEST(BounceCommand, MessageIsOneLineQuotedTwice) {
    // Letters and digits pass; a space gets "\" then "\\\ ".
    EXPECT_EQ(PROGRAM + R"( Gone\\\ 4\\\ good")", DomainManager::bounceCommand("Gone 4 good"));
    EXPECT_EQ(PROGRAM + R"( a\\\ b\\\ \\\ c")", DomainManager::bounceCommand("a\nb\n c"));
    // Shell specials cannot end the pipe command or reach a shell unquoted.
    EXPECT_EQ(PROGRAM + R"( it\\\'s\\\ \\\$5\\\;\\\ \\\"x\\\"\\\ \\\`id\\\`")",
              DomainManager::bounceCommand("it's $5; \"x\" `id`"));
}

}  // namespace
