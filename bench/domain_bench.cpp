// Benchmark driver for domain removal: fills the databases a removal reads
// and writes, as a server with many domains has them. The lookup tables and
// the panel database are filled by bench/run-domains.sh itself.
//
//   domain_bench seed DOMAINS MAILNAMES_PER_DOMAIN TREE_DOMAIN...
//       the mail authentication database: domain "dom<i>.example" for i in
//       [0, DOMAINS) and "alias<i>.example" for every tenth, with users
//       "user<j>" in each; the mail handlers database: one registration per
//       domain; the mail trees of the TREE_DOMAINs with their mailboxes
//   domain_bench users DOMAIN
//       prints how many users of DOMAIN the authentication database holds
#include <sqlite3.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>

#include "mail/lib/mail_auth.h"
#include "mail/lib/mail_auth_location.h"
#include "mail/lib/mail_handlers.h"
#include "mail/maildir_manager.h"

namespace {

class Database {
  public:
    explicit Database(const char* path) {
        if (sqlite3_open(path, &db_) != SQLITE_OK) {
            throw std::runtime_error(std::string("cannot open ") + path);
        }
    }
    ~Database() { sqlite3_close(db_); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            std::string text = error != nullptr ? error : "unknown error";
            sqlite3_free(error);
            throw std::runtime_error(text + " in: " + sql.substr(0, 200));
        }
    }
    sqlite3* get() { return db_; }

  private:
    sqlite3* db_ = nullptr;
};

std::string domainName(int i) {
    return "dom" + std::to_string(i) + ".example";
}
std::string aliasName(int i) {
    return "alias" + std::to_string(i) + ".example";
}

void seedAuth(int domains, int mailnames) {
    if (mailAuthDBInitStyle(MAIL_AUTH_DB_POSTFIX_STYLE) != 0) {
        throw std::runtime_error("cannot create the mail authentication database");
    }
    Database db(mailAuthDB);
    db.exec("BEGIN");
    int id = 0;
    auto addDomain = [&](const std::string& name) {
        ++id;
        db.exec("INSERT INTO domains (id, name) VALUES (" + std::to_string(id) + ", '" + name +
                "')");
        for (int j = 0; j < mailnames; ++j) {
            db.exec("INSERT INTO users (dom_id, name, userPassword) VALUES (" + std::to_string(id) +
                    ", 'user" + std::to_string(j) + "', 'x')");
        }
    };
    for (int i = 0; i < domains; ++i) {
        addDomain(domainName(i));
        if (i % 10 == 0) {
            addDomain(aliasName(i));
        }
    }
    db.exec("COMMIT");
}

void seedHandlers(int domains) {
    Database db(MH_DB_PATH);
    db.exec(MH_DB_SCHEMA_SQL);
    db.exec("BEGIN");
    for (int i = 0; i < domains; ++i) {
        db.exec(
            "INSERT INTO handlers (queue, type, enabled, priority, name, address, executable, "
            "context) VALUES (1, 1, 1, 10, 'spam', 'user0@" +
            domainName(i) + "', '/usr/bin/h', 'ctx')");
    }
    db.exec("COMMIT");
}

void seedTree(const std::string& domain, int mailnames) {
    marun::mail::MaildirManager& dirs = marun::mail::MaildirManager::getInstance();
    dirs.createDomainRoot(domain);
    for (int j = 0; j < mailnames; ++j) {
        dirs.createMailnameHome(domain, "user" + std::to_string(j));
    }
}

int users(const std::string& domain) {
    mailAuthDBSelectStyle(MAIL_AUTH_DB_POSTFIX_STYLE);
    Database db(mailAuthDB);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db.get(),
                           "SELECT COUNT(*) FROM users u JOIN domains d ON u.dom_id = d.id "
                           "WHERE d.name = ?",
                           -1, &stmt, nullptr) != SQLITE_OK) {
        throw std::runtime_error("cannot count users");
    }
    sqlite3_bind_text(stmt, 1, domain.c_str(), -1, SQLITE_TRANSIENT);
    int count = sqlite3_step(stmt) == SQLITE_ROW ? sqlite3_column_int(stmt, 0) : -1;
    sqlite3_finalize(stmt);
    return count;
}

int usage() {
    std::fprintf(stderr,
                 "usage: domain_bench seed DOMAINS MAILNAMES_PER_DOMAIN TREE_DOMAIN...\n"
                 "       domain_bench users DOMAIN\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        return usage();
    }
    const std::string mode = argv[1];
    try {
        if (mode == "seed" && argc >= 4) {
            const int domains = std::atoi(argv[2]);
            const int mailnames = std::atoi(argv[3]);
            seedAuth(domains, mailnames);
            seedHandlers(domains);
            for (int i = 4; i < argc; ++i) {
                seedTree(argv[i], mailnames);
            }
            return 0;
        }
        if (mode == "users" && argc == 3) {
            std::printf("%d\n", users(argv[2]));
            return 0;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "domain_bench: %s\n", e.what());
        return 1;
    }
    return usage();
}
