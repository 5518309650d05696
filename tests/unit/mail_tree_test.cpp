// Safety of the mail tree: which names may become a directory level, link-safe
// tree removal, and backup names.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <cstring>
#include <string>

#include "lib/tree_walk.h"
#include "mail/lib/mail_tree_name.h"
#include "mail/maildir_manager.h"
#include "test_support.h"

namespace {

using kvarn_unit::TempDir;
using marun::mail::MaildirManager;
namespace fs = boost::filesystem;

const char* why(const std::string& name) {
    return mail_tree_name_error(name.data(), name.size());
}

TEST(MailTreeNameTest, RefusesNamesThatLeaveTheirLevel) {
    for (const char* good : {"info", "example.com", "xn--bcher-kva.example", "-x", "_x", "a.b"}) {
        EXPECT_EQ(nullptr, why(good)) << good;
    }
    EXPECT_STREQ("it is empty", why(""));
    EXPECT_STREQ("it begins with '.'", why("."));
    EXPECT_STREQ("it begins with '.'", why(".."));
    EXPECT_STREQ("it begins with '.'", why(".hidden"));
    EXPECT_STREQ("it contains '/'", why("a/b"));
    EXPECT_STREQ("it contains '/'", why("/etc"));
    EXPECT_STREQ("it contains '..'", why("a..b"));
    EXPECT_STREQ("it contains a zero byte", why(std::string("a\0b", 3)));
    EXPECT_EQ(nullptr, why(std::string(255, 'a')));
    EXPECT_STREQ("it is too long", why(std::string(256, 'a')));
}

TEST(RemoveTreeTest, RemovesTheTreeButNothingALinkPointsTo) {
    TempDir dir;
    TempDir outside;
    outside.write("keep", "precious");
    std::string tree = dir.file("tree");
    mkdir(tree.c_str(), 0700);
    mkdir((tree + "/a").c_str(), 0700);
    mkdir((tree + "/a/b").c_str(), 0500);  // not writable: still removable by its parent's owner
    dir.write("tree/a/file", "x");
    ASSERT_EQ(0, symlink(outside.path().c_str(), (tree + "/a/link").c_str()));

    ASSERT_EQ(0, walk_remove_tree(tree.c_str()));
    EXPECT_NE(0, access(tree.c_str(), F_OK));
    EXPECT_EQ("precious", kvarn_unit::readFile(outside.file("keep")));

    // Missing trees are fine; a link given as the tree is removed, not entered.
    EXPECT_EQ(0, walk_remove_tree(tree.c_str()));
    ASSERT_EQ(0, symlink(outside.path().c_str(), tree.c_str()));
    EXPECT_EQ(0, walk_remove_tree(tree.c_str()));
    EXPECT_EQ("precious", kvarn_unit::readFile(outside.file("keep")));
}

TEST(BackupRenameTest, SuffixIsTheInodeSoRecreatedDirectoriesGetNewNames) {
    TempDir dir;
    fs::path root = dir.file("example.com");
    fs::path backup;

    // Nothing there: success, nothing moved.
    EXPECT_TRUE(MaildirManager::backupRename(root, backup));
    EXPECT_TRUE(backup.empty());

    fs::create_directory(root);
    struct stat st;
    ASSERT_EQ(0, stat(root.c_str(), &st));
    ASSERT_TRUE(MaildirManager::backupRename(root, backup));
    EXPECT_EQ(root.string() + ".MarunSaved." + std::to_string(st.st_ino), backup.string());
    EXPECT_TRUE(fs::is_directory(backup));
    EXPECT_FALSE(fs::exists(root));

    fs::create_directory(root);
    fs::path second;
    ASSERT_TRUE(MaildirManager::backupRename(root, second));
    EXPECT_NE(backup, second);
    EXPECT_TRUE(fs::is_directory(backup));
    EXPECT_TRUE(fs::is_directory(second));

    // A path below a file cannot exist either: nothing to back up.
    dir.write("plain", "");
    EXPECT_TRUE(MaildirManager::backupRename(dir.file("plain/x"), backup));
    EXPECT_TRUE(backup.empty());
}

}  // namespace
