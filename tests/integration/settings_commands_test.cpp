// Server settings commands against the real postconf, postmap, crontab and
// Postfix, with stand-in Courier-IMAP files and the recording init scripts:
// the relay modes, the Courier variables, the milter switch and the
// cleaner's crontab entry, the white and black lists, the block lists, the
// size limits, SPF and the feature list; refused input changes nothing; a
// running Postfix refuses a black-listed sender and an oversized letter.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/regex.hpp>
#include <cerrno>
#include <ctime>

#include "harness/kvarn_harness.h"

namespace kvarn_test {
namespace {

using ::testing::HasSubstr;

const char* const kCourierDir = "/etc/courier-imap";
const char* const kSwitchFile = "/etc/sysconfig/oru-pc-remote";
const char* const kCleaner = "/usr/lib/marun-9.0/postfix-poplockdb-clean";
const char* const kPolicy = "check_policy_service inet:127.0.0.1:10023";

class SettingsTest : public SandboxTest {
  protected:
    // Runs kvarn on a main.cf dated back (Postfix's tools wait for a main.cf
    // changed within the last seconds to settle), expecting `status`.
    RunResult kvarn(const std::vector<std::string>& args, int status = 0) {
        const struct timespec past[2] = {{std::time(nullptr) - 10, 0},
                                         {std::time(nullptr) - 10, 0}};
        ::utimensat(AT_FDCWD, kMainCf, past, 0);
        RunResult r = runKvarn(args);
        EXPECT_TRUE(r.exited(status)) << args[0] << " " << args.back() << "\n" << r;
        return r;
    }

    static std::string crontab() {
        return runCommand({"/usr/bin/crontab", "-l", "-u", "root"}).out;
    }

    static std::string courier(const std::string& name) {
        const std::string path = std::string(kCourierDir) + "/" + name;
        return pathExists(path) ? readFile(path) : "(none)";
    }

    // Everything the commands may change, for "nothing changed" checks.
    static std::string everything() {
        std::string all = readFile(kMainCf) + crontab();
        for (const auto& record : tableRecords("blacklists")) {
            all += record.first + " " + record.second + "\n";
        }
        for (const char* name : {"imapd", "imapd-ssl", "pop3d", "pop3d-ssl"}) {
            all += courier(name);
        }
        for (const char* path : {kSwitchFile, "/etc/oru-spf/spfrules", "/etc/oru-spf/spfexp"}) {
            all += pathExists(path) ? readFile(path) : "(none)";
        }
        return all;
    }

    // Each command line is refused (exit status 1) and changes nothing.
    void expectRefused(const std::vector<std::vector<std::string>>& commands) {
        const std::string before = everything();
        for (const auto& args : commands) {
            RunResult r = runKvarn(args);
            EXPECT_TRUE(r.exited(1)) << args[0] << " " << args.back() << "\n" << r;
        }
        EXPECT_EQ(everything(), before);
    }
};

TEST_F(SettingsTest, RelayModesKeepOnlyPolicyServicesAndMoveThePopLockTable) {
    writeFile(kSwitchFile, "");
    runChecked({"/usr/sbin/postconf", "-e",
                std::string("smtpd_recipient_restrictions=") + kPolicy +
                    ", reject_unknown_recipient_domain, permit_mynetworks"});
    const std::string networks = postconfValue("mynetworks");
    const std::string fixed = "check_client_access pcre:/var/spool/postfix/marun/no_relay.re, ";
    const std::string popLock = "hash:/var/spool/postfix/marun/poplock";

    kvarn({"--set-mail-params", "--smtpauth"});
    EXPECT_EQ(postconfValue("smtpd_recipient_restrictions"),
              "permit_mynetworks, " + fixed + "permit_sasl_authenticated, " +
                  "reject_unauth_destination, " + kPolicy);
    EXPECT_EQ(postconfValue("smtpd_sasl_auth_enable"), "yes");
    EXPECT_EQ(serviceActions("pc-remote"), std::vector<std::string>{"restart"});

    // An open relay leaves the SASL switch and mynetworks alone.
    kvarn({"--set-mail-params", "--relayclient", "--popauth", "--poplock-time=5"});
    EXPECT_EQ(postconfValue("smtpd_recipient_restrictions"),
              "permit, " + fixed + "reject, " + kPolicy);
    EXPECT_EQ(postconfValue("smtpd_sasl_auth_enable"), "yes");
    EXPECT_EQ(postconfValue("mynetworks"), networks);

    // Closed, with POP-before-SMTP: run twice, the table is listed once.
    for (int run = 0; run < 2; ++run) {
        kvarn({"--set-mail-params", "--popauth"});
    }
    EXPECT_EQ(postconfValue("smtpd_recipient_restrictions"),
              "permit_mynetworks, " + fixed + "reject_unauth_destination, " + kPolicy);
    EXPECT_EQ(postconfValue("smtpd_sasl_auth_enable"), "no");
    EXPECT_EQ(postconfValue("mynetworks"), networks + ", " + popLock);

    kvarn({"--set-mail-params"});
    EXPECT_EQ(postconfValue("mynetworks").find(popLock), std::string::npos);
}

TEST_F(SettingsTest, CourierVariablesMilterSwitchAndCleanerEntry) {
    writeFile(std::string(kCourierDir) + "/imapd",
              "# comment\nPOPAUTH=0\nRELAYCLIENT=x\nPOPAUTHX=7\nPOPAUTH=2\nPOPLOCK_TIME=30\nLAST=1",
              0640);
    ASSERT_EQ(::chown("/etc/courier-imap/imapd", 0, groupId("popuser")), 0);
    writeFile(std::string(kCourierDir) + "/imapd-ssl", "SHORTNAMES=1\n", 0600);
    writeFile(std::string(kCourierDir) + "/pop3d-ssl", "X=1\n");
    writeFile(kSwitchFile, "other=1\n");
    const std::string commented = std::string("# 1 * * * * ") + kCleaner + "\n";
    runChecked({"/usr/bin/crontab", "-u", "root", "-"}, {},
               "MAILTO=root\n" + commented + "5 * * * * " + kCleaner + "\n7 * * * * " + kCleaner +
                   " --again\n");

    kvarn({"--set-mail-params", "--popauth", "--poplock-time=15"});
    EXPECT_EQ(courier("imapd"), "# comment\nPOPAUTH=1\nPOPAUTHX=7\nPOPLOCK_TIME=15\nLAST=1\n");
    EXPECT_EQ(fileOwner("/etc/courier-imap/imapd"), "root:popuser");
    EXPECT_EQ(fileMode("/etc/courier-imap/imapd"), 0640u);
    EXPECT_EQ(courier("imapd-ssl"), "POPAUTH=1\nPOPLOCK_TIME=15\n");
    EXPECT_EQ(fileMode("/etc/courier-imap/imapd-ssl"), 0600u);
    EXPECT_EQ(courier("pop3d"), "(none)");
    EXPECT_EQ(courier("pop3d-ssl"), "X=1\nPOPAUTH=1\nPOPLOCK_TIME=15\n");
    EXPECT_EQ(listDir(kCourierDir), (std::vector<std::string>{"imapd", "imapd-ssl", "pop3d-ssl"}));
    EXPECT_EQ(serviceActions("courier-imap"), std::vector<std::string>{"restart"});
    EXPECT_EQ(readFile(kSwitchFile), "other=1\npc_milter_pop_before_smtp=1\n");

    // The commented line stays; the two active ones become one entry that
    // runs every 15 minutes from a start below 15.
    boost::smatch entry;
    const std::string table = crontab();
    ASSERT_TRUE(boost::regex_match(
        table, entry,
        boost::regex("MAILTO=root\n# 1 \\* \\* \\* \\* \\S+\n(\\d+),(\\d+),(\\d+),(\\d+)"
                     "\t\\*\t\\*\t\\*\t\\*\t/usr/lib/marun-9\\.0/postfix-poplockdb-clean\n")))
        << table;
    const int start = std::stoi(entry[1]);
    EXPECT_LT(start, 15);
    EXPECT_EQ(std::stoi(entry[4]), start + 45);

    // Without POP-before-SMTP: the entry goes, POPLOCK_TIME stays untouched.
    kvarn({"--set-mail-params", "--relayclient"});
    EXPECT_EQ(courier("imapd"), "# comment\nPOPAUTHX=7\nPOPLOCK_TIME=15\nLAST=1\nRELAYCLIENT=\n");
    EXPECT_EQ(crontab(), "MAILTO=root\n" + commented);
    EXPECT_EQ(readFile(kSwitchFile), "other=1\n");

    writeFile(std::string(kCourierDir) + "/imapd-ssl", "A=1\nSHORTNAMES=1\n", 0600);
    kvarn({"--set-accounts-format", "--account-format=compound"});
    EXPECT_EQ(courier("imapd-ssl"), "A=1\n");

    RunResult both = runKvarn({"--set-accounts-format", "--account-format=both"});
    EXPECT_THAT(both.err, HasSubstr("isn't supported")) << both;
    expectRefused({{"--set-accounts-format", "--account-format=both"},
                   {"--set-accounts-format", "--account-format=simple"},
                   {"--set-mail-params", "--popauth", "--shortnames"},
                   {"--set-mail-params", "--popauth", "--poplock-time=x"}});

    // The steps stop at the first failure: without the switch file the
    // relay settings are not reached.
    ASSERT_EQ(::unlink(kSwitchFile), 0);
    const std::string restrictions = postconfValue("smtpd_recipient_restrictions");
    kvarn({"--set-mail-params", "--smtpauth"}, 1);
    EXPECT_EQ(courier("imapd"), "# comment\nPOPAUTHX=7\nPOPLOCK_TIME=15\nLAST=1\n");
    EXPECT_EQ(postconfValue("smtpd_recipient_restrictions"), restrictions);
    EXPECT_EQ(postconfValue("smtpd_sasl_auth_enable"), "no");
}

TEST_F(SettingsTest, WhiteListAddsNetworksAndRemovesEveryElementOfAnAddress) {
    const std::string networks = postconfValue("mynetworks");
    for (const auto& network :
         std::vector<std::pair<std::string, std::string>>{{"10.0.0.0", "8"},
                                                          {"10.0.0.0", "24"},
                                                          {"10.0.0.1", "32"},
                                                          {"2001:db8::", " 32 "},
                                                          {"10.0.0.0", "8"}}) {
        kvarn({"--add-whitelist", "--ip-address=" + network.first, "--netmask=" + network.second});
    }
    EXPECT_EQ(postconfValue("mynetworks"),
              networks + ", 10.0.0.0/8, 10.0.0.0/24, 10.0.0.1/32, [2001:db8::]/32");

    expectRefused({{"--add-whitelist", "--ip-address=10.0.0.0 permit", "--netmask=8"},
                   {"--add-whitelist", "--ip-address=trusted.test", "--netmask=8"},
                   {"--add-whitelist", "--ip-address=10.0.0.0,10.1.0.0", "--netmask=8"},
                   {"--add-whitelist", "--ip-address=2001:db8::", "--netmask=129"},
                   {"--add-whitelist", "--ip-address=10.0.0.0", "--netmask=8x"},
                   {"--remove-whitelist", "--ip-address=10.0.0.0"}});

    runChecked({"/usr/sbin/postconf", "-e",
                "mynetworks=" + postconfValue("mynetworks") + ", hash:/etc/postfix/trusted"});
    const std::string listed = readFile(kMainCf);
    for (const char* loopback : {"127.0.0.1", "::1", "::ffff:127.0.0.2", "10.9.9.9"}) {
        kvarn({"--remove-whitelist", std::string("--ip-address=") + loopback, "--netmask=8"});
    }
    EXPECT_EQ(readFile(kMainCf), listed);

    for (const char* address : {"10.0.0.0", "2001:DB8:0::0", "hash:/etc/postfix/trusted"}) {
        kvarn({"--remove-whitelist", std::string("--ip-address=") + address, "--netmask=0"});
    }
    EXPECT_EQ(postconfValue("mynetworks"),
              "127.0.0.0/8, [::ffff:127.0.0.0]/104, [::1]/128, 10.0.0.1/32");
}

TEST_F(SettingsTest, BlackListRecordsAndBlockListChecks) {
    for (const char* domain : {"spam.test", "B\303\274cher.test", "spam.test"}) {
        kvarn({"--add-badmailfrom", std::string("--domain-name=") + domain});
    }
    using Records = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(tableRecords("blacklists"),
              (Records{{"spam.test", "REJECT"}, {"xn--bcher-kva.test", "REJECT"}}));
    for (int run = 0; run < 2; ++run) {
        kvarn({"--remove-badmailfrom", "--domain-name=spam.test"});
    }
    EXPECT_EQ(tableRecords("blacklists"), (Records{{"xn--bcher-kva.test", "REJECT"}}));

    runChecked({"/usr/sbin/postconf", "-e",
                "smtpd_client_restrictions=permit_mynetworks, reject_rbl_client old.test, "
                "check_client_access hash:/etc/postfix/access"});
    kvarn({"--set-maps-protection", "--maps-zones=a.test,b.test",
           "--maps-zones=,zen.test=127.0.0.[2..11]"});
    EXPECT_EQ(postconfValue("smtpd_client_restrictions"),
              "permit_mynetworks, check_client_access hash:/etc/postfix/access, "
              "reject_rbl_client a.test, reject_rbl_client b.test, "
              "reject_rbl_client zen.test=127.0.0.[2..11]");

    expectRefused({{"--add-badmailfrom", "--domain-name=a.test,b.test"},
                   {"--add-badmailfrom", "--domain-name=a.test REJECT"},
                   {"--add-badmailfrom", "--domain-name="},
                   {"--set-maps-protection", "--maps-zones=a.test,x.test permit"},
                   {"--set-maps-protection", "--maps-zones=x.test\npermit"}});

    kvarn({"--set-maps-protection"});
    EXPECT_EQ(postconfValue("smtpd_client_restrictions"),
              "permit_mynetworks, check_client_access hash:/etc/postfix/access");
}

TEST_F(SettingsTest, SizeLimitsSpfAndFeatures) {
    runChecked({"/usr/sbin/postconf", "-e", "mailbox_size_limit=51200000"});
    kvarn({"--set-max-letter-size", "--size=0"});
    EXPECT_EQ(runKvarnChecked({"--get-max-letter-size"}), "51200000\n");
    EXPECT_EQ(runKvarn({"--get-mailbox-size-limit", "ignored"}).out, "51200000\n");

    ASSERT_EQ(::mkdir("/etc/oru-spf", 0755) == 0 || errno == EEXIST, true);
    runKvarnChecked({"--update-spf", "--spf-behavior=2", "--spf-rules=include:a.test a:b.test"});
    EXPECT_EQ(readFile("/etc/oru-spf/spfrules"), "include:a.test a:b.test");
    EXPECT_FALSE(pathExists("/etc/oru-spf/spfexp"));

    expectRefused({{"--set-max-letter-size", "--size=abc"},
                   {"--set-max-letter-size", "--size=-1"},
                   {"--update-spf", "--spf-rules=a", "--spf-exp=x\ny"},
                   {"--update-spf", "--spf-rules=a\r"}});

    runChecked({"/usr/sbin/postconf", "-e", "mailbox_size_limit=50M"});
    EXPECT_TRUE(runKvarn({"--get-mailbox-size-limit"}).exited(1));

    const std::string features = runKvarnChecked({"--features"});
    EXPECT_EQ(std::count(features.begin(), features.end(), '\n'), 59);
    EXPECT_THAT(features, HasSubstr("$features['IMAP_POP3_Server'] = \"Courier-IMAP\";\n"));
    // The sandbox's Postfix is 3.7.
    EXPECT_THAT(features, testing::EndsWith("$features['SDD_Transport_Maps'] = true;\n"));
}

TEST_F(SettingsTest, PostfixRefusesABlackListedSenderAndAnOversizedLetter) {
    seedMail(seedDomain("example.test"), "info");
    runKvarnChecked({"--add-domain", "--domain-name=example.test"});
    runKvarnChecked({"--add-mailname", "--domain-name=example.test", "--mailname=info"});
    startMailServer(
        {{"smtpd_sender_restrictions", "check_sender_access " + tableSpec("blacklists")}});
    const std::string maildir = std::string(kMailRoot) + "/example.test/info/Maildir";
    SmtpSession sent = sendMail({"a@spam.test", {"info@example.test"}, messageText("before")});
    ASSERT_TRUE(sent.accepted()) << sent;

    runKvarnChecked({"--add-badmailfrom", "--domain-name=spam.test"});
    SmtpReply refused;
    for (int i = 0; i < 100 && refused.code / 100 != 5; ++i, usleep(100000)) {
        refused = probeRcpt("info@example.test", "b@spam.test");
    }
    EXPECT_EQ(refused.code, 554) << refused << "\n" << postfixLog();
    EXPECT_THAT(refused.text, HasSubstr("Sender address rejected")) << refused;

    runKvarnChecked({"--set-max-letter-size", "--size=20000"});
    sent = sendMail({"a@good.test", {"info@example.test"}, messageText("large", 40000)});
    for (int i = 0; i < 100 && sent.message.code != 552; ++i, usleep(100000)) {
        sent = sendMail({"a@good.test", {"info@example.test"}, messageText("large", 40000)});
    }
    EXPECT_EQ(sent.message.code, 552) << sent << "\n" << postfixLog();
    sent = sendMail({"a@good.test", {"info@example.test"}, messageText("small", 10000)});
    ASSERT_TRUE(sent.accepted()) << sent;
    EXPECT_TRUE(waitForMessage(maildir, "small")) << postfixLog();
}

}  // namespace
}  // namespace kvarn_test
