// Names a command refuses before it changes anything.
#include "commands/name_checks.h"

#include <gtest/gtest.h>

#include <stdexcept>

using namespace marun::mail::postfix::kvarn_commands;

namespace {

TEST(NameChecksTest, RefusesNamesThatCorruptTablesOrLeaveTheMailTree) {
    for (const char* bad : {"", "a b", "a\tb", "a\nb",
                            "a\x01"
                            "b",
                            "a\x7f", "a/b", "a..b", ".a", "..",
                            // Not UTF-8: a stray continuation byte, a
                            // truncated sequence, an overlong "/", a
                            // surrogate, a code point above U+10FFFF.
                            "a\x80", "caf\xc3", "\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80"}) {
        EXPECT_THROW(checkDomainName(bad), std::invalid_argument) << bad;
        EXPECT_THROW(checkMailName(bad), std::invalid_argument) << bad;
    }
    for (const char* good : {"example.com", "xn--bcher-kva.example", "first.last", "a-b_c+d",
                             "j\xc3\xb6rg", "\xe2\x82\xac", "\xf0\x9f\x93\xab"}) {
        EXPECT_NO_THROW(checkDomainName(good)) << good;
        EXPECT_NO_THROW(checkMailName(good)) << good;
    }
    try {
        checkDomainName("a b.test");
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ("invalid domain name 'a b.test': it contains white space", e.what());
    }
}

}  // namespace
