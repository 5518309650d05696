// Maildir++ measurement: sizes from message names, "maildirsize" parsing and
// its fall-back to counting, which folders count, the over-quota test, and
// writing "maildirsize" back.
#include "mail/lib/maildirpp_usage.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <iterator>
#include <string>
#include <tuple>

#include "mail/lib/maildirsize_write.h"
#include "test_support.h"

namespace {

using kvarn_unit::LogCapture;
using kvarn_unit::TempDir;
using marun::mail::parseMaildirsizeHeader;
using marun::mail::parseMaildirsizeLine;
using marun::mail::sizeFromMessageName;

// A Maildir with "tmp", "new" and "cur" under `dir`.
std::string makeMaildir(const TempDir& dir) {
    for (const char* sub : {"Maildir", "Maildir/tmp", "Maildir/new", "Maildir/cur"}) {
        mkdir(dir.file(sub).c_str(), 0700);
    }
    return dir.file("Maildir");
}

struct Usage {
    int result;
    sizequota_t size = -7;
    fcount_t count = 7;
    sizequota_t size_limit = -7;
    fcount_t count_limit = 7;
};

Usage read(const std::string& maildir, int no_recalc) {
    Usage u;
    u.result = get_maildirpp_usage_and_limits(maildir.c_str(), no_recalc, &u.size, &u.count,
                                              &u.size_limit, &u.count_limit);
    return u;
}

TEST(MaildirppParseTest, MessageNamesHeadersAndUsageLines) {
    // The number that ends a message name or its info; a first ",S=" that
    // does not end properly, or claims more than the limit, gives way to a
    // later one.
    const std::tuple<const char*, sizequota_t, sizequota_t> names[] = {
        {"1700000000.M1P2.host,S=1500:2,S", LLONG_MAX, 1500},
        {"1.M1.host,S=42", LLONG_MAX, 42},
        {"a,S=12x,S=34:2,", LLONG_MAX, 34},
        {"a,S=1001,S=1000", 1000, 1000}};
    for (const auto& [name, limit, expected] : names) {
        sizequota_t size = 0;
        EXPECT_TRUE(sizeFromMessageName(name, limit, &size)) << name;
        EXPECT_EQ(expected, size) << name;
    }
    sizequota_t size = 0;
    for (const char* bad : {"1.M1.host:2,S", "1.M1.host,S=", "1.M1.host,S=12x", "1.M1.host,S=-5",
                            "x,S=99999999999999999999", "x,S=1001"}) {
        EXPECT_FALSE(sizeFromMessageName(bad, 1000, &size)) << bad;
    }

    // "maildirsize" headers: bytes and an optional count, any other letters.
    const std::tuple<const char*, sizequota_t, fcount_t> headers[] = {
        {"1000S,0C", 1000, 0}, {"5S,7C", 5, 7}, {"2048S", 2048, 0}, {"10X,3C", 10, 3}};
    for (const auto& [text, bytes, count] : headers) {
        sizequota_t gotBytes = -1;
        fcount_t gotCount = 99;
        EXPECT_TRUE(parseMaildirsizeHeader(text, &gotBytes, &gotCount)) << text;
        EXPECT_EQ(bytes, gotBytes) << text;
        EXPECT_EQ(count, gotCount) << text;
    }
    fcount_t count = 0;
    for (const char* bad : {"", "S,0C", "1000", "1000S,", "1000S,0", "1000S,0CX", "1000X", "-5S,0C",
                            "1000S 0C", "99999999999999999999S,0C"}) {
        EXPECT_FALSE(parseMaildirsizeHeader(bad, &size, &count)) << '"' << bad << '"';
    }

    // Usage lines: two signed numbers (their sums are the fuzz target's).
    long long messages = 0;
    EXPECT_TRUE(parseMaildirsizeLine("   -200    -1", &size, &messages));
    EXPECT_EQ(-1, messages);
    EXPECT_FALSE(parseMaildirsizeLine("12 3x", &size, &messages));
}

TEST(MaildirCountTest, CountsAndWritesNewCurAndSubfoldersButNotTmpOrTrash) {
    TempDir dir;
    std::string maildir = makeMaildir(dir);
    dir.write("Maildir/cur/1.M1.host,S=1500:2,S", "short body; the name carries the size");
    dir.write("Maildir/new/2.M2.host", std::string(700, 'x'));
    dir.write("Maildir/tmp/3.M3.host,S=100000", "");
    for (const char* sub :
         {"Maildir/.Trash", "Maildir/.Trash/cur", "Maildir/.Spam", "Maildir/.Spam/cur"}) {
        mkdir(dir.file(sub).c_str(), 0700);
    }
    dir.write("Maildir/.Trash/cur/4.M4.host,S=9000:2,", "");
    dir.write("Maildir/.Spam/cur/5.M5.host,S=300:2,", "");
    // A file that merely looks like a subfolder is not one.
    dir.write("Maildir/.notafolder", "");

    Usage u = read(maildir, 0);
    ASSERT_EQ(1, u.result);
    EXPECT_EQ(2500, u.size);
    EXPECT_EQ(3u, u.count);
    EXPECT_EQ(LLONG_MAX, u.size_limit);
    EXPECT_EQ(ULLONG_MAX, u.count_limit);
    // Without a "maildirsize" there is nothing to read unless counting is allowed.
    EXPECT_EQ(0, read(maildir, 1).result);
    // A missing Maildir is a failure, not an empty one.
    EXPECT_EQ(0, read(dir.file("nothing"), 0).result);
    EXPECT_EQ(0, write_maildirpp_maildirsize(dir.file("none").c_str(), getuid(), getgid(), 1, 0));

    // The writer counts the same way, and what it writes reads back.
    ASSERT_EQ(1, write_maildirpp_maildirsize(maildir.c_str(), getuid(), getgid(), 5000, 0));
    EXPECT_EQ("5000S,0C\n        2500           3\n",
              kvarn_unit::readFile(maildir + "/maildirsize"));
    // Only the message put there; no temporary file left.
    EXPECT_EQ(1, std::distance(std::filesystem::directory_iterator(maildir + "/tmp"), {}));
    u = read(maildir, 1);
    EXPECT_EQ(2500, u.size);
    EXPECT_EQ(5000, u.size_limit);
}

TEST(MaildirsizeReadTest, SumsTheLinesUnderTheHeader) {
    TempDir dir;
    std::string maildir = makeMaildir(dir);
    // Messages on disk must not matter when the file is valid.
    dir.write("Maildir/cur/1,S=99999", "");
    dir.write("Maildir/maildirsize", "1000S,0C\n500 1\n-200 -1\n");
    for (int no_recalc : {0, 1}) {
        Usage u = read(maildir, no_recalc);
        ASSERT_EQ(1, u.result);
        EXPECT_EQ(300, u.size);
        EXPECT_EQ(0u, u.count);
        EXPECT_EQ(1000, u.size_limit);
        EXPECT_EQ(0u, u.count_limit);
    }
}

TEST(MaildirsizeReadTest, DamagedFilesFallBackToCounting) {
    TempDir dir;
    std::string maildir = makeMaildir(dir);
    dir.write("Maildir/cur/1,S=1234", "");

    struct Case {
        const char* name;
        std::string content;
        bool header_logged;
        sizequota_t size_limit;
    };
    const Case cases[] = {
        {"no newline after header", "1000S,0C", true, LLONG_MAX},
        {"negative limit", "-1S,0C\n10 1\n", true, LLONG_MAX},
        // The header is fine: its limits stay, only the usage is counted.
        {"bad line", "1000S,0C\n10 1\nten 1\n", false, 1000},
        {"unfinished last line", "1000S,0C\n10 1\n20 1", false, 1000},
        {"too big to be trusted", "1000S,0C\n" + std::string(5200, ' ') + "1 1\n", false, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dir.write("Maildir/maildirsize", c.content);
        LogCapture log;
        Usage u = read(maildir, 0);
        EXPECT_EQ(1, u.result);
        EXPECT_EQ(1234, u.size);
        EXPECT_EQ(1u, u.count);
        if (c.content.size() < 5120) {
            EXPECT_EQ(c.size_limit, u.size_limit);
        }
        EXPECT_EQ(c.header_logged,
                  log.all().find("maildirsize quota header is corrupted") != std::string::npos)
            << log.all();
        EXPECT_EQ(0, read(maildir, 1).result);
    }
}

// No command asks this: zero limits and the top of the range.
TEST(MaildirOverquotaTest, LimitsOfZeroMeanNoLimit) {
    TempDir dir;
    std::string maildir = makeMaildir(dir);
    dir.write("Maildir/maildirsize", "0S,0C\n999999 999999\n");
    EXPECT_EQ(0, check_maildirpp_overquota(maildir.c_str(), LLONG_MAX / 2, 1000));
    dir.write("Maildir/maildirsize", "1000S,0C\n900 9\n");
    EXPECT_EQ(0, check_maildirpp_overquota(maildir.c_str(), 100, 1));
    // Near the top of the range the sum must not wrap round to "fits".
    EXPECT_EQ(1, check_maildirpp_overquota(maildir.c_str(), LLONG_MAX, 0));
}

}  // namespace
