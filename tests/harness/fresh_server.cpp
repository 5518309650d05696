// sandbox_fresh_server: inside a sandbox started by scripts/sandbox-run,
// lays out the same fresh server state a test starts from (pristine Postfix
// configuration and empty lookup tables, empty mail root, recreated panel
// tables, ...), creates the mail authentication database and its key in
// Postfix's spool as the panel's installation does, and then runs the given
// command on it. With --handlers-db first, it also creates the empty mail
// handlers database, as the panel's installation does. The demonstration uses
// it to show kvarn at work on what looks like a newly installed server.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>

#include "harness/sandbox.h"
#include "harness/sqlite.h"
#include "mail/lib/mail_auth.h"
#include "mail/lib/mail_handlers.h"

namespace {

class FreshServer : public kvarn_test::SandboxTest {
  public:
    void prepare() { SetUp(); }
    void TestBody() override {}
};

}  // namespace

int main(int argc, char** argv) {
    bool handlers_db = argc > 1 && std::strcmp(argv[1], "--handlers-db") == 0;
    if (handlers_db) {
        --argc;
        ++argv;
    }
    if (argc < 2) {
        std::fprintf(stderr, "usage: sandbox_fresh_server [--handlers-db] COMMAND [ARGS...]\n");
        return 2;
    }
    try {
        FreshServer server;
        server.prepare();
        if (mailAuthDBInitStyle(1) != 0) {
            std::fprintf(stderr, "sandbox_fresh_server: cannot create the mail auth database\n");
            return 1;
        }
        if (handlers_db) {
            kvarn_test::createSqliteDatabase(MH_DB_PATH, MH_DB_SCHEMA_SQL);
        }
        // The mounts live in the sandbox's mount namespace: they stay for
        // the command that replaces this process.
        execv(argv[1], argv + 1);
        std::perror(argv[1]);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sandbox_fresh_server: %s\n", e.what());
    }
    return 127;
}
