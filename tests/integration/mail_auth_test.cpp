// The mail authentication database at its real location (its owners and
// modes show in the package test): mail server detection through the
// program's feature listing, and concurrent writers on the Postfix spool's
// database.
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "harness/kvarn_harness.h"
#include "lib/oru_conf.h"
#include "mail/lib/mail_auth.h"
#include "mail/lib/mail_auth_location.h"
#include "unit/log_match.h"
#include "unit/test_support.h"

namespace kvarn_test {
namespace {

namespace fs = std::filesystem;

const char kPostfixDB[] = "/var/spool/postfix/marun/passwd.db";

int keep(const char*, const char*, MailAuthFlagsT, void* data) {
    ++*static_cast<int*>(data);
    return 1;
}

class MailAuthLayoutTest : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        oruConfResetForTesting();
    }
    void TearDown() override {
        oruConfResetForTesting();
        mailAuthDBSelectStyle(MAIL_AUTH_DB_POSTFIX_STYLE);
        SandboxTest::TearDown();
    }

    // A stand-in for the panel's kvarn that prints `features` for --features.
    void fakeFeatures(const std::string& features) {
        fs::create_directories("/opt/panel/admin/sbin");
        writeFile(
            "/opt/panel/admin/sbin/kvarn",
            "#!/bin/sh\n[ \"$1\" = --features ] || exit 2\ncat <<'EOF'\n" + features + "EOF\n",
            0755);
    }
};

TEST_F(MailAuthLayoutTest, StyleComesFromTheFeatureListing) {
    writeFile("/etc/oru/oru.conf", "PRODUCT_ROOT_D /opt/panel\n");
    kvarn_unit::LogCapture log;

    fakeFeatures(
        "$features['SMTP_Server'] = exim;\n"
        "$features['SMTP_Server'] = 'exim';\n"
        "$features['SMTP_Server'] = 'postfix';\n");
    EXPECT_EQ(1, mailAuthDBDetectStyle());
    EXPECT_TRUE(kvarn_unit::logged(log,
                                   "Unparseable line \"$features['SMTP_Server'] = exim;\", "
                                   "skipped"))
        << log.all();

    fakeFeatures("$features['IMAP_Server'] = 'courier';\n");
    EXPECT_EQ(-1, mailAuthDBDetectStyle());
    EXPECT_TRUE(
        kvarn_unit::logged(log, "Unable to determine mail server type from ``kvarn --features''"));

    // The listing runs without the variables that carry passwords.
    setenv("ORU_PASSWORD", "leaked", 1);
    writeFile("/opt/panel/admin/sbin/kvarn",
              "#!/bin/sh\necho \"\\$features['SMTP_Server'] = '${ORU_PASSWORD:-qmail}';\"\n", 0755);
    EXPECT_EQ(0, mailAuthDBDetectStyle());
    unsetenv("ORU_PASSWORD");
}

TEST_F(MailAuthLayoutTest, TwentyProcessesStoreUsersOfOneDomainAtOnce) {
    ASSERT_EQ(0, mailAuthDBInitStyle(MAIL_AUTH_DB_POSTFIX_STYLE));
    int gate[2];
    ASSERT_EQ(0, pipe(gate));
    std::vector<pid_t> writers;
    for (int i = 0; i < 20; ++i) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(gate[1]);
            char byte;
            if (read(gate[0], &byte, 1) != 0) {  // opens when the parent closes it
                _exit(3);
            }
            std::string name = "user" + std::to_string(i);
            _exit(mailAuthSet(name.c_str(), "crowd.test", ("pw" + name).c_str(), 0) == 0 ? 0 : 1);
        }
        writers.push_back(pid);
    }
    close(gate[0]);
    close(gate[1]);
    for (pid_t pid : writers) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_EQ((Rows{{"20", "1"}}),
              sqliteQuery(kPostfixDB, "SELECT COUNT(*), COUNT(DISTINCT dom_id) FROM users"));
    int visited = 0;
    EXPECT_EQ(1, mailAuthIterateAll(keep, &visited));
    EXPECT_EQ(20, visited);
}

}  // namespace
}  // namespace kvarn_test
