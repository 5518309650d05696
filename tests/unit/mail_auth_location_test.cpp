// Selection of the mail authentication database and key file paths.
#include "mail/lib/mail_auth_location.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

const std::string kQmailDB = "/var/lib/marun/mail/auth/passwd.db";
const std::string kQmailKey = "/var/lib/marun/mail/auth/passwd_db_key";
const std::string kPostfixDB = "/var/spool/postfix/marun/passwd.db";
const std::string kPostfixKey = "/var/spool/postfix/marun/passwd_db_key";

std::string keyPathOf(const char* db) {
    std::unique_ptr<char, decltype(&std::free)> key(mailAuthDBToKeyPath(db), std::free);
    return key ? key.get() : "<null>";
}

// Runs first in this file: the paths as the process starts.
TEST(MailAuthLocation, StylesSelectBothPaths) {
    EXPECT_EQ(mailAuthDB, kQmailDB);
    EXPECT_EQ(mailAuthKey, kQmailKey);

    mailAuthDBSelectStyle(MAIL_AUTH_DB_POSTFIX_STYLE);
    EXPECT_EQ(mailAuthDB, kPostfixDB);
    EXPECT_EQ(mailAuthKey, kPostfixKey);

    mailAuthDBSelectStyle(MAIL_AUTH_DB_INVALID_STYLE);
    mailAuthDBSelectStyle(7);
    EXPECT_EQ(mailAuthDB, kPostfixDB);
    EXPECT_EQ(mailAuthKey, kPostfixKey);

    mailAuthDBSelectStyle(MAIL_AUTH_DB_QMAIL_STYLE);
    EXPECT_EQ(mailAuthDB, kQmailDB);
    EXPECT_EQ(mailAuthKey, kQmailKey);
}

TEST(MailAuthLocation, KeyPathLiesBesideTheDatabase) {
    EXPECT_EQ(keyPathOf(kQmailDB.c_str()), kQmailKey);
    EXPECT_EQ(keyPathOf(kPostfixDB.c_str()), kPostfixKey);
    EXPECT_EQ(keyPathOf("passwd.db"), "./passwd_db_key");
    EXPECT_EQ(keyPathOf("/srv/auth/"), "/srv/passwd_db_key");  // dirname drops the last component
}

}  // namespace
