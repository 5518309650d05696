// The master.cf grammar and content: what it accepts and refuses, byte-exact
// round trips, the key index under duplicates and in-place replacement, and
// the entry texts kvarn writes (which must themselves be accepted).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "postfix/master_cf_content.h"
#include "postfix/sender_transport_manager.h"

namespace {

using namespace marun::mail::postfix;

bool parses(const std::string& text, MasterCfContent& content) {
    return parseMasterCf(text.data(), text.data() + text.size(), content);
}

bool parses(const std::string& text) {
    MasterCfContent content;
    return parses(text, content);
}

std::string roundTrip(const std::string& text) {
    MasterCfContent content;
    EXPECT_TRUE(parses(text, content)) << text;
    return content.text();
}

const char* const TRICKY =
    "# comment\r\n"
    "\n"
    "   \t\n"
    "smtp      inet  n       -       y       -       -       smtpd\r\n"
    "submission inet n - y - - smtpd # why not\n"
    "  -o smtpd_tls_security_level=encrypt\n"
    "\n"
    "# between continuation lines\n"
    "\t-o smtpd_sasl_auth_enable=yes   \n"
    "  # indented comment\n"
    "postlog   unix-dgram n  -       n       -       1       postlogd\n"
    "tlsmgr    unix  -       -       y       1000?   1       tlsmgr\n"
    "127.0.0.1:smtp inet n - n - - smtpd\n"
    "pass-svc  pass  -       -       n       -       -       smtpd\n"
    "maildrop  unix  -       n       n       -       -       pipe\n"
    "  flags=DRXhu user=vmail argv=/usr/bin/maildrop -d ${recipient}\n";

TEST(MasterCfGrammarTest, KeepsEveryByteAndAddsOnlyAMissingFinalNewline) {
    EXPECT_EQ(roundTrip(TRICKY), TRICKY);
    std::string noNewline = TRICKY;
    noNewline += "relay unix - - n - - smtp";
    EXPECT_EQ(roundTrip(noNewline), noNewline + "\n");
    EXPECT_EQ(roundTrip("  \t"), "  \t\n");

    MasterCfContent empty;
    ASSERT_TRUE(parses("", empty));
    EXPECT_TRUE(empty.lines().empty());

    MasterCfContent content;
    ASSERT_TRUE(parses(TRICKY, content));
    EXPECT_EQ(content.modules().size(), 7u);
    EXPECT_TRUE(content.hasModule("postlog", MODULE_UNIX_DGRAM));
    EXPECT_TRUE(content.hasModule("pass-svc", MODULE_PASS));
    EXPECT_EQ(content.getModule("submission", MODULE_INET).second,
              "submission inet n - y - - smtpd # why not\n"
              "  -o smtpd_tls_security_level=encrypt\n"
              "\n"
              "# between continuation lines\n"
              "\t-o smtpd_sasl_auth_enable=yes   ");
}

TEST(MasterCfGrammarTest, StockDebianFileRoundTrips) {
    std::ifstream in("/usr/share/postfix/master.cf.dist");
    if (!in) {
        GTEST_SKIP() << "postfix is not installed";
    }
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(roundTrip(text.str()), text.str());
}

TEST(MasterCfGrammarTest, RefusesWhatPostfixWouldMisread) {
    const char* refused[] = {
        "SMTP inet n - n - - smtpd\n",            // upper case name
        "[::1]:smtp inet n - n - - smtpd\n",      // bracketed IPv6 listener
        "smtp inet n - n - - smtpd # comment\n",  // comment after the last word
        "smtp tcp n - n - - smtpd\n",             // unknown type
        "smtp inet n - n ? - smtpd\n",            // "?" without a number
        "smtp inet x - n - - smtpd\n",            // bad flag
        "smtp inet n - n - -\n",                  // no command
        "smtp inet n - n - -smtpd\n",             // columns run together
        "  stray\n",                              // leading blanks, no entry to continue
    };
    for (const char* text : refused) {
        EXPECT_FALSE(parses(text)) << text;
    }
    EXPECT_TRUE(parses("smtp inet n - n 60? - smtpd -o a=permit_sasl_authenticated,reject\n"));
    EXPECT_TRUE(parses("smtp inet n - n - - smtpd # c\n  -o a=b\n"));
    EXPECT_TRUE(parses("smtp inet n - n - - smtpd\n\n# c\n  -o a=b\n"));
}

TEST(MasterCfContentTest, DuplicatesCollapseAndReplacementStaysInPlace) {
    MasterCfContent content;
    ASSERT_TRUE(
        parses("smtp inet n - n - - first\n"
               "# middle\n"
               "smtp unix - - n - - smtp\n"
               "smtp inet n - n - - second\n",
               content));
    EXPECT_EQ(content.text(), "smtp inet n - n - - second\n# middle\nsmtp unix - - n - - smtp\n");

    content.addModule(SmtpdModule(), SmtpdModule().entryText());
    content.addModule(SubmissionModule(), SubmissionModule().entryText());
    EXPECT_EQ(content.text(), "smtp inet n - n - - smtpd\n# middle\nsmtp unix - - n - - smtp\n" +
                                  SubmissionModule().entryText() + "\n");
    EXPECT_TRUE(content.removeModule("smtp", MODULE_UNIX));
    EXPECT_FALSE(content.removeModule("smtp", MODULE_UNIX));
    EXPECT_THROW(content.getModule("smtp", MODULE_UNIX), std::out_of_range);
    EXPECT_EQ(roundTrip(content.text()), content.text());
}

TEST(ModuleInfoTest, EntryTextsOfKvarnsOwnServicesParseBack) {
    EXPECT_EQ(SmtpsModule().entryText(), "smtps inet n - n - - smtpd -o smtpd_tls_wrappermode=yes");
    EXPECT_EQ(SenderTransportManager::SenderTransport("192.0.2.1", "").entryText(),
              "192.0.2.1- unix - n n - - smtp -o smtp_bind_address=192.0.2.1 "
              "-o smtp_bind_address6= -o smtp_address_preference=ipv4");
    const SenderTransportManager::SenderTransport pair("192.0.2.1", "2001:db8::1");
    EXPECT_EQ(pair.name, "192.0.2.1-2001-db8--1");
    EXPECT_EQ(SenderTransportManager::SenderTransport("", "2001:db8::1").entryText(),
              "-2001-db8--1 unix - n n - - smtp -o smtp_bind_address= "
              "-o smtp_bind_address6=2001:db8::1 -o smtp_address_preference=ipv6");
    MasterCfContent content;
    ASSERT_TRUE(parses(pair.entryText(), content)) << pair.entryText();
    EXPECT_TRUE(content.hasModule(pair.name, pair.type));
}

}  // namespace
