// The Debian package installed the way an administrator installs it, on a
// server where kvarn never ran: no popuser, no mail root, no lookup tables,
// no databases. dpkg works on the sandbox's own /usr, /etc and /var. The
// installed kvarn then serves the panel's typical request and Postfix
// delivers with the main.cf parameters README.md lists; installing again
// changes nothing, and removing or purging the package keeps the data. Then
// the installer's helper on what a killed run or an administrator may leave.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "harness/kvarn_harness.h"
#include "mail/lib/mail_handlers.h"

namespace kvarn_test {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Pair;

const char kPackage[] = KVARN_TEST_PACKAGE;
const char kInitDatabases[] = KVARN_TEST_INIT_DATABASES;
const std::string kAuthDB = std::string(kTablesDir) + "/passwd.db";
const std::string kAuthKey = std::string(kTablesDir) + "/passwd_db_key";

std::string ownerMode(const std::string& path) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(fileMode(path)));
    return fileOwner(path) + " " + mode;
}

// Every entry of the server's data and account files: type, owner, mode,
// size and time, and each file's digest.
std::string serverState() {
    const std::vector<std::string> paths = {kMailRoot,     kTablesDir,   kMarunLibDir,
                                            "/etc/passwd", "/etc/group", "/etc/shadow",
                                            "/etc/gshadow"};
    std::vector<std::string> list{"find"};
    for (const std::string& path : paths) {
        if (pathExists(path)) {
            list.push_back(path);
        }
    }
    std::vector<std::string> sums = list;
    list.insert(list.end(), {"-printf", "%p %y %u:%g %m %s %T@\\n"});
    sums.insert(sums.end(), {"-type", "f", "-exec", "sha256sum", "{}", "+"});
    return runChecked(list) + runChecked(sums);
}

std::string schemaOf(const std::string& db) {
    std::string schema;
    for (const auto& row : sqliteQuery(db, "SELECT sql FROM sqlite_master ORDER BY name")) {
        schema += row[0] + ";\n";
    }
    return schema;
}

// A server on which kvarn was never installed.
class BareServerTest : public SandboxTest {
  protected:
    void SetUp() override {
        absentPaths_ = {kMailRoot, kMarunLibDir};
        SandboxTest::SetUp();
        std::filesystem::remove_all("/var/qmail");
        std::filesystem::remove_all(kTablesDir);
        runChecked({"userdel", "popuser"});
        if (runCommand({"getent", "group", "popuser"}).succeeded()) {
            runChecked({"groupdel", "popuser"});
        }
    }
};

TEST_F(BareServerTest, PackagePreparesTheServerAndRemovingItKeepsTheData) {
    if (!pathExists(kPackage)) {
        const char* required = std::getenv("KVARN_REQUIRE_PACKAGE");
        if (required != nullptr && std::string(required) == "1") {
            FAIL() << kPackage << " is missing: scripts/package builds it";
        }
        GTEST_SKIP() << kPackage << " is not built (scripts/package builds it)";
    }
    ASSERT_FALSE(pathExists("/usr/sbin/kvarn"));
    const std::string mainCf = readFile(kMainCf);
    runChecked({"dpkg", "-i", kPackage});
    EXPECT_EQ(mainCf, readFile(kMainCf));

    EXPECT_TRUE(runCommand({"getent", "passwd", "popuser"}).succeeded());
    EXPECT_EQ("root:root 755", ownerMode(kMailRoot));
    for (const std::string& table : kLookupTables) {
        EXPECT_EQ("root:root 644", ownerMode(std::string(kTablesDir) + "/" + table + ".db"));
        EXPECT_THAT(tableRecords(table), IsEmpty()) << table;
    }
    EXPECT_EQ("postfix:postfix 770", ownerMode(kTablesDir));
    EXPECT_EQ("postfix:root 460", ownerMode(kAuthDB));
    EXPECT_EQ("postfix:root 440", ownerMode(kAuthKey));
    EXPECT_EQ(32, fileInfo(kAuthKey).size);
    EXPECT_EQ("root:root 644", ownerMode(MH_DB_PATH));
    createSqliteDatabase("/tmp/reference.db", MH_DB_SCHEMA_SQL);
    EXPECT_EQ(schemaOf("/tmp/reference.db"), schemaOf(MH_DB_PATH));
    EXPECT_TRUE(pathExists("/usr/share/man/man8/kvarn.8.gz"));

    // The panel's typical request, with the installed program.
    seedMail(seedDomain("example.test"), "info");
    const std::vector<std::vector<std::string>> request = {
        {"--add-domain", "--domain-name=example.test"},
        {"--add-mailname", "--domain-name=example.test", "--mailname=info", "--disk-quota=1048576"},
        {"--add-mailbox", "--domain-name=example.test", "--mailname=info"},
    };
    for (std::vector<std::string> args : request) {
        args.insert(args.begin(), "/usr/sbin/kvarn");
        runChecked(args, {{"ORU_PASSWORD", "first-secret"}});
    }
    EXPECT_THAT(tableRecords("virtual_domains"), Contains(Pair("example.test", testing::_)));
    EXPECT_THAT(tableRecords("vmailbox"), Contains(Pair("info@example.test", testing::_)));
    const std::string maildir = std::string(kMailRoot) + "/example.test/info/Maildir";
    EXPECT_EQ("popuser:popuser 700", ownerMode(maildir + "/new"));
    const Rows users = sqliteQuery(kAuthDB,
                                   "SELECT d.name, u.name, substr(u.userPassword, 1, 18) FROM "
                                   "users u JOIN domains d ON u.dom_id = d.id");
    EXPECT_EQ(users, (Rows{{"example.test", "info", "$AES-256-CBC:PKCS$"}}));

    startMailServer();
    SmtpSession s = sendMail({"a@sender.test", {"info@example.test"}, messageText("m-1")});
    ASSERT_TRUE(s.accepted()) << s;
    EXPECT_TRUE(waitForMessage(maildir, "m-1")) << postfixLog();

    const std::string installed = serverState();
    runChecked({"dpkg", "-i", kPackage});
    EXPECT_EQ(installed, serverState());

    runChecked({"dpkg", "--remove", "kvarn"});
    EXPECT_FALSE(pathExists("/usr/sbin/kvarn"));
    EXPECT_EQ(installed, serverState());
    runChecked({"dpkg", "--purge", "kvarn"});
    EXPECT_FALSE(pathExists("/usr/lib/kvarn"));
    EXPECT_EQ(installed, serverState());
}

// A database without users whose key is missing or not yet handed to
// postfix is what a killed run leaves: made anew. A database with users and
// no key, or a key without its database, is left as it is with an error.
TEST_F(BareServerTest, HelperFinishesAKilledRunAndKeepsStoredPasswords) {
    runChecked({kInitDatabases});
    runChecked({"chown", "root", kAuthKey});
    const std::string oldKey = readFile(kAuthKey);
    runChecked({kInitDatabases});
    EXPECT_EQ("postfix:root 440", ownerMode(kAuthKey));
    EXPECT_NE(oldKey, readFile(kAuthKey));
    std::filesystem::remove(kAuthKey);
    runChecked({kInitDatabases});
    EXPECT_EQ("postfix:root 440", ownerMode(kAuthKey));

    sqliteQuery(kAuthDB,
                "INSERT INTO domains (name) VALUES ('example.test');"
                "INSERT INTO users (dom_id, name, userPassword) VALUES (1, 'info', 'x');");
    runChecked({"chown", "root", kAuthKey});
    std::string before = serverState();
    runChecked({kInitDatabases});
    EXPECT_EQ(before, serverState());

    std::filesystem::remove(kAuthKey);
    before = serverState();
    RunResult r = runCommand({kInitDatabases});
    EXPECT_TRUE(r.exited(1)) << r;
    EXPECT_THAT(r.err, HasSubstr("holds 1 user(s) but its key"));
    EXPECT_EQ(before, serverState());

    writeFile(kAuthKey, std::string(32, 'k'), 0400);
    std::filesystem::remove(kAuthDB);
    before = serverState();
    r = runCommand({kInitDatabases});
    EXPECT_TRUE(r.exited(1)) << r;
    EXPECT_THAT(r.err, HasSubstr("exists without its database"));
    EXPECT_EQ(before, serverState());
}

}  // namespace
}  // namespace kvarn_test
