// Writing "maildirsize": the two lines, the owner, and the temporary file
// that must not stay behind.
#include "mail/lib/maildirsize_write.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <string>

#include "test_support.h"

namespace {

using kvarn_unit::readFile;
using kvarn_unit::TempDir;

std::string makeMaildir(const TempDir& dir) {
    for (const char* sub : {"Maildir", "Maildir/tmp", "Maildir/new", "Maildir/cur"}) {
        mkdir(dir.file(sub).c_str(), 0700);
    }
    return dir.file("Maildir");
}

int entries(const std::string& path) {
    int n = 0;
    DIR* dir = opendir(path.c_str());
    while (struct dirent* e = readdir(dir)) {
        n += e->d_name[0] != '.';
    }
    closedir(dir);
    return n;
}

TEST(MaildirsizeWriteTest, WritesLimitsAndCountedUsageInColumns) {
    TempDir dir;
    std::string maildir = makeMaildir(dir);
    dir.write("Maildir/cur/1.M1.host,S=1500:2,S", "x");
    dir.write("Maildir/new/2.M2.host", std::string(700, 'x'));

    ASSERT_EQ(1, write_maildirpp_maildirsize(maildir.c_str(), getuid(), getgid(), 5000, 0));
    EXPECT_EQ("5000S,0C\n        2200           2\n", readFile(maildir + "/maildirsize"));
    EXPECT_EQ(0, entries(maildir + "/tmp"));

    struct stat st;
    ASSERT_EQ(0, stat((maildir + "/maildirsize").c_str(), &st));
    EXPECT_EQ(getuid(), st.st_uid);

    // What was written reads back the same way.
    sizequota_t size, size_limit;
    fcount_t count, count_limit;
    ASSERT_EQ(1, get_maildirpp_usage_and_limits(maildir.c_str(), 1, &size, &count, &size_limit,
                                                &count_limit));
    EXPECT_EQ(2200, size);
    EXPECT_EQ(2u, count);
    EXPECT_EQ(5000, size_limit);

    // Rewriting replaces the file.
    ASSERT_EQ(1, write_maildirpp_maildirsize(maildir.c_str(), getuid(), getgid(), 0, 0));
    EXPECT_EQ("0S,0C\n        2200           2\n", readFile(maildir + "/maildirsize"));
}

TEST(MaildirsizeWriteTest, RefusesAMissingMaildir) {
    TempDir dir;
    EXPECT_EQ(0, write_maildirpp_maildirsize(dir.file("none").c_str(), getuid(), getgid(), 1, 0));
}

}  // namespace
