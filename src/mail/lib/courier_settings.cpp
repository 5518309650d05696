// Editing the Courier-IMAP daemon configuration files.
#include "mail/lib/courier_settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "lib/atomic_file.h"
#include "lib/lock.h"
#include "lib/log.h"
#include "lib/oru_conf.h"
#include "lib/tree_walk.h"
#include "lib/unique_fd.h"
#include "util/init_script.h"

namespace {

const char* const COURIER_FILES[] = {"imapd", "imapd-ssl", "pop3d", "pop3d-ssl"};
// One bit of a 32-bit mask per entry.
const int MAX_ENTRIES = 31;
const std::size_t PATH_LIMIT = 4096;

void report(const char* format, const char* path, int error) {
    errno = 0;
    messlog2(0, 0, format, path, error == 0 ? "" : walk_strerror(error));
}

// Reads the whole file open on `fd`; false with errno on a read error.
bool readAll(int fd, std::string* content) {
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0) {
            return true;
        }
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        content->append(buffer, static_cast<std::size_t>(got));
    }
}

// The file's content with the first `count` entries of `env` applied.
std::string applied(const std::string& content, const EnvChange* env, int count) {
    std::string result;
    result.reserve(content.size() + 64);
    std::uint32_t handled = 0;
    std::string::size_type begin = 0;
    while (begin < content.size()) {
        std::string::size_type end = content.find('\n', begin);
        end = end == std::string::npos ? content.size() : end + 1;
        const std::string line = content.substr(begin, end - begin);
        begin = end;
        int matched = -1;
        for (int i = 0; i < count && matched < 0; ++i) {
            const std::string var = env[i].var;
            if (line.compare(0, var.size(), var) == 0 && line.size() > var.size() &&
                line[var.size()] == '=') {
                matched = i;
            }
        }
        if (matched < 0) {
            result += line;
            continue;
        }
        const std::uint32_t bit = 1u << matched;
        if (env[matched].action == ENV_ADD && (handled & bit) == 0) {
            result += std::string(env[matched].var) + "=" +
                      (env[matched].value != nullptr ? env[matched].value : "") + "\n";
        }
        handled |= bit;
    }
    if (!result.empty() && result.back() != '\n') {
        result += '\n';
    }
    for (int i = 0; i < count; ++i) {
        if (env[i].action == ENV_ADD && (handled & (1u << i)) == 0) {
            result += std::string(env[i].var) + "=" +
                      (env[i].value != nullptr ? env[i].value : "") + "\n";
        }
    }
    return result;
}

// 0 when the file was edited or could not be opened (skipped), -1 on a
// failure that stops the whole list.
int editFile(const std::string& path, const EnvChange* env, int count) {
    LockPtr lock(mk_lock(path.c_str(), 1));
    if (!is_locked(lock.get())) {
        report("Error occurred while locking the file %s: %s\n", path.c_str(), errno);
        return -1;
    }
    std::string name;
    marun::UniqueFd dir(walk_open_parent(path.c_str(), &name));
    struct stat st;
    marun::UniqueFd in(dir.valid() ? walk_open_file_at(dir.get(), name.c_str(), O_RDONLY, 0, &st)
                                   : -1);
    if (!in.valid()) {
        report("Unable to open %s: %s\n", path.c_str(), errno);
        return 0;
    }
    std::string content;
    if (!readAll(in.get(), &content)) {
        report("Unable to write temporary file content for %s: %s\n", path.c_str(), errno);
        return -1;
    }
    const std::string changed = applied(content, env, count);
    if (changed == content) {
        return 0;
    }
    marun::AtomicFile temp;
    if (temp.create(dir.get(), name + ".tmp", dir.get(), name, 0600) != 0) {
        report("Unable to create temporary file for %s: %s\n", path.c_str(), errno);
        return -1;
    }
    // Owner and mode before the rename: the daemons that read the file keep
    // reading it.
    if (fchown(temp.fd(), st.st_uid, st.st_gid) != 0 ||
        fchmod(temp.fd(), st.st_mode & 07777) != 0 || !temp.write(changed.data(), changed.size()) ||
        temp.flush() != 0) {
        report("Unable to write temporary file content for %s: %s\n", path.c_str(), errno);
        return -1;
    }
    if (temp.commit() != 0) {
        report("Unable to move changed file to its location %s: %s\n", path.c_str(), errno);
        return -1;
    }
    return 0;
}

}  // namespace

int set_courier_params_list(const EnvChange* env) {
    int count = 0;
    while (env[count].var != nullptr && count < MAX_ENTRIES) {
        ++count;
    }
    if (env[count].var != nullptr) {
        errno = 0;
        messlog2(0, 0, "Too many variables specified, tail is ignored\n");
    }
    const std::string root = oruConfGetDefaultByIndex(_COURIER_IMAP_ROOT_D_INDEX);
    for (const char* file : COURIER_FILES) {
        const std::string path = root + "/etc/courier-imap/" + file;
        if (path.size() >= PATH_LIMIT) {
            errno = 0;
            messlog2(0, 0, "File path too long %s\n", path.c_str());
            return -1;
        }
        if (editFile(path, env, count) != 0) {
            return -1;
        }
    }
    return restart_daemon("courier-imap", "restart");
}

int set_courier_params(int relayClient, int popAuth, short poplockTime, int shortNames) {
    const std::string lockTime = std::to_string(poplockTime);
    EnvChange env[] = {
        {"RELAYCLIENT", relayClient ? ENV_ADD : ENV_DEL, ""},
        {"POPAUTH", popAuth ? ENV_ADD : ENV_DEL, "1"},
        {"SHORTNAMES", shortNames ? ENV_ADD : ENV_DEL, "1"},
        {poplockTime >= 0 ? "POPLOCK_TIME" : nullptr, poplockTime > 0 ? ENV_ADD : ENV_DEL,
         lockTime.c_str()},
        {nullptr, ENV_ADD, nullptr},
    };
    return set_courier_params_list(env);
}

int set_courier_shortnames_params(int shortNames) {
    const EnvChange env[] = {
        {"SHORTNAMES", shortNames ? ENV_ADD : ENV_DEL, "1"},
        {nullptr, ENV_ADD, nullptr},
    };
    return set_courier_params_list(env);
}
