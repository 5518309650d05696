// Benchmark driver for the mail name commands, run inside the integration
// sandbox by bench/run-mailnames.sh:
//
//   mailname_bench seed DOMAINS MAILNAMES   a server with that many domains
//       (each with one domain alias) and mail names (every tenth with a mail
//       alias): panel database, lookup tables, mail authentication database,
//       domain mail directories
//   mailname_bench measure KVARN QUERIES ROUNDS   times `kvarn --add-mailname`
//       and `kvarn --add-mailbox` for new mail names of one seeded domain
//       against the postmap runs and database queries those commands need,
//       done bare on the same tables and databases; prints the figures and
//       ratios
//   mailname_bench forwarding KVARN QUERIES ROUNDS DOMAIN   times `kvarn
//       --add-alias` for the first mail name of seeded domain number DOMAIN
//       against its bare postmap run and statements, and `kvarn
//       --add-redirect` and `kvarn --add-attachment` (no other program) for
//       a new mail name of that domain
//   mailname_bench handlers DOMAINS MAILNAMES DOMAIN COUNT   COUNT mail
//       handler registrations: one for the seeded domain number DOMAIN and
//       one for each of its mail names, the rest for mail names of other
//       domains
//   mailname_bench domain-alias KVARN QUERIES DOMAINS MAILNAMES DOMAIN ROUNDS LABEL
//       times `kvarn --add-domain-alias --set-reject` of the seeded domain
//       number DOMAIN against what it must do, done bare: one postmap run
//       adding the alias's records to "virtual", and QUERIES (mode domain-alias)
//       asking the panel for the domain's mail names and their mail aliases,
//       copying the domain's handler registrations and copying each
//       address's login into the alias domain
//
// The bare work (the baseline) of --add-mailname with a quota: postmap -r -i
// on "vmailbox" with the mailbox record and on "virtual" with the address
// records, and the program QUERIES (mailname_queries) sending the panel
// statements. Of --add-mailbox: QUERIES sending the panel statements and
// the mail authentication statements. Every program of the baseline is
// timed from its start to its end, as kvarn is. Each round runs kvarn and
// the baseline for fresh names, alternating which goes first.
#include <fcntl.h>
#include <mysql.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "lib/db_connect.h"
#include "mail/lib/mail_auth.h"
#include "mail/lib/mail_auth_location.h"
#include "mail/lib/mail_handlers.h"
#include "mail/maildir_manager.h"

extern char** environ;

namespace {

const char* const POSTMAP = "/usr/sbin/postmap";
const std::string TABLES = "/var/spool/postfix/marun/";
// The measured domain: one in the middle of the seeded ones.
const int MEASURED_DOMAIN = 5000;

using Clock = std::chrono::steady_clock;

std::string domainName(int i) {
    return "dom" + std::to_string(i) + ".bench";
}
std::string aliasName(int i) {
    return "alias" + std::to_string(i) + ".bench";
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what);
}

// Runs a program with `input` on its standard input (none: /dev/null) and
// the given extra environment; returns its exit status. `cpu`, when given,
// receives the processor time (user and system) the program used.
int run(const std::vector<std::string>& args, const std::string& input,
        const std::vector<std::string>& extraEnv = {}, double* cpu = nullptr) {
    std::vector<char*> argv;
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (char** e = environ; *e != nullptr; ++e) {
        envp.push_back(*e);
    }
    for (const std::string& e : extraEnv) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        fail("pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid;
    int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[0]);
    if (rc != 0) {
        close(fds[1]);
        fail("cannot start " + args[0]);
    }
    size_t done = 0;
    while (done < input.size()) {
        ssize_t n = write(fds[1], input.data() + done, input.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    close(fds[1]);
    int status;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid) {
        fail("wait4");
    }
    if (cpu != nullptr) {
        *cpu = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void checkedRun(const std::vector<std::string>& args, const std::string& input,
                const std::vector<std::string>& extraEnv = {}, double* cpu = nullptr) {
    int status = run(args, input, extraEnv, cpu);
    if (status != 0) {
        fail(args[0] + " " + (args.size() > 1 ? args[1] : "") + " exited with " +
             std::to_string(status));
    }
}

MYSQL* panel() {
    MYSQL* my = db_connect();
    if (my == nullptr) {
        fail("cannot connect to the panel database");
    }
    return my;
}

void exec(MYSQL* my, const std::string& sql) {
    if (mysql_real_query(my, sql.data(), sql.size()) != 0) {
        fail(std::string("panel query failed: ") + mysql_error(my));
    }
    if (MYSQL_RES* result = mysql_store_result(my)) {
        mysql_free_result(result);
    }
}

// Multi-row INSERTs of at most 2000 rows each.
class BulkInsert {
  public:
    BulkInsert(MYSQL* my, std::string head) : my_(my), head_(std::move(head)) {}
    ~BulkInsert() noexcept(false) { flush(); }
    void add(const std::string& row) {
        sql_ += (rows_ == 0 ? head_ + " VALUES " : ",") + row;
        if (++rows_ == 2000) {
            flush();
        }
    }
    void flush() {
        if (rows_ > 0) {
            exec(my_, sql_);
        }
        sql_.clear();
        rows_ = 0;
    }

  private:
    MYSQL* my_;
    std::string head_;
    std::string sql_;
    int rows_ = 0;
};

void sqlite(sqlite3* db, const std::string& sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
        std::string text = error != nullptr ? error : "?";
        sqlite3_free(error);
        fail("sqlite: " + text);
    }
}

// A table built from its text source by one postmap run.
class TableSource {
  public:
    explicit TableSource(const std::string& name) : path_(TABLES + name), out_(path_) {}
    void add(const std::string& key, const std::string& value) {
        out_ << key << ' ' << value << '\n';
    }
    void build() {
        out_.close();
        checkedRun({POSTMAP, "hash:" + path_}, "");
        std::remove(path_.c_str());
    }

  private:
    std::string path_;
    std::ofstream out_;
};

const char* const STANDARD_NAMES[] = {"postmaster", "mailer-daemon", "root",
                                      "anonymous",  "drweb",         "kluser"};

void seed(int domains, int mailnames) {
    MYSQL* my = panel();
    // The panel's tables, with the indexes of a production schema.
    for (const char* table : {"domains", "domainaliases", "mail", "mail_aliases", "Limits"}) {
        exec(my, std::string("DROP TABLE IF EXISTS ") + table);
    }
    exec(my,
         "CREATE TABLE domains (id INT PRIMARY KEY, name VARCHAR(255) UNIQUE, webspace_id INT "
         "DEFAULT 0, limits_id INT NULL)");
    exec(my,
         "CREATE TABLE domainaliases (id INT PRIMARY KEY AUTO_INCREMENT, name VARCHAR(255) "
         "UNIQUE, dom_id INT, KEY (dom_id))");
    exec(my,
         "CREATE TABLE mail (id INT PRIMARY KEY, mail_name VARCHAR(255), dom_id INT, mbox_quota "
         "BIGINT DEFAULT -1, UNIQUE KEY (dom_id, mail_name))");
    exec(my,
         "CREATE TABLE mail_aliases (id INT PRIMARY KEY AUTO_INCREMENT, alias VARCHAR(255), "
         "mn_id INT, KEY (mn_id))");
    exec(my, "CREATE TABLE Limits (id INT, limit_name VARCHAR(255), value VARCHAR(255), KEY (id))");

    TableSource virtualDomains("virtual_domains");
    TableSource virtualTable("virtual");
    TableSource vmailbox("vmailbox");
    {
        BulkInsert domainRows(my, "INSERT INTO domains (id, name)");
        BulkInsert aliasRows(my, "INSERT INTO domainaliases (name, dom_id)");
        for (int d = 0; d < domains; ++d) {
            const std::string domain = domainName(d);
            const std::string alias = aliasName(d);
            domainRows.add("(" + std::to_string(d + 1) + ",'" + domain + "')");
            aliasRows.add("('" + alias + "'," + std::to_string(d + 1) + ")");
            virtualDomains.add(domain, domain + "/");
            virtualTable.add(alias, "1");
            for (const char* name : STANDARD_NAMES) {
                virtualTable.add(std::string(name) + "@" + domain,
                                 std::string(name) + "@localhost.localdomain");
                virtualTable.add(std::string(name) + "@" + alias,
                                 std::string(name) + "@localhost.localdomain");
            }
        }
    }

    // The mail authentication database holds every mailbox under its domain
    // and the domain alias, and every mail alias likewise.
    mailAuthDBSelectStyle(MAIL_AUTH_DB_POSTFIX_STYLE);
    if (mailAuthDBInitStyle(MAIL_AUTH_DB_POSTFIX_STYLE) != 0) {
        fail("cannot create the mail authentication database");
    }
    sqlite3* auth = nullptr;
    if (sqlite3_open(mailAuthDB, &auth) != SQLITE_OK) {
        fail("cannot open the mail authentication database");
    }
    sqlite(auth, "BEGIN");
    for (int d = 0; d < domains; ++d) {
        sqlite(auth, "INSERT INTO domains (id, name) VALUES (" + std::to_string(2 * d + 1) + ",'" +
                         domainName(d) + "'),(" + std::to_string(2 * d + 2) + ",'" + aliasName(d) +
                         "')");
    }
    {
        BulkInsert mailRows(my, "INSERT INTO mail (id, mail_name, dom_id)");
        BulkInsert mailAliasRows(my, "INSERT INTO mail_aliases (alias, mn_id)");
        sqlite3_stmt* user = nullptr;
        sqlite3_prepare_v2(auth,
                           "INSERT INTO users (name, userPassword, dom_id) VALUES (?, "
                           "'$AES-256-CBC:PKCS$c2VlZGVk', ?)",
                           -1, &user, nullptr);
        auto authUser = [&](const std::string& name, int authDomain) {
            sqlite3_bind_text(user, 1, name.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int(user, 2, authDomain);
            if (sqlite3_step(user) != SQLITE_DONE) {
                fail("sqlite user insert");
            }
            sqlite3_reset(user);
        };
        for (int m = 0; m < mailnames; ++m) {
            const int d = m % domains;
            const std::string domain = domainName(d);
            const std::string alias = aliasName(d);
            const std::string name = "user" + std::to_string(m);
            const std::string own = name + "@" + domain;
            mailRows.add("(" + std::to_string(m + 1) + ",'" + name + "'," + std::to_string(d + 1) +
                         ")");
            vmailbox.add(own, domain + "/" + name + "/Maildir/");
            virtualTable.add(own, own);
            virtualTable.add(name + "@" + alias, own);
            authUser(name, 2 * d + 1);
            authUser(name, 2 * d + 2);
            if (m % 10 == 0) {
                const std::string mailAlias = "alias-" + name;
                mailAliasRows.add("('" + mailAlias + "'," + std::to_string(m + 1) + ")");
                virtualTable.add(mailAlias + "@" + domain, own);
                virtualTable.add(mailAlias + "@" + alias, own);
                authUser(mailAlias, 2 * d + 1);
                authUser(mailAlias, 2 * d + 2);
            }
        }
        sqlite3_finalize(user);
    }
    sqlite(auth, "COMMIT");
    sqlite3_close(auth);
    mysql_close(my);

    // The mail handlers database, with a handler for the first mail name of
    // each domain.
    std::remove(MH_DB_PATH);
    sqlite3* handlers = nullptr;
    if (sqlite3_open(MH_DB_PATH, &handlers) != SQLITE_OK) {
        fail("cannot create the mail handlers database");
    }
    sqlite(handlers, MH_DB_SCHEMA_SQL);
    sqlite(handlers, "BEGIN");
    for (int d = 0; d < domains && d < mailnames; ++d) {
        sqlite(handlers, "INSERT INTO handlers VALUES (1, 1, 1, 10, 'spam', 'user" +
                             std::to_string(d) + "@" + domainName(d) + "', '/usr/bin/h', 'ctx')");
    }
    sqlite(handlers, "COMMIT");
    sqlite3_close(handlers);

    virtualDomains.build();
    virtualTable.build();
    vmailbox.build();

    marun::mail::MaildirManager& maildirs = marun::mail::MaildirManager::getInstance();
    for (int d = 0; d < domains; ++d) {
        maildirs.createDomainRoot(domainName(d));
    }
}

double since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double baselineAddMailname(const std::string& queries, const std::string& domain,
                           const std::string& alias, const std::string& name) {
    const std::string own = name + "@" + domain;
    auto start = Clock::now();
    checkedRun({POSTMAP, "-r", "-i", "hash:" + TABLES + "vmailbox"},
               own + " " + domain + "/" + name + "/Maildir/\n");
    checkedRun({POSTMAP, "-r", "-i", "hash:" + TABLES + "virtual"},
               own + " " + own + "\n" + name + "@" + alias + " " + own + "\n");
    checkedRun({queries, "aliases", domain}, "");
    return since(start);
}

double baselineAddMailbox(const std::string& queries, const std::string& domain,
                          const std::string& alias, const std::string& name) {
    auto start = Clock::now();
    checkedRun({queries, "mailbox", domain, alias, name}, "");
    return since(start);
}

double baselineAddAlias(const std::string& queries, const std::string& domain,
                        const std::string& alias, const std::string& name,
                        const std::string& mailAlias) {
    const std::string own = name + "@" + domain;
    auto start = Clock::now();
    checkedRun(
        {POSTMAP, "-r", "-i", "hash:" + TABLES + "virtual"},
        mailAlias + "@" + domain + " " + own + "\n" + mailAlias + "@" + alias + " " + own + "\n");
    checkedRun({queries, "alias", domain, name, mailAlias}, "");
    return since(start);
}

// The wall time of a kvarn run; `cpu`, when given, receives its processor
// time.
double timeKvarn(const std::string& kvarn, const std::vector<std::string>& args,
                 const std::vector<std::string>& env = {}, double* cpu = nullptr) {
    std::vector<std::string> argv = {kvarn};
    argv.insert(argv.end(), args.begin(), args.end());
    auto start = Clock::now();
    checkedRun(argv, "", env, cpu);
    return since(start);
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Series {
    const char* name;
    std::vector<double> kvarn;
    std::vector<double> baseline;
    std::vector<double> ratios;

    void add(double k, double b) {
        kvarn.push_back(k);
        baseline.push_back(b);
        ratios.push_back(k / b);
    }
    // The median of the rounds' ratios.
    double ratio() const { return median(ratios); }
    void print() const {
        std::printf(
            "%s: kvarn median %.2f ms (min %.2f), baseline median %.2f ms (min %.2f), "
            "ratio of medians %.3f, median of round ratios %.3f\n",
            name, median(kvarn) * 1e3, *std::min_element(kvarn.begin(), kvarn.end()) * 1e3,
            median(baseline) * 1e3, *std::min_element(baseline.begin(), baseline.end()) * 1e3,
            median(kvarn) / median(baseline), ratio());
    }
};

int measure(const std::string& kvarn, const std::string& queries, int rounds) {
    mailAuthDBSelectStyle(MAIL_AUTH_DB_POSTFIX_STYLE);
    const std::string domain = domainName(MEASURED_DOMAIN);
    const std::string alias = aliasName(MEASURED_DOMAIN);
    Series addMailname{"--add-mailname", {}, {}, {}};
    Series addMailbox{"--add-mailbox", {}, {}, {}};
    // One warm-up round that is not counted.
    for (int round = -1; round < rounds; ++round) {
        const std::string ours = "new" + std::to_string(round + 1);
        const std::string bare = "bare" + std::to_string(round + 1);
        const std::vector<std::string> mailname = {"--add-mailname", "--domain-name=" + domain,
                                                   "--mailname=" + ours, "--disk-quota=10485760"};
        const std::vector<std::string> mailbox = {"--add-mailbox", "--domain-name=" + domain,
                                                  "--mailname=" + ours};
        const std::vector<std::string> password = {"ORU_PASSWORD=bench-password"};
        double k1, b1, k2, b2;
        if (round % 2 == 0) {
            k1 = timeKvarn(kvarn, mailname);
            b1 = baselineAddMailname(queries, domain, alias, bare);
            k2 = timeKvarn(kvarn, mailbox, password);
            b2 = baselineAddMailbox(queries, domain, alias, bare);
        } else {
            b1 = baselineAddMailname(queries, domain, alias, bare);
            k1 = timeKvarn(kvarn, mailname);
            b2 = baselineAddMailbox(queries, domain, alias, bare);
            k2 = timeKvarn(kvarn, mailbox, password);
        }
        if (round >= 0) {
            addMailname.add(k1, b1);
            addMailbox.add(k2, b2);
        }
    }
    addMailname.print();
    addMailbox.print();
    std::printf("RATIO --add-mailname %.3f\nRATIO --add-mailbox %.3f\n", addMailname.ratio(),
                addMailbox.ratio());
    return addMailname.ratio() <= 1.25 && addMailbox.ratio() <= 1.25 ? 0 : 1;
}

int measureForwarding(const std::string& kvarn, const std::string& queries, int rounds, int d) {
    mailAuthDBSelectStyle(MAIL_AUTH_DB_POSTFIX_STYLE);
    const std::string domain = "--domain-name=" + domainName(d);
    const std::string source = "user" + std::to_string(d);
    const std::string upload = "/tmp/bench-upload";
    std::ofstream(upload) << std::string(20000, 'a');
    checkedRun({kvarn, "--add-mailname", domain, "--mailname=box"}, "");
    Series addAlias{"--add-alias", {}, {}, {}};
    // Wall and processor times of the two commands.
    std::vector<double> redirect, redirectCpu;
    std::vector<double> attachment, attachmentCpu;
    // One warm-up round that is not counted.
    for (int round = -1; round < rounds; ++round) {
        const std::string n = std::to_string(round + 1);
        const std::vector<std::string> alias = {"--add-alias", domain, "--mailname=" + source,
                                                "--alias=al" + n};
        double k, b;
        if (round % 2 == 0) {
            k = timeKvarn(kvarn, alias);
            b = baselineAddAlias(queries, domainName(d), aliasName(d), source, "bare" + n);
        } else {
            b = baselineAddAlias(queries, domainName(d), aliasName(d), source, "bare" + n);
            k = timeKvarn(kvarn, alias);
        }
        double rc, ac;
        double r = timeKvarn(kvarn,
                             {"--add-redirect", domain, "--mailname=box",
                              "--redirect-email=r" + n + "@remote.bench"},
                             {}, &rc);
        double a = timeKvarn(kvarn,
                             {"--add-attachment", domain, "--mailname=box", "--file-name=" + upload,
                              "--attachment-file-name=a" + n},
                             {}, &ac);
        if (round >= 0) {
            addAlias.add(k, b);
            redirect.push_back(r);
            attachment.push_back(a);
            redirectCpu.push_back(rc);
            attachmentCpu.push_back(ac);
        }
    }
    addAlias.print();
    const double r = median(redirect) * 1e3;
    const double a = median(attachment) * 1e3;
    std::printf("--add-redirect: median %.2f ms (min %.2f), processor time median %.2f ms\n", r,
                *std::min_element(redirect.begin(), redirect.end()) * 1e3,
                median(redirectCpu) * 1e3);
    std::printf(
        "--add-attachment (20,000 bytes): median %.2f ms (min %.2f), processor time median "
        "%.2f ms\n",
        a, *std::min_element(attachment.begin(), attachment.end()) * 1e3,
        median(attachmentCpu) * 1e3);
    std::printf("RATIO --add-alias %.3f\nMS --add-redirect %.2f\nMS --add-attachment %.2f\n",
                addAlias.ratio(), r, a);
    return addAlias.ratio() <= 1.25 && r < 5 && a < 5 ? 0 : 1;
}

// The mail names the seed gives domain number `d`, and whether each has a
// mail alias ("alias-" + name).
std::vector<int> seededMailnames(int domains, int mailnames, int d) {
    std::vector<int> names;
    for (int m = d; m < mailnames; m += domains) {
        names.push_back(m);
    }
    return names;
}

void seedHandlers(int domains, int mailnames, int measured, int count) {
    sqlite3* db = nullptr;
    if (sqlite3_open(MH_DB_PATH, &db) != SQLITE_OK) {
        fail("cannot create the handlers database");
    }
    sqlite(db, "DROP TABLE IF EXISTS handlers");
    sqlite(db, MH_DB_SCHEMA_SQL);
    sqlite(db, "BEGIN");
    auto add = [&](const std::string& address, int i) {
        sqlite(db,
               "INSERT INTO handlers (queue, type, enabled, priority, name, address, executable, "
               "context) VALUES (" +
                   std::to_string(1 + i % 3) + ", 1, " + std::to_string(i % 7 != 0) + ", " +
                   std::to_string(i % 100) + ", 'h" + std::to_string(i) + "', '" + address +
                   "', '/usr/local/bin/filter', 'none')");
    };
    int added = 0;
    add(domainName(measured), added++);
    for (int m : seededMailnames(domains, mailnames, measured)) {
        add("user" + std::to_string(m) + "@" + domainName(measured), added++);
    }
    for (int m = 0; added < count && m < mailnames; m += 7) {
        if (m % domains != measured) {
            add("user" + std::to_string(m) + "@" + domainName(m % domains), added++);
        }
    }
    sqlite(db, "COMMIT");
    sqlite3_close(db);
}

double baselineAddDomainAlias(const std::string& queries, const std::string& records,
                              const std::string& domain, const std::string& alias) {
    auto start = Clock::now();
    checkedRun({POSTMAP, "-r", "-i", "hash:" + TABLES + "virtual"}, records);
    checkedRun({queries, "domain-alias", domain, alias}, "");
    return since(start);
}

int measureAlias(const std::string& kvarn, const std::string& queries, int domains, int mailnames,
                 int measured, int rounds, const char* label) {
    mailAuthDBSelectStyle(MAIL_AUTH_DB_POSTFIX_STYLE);
    const std::string domain = domainName(measured);
    const std::string name = std::string("--add-domain-alias, ") + label + " server";
    Series series{name.c_str(), {}, {}, {}};
    for (int round = -1; round < rounds; ++round) {
        const std::string ours = "ours" + std::to_string(round + 1) + ".alias";
        const std::string bare = "bare" + std::to_string(round + 1) + ".alias";
        std::string records;
        for (const char* name : STANDARD_NAMES) {
            records += std::string(name) + "@" + bare + " " + name + "@localhost.localdomain\n";
        }
        records += bare + " 1\n";
        for (int m : seededMailnames(domains, mailnames, measured)) {
            const std::string name = "user" + std::to_string(m);
            if (m % 10 == 0) {
                records += "alias-" + name + "@" + bare + " " + name + "@" + domain + "\n";
            }
            records += name + "@" + bare + " " + name + "@" + domain + "\n";
        }
        const std::vector<std::string> args = {"--add-domain-alias", "--domain-name=" + domain,
                                               "--domain-alias-name=" + ours, "--set-reject"};
        double k, b;
        if (round % 2 == 0) {
            k = timeKvarn(kvarn, args);
            b = baselineAddDomainAlias(queries, records, domain, bare);
        } else {
            b = baselineAddDomainAlias(queries, records, domain, bare);
            k = timeKvarn(kvarn, args);
        }
        if (round >= 0) {
            series.add(k, b);
        }
    }
    series.print();
    std::printf("RATIO --add-domain-alias/%s %.3f\n", label, series.ratio());
    return series.ratio() <= 1.25 ? 0 : 1;
}

int usage() {
    std::fprintf(stderr,
                 "usage: mailname_bench seed DOMAINS MAILNAMES\n"
                 "       mailname_bench measure KVARN QUERIES ROUNDS\n"
                 "       mailname_bench forwarding KVARN QUERIES ROUNDS DOMAIN\n"
                 "       mailname_bench handlers DOMAINS MAILNAMES DOMAIN COUNT\n"
                 "       mailname_bench domain-alias KVARN QUERIES DOMAINS MAILNAMES DOMAIN ROUNDS "
                 "LABEL\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        return usage();
    }
    const std::string mode = argv[1];
    try {
        if (mode == "seed" && argc == 4) {
            seed(std::atoi(argv[2]), std::atoi(argv[3]));
            return 0;
        }
        if (mode == "measure" && argc == 5) {
            return measure(argv[2], argv[3], std::atoi(argv[4]));
        }
        if (mode == "forwarding" && argc == 6) {
            return measureForwarding(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
        }
        if (mode == "handlers" && argc == 6) {
            seedHandlers(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]),
                         std::atoi(argv[5]));
            return 0;
        }
        if (mode == "domain-alias" && argc == 9) {
            return measureAlias(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]),
                                std::atoi(argv[6]), std::atoi(argv[7]), argv[8]);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mailname_bench: %s\n", e.what());
        return 1;
    }
    return usage();
}
