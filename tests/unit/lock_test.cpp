// Locks on lock files given by path, the names of locks by name (nothing is
// made under /var/lock: locks by name show in the sandbox), MKLock's errors,
// the safe file writer and the copy functions that take no lock.
#include "lib/lock.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>

#include "lib/atomic_file.h"
#include "lib/copy_file.h"
#include "test_support.h"
#include "util/errors.h"
#include "util/mklock.h"

namespace {

using ::testing::StrEq;
using ::testing::ThrowsMessage;

using kvarn_unit::readFile;
using kvarn_unit::TempDir;
using marun::MKLock;

TEST(Lock, SecondHolderIsRefusedUntilRelease) {
    TempDir dir;
    std::string file = dir.file("lock");
    lock_struct_t* held = mk_lock(file.c_str(), 0);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(is_locked(held), 1);
    EXPECT_EQ(std::string(held->path), file);  // the given path is the lock file itself

    // flock conflicts between two open descriptions even within one process.
    lock_struct_t* busy = mk_nonblock_lock(file.c_str(), 0);
    ASSERT_NE(busy, nullptr);
    EXPECT_EQ(is_already_locked(busy), 1);
    EXPECT_EQ(rm_lock(busy), 0);
    EXPECT_THAT([&] { MKLock second(file, MKLock::LOCK_FILE_AS_IS, MKLock::NON_BLOCKING); },
                ThrowsMessage<std::runtime_error>(
                    StrEq("lock(" + file + ") failed: file is already locked")));

    EXPECT_EQ(rm_lock(held), 0);
    MKLock after_release(file, MKLock::LOCK_FILE_AS_IS, MKLock::NON_BLOCKING);
}

// A lock by name is the MD5 of the path under the lock directory; two
// processes that name one file must meet at one lock file.
TEST(Lock, NameIsTheDigestOfThePath) {
    std::unique_ptr<char, decltype(&free)> name(mk_flock_path("/etc/postfix/main.cf"), free);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name.get(), "/var/lock/files/7963c3b4b0754641744c1ae241e19575");
}

TEST(Lock, UnopenableLockFileFails) {
    TempDir dir;
    kvarn_unit::LogCapture log;
    std::string file = dir.file("no/such/dir/lock");
    lock_struct_t* lock = mk_lock(file.c_str(), 0);
    ASSERT_NE(lock, nullptr);
    EXPECT_EQ(lock->fd, -1);
    EXPECT_EQ(is_locked(lock), 0);
    EXPECT_EQ(rm_lock(lock), 0);
    EXPECT_EQ(log.all(), "Unable to open file \"" + file + "\": No such file or directory.\n");
    EXPECT_THAT([&] { MKLock missing(file, MKLock::LOCK_FILE_AS_IS); },
                ThrowsMessage<marun::ExSystemError<ENOENT>>(
                    StrEq("lock() failed: No such file or directory")));
}

TEST(CopyFile, OntoItselfDoesNothing) {
    TempDir dir;
    std::string file = dir.write("same", "content\n");
    // No lock is taken either, so this touches nothing outside the directory.
    EXPECT_EQ(copy_file(file.c_str(), file.c_str()), 0);
    EXPECT_EQ(readFile(file), "content\n");
}

TEST(CopyFileAtomic, ReplacesTheTargetWithOwnerAndMode) {
    TempDir dir;
    std::string content(3 * 4096 + 17, 'x');
    content[5000] = '\n';
    std::string src = dir.write("src", content);
    std::string dst = dir.write("dst", "old");
    ASSERT_EQ(chmod(dst.c_str(), 0600), 0);

    copy_file_atomic(src.c_str(), dst.c_str(), getuid(), getgid(), 0640);

    EXPECT_EQ(readFile(dst), content);
    struct stat info {};
    ASSERT_EQ(stat(dst.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    // src and dst, no temporary file left
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

TEST(AtomicFile, OnlyAnExplicitCommitReplacesTheTarget) {
    TempDir dir;
    std::string target = dir.write("target", "old");
    {
        marun::AtomicFile file;
        ASSERT_EQ(0, file.createBeside(target.c_str(), ".tmp", 0600));
        ASSERT_TRUE(file.write("new", 3));
    }  // abandoned: the temporary file goes, the target stays
    EXPECT_EQ(readFile(target), "old");
    EXPECT_FALSE(std::filesystem::exists(target + ".tmp"));

    marun::AtomicFile file;
    ASSERT_EQ(0, file.createBeside(target.c_str(), ".tmp", 0600));
    ASSERT_TRUE(file.write("new", 3));
    ASSERT_EQ(0, file.commit());
    EXPECT_EQ(readFile(target), "new");
    EXPECT_FALSE(std::filesystem::exists(target + ".tmp"));
}

TEST(CopyFileAtomicDeathTest, FailureEndsTheProcessAndLeavesTheTarget) {
    TempDir dir;
    std::string dst = dir.write("dst", "old");
    std::string missing = dir.file("missing");
    EXPECT_EXIT(copy_file_atomic(missing.c_str(), dst.c_str(), getuid(), getgid(), 0644),
                testing::ExitedWithCode(1),
                "copy_file_atomic\\(.*missing -> .*dst\\): open failed");
    EXPECT_EQ(readFile(dst), "old");
}

}  // namespace
