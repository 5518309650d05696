// Maildir++ quotas in the sandbox: "maildirsize" as written for mailboxes
// (owner popuser, attachments subtracted), default and domain quotas spread
// by the panel database, the return to the default quota, and sizes that
// mailbox owners write.
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <string>

#include "harness/kvarn_harness.h"
#include "lib/size_sum.h"
#include "mail/fs_error.h"
#include "mail/lib/dir_size.h"
#include "mail/lib/mbox_quota.h"
#include "mail/lib/mbox_size.h"
#include "mail/maildirpp_manager.h"

namespace kvarn_test {
namespace {

using marun::mail::FSError;
using marun::mail::MaildirPPManager;

class MaildirppQuotaTest : public SandboxTest {
  protected:
    MaildirPPManager& manager() { return MaildirPPManager::getInstance(); }

    std::string home(const std::string& domain, const std::string& name) {
        return std::string(kMailRoot) + "/" + domain + "/" + name;
    }
    std::string createHome(const std::string& domain, const std::string& name) {
        manager().createDomainRoot(domain);
        manager().createMailnameHome(domain, name);
        return home(domain, name);
    }
    // The first line of the mailbox's maildirsize, or "" without one.
    std::string header(const std::string& domain, const std::string& name) {
        std::string path = home(domain, name) + "/Maildir/maildirsize";
        if (!pathExists(path)) {
            return "";
        }
        std::string text = readFile(path);
        return text.substr(0, text.find('\n'));
    }
};

// The command tests show the quota forms through the manager; the library
// function writes the counted usage too.
TEST_F(MaildirppQuotaTest, LibraryQuotaFormsAndAMailboxWithoutAttachments) {
    std::string h = createHome("example.com", "info");
    writeFile(h + "/Maildir/cur/1.M1.host,S=1500:2,S", "x");
    writeFile(h + "/Maildir/new/2.M2.host", std::string(700, 'x'));

    ASSERT_EQ(1, store_mbox_quota("example.com", "info", -1));
    EXPECT_EQ("0S,0C\n        2200           2\n", readFile(h + "/Maildir/maildirsize"));
    EXPECT_EQ("popuser:popuser", fileOwner(h + "/Maildir/maildirsize"));
    EXPECT_THAT(listDir(h + "/Maildir/tmp"), ::testing::IsEmpty());

    // Without "@attachments" the quota is written as it is.
    boost::filesystem::remove_all(h + "/@attachments");
    manager().setMailboxQuota("example.com", "info", 5000000);
    EXPECT_EQ("5000000S,0C", header("example.com", "info"));
}

TEST_F(MaildirppQuotaTest, AttachmentsShareTheQuota) {
    std::string h = createHome("example.com", "info");
    writeFile(h + "/@attachments/file1", std::string(3000, 'a'));
    boost::filesystem::create_directories(h + "/@attachments/sub");
    writeFile(h + "/@attachments/sub/file2", std::string(2000, 'b'));
    long long used = get_dir_size((h + "/@attachments").c_str(), 0);
    ASSERT_GT(used, 5000);

    manager().setMailboxQuota("example.com", "info", 100000);
    EXPECT_EQ(std::to_string(100000 - used) + "S,0C", header("example.com", "info"));

    // Exactly used up: no more mail, not "no limit".
    manager().setMailboxQuota("example.com", "info", used);
    EXPECT_EQ("1S,0C", header("example.com", "info"));

    testing::internal::CaptureStderr();
    manager().setMailboxQuota("example.com", "info", 1000);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ("1S,0C", header("example.com", "info"));
    EXPECT_NE(std::string::npos,
              err.find("WARNING: @attachments directory is big enough to disable delivery!"))
        << err;

    // Unlimited stays unlimited whatever the attachments.
    manager().setMailboxQuota("example.com", "info", -1);
    EXPECT_EQ("0S,0C", header("example.com", "info"));
}

TEST_F(MaildirppQuotaTest, MissingHomesAndBadNamesFail) {
    manager().createDomainRoot("example.com");
    EXPECT_THROW(manager().setMailboxQuota("example.com", "nobody", 10), FSError);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, store_mbox_quota("example.com", "nobody", 10));
    EXPECT_EQ(0, store_mbox_quota("example.com", "../../../etc", 10));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos,
              out.find("unable to change to mbox folder /var/qmail/mailnames/example.com/nobody"))
        << out;
    EXPECT_NE(std::string::npos, out.find("Invalid mail name '../../../etc'")) << out;
    EXPECT_FALSE(pathExists("/etc/Maildir"));
}

// The command tests set domain quotas; removing them leaves unlimited
// mailboxes, and only in that domain.
TEST_F(MaildirppQuotaTest, RemovedDomainQuotasLeaveMailboxesUnlimited) {
    int domain = seedDomain("example.com");
    seedMail(domain, "usesdefault", -1);
    seedMail(seedDomain("other.example"), "usesdefault", -1);
    createHome("example.com", "usesdefault");
    createHome("other.example", "usesdefault");

    manager().setDomainQuota("example.com", 1000000);
    manager().removeDomainQuota("example.com");
    EXPECT_EQ("0S,0C", header("example.com", "usesdefault"));
    manager().setDefaultMailboxQuota("example.com", 5);
    manager().removeDefaultMailboxQuota("example.com");
    EXPECT_EQ("0S,0C", header("example.com", "usesdefault"));
    EXPECT_EQ("", header("other.example", "usesdefault"));
}

TEST_F(MaildirppQuotaTest, DomainQuotaStopsAtAMailboxWithoutHome) {
    int domain = seedDomain("example.com");
    seedMail(domain, "present", -1);
    seedMail(domain, "lost", -1);
    createHome("example.com", "present");
    testing::internal::CaptureStdout();
    EXPECT_THROW(manager().setDomainQuota("example.com", 10), FSError);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos,
              out.find("unable to set default mbox quota for domain 'example.com' (processing "
                       "'lost')"))
        << out;
}

TEST_F(MaildirppQuotaTest, RemovingAMailboxQuotaUsesTheSubscriptionLimit) {
    int subscription = seedDomain("sub.example");
    int domain = seedDomain("site.example", subscription);
    int standalone = seedDomain("alone.example");
    seedLimit(subscription, "mbox_quota", "2048000");
    seedLimit(domain, "mbox_quota", "1");
    for (const char* d : {"site.example", "alone.example"}) {
        createHome(d, "info");
        manager().setMailboxQuota(d, "info", 123);
    }

    manager().removeMailboxQuota("site.example", "info");
    // Every mailbox has "@attachments", whose size comes off the quota.
    const long long attachments =
        get_dir_size((home("site.example", "info") + "/@attachments").c_str(), 0);
    EXPECT_EQ(std::to_string(2048000 - attachments) + "S,0C", header("site.example", "info"));

    // A limit that does not read as a number means unlimited.
    seedLimit(standalone, "mbox_quota", "unlimited");
    manager().removeMailboxQuota("alone.example", "info");
    EXPECT_EQ("0S,0C", header("alone.example", "info"));

    createHome("unknown.example", "info");
    testing::internal::CaptureStdout();
    EXPECT_THROW(manager().removeMailboxQuota("unknown.example", "info"), FSError);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("No such domain unknown.example")) << out;
}

// A mailbox owner writes names, "maildirsize" lines and sparse files as he
// likes: no size or usage kvarn prints or writes may wrap negative.
TEST_F(MaildirppQuotaTest, OwnerWrittenSizesNeverWrapNegative) {
    std::string h = createHome("example.com", "info");
    const long long attachments = get_dir_size((h + "/@attachments").c_str(), 0);
    // Claims beyond what the file system holds count by their length.
    writeFile(h + "/Maildir/cur/1.M1.host,S=9223372036854775807:2,S", "abc");
    writeFile(h + "/Maildir/new/2.M2.host,S=9223372036854775807", "de");
    manager().setMailboxQuota("example.com", "info", 100000);
    EXPECT_EQ(std::to_string(100000 - attachments) + "S,0C\n           5           2\n",
              readFile(h + "/Maildir/maildirsize"));
    EXPECT_EQ(attachments + 5, get_mbox_size("info", "example.com", 0));

    // Lines summing below zero: the Maildir holds nothing that counts.
    writeFile(h + "/Maildir/maildirsize", "0S,0C\n-5000 -3\n");
    EXPECT_EQ(attachments, get_mbox_size("info", "example.com", 0));

    // Two sparse attachments of 2^62 and 2^63 - 1 bytes: the sum saturates.
    for (long long size : {1LL << 62, 9223372036854775807LL}) {
        const std::string file = h + "/@attachments/" + std::to_string(size);
        writeFile(file, "");
        ASSERT_EQ(0, truncate(file.c_str(), size)) << file;
    }
    EXPECT_EQ(SIZE_CEILING, get_dir_size((h + "/@attachments").c_str(), 0));
    EXPECT_EQ(SIZE_CEILING, get_mbox_size("info", "example.com", 0));
    manager().setMailboxQuota("example.com", "info", 100000);  // warns
    EXPECT_EQ("1S,0C", header("example.com", "info"));
}

}  // namespace
}  // namespace kvarn_test
