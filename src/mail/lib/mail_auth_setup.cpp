// Creating the mail authentication database and its key file, their owners
// and modes, and detecting which mail server layout the host uses.
#include <fcntl.h>
#include <libgen.h>
#include <openssl/crypto.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "lib/c_handles.h"
#include "lib/log.h"
#include "lib/oru_conf.h"
#include "lib/process_engine.h"
#include "lib/sqlite_retry.h"
#include "mail/lib/mail_aes.h"
#include "mail/lib/mail_auth.h"
#include "mail/lib/mail_auth_location.h"

const char* const mailAuthDBSchema =
    "BEGIN TRANSACTION;"
    "CREATE TABLE domains (  id     INTEGER PRIMARY KEY AUTOINCREMENT, name   VARCHAR(255) "
    "UNIQUE, status INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX domains_name ON domains(name);"
    "CREATE TRIGGER fkd_users_domains_id  BEFORE DELETE ON domains  FOR EACH ROW BEGIN    "
    "DELETE FROM users WHERE dom_id = OLD.id;  END;"
    "CREATE TABLE users(  id           INTEGER PRIMARY KEY AUTOINCREMENT, dom_id       INTEGER "
    "NOT NULL, name         VARCHAR(255) NOT NULL, userPassword VARCHAR(255), "
    "cmusaslsecretPLAIN VARCHAR(255), status INT NOT NULL DEFAULT 0, UNIQUE(name, dom_id));"
    "CREATE INDEX users_name ON users(name);"
    "CREATE INDEX users_dom_id ON users(dom_id);"
    "CREATE TRIGGER fki_users_domains_id  BEFORE INSERT ON users  FOR EACH ROW BEGIN    SELECT "
    "RAISE(ROLLBACK, 'insert on table \"users\" violates foreign key constraint "
    "\"fk_domains_id\"')    WHERE (SELECT id FROM domains WHERE id = NEW.dom_id) IS NULL;  END;"
    "CREATE TRIGGER fku_users_domains_id  BEFORE UPDATE ON users  FOR EACH ROW BEGIN    SELECT "
    "RAISE(ROLLBACK, 'update on table \"users\" violates foreign key constraint "
    "\"fk_domains_id\"')    WHERE (SELECT id FROM domains WHERE id = NEW.dom_id) IS NULL;  END;"
    "COMMIT;";

namespace {

constexpr int kKeyLength = 32;

// Creates the missing directories above `path` (each new one 0755).
bool makeParentDirectories(const char* path) {
    MallocPtr<char> copy(strdup(path));
    if (!copy) {
        marun_log(2, "Memory allocation error");
        return false;
    }
    const char* parent = dirname(copy.get());
    if (parent == nullptr) {
        marun_log(2, "dirname(%s) failed: %s", path, std::strerror(errno));
        return false;
    }
    std::string dir = parent;
    for (size_t pos = 1; pos <= dir.size(); ++pos) {
        if (pos != dir.size() && dir[pos] != '/') {
            continue;
        }
        std::string prefix = dir.substr(0, pos);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
            marun_log(2, "recursive mkdir(%s) failed: %s", dir.c_str(), std::strerror(errno));
            return false;
        }
    }
    return true;
}

bool removeIfPresent(const std::string& path) {
    return unlink(path.c_str()) == 0 || errno == ENOENT;
}

// chown and chmod without following a symbolic link put in place of the item
// (the Postfix layout's directory is writable by the postfix user).
bool setAccess(const char* path, uid_t uid, gid_t gid, mode_t mode, bool directory) {
    marun::UniqueFd item(
        open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (directory ? O_DIRECTORY : 0)));
    if (!item.valid() || fchown(item.get(), uid, gid) != 0) {
        marun_log(2, "chown(\"%s\", %d, %d) failed: %s", path, static_cast<int>(uid),
                  static_cast<int>(gid), std::strerror(errno));
        return false;
    }
    if (fchmod(item.get(), mode) != 0) {
        marun_log(2, "chmod(\"%s\", %04o) failed: %s", path, static_cast<unsigned>(mode),
                  std::strerror(errno));
        return false;
    }
    return true;
}

// The value of a "$features['SMTP_Server']" line: 1 postfix, 0 qmail, -1
// anything else (logged).
int styleOfFeatureLine(const std::string& line) {
    static const char kPrefix[] = "$features['SMTP_Server']";
    const size_t prefix_length = sizeof kPrefix - 1;
    size_t open_quote = line.find_first_of("'\"", prefix_length);
    size_t close_quote =
        open_quote == std::string::npos ? open_quote : line.find_first_of("'\"", open_quote + 1);
    if (close_quote == std::string::npos) {
        marun_log(6, "Unparseable line \"%s\", skipped", line.c_str());
        return -1;
    }
    std::string value = line.substr(open_quote + 1, close_quote - open_quote - 1);
    // The value is compared over its own length, ignoring case.
    if (!value.empty() && value.size() <= 7 &&
        strncasecmp(value.c_str(), "postfix", value.size()) == 0) {
        return 1;
    }
    if (!value.empty() && value.size() <= 5 &&
        strncasecmp(value.c_str(), "qmail", value.size()) == 0) {
        return 0;
    }
    marun_log(6, "Unknown server style \"%.*s\", skipped", static_cast<int>(value.size()),
              value.c_str());
    return -1;
}

}  // namespace

int mailAuthDBInit() {
    if (!makeParentDirectories(mailAuthDB)) {
        return -1;
    }
    // A journal left beside an old file would be rolled into the new one.
    std::string db_path = mailAuthDB;
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        if (!removeIfPresent(db_path + suffix)) {
            marun_log(3, "Unable to re-create Mail Authentication Database: %s",
                      std::strerror(errno));
            return -1;
        }
    }
    SqliteDb db;
    int rc = sqliteOpen(mailAuthDB, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, db);
    if (rc == SQLITE_OK) {
        rc = sqliteRetryExec(db.get(), mailAuthDBSchema);
    }
    if (rc != SQLITE_OK) {
        if (db) {
            marun_log(3, "Unable to re-create Mail Authentication Database: %s",
                      sqlite3_errmsg(db.get()));
        } else {
            marun_log(3, "Unable to re-create Mail Authentication Database");
        }
        return -1;
    }
    return 0;
}

int mailAuthKeyInit() {
    if (!makeParentDirectories(mailAuthKey)) {
        return -1;
    }
    if (!removeIfPresent(mailAuthKey)) {
        marun_log(3, "Unable to re-create Mail Authentication Password Encryption Key: %s",
                  std::strerror(errno));
        return -1;
    }
    unsigned char key[kKeyLength];
    struct Wipe {
        unsigned char* bytes;
        ~Wipe() { OPENSSL_cleanse(bytes, kKeyLength); }
    } wipe{key};
    if (mail_aes_gen_key(key, sizeof key) != kKeyLength) {
        marun_log(2, "Unable to generate new Mail Authentication Password Encryption Key data: %s",
                  std::strerror(errno != 0 ? errno : EIO));
        return -1;
    }
    mode_t old_umask = umask(077);
    // O_EXCL: nothing may have been put at the path since it was removed.
    marun::UniqueFd file(
        open(mailAuthKey, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    int error = errno;
    umask(old_umask);
    if (!file.valid()) {
        marun_log(3, "Unable to re-create Mail Authentication Password Encryption Key: %s",
                  std::strerror(error));
        return -1;
    }
    ssize_t written = write(file.get(), key, sizeof key);
    if (written != static_cast<ssize_t>(sizeof key)) {
        marun_log(3, "Unable to re-create Mail Authentication Password Encryption Key: %s",
                  std::strerror(written < 0 ? errno : EIO));
        return -1;
    }
    return 0;
}

int mailAuthDBSetAccess(uid_t uid, gid_t gid, mode_t dbMode, uid_t dirUid, gid_t dirGid,
                        mode_t dirMode) {
    MallocPtr<char> copy(strdup(mailAuthDB));
    if (!copy) {
        marun_log(2, "Memory allocation error");
        return -1;
    }
    std::string dir = dirname(copy.get());
    if (dir.empty() || dir[0] != '/' || dir == "/") {
        marun_log(3, "Invalid mail authentication DB path %s", mailAuthDB);
        return -1;
    }
    if (!setAccess(dir.c_str(), dirUid, dirGid, dirMode, true) ||
        !setAccess(mailAuthDB, uid, gid, dbMode, false)) {
        return -1;
    }
    return 0;
}

int mailAuthKeySetAccess(uid_t uid, gid_t gid, mode_t keyMode) {
    return setAccess(mailAuthKey, uid, gid, keyMode, false) ? 0 : -1;
}

int mailAuthDBInitStyle(int style) {
    if (style != MAIL_AUTH_DB_QMAIL_STYLE && style != MAIL_AUTH_DB_POSTFIX_STYLE) {
        marun_log(3, "Invalid mail authentication DB style %d", style);
        return -1;
    }
    mailAuthDBSelectStyle(style);
    if (mailAuthDBInit() != 0 || mailAuthKeyInit() != 0) {
        return -1;
    }
    uid_t uid = 0;
    gid_t gid = 0;
    if (style == MAIL_AUTH_DB_POSTFIX_STYLE) {
        errno = 0;
        const passwd* postfix = getpwnam("postfix");
        if (postfix == nullptr) {
            marun_log(2, "Unable to get user id for \"%s\": %s", "postfix",
                      errno != 0 ? std::strerror(errno) : "no such user");
            return -1;
        }
        uid = postfix->pw_uid;
        gid = postfix->pw_gid;
        if (mailAuthDBSetAccess(uid, 0, 0460, uid, gid, 0770) != 0 ||
            mailAuthKeySetAccess(uid, 0, 0440) != 0) {
            return -1;
        }
        return 0;
    }
    if (mailAuthDBSetAccess(0, 0, 0600, 0, 0, 0750) != 0 || mailAuthKeySetAccess(0, 0, 0400) != 0) {
        return -1;
    }
    return 0;
}

int mailAuthDBDetectStyle() {
    const char* root = oruConfGetDefaultByIndex(_PRODUCT_ROOT_D_INDEX);
    std::string program = std::string(root != nullptr ? root : "") + "/admin/sbin/kvarn";
    std::string command = program + " --features";
    if (command.size() >= 4096) {
        marun_log(3, "path to kvarn is too long, check PRODUCT_ROOT_D (%s)", root);
        return -1;
    }
    // The program is started directly, without a shell, and its output read
    // through a pipe. The listing needs no password: the variables that
    // carry one are not passed on.
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "ORU_PASSWORD=", 13) != 0 &&
            std::strncmp(*entry, "ORU_CRYPTED_PASSWORD=", 21) != 0) {
            environment.push_back(*entry);
        }
    }
    environment.push_back(nullptr);
    char* const argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("--features"),
                          nullptr};
    marun::process::LaunchSpec spec;
    spec.path = argv[0];
    spec.argv = argv;
    spec.envp = environment.data();
    spec.streams[1] = marun::process::STREAM_PIPE;
    marun::process::Child child;
    marun::process::LaunchFailure failure;
    if (marun::process::launch(spec, child, failure) != 0) {
        marun_log(3, "unable to execute %s: %s", command.c_str(), std::strerror(failure.code));
        return -1;
    }
    std::string output;
    marun::process::Pump pump;
    pump.outputs.push_back({&child.streams[1], [&output](const char* data, size_t size) {
                                output.append(data, size);
                            }});
    const char* step = "";
    marun::process::pump(pump, &step);
    child.streams[1].reset();
    int status = 0;
    marun::process::waitChild(child.pid, &status, 0);
    int style = -1;
    bool found = false;
    for (size_t start = 0; !found && start < output.size();) {
        size_t end = output.find('\n', start);
        std::string text = output.substr(start, end - start);
        start = end == std::string::npos ? output.size() : end + 1;
        while (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
        if (text.compare(0, 24, "$features['SMTP_Server']") == 0) {
            style = styleOfFeatureLine(text);
            found = style >= 0;
        }
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 127 && !found) {
        marun_log(3, "unable to execute %s: %s", command.c_str(), "cannot run the program");
    }
    if (!found) {
        marun_log(6, "Unable to determine mail server type from ``kvarn --features''");
        return -1;
    }
    return style;
}
