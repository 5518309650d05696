// Tree sizes: lengths or allocated blocks, directories' own entries
// included, links counted but not followed.
#include "mail/lib/dir_size.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "test_support.h"

namespace {

using kvarn_unit::TempDir;

long long lstatSize(const std::string& path, bool blocks) {
    struct stat st;
    EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
    return blocks ? st.st_blocks * 512LL : st.st_size;
}

TEST(DirSizeTest, SumsTheTreeWithoutFollowingLinks) {
    TempDir dir;
    TempDir outside;
    outside.write("huge", std::string(100000, 'x'));
    std::string root = dir.file("att");
    mkdir(root.c_str(), 0700);
    mkdir((root + "/sub").c_str(), 0700);
    dir.write("att/a", std::string(1000, 'a'));
    dir.write("att/sub/b", std::string(5000, 'b'));
    ASSERT_EQ(0, symlink(outside.path().c_str(), (root + "/link").c_str()));

    for (bool blocks : {false, true}) {
        long long expected = lstatSize(root, blocks) + lstatSize(root + "/sub", blocks) +
                             lstatSize(root + "/a", blocks) + lstatSize(root + "/sub/b", blocks) +
                             lstatSize(root + "/link", blocks);
        EXPECT_EQ(expected, get_dir_size(root.c_str(), blocks ? 1 : 0)) << blocks;
    }
    EXPECT_EQ(1000, get_dir_size((root + "/a").c_str(), 0));
    EXPECT_EQ(-1, get_dir_size(dir.file("missing").c_str(), 0));
}

}  // namespace
