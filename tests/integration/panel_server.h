// Fixture of the command tests: the fresh server of every test as the
// panel's installation leaves it for kvarn, with the mail authentication
// database (and its key) in Postfix's spool and an empty mail handlers
// database; and everything the commands may change, as one text.
#pragma once

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "harness/kvarn_harness.h"
#include "mail/lib/mail_auth.h"
#include "mail/lib/mail_auth_location.h"
#include "mail/lib/mail_handlers.h"

namespace kvarn_test {

class PanelServerTest : public SandboxTest {
  protected:
    void SetUp() override {
        SandboxTest::SetUp();
        ASSERT_EQ(0, mailAuthDBInitStyle(MAIL_AUTH_DB_POSTFIX_STYLE));
        createSqliteDatabase(MH_DB_PATH, MH_DB_SCHEMA_SQL);
    }
};

// Runs kvarn as the panel does and expects it to exit with `status`.
inline RunResult runKvarnExpecting(const std::vector<std::string>& args, int status,
                                   const std::map<std::string, std::string>& env = {}) {
    RunResult r = runKvarn(args, env);
    EXPECT_TRUE(r.exited(status)) << ::testing::PrintToString(args) << r;
    return r;
}

// The password of `address` as the mail servers get it, and its flags;
// "<none>" and -1 without one.
inline std::pair<std::string, int> mailPassword(const std::string& address) {
    std::pair<std::string, int> seen{"<none>", -1};
    mailAuthCheck(
        address.c_str(),
        [](const char*, const char* password, MailAuthFlagsT flags, void* data) {
            *static_cast<std::pair<std::string, int>*>(data) = {password, flags};
            return 1;
        },
        &seen);
    return seen;
}

// How the authentication rows show in serverState(): the stored texts
// (every write encrypts anew, so a rewrite shows), the passwords as the
// mail servers get them, or not at all.
enum class AuthRows { stored, passwords, none };

// The lookup tables; every path of the mail tree with its type, owner and
// mode, and the content of its small files (Maildir's "tmp" folders hold
// files only in passing and are left out); the authentication rows; the
// mail handler rows.
inline std::string serverState(AuthRows auth = AuthRows::stored) {
    std::string state;
    for (const std::string& table : kLookupTables) {
        state += "[" + table + "]\n";
        for (const auto& record : tableRecords(table)) {
            state += record.first + " " + record.second + "\n";
        }
    }
    std::vector<std::string> tree;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(kMailRoot)) {
        const std::string path = entry.path().string();
        if (entry.path().parent_path().filename() == "tmp") {
            continue;
        }
        const FileInfo info = fileInfo(path);
        std::string line = path + " " + info.type + " " + info.owner + ":" + info.group + " " +
                           std::to_string(info.mode) + "\n";
        if (info.type == 'f' && info.size < 4096) {
            line += readFile(path);
        }
        tree.push_back(line);
    }
    std::sort(tree.begin(), tree.end());
    state += "[mail tree]\n";
    for (const std::string& line : tree) {
        state += line;
    }
    std::vector<std::string> users;
    if (auth == AuthRows::passwords) {
        mailAuthIterateAll(
            [](const char* address, const char* password, MailAuthFlagsT flags, void* data) {
                static_cast<std::vector<std::string>*>(data)->push_back(
                    std::string(address) + " " + (password ? password : "-") + " " +
                    std::to_string(flags));
                return 1;
            },
            &users);
    } else if (auth == AuthRows::stored) {
        for (const auto& row : sqliteQuery(mailAuthDB,
                                           "SELECT u.name || '@' || d.name || ' ' || u.status || "
                                           "' ' || ifnull(u.userPassword, '-') || ' ' || "
                                           "ifnull(u.cmusaslsecretPLAIN, '-') FROM users u JOIN "
                                           "domains d ON u.dom_id = d.id ORDER BY 1")) {
            users.push_back(row[0]);
        }
    }
    state += "[auth]\n";
    if (auth != AuthRows::none) {
        for (const auto& row :
             sqliteQuery(mailAuthDB, "SELECT name, status FROM domains ORDER BY 1")) {
            state += row[0] + " " + row[1] + "\n";
        }
    }
    for (const std::string& user : users) {
        state += user + "\n";
    }
    state += "[handlers]\n";
    for (const auto& row :
         sqliteQuery(MH_DB_PATH, "SELECT * FROM handlers ORDER BY 1, 2, 3, 4, 5, 6, 7, 8")) {
        state += ::testing::PrintToString(row) + "\n";
    }
    return state;
}

}  // namespace kvarn_test
