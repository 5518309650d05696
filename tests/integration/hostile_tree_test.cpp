// Root in trees its users own. popuser (the mail tree), postfix (the table
// directory) and any local user (the lock directory) plant links, FIFOs and
// hard links at every place the commands touch; every command then runs
// against them. Nothing outside the mail tree and the table directory may
// change, no run may hang, and a refusal names what it refused. Passwords
// never reach a child's environment.
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "integration/panel_server.h"
#include "lib/lock.h"

namespace kvarn_test {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

const std::string kVictim = "/root/victim";
const std::string kSecret = kVictim + "/secret";
// Hard links need the mail tree's own file system.
const std::string kRootOnly = std::string(kMailRoot) + "/root-only";
const std::string kTables = "/var/spool/postfix/marun";
// The usage a followed link would add (a message and a quota file's count).
constexpr long long kVictimBytes = 1000000;

std::string shell(const std::string& script) {
    return runChecked({"sh", "-c", script});
}

// Every entry under `path` (or the file itself): type, mode, owner, size,
// times and each file's digest. `withCtime` false leaves out the change
// time, which a hard link's removal moves.
std::string describe(const std::string& path, bool withCtime = true) {
    return runChecked({"find", path, "-printf",
                       withCtime ? "%p %M %U:%G %s %T@ %C@\n" : "%p %M %U:%G %s %T@\n"}) +
           runChecked({"find", path, "-type", "f", "-exec", "sha256sum", "{}", "+"});
}

std::string outside() {
    return describe(kVictim) + describe(kRootOnly, false);
}

// Puts a link ('l', to `target`), a FIFO ('p') or a hard link ('h', to
// `target`) at `path` as `user`, moving what stood there aside.
void plant(const std::string& user, char kind, const std::string& path, const std::string& target) {
    std::string make = kind == 'l'   ? "ln -s '" + target + "' '" + path + "'"
                       : kind == 'p' ? "mkfifo '" + path + "'"
                                     : "ln '" + target + "' '" + path + "'";
    std::string script =
        "{ [ ! -e '" + path + "' ] || mv '" + path + "' '" + path + ".orig'; } && " + make;
    if (user == "root") {
        shell(script);
    } else {
        runChecked({"setpriv", "--reuid=" + user, "--regid=" + user, "--clear-groups", "sh", "-c",
                    script});
    }
}

class HostileTreeTest : public PanelServerTest {
  protected:
    void SetUp() override {
        PanelServerTest::SetUp();
        // The table directory as a Postfix installation may leave it.
        shell("chown postfix " + kTables);
        // Root-only things a followed link would reach, named as the commands
        // name what they touch: a home, its files, a message of kVictimBytes.
        shell("V=" + kVictim + " R=" + kRootOnly + R"( && umask 077 &&
            mkdir -p $V/info/Maildir/new $V/info/Maildir/tmp $V/info/Maildir/.Spam/cur &&
            mkdir $V/info/Maildir/cur && printf '1000000S,0C\n1000000 1\n' > $V/secret &&
            cp $V/secret $V/info/.qmail && cp $V/secret $V/info/Maildir/maildirsize &&
            cp $V/secret $R && head -c 1000000 /dev/zero > "$V/info/Maildir/cur/1.M1,S=1000000" &&
            echo attachment > /tmp/upload)");
    }

    RunResult run(const std::vector<std::string>& args, bool withPassword = false) {
        std::vector<std::string> argv = {kvarnBinary()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::map<std::string, std::string> env;
        if (withPassword) {
            env["ORU_PASSWORD"] = "pw-secret-1";
        }
        return runCommand(argv, env, "", std::chrono::seconds(10));
    }

    // A domain with the mailbox "info" (quota, delivery, password).
    void createMailbox(const std::string& domain) {
        seedMail(seedDomain(domain), "info");
        ASSERT_TRUE(run({"--add-domain", "--domain-name=" + domain}).succeeded());
        ASSERT_TRUE(run({"--add-mailname", "--domain-name=" + domain, "--mailname=info",
                         "--disk-quota=100000"})
                        .succeeded());
        ASSERT_TRUE(
            run({"--add-mailbox", "--domain-name=" + domain, "--mailname=info"}, true).succeeded());
    }

    // Every command of the mail tree and the tables, on `domain`'s "info".
    // After each: nothing outside changed, the run ended in time, a failure
    // names `planted`, and a size counted nothing behind a link.
    void runEveryCommand(const std::string& domain, const std::string& planted) {
        const std::string d = "--domain-name=" + domain;
        const std::vector<std::pair<std::vector<std::string>, bool>> commands = {
            {{"--add-mailname", d, "--mailname=info", "--disk-quota=100000"}, false},  // repeated
            {{"--get-mailbox-size", d, "--mailname=info"}, false},
            {{"--set-mailbox-disk-quota", d, "--mailname=info", "--disk-quota=5000"}, false},
            {{"--add-mailbox", d, "--mailname=info"}, true},
            {{"--set-password", d, "--mailname=info"}, true},
            {{"--remove-mailbox", d, "--mailname=info"}, false},
            {{"--set-domain-disk-quota", d, "--disk-quota=7000"}, false},
            {{"--add-redirect", d, "--mailname=info", "--redirect-email=r@remote.test"}, false},
            {{"--remove-redirect", d, "--mailname=info", "--redirect-email=r@remote.test"}, false},
            {{"--add-alias", d, "--mailname=info", "--alias=sales"}, false},
            {{"--remove-alias", d, "--mailname=info", "--alias=sales"}, false},
            {{"--add-attachment", d, "--mailname=info", "--file-name=/tmp/upload",
              "--attachment-file-name=a"},
             false},
            {{"--list-attachments", d, "--mailname=info"}, false},
            {{"--list-attachments", d, "--mail-all"}, false},
            {{"--remove-attachment", d, "--mailname=info", "--attachment-file-name=a"}, false},
            {{"--turn-off-domain", d}, false},
            {{"--turn-on-domain", d}, false},
            {{"--rename-mailname", d, "--old-mailname=info", "--new-mailname=info2"}, true},
            {{"--rename-mailname", d, "--old-mailname=info2", "--new-mailname=info"}, false},
            {{"--remove-mailname", d, "--mailname=info"}, false},
            {{"--add-mailname", d, "--mailname=info"}, false},
            {{"--remove-domain", d}, false},
            {{"--add-domain", d}, false},
        };
        const std::string before = outside();
        bool renamed = false;
        for (const auto& command : commands) {
            const std::vector<std::string>& args = command.first;
            if (args.back() == "--new-mailname=info" && !renamed) {
                continue;  // nothing to rename back
            }
            RunResult r = run(args, command.second);
            SCOPED_TRACE(planted + ": " + args[0] + " " + args.back());
            EXPECT_FALSE(r.timedOut || r.signal != 0) << r;
            if (r.exitCode != 0) {
                EXPECT_THAT(r.err, HasSubstr(planted)) << r;
            } else if (args[0] == "--get-mailbox-size") {
                EXPECT_LT(std::stoll(r.out), kVictimBytes) << r;
            }
            renamed = args.back() == "--new-mailname=info2" && r.succeeded();
            ASSERT_EQ(before, outside());
        }
    }
};

TEST_F(HostileTreeTest, PlantedLinksFifosAndHardLinksLeadNowhere) {
    struct Case {
        const char* user;
        char kind;
        const char* where;  // below the domain directory
        std::string target;
    };
    const std::vector<Case> cases = {
        {"popuser", 'l', "", kVictim},
        {"popuser", 'l', "/info", kVictim + "/info"},
        {"popuser", 'l', "/info/Maildir", kVictim + "/info/Maildir"},
        {"popuser", 'l', "/info/Maildir/cur", kVictim + "/info/Maildir/cur"},
        {"popuser", 'l', "/info/Maildir/tmp", kVictim + "/info/Maildir/tmp"},
        {"popuser", 'l', "/info/Maildir/.Spam", kVictim + "/info/Maildir/.Spam"},
        {"popuser", 'l', "/info/@attachments", kVictim},
        {"popuser", 'l', "/info/@attachments/a", kSecret},
        {"root", 'h', "/info/@attachments/a", kRootOnly},
        {"popuser", 'p', "/info/.attachment.tmp", ""},
        {"popuser", 'l', "/info/.qmail", kSecret},
        {"popuser", 'p', "/info/.qmail", ""},
        {"root", 'h', "/info/.qmail", kRootOnly},
        {"popuser", 'l', "/info/.qmail.tmp", kSecret},
        {"popuser", 'l', "/info/Maildir/maildirsize", kSecret},
        {"popuser", 'p', "/info/Maildir/maildirsize", ""},
        {"root", 'h', "/info/Maildir/maildirsize", kRootOnly},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string domain = "d" + std::to_string(++n) + ".test";
        createMailbox(domain);
        const std::string path = std::string(kMailRoot) + "/" + domain + c.where;
        plant(c.user, c.kind, path, c.target);
        runEveryCommand(domain, path);
    }
}

TEST_F(HostileTreeTest, LinksAtTableSourceNamesAreReplacedNotWrittenThrough) {
    createMailbox("t.test");
    for (const char* table :
         {"virtual", "vmailbox", "virtual_domains", "aliases", "sdd_transport_maps"}) {
        plant("postfix", 'l', kTables + "/" + table, kSecret);
    }
    runEveryCommand("t.test", kTables);
}

// The authentication database and its key lie in the table directory, which
// the postfix user may write.
TEST_F(HostileTreeTest, AuthenticationFilesAreNotReachedThroughLinksOrFifos) {
    const std::string db = kTables + "/passwd.db";
    const std::string key = kTables + "/passwd_db_key";
    shell("umask 077 && cp " + db + " " + kVictim + "/passwd.db && cp " + key + " " + kVictim +
          "/key");
    const std::vector<std::pair<char, std::string>> cases = {{'l', db}, {'l', key}, {'p', key}};
    int n = 0;
    for (const auto& c : cases) {
        const std::string domain = "a" + std::to_string(++n) + ".test";
        createMailbox(domain);
        plant("postfix", c.first, c.second, kVictim + (c.second == db ? "/passwd.db" : "/key"));
        runEveryCommand(domain, c.second);
        shell("rm -f " + c.second + " && mv " + c.second + ".orig " + c.second);
    }
}

TEST_F(HostileTreeTest, LockDirectoryOfAnotherUserIsRefusedAndAMissingOneMadeByRoot) {
    createMailbox("l.test");
    const std::string qmail = std::string(kMailRoot) + "/l.test/info/.qmail";
    shell(std::string("chown popuser ") + LOCK_FILES_DIR);
    for (const std::string& locked : {qmail, kTables + "/virtual", kTables + "/vmailbox"}) {
        std::unique_ptr<char, decltype(&free)> name(mk_flock_path(locked.c_str()), free);
        plant("popuser", 'l', name.get(), kSecret);
    }
    runEveryCommand("l.test", LOCK_FILES_DIR);

    // Emptied at boot: the next run makes it, root's and closed to others.
    while (umount2(LOCK_FILES_DIR, MNT_DETACH) == 0) {
    }
    fs::remove_all(LOCK_FILES_DIR);
    createMailbox("m.test");
    EXPECT_EQ("root:root", fileOwner(LOCK_FILES_DIR));
    EXPECT_EQ(0700u, fileMode(LOCK_FILES_DIR));
    fs::remove_all(LOCK_FILES_DIR);
    fs::create_directory(LOCK_FILES_DIR);
    ASSERT_EQ(0, mount("tmpfs", LOCK_FILES_DIR, "tmpfs", 0, "mode=0755"));  // for TearDown
}

TEST_F(HostileTreeTest, NamesThatPostmapWouldSkipAreRefusedBeforeAnyChange) {
    createMailbox("u.test");
    const std::string home = std::string(kMailRoot) + "/u.test/b\xff";
    RunResult r = run({"--add-mailname", "--domain-name=u.test", "--mailname=b\xff"});
    EXPECT_TRUE(r.exited(1)) << r;
    EXPECT_THAT(r.err, HasSubstr("not valid UTF-8"));
    EXPECT_FALSE(pathExists(home));
}

TEST_F(HostileTreeTest, NoPasswordReachesAChild) {
    createMailbox("p.test");
    const std::string trace = "/tmp/kvarn-env-trace";
    int children = 0;
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--add-mailbox", "--domain-name=p.test", "--mailname=info"},
             {"--rename-mailname", "--domain-name=p.test", "--old-mailname=info",
              "--new-mailname=sales"},
             {"--add-mailname", "--domain-name=p.test", "--mailname=info"},
             {"--remove-mailname", "--domain-name=p.test", "--mailname=sales"},
             {"--turn-off-domain", "--domain-name=p.test"},
             {"--remove-domain", "--domain-name=p.test"}}) {
        std::vector<std::string> argv = {"strace", "-f",   "-qq",        "-v",
                                         "-s",     "4096", "-e",         "trace=execve",
                                         "-o",     trace,  kvarnBinary()};
        argv.insert(argv.end(), args.begin(), args.end());
        RunResult r = runCommand(
            argv, {{"ORU_PASSWORD", "pw-plain-7"}, {"ORU_CRYPTED_PASSWORD", "pw-crypted-8"}});
        EXPECT_TRUE(r.succeeded()) << r;
        // The first execve is kvarn's own start; every later one is a child's.
        std::string calls = readFile(trace);
        size_t first = calls.find('\n');
        ASSERT_NE(std::string::npos, first);
        EXPECT_EQ(std::string::npos, calls.find("pw-", first)) << args[0];
        for (size_t at = calls.find("execve(", first); at != std::string::npos;
             at = calls.find("execve(", at + 1)) {
            ++children;
        }
    }
    EXPECT_GT(children, 5);
}

}  // namespace
}  // namespace kvarn_test
