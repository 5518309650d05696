// Fixture of the command tests: the fresh server of every test as the
// panel's installation leaves it for kvarn, with the mail authentication
// database (and its key) in Postfix's spool and an empty mail handlers
// database.
#pragma once

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

}  // namespace kvarn_test
