// The mail tree in the sandbox, with the real "popuser": creating, repairing,
// renaming and removing domain roots and mail name homes, the
// library's path functions, and the refusal of names that would leave the
// mail root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <functional>
#include <string>
#include <vector>

#include "harness/kvarn_harness.h"
#include "mail/fs_error.h"
#include "mail/lib/mail_paths.h"
#include "mail/maildir_manager.h"
#include "util/errors.h"

namespace kvarn_test {
namespace {

using marun::mail::FSError;
using marun::mail::MaildirManager;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const char* const kFolders[] = {
    "Maildir",           "Maildir/tmp",       "Maildir/new",       "Maildir/cur",  "Maildir/.Spam",
    "Maildir/.Spam/tmp", "Maildir/.Spam/new", "Maildir/.Spam/cur", "@attachments",
};

class MaildirLayoutTest : public SandboxTest {
  protected:
    MaildirManager& manager() { return MaildirManager::getInstance(); }
    std::string root(const std::string& domain) { return std::string(kMailRoot) + "/" + domain; }
    std::string home(const std::string& domain, const std::string& name) {
        return root(domain) + "/" + name;
    }

    void expectHomeIsComplete(const std::string& path) {
        EXPECT_EQ("popuser:popuser", fileOwner(path));
        EXPECT_EQ(0700u, fileMode(path));
        for (const char* folder : kFolders) {
            std::string sub = path + "/" + folder;
            EXPECT_EQ('d', fileInfo(sub).type) << sub;
            EXPECT_EQ("popuser:popuser", fileOwner(sub)) << sub;
            EXPECT_EQ(0700u, fileMode(sub)) << sub;
        }
    }
};

TEST_F(MaildirLayoutTest, NewHomesBelongToPopuserAndCreatingAgainRepairsThem) {
    mode_t umaskBefore = umask(022);
    umask(umaskBefore);
    manager().createDomainRoot("example.com");
    manager().createMailnameHome("example.com", "info");
    const std::string h = home("example.com", "info");
    EXPECT_EQ("popuser:popuser", fileOwner(root("example.com")));
    EXPECT_EQ(0750u, fileMode(root("example.com")));
    expectHomeIsComplete(h);
    EXPECT_THAT(listDir(h), ElementsAre("@attachments", "Maildir"));
    EXPECT_EQ(umaskBefore, umask(umaskBefore));  // the process's umask is back as it was

    ASSERT_EQ(0, chown(root("example.com").c_str(), 0, 0));
    ASSERT_EQ(0, chmod(root("example.com").c_str(), 0777));
    ASSERT_EQ(0, chown((h + "/Maildir/cur").c_str(), 0, 0));
    ASSERT_EQ(0, chmod((h + "/Maildir/cur").c_str(), 0755));
    ASSERT_EQ(0, chmod(h.c_str(), 0711));
    boost::filesystem::remove_all(h + "/Maildir/.Spam");
    boost::filesystem::remove_all(h + "/@attachments");
    writeFile(h + "/Maildir/cur/1.M1.host,S=10:2,S", "kept");

    manager().createDomainRoot("example.com");
    manager().createMailnameHome("example.com", "info");
    EXPECT_EQ("popuser:popuser", fileOwner(root("example.com")));
    EXPECT_EQ(0750u, fileMode(root("example.com")));
    expectHomeIsComplete(h);
    EXPECT_EQ("kept", readFile(h + "/Maildir/cur/1.M1.host,S=10:2,S"));
}

TEST_F(MaildirLayoutTest, RemovalsDeleteTreesAndIgnoreMissingOnes) {
    EXPECT_NO_THROW(manager().removeDomainRoot("missing.example"));
    EXPECT_NO_THROW(manager().removeMailnameHome("missing.example", "info"));

    manager().createDomainRoot("example.com");
    manager().createMailnameHome("example.com", "info");
    manager().createMailnameHome("example.com", "sales");
    writeFile(home("example.com", "info") + "/Maildir/new/1.M1.host", "mail");
    manager().removeMailnameHome("example.com", "info");
    EXPECT_THAT(listDir(root("example.com")), ElementsAre("sales"));

    // What a removal killed while deleting left goes with the next one; a
    // backup stays.
    manager().createMailnameHome("example.com.kvarn-removed", "info");
    manager().createDomainRoot("example.com.MarunSaved.7");
    manager().removeDomainRoot("example.com");
    EXPECT_THAT(listDir(kMailRoot), ElementsAre("example.com.MarunSaved.7"));
}

// The operations no command reaches with a name of its own (the others show
// in the command tests' bad names).
TEST_F(MaildirLayoutTest, NamesThatWouldLeaveTheMailRootAreRefused) {
    writeFile("/var/qmail/marker", "x");
    manager().createDomainRoot("example.com");
    const std::vector<std::string> badNames = {
        "", "..", ".hidden", "a/b", "a..b", std::string("a\0b", 3), std::string(256, 'a')};
    const std::vector<std::pair<const char*, std::function<void(const std::string&)>>> operations =
        {
            {"backupDomainRoot", [&](const std::string& n) { manager().backupDomainRoot(n); }},
            {"backupMailnameHome",
             [&](const std::string& n) { manager().backupMailnameHome("example.com", n); }},
            {"renameDomainRoot",
             [&](const std::string& n) { manager().renameDomainRoot("example.com", n); }},
        };
    for (const auto& [what, operation] : operations) {
        for (const std::string& name : badNames) {
            EXPECT_THAT([&] { operation(name); },
                        testing::ThrowsMessage<FSError>(testing::StartsWith("invalid ")))
                << what << " '" << name << "'";
        }
    }
    EXPECT_THAT(listDir(kMailRoot), ElementsAre("example.com"));
    EXPECT_THAT(listDir(root("example.com")), IsEmpty());
    EXPECT_THAT(listDir("/var/qmail"), ElementsAre("mailnames", "marker"));
    EXPECT_EQ("popuser:popuser", fileOwner(kMailRoot));
    EXPECT_EQ(0751u, fileMode(kMailRoot));
}

TEST_F(MaildirLayoutTest, MissingPopuserIsReported) {
    runChecked({"sed", "-i", "/^popuser:/d", "/etc/passwd"});
    EXPECT_THAT([] { MaildirManager::getInstance(); },
                testing::ThrowsMessage<marun::SystemError>(
                    testing::StartsWith("user popuser not found: ")));
}

// --- The library's path functions ---

struct PathResult {
    int result;
    std::string path;
    std::string out;
};

PathResult dotqmailPath(const std::string& mailname, const std::string& domain,
                        size_t size = 4096) {
    std::vector<char> buffer(size + 1, 'Z');
    testing::internal::CaptureStdout();
    int result = get_dotqmail_path(buffer.data(), size, mailname.c_str(), domain.c_str());
    return {result, buffer.data(), testing::internal::GetCapturedStdout()};
}

TEST_F(MaildirLayoutTest, LibraryPathsConvertCheckAndNeverTruncate) {
    PathResult r = dotqmailPath("info", "bücher.example");
    EXPECT_EQ(0, r.result) << r.out;
    EXPECT_EQ("/var/qmail/mailnames/xn--bcher-kva.example/info/.qmail", r.path);

    r = dotqmailPath(".x", "example.com");
    EXPECT_EQ(-1, r.result);
    EXPECT_EQ("empty mailname or maildomain\n", r.out);
    r = dotqmailPath("a/../../x", "example.com");
    EXPECT_EQ(-1, r.result);
    EXPECT_EQ("Invalid mail name 'a/../../x': it contains '/'\n", r.out);

    // Never truncated: one byte short of the path and its NUL fails.
    const std::string exact = "/var/qmail/mailnames/example.com/info/.qmail";
    r = dotqmailPath("info", "example.com", exact.size());
    EXPECT_EQ(-1, r.result);
    EXPECT_EQ("", r.path);
    EXPECT_EQ(
        "Either domain name 'example.com' or mailname 'info' are too long to store .qmail "
        "path in the provided buffer\n",
        r.out);
}

}  // namespace
}  // namespace kvarn_test
