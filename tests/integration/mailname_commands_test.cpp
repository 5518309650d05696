// The mail name and mailbox commands run as the panel runs them: lookup
// tables read back with postmap, the mail tree, the mail authentication
// database and the mail handlers database after each command, bad names and
// quotas refused before anything changes.
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "integration/panel_server.h"
#include "mail/maildir_manager.h"

namespace kvarn_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::Pair;
using Records = std::vector<std::pair<std::string, std::string>>;
using Env = std::map<std::string, std::string>;

const char kAuthDB[] = "/var/spool/postfix/marun/passwd.db";
const std::string kDomainRoot = std::string(kMailRoot) + "/example.test";
const std::string kHome = kDomainRoot + "/info";
const std::string kDelivery = "| /usr/bin/deliverquota ./Maildir\n";

// What "@attachments" (an empty directory here) takes from a quota: the
// directory's own size.
long long attachmentsSize() {
    struct stat st {};
    EXPECT_EQ(0, lstat((kHome + "/@attachments").c_str(), &st));
    return st.st_size;
}

// A server with the domain example.test (aliases alias1.test and
// alias2.test, a default mailbox quota of 4096 bytes) and its mail name
// "info" with the mail alias "sales" in the panel; the domain's mail
// directory, an empty mail authentication database and an empty mail
// handlers database.
class MailnameCommandsTest : public PanelServerTest {
  protected:
    void SetUp() override {
        PanelServerTest::SetUp();

        domain_ = seedDomain("example.test");
        seedDomainAlias(domain_, "alias1.test");
        seedDomainAlias(domain_, "alias2.test");
        seedLimit(domain_, "mbox_quota", "4096");
        info_ = seedMail(domain_, "info");
        seedMailAlias(info_, "sales");
        marun::mail::MaildirManager::getInstance().createDomainRoot("example.test");
    }

    // The mailbox info@example.test as the panel makes it: the mail name,
    // then its mailbox with a password, its mail alias records and a mail
    // handler registered for its address.
    void createInfo() {
        runKvarnChecked({"--add-mailname", "--domain-name=example.test", "--mailname=info",
                         "--disk-quota=1000000"});
        runKvarnChecked({"--add-mailbox", "--domain-name=example.test", "--mailname=info"},
                        {{"ORU_PASSWORD", "s3cret"}});
        addVirtual(
            "sales@example.test info@example.test\n"
            "sales@alias1.test info@example.test\n"
            "sales@alias2.test info@example.test\n");
        ASSERT_TRUE(setPassword("sales", {{"ORU_PASSWORD", "s3cret"}}).succeeded());
        addHandler("info@example.test");
    }

    RunResult setPassword(const std::string& name, const Env& env) {
        return runKvarn({"--set-password", "--domain-name=example.test", "--mailname=" + name},
                        env);
    }

    // Records added with postmap itself, not through kvarn.
    void addVirtual(const std::string& lines) {
        runChecked({"postmap", "-r", "-i", tableSpec("virtual")}, {}, lines);
    }

    void addHandler(const std::string& address) {
        runKvarnChecked({"--add-handler", "--handler-name=spam", "--handler-type=recipient",
                         "--executable=/usr/bin/h", "--context=ctx", "--hook=before-queue",
                         "--priority=10", "--handler-type-name=" + address});
    }

    // address|domain status|plain or crypted password kept
    std::vector<std::string> authRows() {
        std::vector<std::string> rows;
        for (const auto& row :
             sqliteQuery(kAuthDB,
                         "SELECT u.name || '@' || d.name, d.status, CASE WHEN u.userPassword LIKE "
                         "'$AES-256-CBC:PKCS$%' THEN 'encrypted' ELSE ifnull(u.cmusaslsecretPLAIN, "
                         "'none') END FROM users u JOIN domains d ON u.dom_id = d.id ORDER BY 1")) {
            rows.push_back(row[0] + "|" + row[1] + "|" + row[2]);
        }
        return rows;
    }

    std::vector<std::string> handlerAddresses() {
        std::vector<std::string> addresses;
        for (const auto& row : sqliteQuery(MH_DB_PATH, "SELECT address FROM handlers ORDER BY 1")) {
            addresses.push_back(row[0]);
        }
        return addresses;
    }

    int domain_ = 0;
    int info_ = 0;
};

TEST_F(MailnameCommandsTest, AddMailnameWritesHomeQuotaAndRecordsForTheDomainAndEachAlias) {
    EXPECT_EQ("", runKvarnChecked({"--add-mailname", "--domain-name=example.test",
                                   "--mailname=info", "--disk-quota=1048576"}));
    EXPECT_THAT(tableRecords("vmailbox"),
                ElementsAre(Pair("info@example.test", "example.test/info/Maildir/")));
    EXPECT_THAT(tableRecords("virtual"),
                ElementsAre(Pair("info@alias1.test", "info@example.test"),
                            Pair("info@alias2.test", "info@example.test"),
                            Pair("info@example.test", "info@example.test")));
    EXPECT_EQ("popuser:popuser", fileOwner(kHome + "/Maildir/.Spam/new"));
    // No delivery until the mailbox is added.
    EXPECT_EQ("| true\n", readFile(kHome + "/.qmail"));
    EXPECT_EQ(std::to_string(1048576 - attachmentsSize()) + "S,0C\n",
              readFile(kHome + "/Maildir/maildirsize").substr(0, 12));
    EXPECT_THAT(authRows(), IsEmpty());
}

TEST_F(MailnameCommandsTest, AddMailnameQuotaForms) {
    const std::string maildirsize = kHome + "/Maildir/maildirsize";
    auto header = [&] {
        std::string text = readFile(maildirsize);
        return text.substr(0, text.find('\n'));
    };
    auto add = [](const std::vector<std::string>& quota) {
        std::vector<std::string> args = {"--add-mailname", "--domain-name=example.test",
                                         "--mailname=info"};
        args.insert(args.end(), quota.begin(), quota.end());
        runKvarnChecked(args);
    };
    // A quota of 0 is a quota: no more mail.
    add({"--disk-quota=0"});
    EXPECT_EQ("1S,0C", header());
    add({"--disk-quota", "-1"});
    EXPECT_EQ("0S,0C", header());
    // Without a quota the quota left from before goes: the domain's default.
    add({"--disk-quota=777"});
    add({});
    EXPECT_EQ(std::to_string(4096 - attachmentsSize()) + "S,0C", header());
}

TEST_F(MailnameCommandsTest, AddMailnameStopsAtATableItCannotOpen) {
    // An indexed table that postmap cannot open.
    const std::string virtualDb = std::string(kTablesDir) + "/virtual.db";
    ASSERT_EQ(0, unlink(virtualDb.c_str()));
    ASSERT_EQ(0, mkdir(virtualDb.c_str(), 0755));

    EXPECT_THAT(
        runKvarnExpecting({"--add-mailname", "--domain-name=example.test", "--mailname=info"}, 1)
            .err,
        HasSubstr("Fatal error: marun::mail::postfix::PostfixConfigurationError("));
    EXPECT_EQ('d', fileInfo(virtualDb).type);
}

TEST_F(MailnameCommandsTest, BadNamesAreRefusedByEveryCommandBeforeAnyChange) {
    createInfo();
    const std::string before = serverState();
    const Env password = {{"ORU_PASSWORD", "other"}};

    const std::vector<std::string> badNames = {"in fo", "in\001fo", "in/fo", "in..fo", ""};
    const std::vector<std::string> badDomains = {"example test", "example.test\x01",
                                                 "example.test/info", ""};
    using Args = std::vector<std::string>;
    auto commands = [](const std::string& domain, const std::string& name) {
        const std::string d = "--domain-name=" + domain;
        const std::string m = "--mailname=" + name;
        return std::vector<Args>{
            {"--add-mailname", d, m},
            {"--add-mailname", d, m, "--disk-quota=5"},
            {"--remove-mailname", d, m},
            {"--rename-mailname", d, "--old-mailname=" + name, "--new-mailname=info2"},
            {"--rename-mailname", d, "--old-mailname=info", "--new-mailname=" + name},
            {"--add-mailbox", d, m},
            {"--remove-mailbox", d, m},
            {"--get-mailbox-size", d, m},
            {"--set-password", d, m},
            {"--set-mailbox-disk-quota", d, m, "--disk-quota=5"},
        };
    };
    auto refused = [&](const Args& args) {
        EXPECT_THAT(runKvarnExpecting(args, 1, password).err, Not(IsEmpty()))
            << ::testing::PrintToString(args);
        EXPECT_EQ(before, serverState()) << ::testing::PrintToString(args);
    };
    for (const std::string& name : badNames) {
        for (const Args& args : commands("example.test", name)) {
            refused(args);
        }
    }
    for (const std::string& domain : badDomains) {
        for (const Args& args : commands(domain, "info")) {
            refused(args);
        }
    }
}

TEST_F(MailnameCommandsTest, AddMailboxSwitchesDeliveryOnAndStoresThePasswordEverywhere) {
    runKvarnChecked({"--add-mailname", "--domain-name=example.test", "--mailname=info"});
    EXPECT_EQ("",
              runKvarnChecked({"--add-mailbox", "--domain-name=example.test", "--mailname=info"},
                              {{"ORU_PASSWORD", "pa ss"}}));
    EXPECT_EQ("| true\n" + kDelivery, readFile(kHome + "/.qmail"));
    EXPECT_THAT(authRows(),
                ElementsAre("info@alias1.test|0|encrypted", "info@alias2.test|0|encrypted",
                            "info@example.test|0|encrypted"));
    EXPECT_EQ(std::make_pair(std::string("pa ss"), 0), mailPassword("info@alias2.test"));

    // A crypted password is kept as given; -D registers new domains as
    // disabled.
    const int other = seedDomain("other.test");
    seedMail(other, "bob");
    marun::mail::MaildirManager::getInstance().createDomainRoot("other.test");
    runKvarnChecked({"--add-mailname", "--domain-name=other.test", "--mailname=bob"});
    runKvarnChecked({"--add-mailbox", "--domain-name=other.test", "--mailname=bob", "-D"},
                    {{"ORU_CRYPTED_PASSWORD", "$1$salt$hash"}});
    EXPECT_THAT(authRows(), ::testing::Contains("bob@other.test|1|$1$salt$hash"));
}

TEST_F(MailnameCommandsTest, SetPasswordPrecedenceAndRemoval) {
    createInfo();
    // Mail name and mail alias, each in the domain and both aliases.
    std::vector<std::string> everywhere;
    for (const char* name : {"info", "sales"}) {
        for (const char* domain : {"alias1.test", "alias2.test", "example.test"}) {
            everywhere.push_back(std::string(name) + "@" + domain);
        }
    }

    RunResult r = setPassword("info", {{"ORU_PASSWORD", ""}, {"ORU_CRYPTED_PASSWORD", "$1$c"}});
    ASSERT_TRUE(r.succeeded()) << r;
    EXPECT_EQ("", r.out);
    for (const std::string& address : everywhere) {
        EXPECT_EQ(std::make_pair(std::string("$1$c"), int(MAIL_AUTH_CRYPTED)),
                  mailPassword(address))
            << address;
    }

    ASSERT_TRUE(setPassword("info", {{"ORU_PASSWORD", "plain"}, {"ORU_CRYPTED_PASSWORD", "$1$c"}})
                    .succeeded());
    for (const std::string& address : everywhere) {
        EXPECT_EQ(std::make_pair(std::string("plain"), 0), mailPassword(address)) << address;
    }

    // No password at all: the records go.
    const std::string tablesAndTree = serverState(AuthRows::none);
    ASSERT_TRUE(setPassword("info", {}).succeeded());
    EXPECT_THAT(authRows(), IsEmpty());

    // A mail name the tables do not know only gets authentication records.
    ASSERT_TRUE(setPassword("ghost", {{"ORU_PASSWORD", "boo"}}).succeeded());
    EXPECT_THAT(authRows(),
                ElementsAre("ghost@alias1.test|0|encrypted", "ghost@alias2.test|0|encrypted",
                            "ghost@example.test|0|encrypted"));
    ASSERT_TRUE(setPassword("ghost", {}).succeeded());
    EXPECT_THAT(authRows(), IsEmpty());
    EXPECT_EQ(tablesAndTree, serverState(AuthRows::none));
}

TEST_F(MailnameCommandsTest, RemoveMailboxSwitchesDeliveryOffAndRemovesAuthentication) {
    createInfo();
    addHandler("other@example.test");
    runKvarnChecked({"--remove-mailbox", "--domain-name=example.test", "--mailname=info"});
    EXPECT_EQ("| true\n", readFile(kHome + "/.qmail"));
    EXPECT_THAT(authRows(), IsEmpty());
    // The mail name itself stays.
    EXPECT_THAT(tableRecords("vmailbox"), ElementsAre(Pair("info@example.test", testing::_)));
    EXPECT_TRUE(pathExists(kHome + "/Maildir"));

    // An unknown mail name has no ".qmail" to edit: an error, and its
    // authentication records are not touched.
    ASSERT_TRUE(setPassword("ghost", {{"ORU_PASSWORD", "boo"}}).succeeded());
    const std::string before = serverState();
    EXPECT_THAT(
        runKvarnExpecting({"--remove-mailbox", "--domain-name=example.test", "--mailname=ghost"}, 1)
            .err,
        HasSubstr("unable to modify " + kDomainRoot + "/ghost/.qmail"));
    EXPECT_EQ(before, serverState());
}

TEST_F(MailnameCommandsTest, RemoveMailnameRemovesRecordsHomeAuthenticationAndHandlers) {
    createInfo();
    addHandler("other@example.test");
    runKvarnChecked({"--remove-mailname", "--domain-name=example.test", "--mailname=info"});
    EXPECT_THAT(tableRecords("vmailbox"), IsEmpty());
    // The mail alias records are not the mail name's to remove.
    EXPECT_THAT(tableRecords("virtual"),
                ElementsAre(Pair("sales@alias1.test", "info@example.test"),
                            Pair("sales@alias2.test", "info@example.test"),
                            Pair("sales@example.test", "info@example.test")));
    EXPECT_FALSE(pathExists(kHome));
    EXPECT_TRUE(pathExists(kDomainRoot));
    EXPECT_THAT(authRows(), IsEmpty());
    EXPECT_THAT(handlerAddresses(), ElementsAre("other@example.test"));

    // Removing it again finds nothing to remove and succeeds.
    const std::string before = serverState();
    runKvarnChecked({"--remove-mailname", "--domain-name=example.test", "--mailname=info"});
    EXPECT_EQ(before, serverState());
}

TEST_F(MailnameCommandsTest, RemoveMailnameStopsWhenAuthenticationCannotBeChanged) {
    createInfo();
    const std::string before = serverState();
    // Without its database file the authentication step fails first.
    const std::string away = std::string(kAuthDB) + ".away";
    ASSERT_EQ(0, rename(kAuthDB, away.c_str()));
    EXPECT_THAT(
        runKvarnExpecting({"--remove-mailname", "--domain-name=example.test", "--mailname=info"}, 1)
            .err,
        HasSubstr("Unable to remove mailname info@example.test"));
    ASSERT_EQ(0, rename(away.c_str(), kAuthDB));
    EXPECT_EQ(before, serverState());
}

TEST_F(MailnameCommandsTest, RenameMailnameMovesRecordsValuesHomeAuthenticationAndHandlers) {
    createInfo();
    addVirtual(
        "fwd@example.test info@example.test,other@remote.test\n"
        "info-copy@example.test other@remote.test info@example.test/\n"
        "xinfo@example.test xinfo@example.test\n");
    EXPECT_EQ("", runKvarnChecked({"--rename-mailname", "--domain-name=example.test",
                                   "--old-mailname=info", "--new-mailname=info2"},
                                  {{"ORU_PASSWORD", "whatever"}}));
    EXPECT_THAT(tableRecords("vmailbox"),
                ElementsAre(Pair("info2@example.test", "example.test/info2/Maildir/")));
    // The key and every value element naming the old address follow; the
    // addresses under the domain aliases keep their keys.
    EXPECT_THAT(
        tableRecords("virtual"),
        ElementsAre(Pair("fwd@example.test", "info2@example.test, other@remote.test"),
                    Pair("info-copy@example.test", "other@remote.test, info2@example.test/"),
                    Pair("info2@example.test", "info2@example.test"),
                    Pair("info@alias1.test", "info2@example.test"),
                    Pair("info@alias2.test", "info2@example.test"),
                    Pair("sales@alias1.test", "info2@example.test"),
                    Pair("sales@alias2.test", "info2@example.test"),
                    Pair("sales@example.test", "info2@example.test"),
                    Pair("xinfo@example.test", "xinfo@example.test")));
    EXPECT_FALSE(pathExists(kHome));
    EXPECT_EQ("| true\n" + kDelivery, readFile(kDomainRoot + "/info2/.qmail"));
    // With a password the record is renamed in the domain (the aliases'
    // records keep the old name).
    EXPECT_EQ(std::make_pair(std::string("s3cret"), 0), mailPassword("info2@example.test"));
    EXPECT_THAT(authRows(), Not(::testing::Contains("info@example.test|0|encrypted")));
    EXPECT_THAT(authRows(), ::testing::Contains("info@alias1.test|0|encrypted"));
    EXPECT_THAT(handlerAddresses(), ElementsAre("info2@example.test"));
}

TEST_F(MailnameCommandsTest, RenameMailnameWithoutPasswordDropsTheOldAuthentication) {
    createInfo();
    runKvarnChecked({"--rename-mailname", "--domain-name=example.test", "--old-mailname=info",
                     "--new-mailname=info2", "-D"});
    // The mail alias keeps its records; the old name has none left.
    EXPECT_THAT(authRows(),
                ElementsAre("sales@alias1.test|0|encrypted", "sales@alias2.test|0|encrypted",
                            "sales@example.test|0|encrypted"));
    EXPECT_THAT(handlerAddresses(), ElementsAre("info2@example.test"));
    EXPECT_TRUE(pathExists(kDomainRoot + "/info2/Maildir"));
}

TEST_F(MailnameCommandsTest, FailedHomeRenameLeavesTheTablesWithTheOldNames) {
    createInfo();
    addVirtual("fwd@example.test info@example.test, other@remote.test\n");
    // The new home exists and is not empty: the directory rename fails
    // after both tables have been rewritten.
    const std::string target = kDomainRoot + "/info2";
    ASSERT_EQ(0, mkdir(target.c_str(), 0700));
    writeFile(target + "/keep", "mine\n");
    const std::string before = serverState();

    EXPECT_THAT(runKvarnExpecting({"--rename-mailname", "--domain-name=example.test",
                                   "--old-mailname=info", "--new-mailname=info2"},
                                  1, {{"ORU_PASSWORD", "x"}})
                    .err,
                Not(HasSubstr("CRITICAL ERROR")));
    EXPECT_EQ(before, serverState());
}

TEST_F(MailnameCommandsTest, RenameOntoAnAddressInUseOrOntoItselfChangesNothing) {
    createInfo();
    const std::string before = serverState();
    // "sales" is a mail alias of info: its address is a "virtual" key.
    for (const char* target : {"sales", "info"}) {
        EXPECT_THAT(
            runKvarnExpecting({"--rename-mailname", "--domain-name=example.test",
                               "--old-mailname=info", std::string("--new-mailname=") + target},
                              1)
                .err,
            HasSubstr("unable to rename mail name info@example.test"));
        EXPECT_EQ(before, serverState());
    }
}

TEST_F(MailnameCommandsTest, RenameReturnsTheAuthenticationRenameResult) {
    createInfo();
    // info2 already has a record in the domain: the authentication rename
    // clashes after the tables and the home have moved.
    ASSERT_TRUE(setPassword("info2", {{"ORU_PASSWORD", "taken"}}).succeeded());
    runKvarnExpecting({"--rename-mailname", "--domain-name=example.test", "--old-mailname=info",
                       "--new-mailname=info2"},
                      255, {{"ORU_PASSWORD", "x"}});
    EXPECT_TRUE(pathExists(kDomainRoot + "/info2/Maildir"));
    EXPECT_THAT(handlerAddresses(), ElementsAre("info@example.test"));
}

TEST_F(MailnameCommandsTest, GetMailboxSizePrintsOnlyTheNumber) {
    runKvarnChecked({"--add-mailname", "--domain-name=example.test", "--mailname=info"});
    const std::vector<std::string> args = {"--get-mailbox-size", "--domain-name=example.test",
                                           "--mailname=info"};
    // A new mailbox: nothing but the empty attachment store.
    EXPECT_EQ(std::to_string(attachmentsSize()), runKvarnChecked(args));

    // Counted from the messages once maildirsize is gone: 1500 by its name,
    // 700 by its length; plus the attachment store.
    ASSERT_EQ(0, unlink((kHome + "/Maildir/maildirsize").c_str()));
    writeFile(kHome + "/Maildir/cur/1.M1.host,S=1500:2,S", "x");
    writeFile(kHome + "/Maildir/new/2.M2.host", std::string(700, 'y'));
    writeFile(kHome + "/@attachments/a", std::string(3000, 'z'));
    struct stat dir {};
    struct stat file {};
    ASSERT_EQ(0, lstat((kHome + "/@attachments").c_str(), &dir));
    ASSERT_EQ(0, lstat((kHome + "/@attachments/a").c_str(), &file));

    EXPECT_EQ(std::to_string(2200 + dir.st_size + file.st_size), runKvarnChecked(args));

    std::vector<std::string> inBlocks = args;
    inBlocks.insert(inBlocks.begin() + 1, "--in-blocks");
    EXPECT_EQ(std::to_string(2200 + (dir.st_blocks + file.st_blocks) * 512),
              runKvarnChecked(inBlocks));

    runKvarnExpecting({"--get-mailbox-size", "--domain-name=example.test", "--mailname=ghost"}, 1);
}

TEST_F(MailnameCommandsTest, SetMailboxDiskQuotaRewritesMaildirsize) {
    runKvarnChecked({"--add-mailname", "--domain-name=example.test", "--mailname=info"});
    runKvarnChecked({"--set-mailbox-disk-quota", "--domain-name=example.test", "--mailname=info",
                     "--disk-quota=5000"});
    EXPECT_EQ(std::to_string(5000 - attachmentsSize()) + "S,0C\n",
              readFile(kHome + "/Maildir/maildirsize").substr(0, 9));
    EXPECT_THAT(
        runKvarnExpecting(
            {"--set-mailbox-disk-quota", "--domain-name=example.test", "--mailname=info"}, 1)
            .err,
        HasSubstr("mandatory option \"--disk-quota\" is not specified"));
}

}  // namespace
}  // namespace kvarn_test
