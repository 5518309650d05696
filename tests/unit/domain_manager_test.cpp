// The bounce program's pipe command without a message (the alias command
// tests show a message flattened to one line and shell-quoted twice).
#include "postfix/domain_manager.h"

#include <gtest/gtest.h>

namespace {

using marun::mail::postfix::DomainManager;

const std::string PROGRAM = "\"|/usr/lib/marun-9.0/bouncemessage";

TEST(BounceCommand, EmptyMessageGivesTheBareProgram) {
    EXPECT_EQ(PROGRAM + "\"", DomainManager::bounceCommand(""));
}

}  // namespace
