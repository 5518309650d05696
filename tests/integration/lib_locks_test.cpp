// Locked line editing and copying (the locks by name show in the unit tests
// and, with the lock directory, in the hostile tree test), run inside the
// sandbox where /var/lock/files is private to each test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "harness/sandbox.h"
#include "lib/copy_file.h"
#include "lib/file_str.h"
#include "unit/test_support.h"

namespace {

namespace fs = std::filesystem;
using kvarn_unit::readFile;
using kvarn_unit::TempDir;

class LibLocksTest : public kvarn_test::SandboxTest {};

struct stat statOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info;
}

// Line by line semantics are checked against a model by the line editor's
// fuzz target; here the documented cases on real files.
TEST_F(LibLocksTest, AddingAndRemovingLines) {
    TempDir dir;
    std::string file = dir.file("oru-pc-remote");
    kvarn_unit::LogCapture log;

    // Appending creates a missing file; every string becomes one line.
    ASSERT_EQ(
        file_strings(file.c_str(), {"pc_milter_pop_before_smtp=1", "b\n"}, FILE_ADD, FILE_END), 0);
    ASSERT_EQ(file_str(file.c_str(), "first", FILE_ADD, FILE_BEGIN), 0);
    EXPECT_EQ(file_str(file.c_str(), "mid", FILE_ADD, FILE_MID), 0);
    // A text that is more than one line is refused.
    EXPECT_EQ(file_str(file.c_str(), "x\n| evil", FILE_ADD, FILE_END), 1);
    EXPECT_EQ(readFile(file), "first\npc_milter_pop_before_smtp=1\nb\n");
    ASSERT_EQ(file_strings(file.c_str(), {"first", "b\n"}, FILE_REMOVE, FILE_END), 0);
    EXPECT_EQ(readFile(file), "pc_milter_pop_before_smtp=1\n");

    // Every rewrite needs an existing file, and creates none.
    std::string missing = dir.file("missing");
    EXPECT_EQ(file_str(missing.c_str(), "x", FILE_REMOVE, FILE_BEGIN), 1);
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_FALSE(fs::exists(missing + ".tmp"));
}

TEST_F(LibLocksTest, RewritesKeepOwnerGroupAndMode) {
    TempDir dir;
    std::string file = dir.write(".qmail", "| true\n&a@example.com\n");
    ASSERT_EQ(chown(file.c_str(), 4321, 8765), 0);
    ASSERT_EQ(chmod(file.c_str(), 0640), 0);
    ino_t before = statOf(file).st_ino;

    ASSERT_EQ(file_str(file.c_str(), "&a@example.com", FILE_REMOVE, FILE_BEGIN), 0);
    ASSERT_EQ(file_str(file.c_str(), "| /usr/bin/deliverquota ./Maildir", FILE_ADD, FILE_BEGIN), 0);
    ASSERT_EQ(file_str(file.c_str(), "| true", FILE_REMSUB, FILE_BEGIN), 0);

    EXPECT_EQ(readFile(file), "| /usr/bin/deliverquota ./Maildir\n");
    struct stat after = statOf(file);
    EXPECT_NE(after.st_ino, before);  // replaced through the temporary file
    EXPECT_EQ(after.st_uid, 4321u);
    EXPECT_EQ(after.st_gid, 8765u);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_FALSE(fs::exists(file + ".tmp"));
}

TEST_F(LibLocksTest, CopyFile) {
    TempDir dir;
    std::string content(10000, 'a');
    std::string src = dir.write("src", content);
    ASSERT_EQ(chmod(src.c_str(), 0604), 0);

    std::string dst = dir.file("new");
    ASSERT_EQ(copy_file(src.c_str(), dst.c_str()), 0);
    EXPECT_EQ(readFile(dst), content);
    EXPECT_EQ(statOf(dst).st_mode & 07777, 0604u);

    kvarn_unit::LogCapture log;
    EXPECT_EQ(copy_file(dir.file("missing").c_str(), dst.c_str()), 1);
    EXPECT_EQ(readFile(dst), content);
}

}  // namespace
