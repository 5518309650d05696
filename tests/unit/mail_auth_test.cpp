// The mail authentication database on a temporary database and key file:
// stored rows, copies, renames, removals, domain operations, look-ups and
// walks, key failures and the stored format against the openssl tool
// (layouts, owners and planted links show in the sandbox).
#include "mail/lib/mail_auth.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "lib/base64.h"
#include "lib/c_handles.h"
#include "log_match.h"
#include "mail/lib/mail_aes.h"
#include "mail/lib/mail_auth_location.h"
#include "test_support.h"
#include "util/exec_cmd.h"

namespace {

using kvarn_unit::logged;
using kvarn_unit::loggedPart;
using Rows = std::vector<std::string>;

const char kPrefix[] = "$AES-256-CBC:PKCS$";

// Rows of a query on a database file, columns joined with "|".
Rows query(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    Rows rows = kvarn_unit::sqliteRows(db, sql);
    sqlite3_close(db);
    return rows;
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string unbase64(const std::string& text) {
    size_t length = 0;
    MallocPtr<unsigned char> bytes(b64_decode(text.c_str(), &length));
    return bytes ? std::string(reinterpret_cast<char*>(bytes.get()), length) : "<bad>";
}

// What a visitor was handed, as "address=password/flags"; it stops the walk
// (answers 0) on visit number `stop_at`.
struct Visits {
    Rows seen;
    int stop_at = -1;
};

int record(const char* address, const char* password, MailAuthFlagsT flags, void* data) {
    auto* visits = static_cast<Visits*>(data);
    visits->seen.push_back(std::string(address) + "=" + password + "/" + std::to_string(flags));
    return static_cast<int>(visits->seen.size()) - 1 == visits->stop_at ? 0 : 7;
}

// A fresh database and key under a temporary directory, selected through the
// path setters for the duration of one test.
class MailAuthTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_db_ = mailAuthDB;
        saved_key_ = mailAuthKey;
        db_ = dir_.file("spool/marun/passwd.db");
        key_ = dir_.file("spool/marun/passwd_db_key");
        mailAuthDBSetPath(db_.c_str());
        mailAuthKeySetPath(key_.c_str());
        ASSERT_EQ(0, mailAuthDBInit());
        ASSERT_EQ(0, mailAuthKeyInit());
    }
    void TearDown() override {
        mailAuthDBSetPath(saved_db_);
        mailAuthKeySetPath(saved_key_);
    }

    Rows users() {
        return query(db_,
                     "SELECT d.name, d.status, u.name, u.status, "
                     "CASE WHEN u.userPassword IS NULL THEN 'NULL' WHEN u.userPassword LIKE "
                     "'$AES-256-CBC:PKCS$%' THEN 'AES' ELSE u.userPassword END, "
                     "COALESCE(u.cmusaslsecretPLAIN, 'NULL') FROM users u JOIN domains d ON "
                     "u.dom_id = d.id ORDER BY d.name, u.name");
    }
    Rows domains() { return query(db_, "SELECT name, status FROM domains ORDER BY name"); }
    std::string storedPassword(const std::string& name, const std::string& domain) {
        Rows rows = query(db_,
                          "SELECT u.userPassword FROM users u JOIN domains d ON u.dom_id = "
                          "d.id WHERE u.name='" +
                              name + "' AND d.name='" + domain + "'");
        return rows.empty() ? "<none>" : rows[0];
    }
    void sql(const std::string& statement) {
        EXPECT_EQ(Rows{}, query(db_, statement)) << statement;
    }

    kvarn_unit::TempDir dir_;
    std::string db_;
    std::string key_;
    const char* saved_db_ = nullptr;
    const char* saved_key_ = nullptr;
};

TEST_F(MailAuthTest, InitCreatesSchemaAndKey) {
    // Owners and modes show in the layout tests in the sandbox.
    EXPECT_EQ(32u, kvarn_unit::readFile(key_).size());
    EXPECT_EQ((Rows{"domains", "fkd_users_domains_id", "fki_users_domains_id",
                    "fku_users_domains_id", "users"}),
              query(db_,
                    "SELECT name FROM sqlite_master WHERE type IN ('table', 'trigger') AND "
                    "name NOT LIKE 'sqlite_%' ORDER BY name"));

    // The triggers refuse users of no domain.
    EXPECT_EQ((Rows{"ERROR insert on table \"users\" violates foreign key constraint "
                    "\"fk_domains_id\""}),
              query(db_, "INSERT INTO users (dom_id, name) VALUES (99, 'x')"));

    // Re-creating gives an empty database and a new key.
    std::string old_key = kvarn_unit::readFile(key_);
    ASSERT_EQ(0, mailAuthSet("u", "a.test", "pw", 0));
    ASSERT_EQ(0, mailAuthDBInit());
    ASSERT_EQ(0, mailAuthKeyInit());
    EXPECT_EQ(Rows{}, users());
    EXPECT_NE(old_key, kvarn_unit::readFile(key_));
}

TEST_F(MailAuthTest, StoringEncryptsOrKeepsCryptedPasswordsAndRegistersDomains) {
    ASSERT_EQ(0, mailAuthSet("u", "a.test", "secret", 0));
    ASSERT_EQ(0, mailAuthSet("v", "b.test", "secret", MAIL_DOMAIN_AUTH_DISABLED));
    ASSERT_EQ(0, mailAuthSet("w", "b.test", "secret", MAIL_AUTH_DISABLED));
    EXPECT_EQ((Rows{"a.test|0|u|0|AES|NULL", "b.test|1|v|0|AES|NULL", "b.test|1|w|1|AES|NULL"}),
              users());

    // The same user again with a crypted password: the row is replaced whole.
    ASSERT_EQ(0, mailAuthSet("u", "a.test", "$1$salt$hash", MAIL_AUTH_CRYPTED));
    EXPECT_EQ("a.test|0|u|0|NULL|$1$salt$hash", users()[0]);
    ASSERT_EQ(0, mailAuthSet("u", "a.test", "again", 0));
    EXPECT_EQ("a.test|0|u|0|AES|NULL", users()[0]);
    // A flag for an existing domain does not change it.
    ASSERT_EQ(0, mailAuthSet("x", "a.test", "pw", MAIL_DOMAIN_AUTH_DISABLED));
    EXPECT_EQ((Rows{"a.test|0", "b.test|1"}), domains());
}

TEST_F(MailAuthTest, StoredPasswordDecryptsWithTheOpensslTool) {
    if (access("/usr/bin/openssl", X_OK) != 0) {
        GTEST_SKIP() << "no openssl tool";
    }
    const std::string password = "Pa$$ w0rd: longer than one AES block";
    ASSERT_EQ(0, mailAuthSet("u", "a.test", password.c_str(), 0));
    std::string text = storedPassword("u", "a.test");
    ASSERT_EQ(0u, text.find(kPrefix)) << text;
    size_t iv_end = text.find('$', sizeof kPrefix - 1);
    ASSERT_NE(std::string::npos, iv_end);
    std::string iv = unbase64(text.substr(sizeof kPrefix - 1, iv_end - sizeof kPrefix + 1));
    EXPECT_EQ(16u, iv.size());
    marun::ExecCmd tool("/usr/bin/openssl");
    tool << "enc"
         << "-d"
         << "-aes-256-cbc"
         << "-K" << hex(kvarn_unit::readFile(key_)) << "-iv" << hex(iv);
    tool.setInput(unbase64(text.substr(iv_end + 1)));
    EXPECT_EQ(0, tool.exec(std::nothrow));
    EXPECT_EQ(password, tool.getOutput());
}

TEST_F(MailAuthTest, RemovingAndRenamingUsers) {
    kvarn_unit::LogCapture log;
    EXPECT_EQ(0, mailAuthRemove("u", "unknown.test"));
    EXPECT_EQ(Rows{}, domains());  // nothing registered by a removal
    EXPECT_EQ(-1, mailAuthRename("u", "v", "unknown.test"));
    EXPECT_TRUE(logged(log, "No such domain 'unknown.test' in the mail authentication DB"));

    ASSERT_EQ(0, mailAuthSet("u", "a.test", "pw-u", 0));
    ASSERT_EQ(0, mailAuthSet("v", "a.test", "pw-v", MAIL_AUTH_DISABLED));
    ASSERT_EQ(0, mailAuthSet("u", "b.test", "pw-u", 0));
    std::string u_text = storedPassword("u", "a.test");
    std::string v_text = storedPassword("v", "a.test");

    EXPECT_EQ(-1, mailAuthRename("u", "v", "a.test"));
    EXPECT_TRUE(loggedPart(log, "UNIQUE constraint failed")) << log.all();
    EXPECT_EQ(u_text, storedPassword("u", "a.test"));
    EXPECT_EQ(v_text, storedPassword("v", "a.test"));

    ASSERT_EQ(0, mailAuthRename("u", "renamed", "a.test"));
    EXPECT_EQ(u_text, storedPassword("renamed", "a.test"));
    EXPECT_EQ(0, mailAuthRename("nobody", "somebody", "a.test"));
    ASSERT_EQ(0, mailAuthRemove("v", "a.test"));
    EXPECT_EQ(0, mailAuthRemove("v", "a.test"));
    EXPECT_EQ((Rows{"a.test|0|renamed|0|AES|NULL", "b.test|0|u|0|AES|NULL"}), users());
}

TEST_F(MailAuthTest, DomainRenameClashAndRemoval) {
    ASSERT_EQ(0, mailAuthSet("u", "a.test", "pw", 0));
    ASSERT_EQ(0, mailAuthSet("v", "a.test", "pw", 0));
    ASSERT_EQ(0, mailAuthSet("u", "b.test", "pw", 0));

    EXPECT_EQ(-1, mailAuthRenameDomain("a.test", "b.test"));
    ASSERT_EQ(0, mailAuthRenameDomain("a.test", "c.test"));

    ASSERT_EQ(0, mailAuthRemoveDomain("c.test"));
    EXPECT_EQ((Rows{"b.test|0|u|0|AES|NULL"}), users());
    EXPECT_EQ(0, mailAuthRemoveDomain("c.test"));
}

TEST_F(MailAuthTest, CloningCopiesTheStoredRowAndTheSourceDomainsState) {
    ASSERT_EQ(0, mailAuthSet("u", "a.test", "pw", MAIL_AUTH_DISABLED | MAIL_DOMAIN_AUTH_DISABLED));
    ASSERT_EQ(0, mailAuthSet("c", "a.test", "$1$crypted", MAIL_AUTH_CRYPTED));
    sql("INSERT INTO users (dom_id, name) SELECT id, 'nopw' FROM domains WHERE name='a.test'");

    ASSERT_EQ(0, mailAuthClone("u", "a.test", "u", "alias.test"));
    ASSERT_EQ(0, mailAuthClone("c", "a.test", "c2", "b.test"));
    ASSERT_EQ(0, mailAuthClone("nopw", "a.test", "nopw", "b.test"));
    EXPECT_EQ(storedPassword("u", "a.test"), storedPassword("u", "alias.test"));

    // No source domain or user: nothing written.
    EXPECT_EQ(0, mailAuthClone("u", "unknown.test", "u", "never.test"));
    EXPECT_EQ(0, mailAuthClone("nobody", "a.test", "nobody", "never.test"));
    EXPECT_EQ((Rows{"a.test|1|c|0|NULL|$1$crypted", "a.test|1|nopw|0|NULL|NULL",
                    "a.test|1|u|1|AES|NULL", "alias.test|1|u|1|AES|NULL",
                    "b.test|1|c2|0|NULL|$1$crypted", "b.test|1|nopw|0|NULL|NULL"}),
              users());

    Visits visits;
    EXPECT_EQ(7, mailAuthCheck("u@alias.test", record, &visits));
    EXPECT_EQ(Rows{"u@alias.test=pw/6"}, visits.seen);
}

TEST_F(MailAuthTest, LookUpsAndWalks) {
    kvarn_unit::LogCapture log;
    Visits visits;
    EXPECT_EQ(-1, mailAuthCheck("user@", record, &visits));
    EXPECT_TRUE(logged(log, "Invalid mail address 'user@'"));
    EXPECT_EQ(1, mailAuthCheck("nobody@a.test", record, &visits));
    EXPECT_EQ(1, mailAuthIterateAll(record, &visits));

    ASSERT_EQ(0, mailAuthSet("b", "z.test", "pw-bz", 0));
    ASSERT_EQ(0, mailAuthSet("b", "a.test", "pw-ba", MAIL_AUTH_DISABLED));
    ASSERT_EQ(0, mailAuthSet("c", "a.test", "$1$x", MAIL_AUTH_CRYPTED));
    ASSERT_EQ(0, mailAuthDisableDomain("a.test"));
    sql("INSERT INTO users (dom_id, name) SELECT id, 'nopw' FROM domains WHERE name='a.test'");
    // A password stored in plain before encryption was introduced.
    sql("INSERT INTO users (dom_id, name, userPassword) SELECT id, 'legacy', 'old plain' FROM "
        "domains WHERE name='a.test'");

    EXPECT_EQ(7, mailAuthCheck("b@a.test", record, &visits));
    EXPECT_EQ(-1, mailAuthCheck("nopw@a.test", record, &visits));
    EXPECT_EQ(Rows{"b@a.test=pw-ba/6"}, visits.seen);

    Visits all;
    EXPECT_EQ(7, mailAuthIterateAll(record, &all));
    EXPECT_EQ((Rows{"b@a.test=pw-ba/6", "c@a.test=$1$x/5", "legacy@a.test=old plain/4",
                    "b@z.test=pw-bz/0"}),
              all.seen);
    EXPECT_TRUE(logged(log, "Failed to decrypt password for mail address 'legacy@a.test'"));
    Visits stopping;
    stopping.stop_at = 1;
    EXPECT_EQ(0, mailAuthIterateAll(record, &stopping));
    EXPECT_EQ(2u, stopping.seen.size());
    Visits short_walk;
    EXPECT_EQ(7, mailAuthCheckShort("b", record, &short_walk));
    EXPECT_EQ(2u, short_walk.seen.size());
}

TEST_F(MailAuthTest, KeyProblemsStoreNothingAndNeverLogThePassword) {
    const std::string password = "Very-Secret-Password";
    ASSERT_EQ(0, mailAuthSet("u", "a.test", password.c_str(), 0));
    kvarn_unit::LogCapture log;

    std::string short_key = dir_.write("short", std::string(31, 'k'));
    mailAuthKeySetPath(short_key.c_str());
    EXPECT_EQ(-1, mailAuthSet("v", "b.test", password.c_str(), 0));
    EXPECT_TRUE(logged(log,
                       "Failed to initialize password cipher context (for mail address "
                       "'v@b.test')"))
        << log.all();
    EXPECT_EQ((Rows{"a.test|0"}), domains());

    // Reading with a missing key hands over the stored text, with the failure logged.
    std::string missing = dir_.file("missing");
    mailAuthKeySetPath(missing.c_str());
    Visits visits;
    EXPECT_EQ(7, mailAuthCheck("u@a.test", record, &visits));
    EXPECT_EQ("u@a.test=" + storedPassword("u", "a.test") + "/0", visits.seen.at(0));
    EXPECT_TRUE(loggedPart(log, "Can't read encryption key from '" + missing + "'"));

    // A key of the right length but the wrong bytes cannot decrypt either.
    std::string other_key = dir_.write("other", std::string(32, 'o'));
    mailAuthKeySetPath(other_key.c_str());
    EXPECT_EQ(7, mailAuthCheck("u@a.test", record, &visits));
    EXPECT_NE("u@a.test=" + password + "/0", visits.seen.at(1));
    EXPECT_TRUE(logged(log, "Failed to decrypt password for mail address 'u@a.test'"));

    EXPECT_EQ(std::string::npos, log.all().find(password)) << log.all();
}

TEST_F(MailAuthTest, MissingDatabaseIsReportedAndNotCreated) {
    std::string missing = dir_.file("nowhere/passwd.db");
    mailAuthDBSetPath(missing.c_str());
    kvarn_unit::LogCapture log;
    EXPECT_EQ(-1, mailAuthSet("u", "a.test", "pw", 0));
    EXPECT_EQ(-1, mailAuthRemove("u", "a.test"));
    Visits visits;
    EXPECT_EQ(-1, mailAuthIterateAll(record, &visits));
    EXPECT_TRUE(loggedPart(log, "Unable to open database " + missing + ": "));
    EXPECT_TRUE(loggedPart(log, "Unable to open database(readonly) " + missing + ": "));
    EXPECT_NE(0, access(missing.c_str(), F_OK));
}

}  // namespace
