// master.cf through kvarn's commands: every byte outside the changed entries
// survives, disabled entries move with their exact text, sender transports
// come and go, and bad input or an unreadable file changes nothing.
#include <sys/stat.h>
#include <unistd.h>

#include "harness/kvarn_harness.h"

namespace kvarn_test {
namespace {

const char* const kMasterCf = "/etc/postfix/master.cf";
const char* const kDisabled = "/var/spool/postfix/marun/master.cf.disabled";
const char* const kStockMasterCf = "/usr/share/postfix/master.cf.dist";

// Comments, blank lines, tabs, carriage returns, continuation lines with
// comments between them, a duplicate-free mix of types, no final newline.
const std::string kHead =
    "# kvarn test master.cf\r\n"
    "\n"
    "smtp      inet  n       -       y       -       -       smtpd\r\n"
    "  \t\n"
    "#submission inet n - y - - smtpd\n";
const std::string kSubmission =
    "submission inet n - y - - smtpd # the panel's\n"
    "  -o smtpd_tls_security_level=encrypt\n"
    "# kept with the entry\n"
    "\t-o smtpd_sasl_auth_enable=yes  ";
const std::string kTail =
    "\n"
    "postlog   unix-dgram n  -       n       -       1       postlogd\n"
    "pickup    unix  n       -       y       60      1       pickup\r\n"
    "maildrop  unix  -       n       n       -       -       pipe\n"
    "  flags=DRXhu user=vmail argv=/usr/bin/maildrop -d ${recipient}";

const std::string kSubmissionLine =
    "submission inet n - n - - smtpd -o smtpd_enforce_tls=yes -o smtpd_tls_security_level=encrypt "
    "-o smtpd_sasl_auth_enable=yes -o smtpd_client_restrictions=permit_sasl_authenticated,reject "
    "-o smtpd_sender_restrictions=";

ino_t inode(const char* path) {
    struct stat st {};
    return ::stat(path, &st) == 0 ? st.st_ino : 0;
}

TEST_F(SandboxTest, ListenerChangesKeepEveryOtherByte) {
    writeFile(kMasterCf, kHead + kSubmission + kTail);

    runKvarnChecked({"-b"});
    EXPECT_EQ(readFile(kMasterCf), kHead + kTail.substr(1) + "\n");
    EXPECT_EQ(readFile(kDisabled), kSubmission + "\n");
    EXPECT_EQ(fileOwner(kDisabled), "root:root");
    EXPECT_EQ(fileMode(kDisabled), 0644u);

    // Back at the end of master.cf, with its own text; the disabled file
    // stays, empty.
    runKvarnChecked({"--enable-message-submission"});
    EXPECT_EQ(readFile(kMasterCf), kHead + kTail.substr(1) + "\n" + kSubmission + "\n");
    EXPECT_EQ(readFile(kDisabled), "");

    // An smtp entry of the admin's stays as it is; smtps is appended.
    runKvarnChecked({"-p"});
    EXPECT_EQ(readFile(kMasterCf), kHead + kTail.substr(1) + "\n" + kSubmission + "\n" +
                                       "smtps inet n - n - - smtpd -o smtpd_tls_wrappermode=yes\n");

    // Nothing to change: nothing written.
    const ino_t before = inode(kMasterCf);
    runKvarnChecked({"--restart-smtpd"});
    EXPECT_EQ(inode(kMasterCf), before);
}

TEST_F(SandboxTest, SubmissionFollowsThePanelSetting) {
    const std::string stock = readFile(kMasterCf);
    seedMisc("message_submission", "true");
    runKvarnChecked({"--start-service", "--mail-component=submission"});
    const std::string withSubmission = readFile(kMasterCf);
    EXPECT_EQ(withSubmission, stock + kSubmissionLine + "\n");

    // Wanted by the panel: stopping the component leaves it.
    runKvarnChecked({"--stop-service", "--mail-component=submission"});
    EXPECT_EQ(readFile(kMasterCf), withSubmission);

    panelExec("UPDATE misc SET val = 'false' WHERE param = 'message_submission'");
    runKvarnChecked({"--stop-service", "--mail-component=submission"});
    EXPECT_EQ(readFile(kMasterCf), stock);
    EXPECT_EQ(readFile(kDisabled), kSubmissionLine + "\n");
}

TEST_F(SandboxTest, SenderTransportOnTheStockFileComesAndGoesWithoutATrace) {
    writeFile(kMasterCf, readFile(kStockMasterCf));
    const std::string stock = readFile(kMasterCf);
    runKvarnChecked({"--add-domain-to-sender-transport", "--domain-name=shop.test",
                     "--ip4-addr=192.0.2.10", "--ip6-addr=2001:DB8:0::7"});
    EXPECT_EQ(readFile(kMasterCf),
              stock +
                  "192.0.2.10-2001-db8--7 unix - n n - - smtp -o smtp_bind_address=192.0.2.10 "
                  "-o smtp_bind_address6=2001:db8::7 -o smtp_address_preference=any\n");
    EXPECT_EQ(tableLookup("sdd_transport_maps", "@shop.test"), "192.0.2.10-2001-db8--7:");
    EXPECT_TRUE(postfixRunning());  // the command restarts Postfix

    // A second address for the domain replaces its record; its own service
    // and the pair's both hold 192.0.2.10 and both go with it.
    runKvarnChecked(
        {"--add-domain-to-sender-transport", "--domain-name=shop.test", "--ip4-addr=192.0.2.10"});
    EXPECT_EQ(tableRecords("sdd_transport_maps"),
              (std::vector<std::pair<std::string, std::string>>{{"@shop.test", "192.0.2.10-:"}}));
    runKvarnChecked({"--add-domain-to-sender-transport", "--domain-name=other.test",
                     "--ip6-addr=2001:db8::10"});
    runKvarnChecked({"--remove-sender-transport", "--ip-addr=192.0.2.10"});
    EXPECT_EQ(readFile(kMasterCf),
              stock +
                  "-2001-db8--10 unix - n n - - smtp -o smtp_bind_address= "
                  "-o smtp_bind_address6=2001:db8::10 -o smtp_address_preference=ipv6\n");
    runKvarnChecked({"--remove-sender-transport", "--ip-addr=2001:db8::10"});
    EXPECT_EQ(readFile(kMasterCf), stock);

    runKvarnChecked({"--remove-domain-from-sender-transport", "--domain-name=shop.test"});
    EXPECT_EQ(
        tableRecords("sdd_transport_maps"),
        (std::vector<std::pair<std::string, std::string>>{{"@other.test", "-2001-db8--10:"}}));
}

TEST_F(SandboxTest, BadInputAndUnreadableFilesChangeNothing) {
    const std::string masterCf = readFile(kMasterCf);
    const std::string mainCf = readFile(kMainCf);
    auto unchanged = [&](const std::vector<std::string>& args, const std::string& error) {
        RunResult r = runKvarn(args);
        EXPECT_TRUE(r.exited(1)) << r;
        EXPECT_NE(r.err.find(error), std::string::npos) << r;
        EXPECT_EQ(readFile(kMasterCf), masterCf) << args[1];
        EXPECT_EQ(readFile(kMainCf), mainCf) << args[1];
        EXPECT_FALSE(pathExists(kDisabled)) << args[1];
        EXPECT_TRUE(tableRecords("sdd_transport_maps").empty()) << args[1];
    };
    const std::string add = "--add-domain-to-sender-transport";
    for (const char* ip4 : {"192.0.2.1 x", "192.0.2.1,192.0.2.2", "192.0.2.1\n", "2001:db8::1"}) {
        unchanged({add, "--domain-name=a.test", std::string("--ip4-addr=") + ip4}, "ip4-addr");
    }
    unchanged({add, "--domain-name=a.test", "--ip6-addr=192.0.2.1"}, "ip6-addr");
    unchanged({add, "--domain-name=a.test"}, "ip4-addr or ip6-addr");
    unchanged({"--remove-sender-transport", "--ip-addr=x y"}, "ip-addr");
    unchanged({"--remove-sender-transport"}, "Fatal error");
    unchanged({"--start-service", "--mail-component=smtp", "--mail-component=SMTP"},
              "unknown component SMTP");

    // A file the grammar refuses is reported and left as it was.
    const std::string broken = masterCf + "relay pass - - n - - smtp\nBAD inet n - n - - smtpd\n";
    writeFile(kMasterCf, broken);
    RunResult r = runKvarn({"-a"});
    EXPECT_TRUE(r.exited(1)) << r;
    EXPECT_NE(r.err.find("unable to parse /etc/postfix/master.cf"), std::string::npos) << r;
    EXPECT_EQ(readFile(kMasterCf), broken);

    // A disabled file planted by another user (a link, or not root's) would
    // carry its entries into master.cf: refused.
    writeFile(kMasterCf, masterCf);
    ASSERT_EQ(::symlink("/etc/postfix/master.cf", kDisabled), 0);
    EXPECT_TRUE(runKvarn({"-a"}).exited(1));
    ASSERT_EQ(::unlink(kDisabled), 0);
    writeFile(kDisabled, "submission inet n - n - - pipe user=root argv=/bin/sh\n");
    ASSERT_EQ(::chown(kDisabled, userId("postfix"), groupId("postfix")), 0);
    RunResult planted = runKvarn({"-a"});
    EXPECT_TRUE(planted.exited(1)) << planted;
    EXPECT_NE(planted.err.find("not owned by root"), std::string::npos) << planted;
    EXPECT_EQ(readFile(kMasterCf), masterCf);
}

}  // namespace
}  // namespace kvarn_test
