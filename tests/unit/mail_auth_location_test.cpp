// The key file path beside a mail authentication database (the selection
// of both paths by style shows in the layout tests of the sandbox).
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

TEST(MailAuthLocation, KeyPathLiesBesideTheDatabase) {
    EXPECT_EQ(keyPathOf(kQmailDB.c_str()), kQmailKey);
    EXPECT_EQ(keyPathOf(kPostfixDB.c_str()), kPostfixKey);
    EXPECT_EQ(keyPathOf("passwd.db"), "./passwd_db_key");
    EXPECT_EQ(keyPathOf("/srv/auth/"), "/srv/passwd_db_key");  // dirname drops the last component
}

}  // namespace
