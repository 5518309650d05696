// Names a command refuses before it changes anything.
#include "commands/name_checks.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

using namespace marun::mail::postfix::kvarn_commands;

namespace {

TEST(NameChecksTest, RefusesNamesThatCorruptTablesOrLeaveTheMailTree) {
    for (const char* bad : {"", "a b", "a\tb", "a\nb",
                            "a\x01"
                            "b",
                            "a\x7f", "a/b", "a..b", ".a", "..", "a,b",
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
    EXPECT_THAT([] { checkDomainName("a b.test"); },
                testing::ThrowsMessage<std::invalid_argument>(
                    testing::StrEq("invalid domain name 'a b.test': it contains white space")));
}

// IDNA maps full-width solidus, two-dot leader and ideographic space onto
// "/", ".." and " ": the ASCII form must be checked, not only the name given.
TEST(NameChecksTest, ChecksTheAsciiFormOfDomainsAndAddresses) {
    EXPECT_EQ("xn--bcher-kva.example", asciiDomainName("b\xc3\xbc"
                                                       "cher.example"));
    EXPECT_EQ("info@xn--bcher-kva.example", asciiAddress("info@b\xc3\xbc"
                                                         "cher.example"));
    for (const char* bad : {"\xe2\x80\xa5\xef\xbc\x8f\xe2\x80\xa5\xef\xbc\x8f"
                            "etc",  // "‥／‥／etc"
                            "a\xe3\x80\x80"
                            "b.test"}) {
        EXPECT_ANY_THROW(asciiDomainName(bad)) << bad;
        EXPECT_ANY_THROW(asciiAddress(std::string("x@") + bad)) << bad;
    }
    for (const char* bad : {"info", "a@b@c.test", "@c.test", "|cmd@c.test", "&x@c.test",
                            ".x@c.test", "a b@c.test", "a,b@c.test", "a\nb@c.test", "a@b c.test"}) {
        EXPECT_THROW(asciiAddress(bad), std::invalid_argument) << bad;
    }
    EXPECT_THROW(checkMailName("a@b"), std::invalid_argument);
}

}  // namespace
