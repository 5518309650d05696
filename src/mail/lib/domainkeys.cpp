// DomainKeys key files: installing, copying and removing the per-domain key
// directories under DOMAINKEYS_ROOT.
#include "mail/lib/domainkeys.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/copy_file.h"
#include "lib/log.h"
#include "lib/tree_walk.h"
#include "lib/unique_fd.h"

namespace {

constexpr size_t kPathMax = 4096;
const char* const KEY_FILE = "default";

// messlog2 without the system error of an earlier call appended.
template <class... Args>
void report(const char* format, Args... args) {
    errno = 0;
    messlog2(0, 0, format, args...);
}

// The items of a comma-separated list, empty ones skipped.
std::vector<std::string> splitList(const char* list) {
    std::vector<std::string> items;
    std::string item;
    for (const char* c = list;; ++c) {
        if (*c == ',' || *c == '\0') {
            if (!item.empty()) {
                items.push_back(item);
            }
            item.clear();
            if (*c == '\0') {
                return items;
            }
        } else {
            item += *c;
        }
    }
}

// The list's items in lower case, or false after a message when one of them
// could name something other than a key directory below the root: "/" in
// it would reach another directory, "." and ".." the root or its parent.
bool keyDirectoryNames(const char* list, std::vector<std::string>& names) {
    names = splitList(list);
    for (std::string& name : names) {
        if (name == "." || name == ".." || name.find('/') != std::string::npos) {
            report("Domain name '%s' cannot name a DomainKeys directory", name.c_str());
            return false;
        }
        for (char& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return true;
}

// DOMAINKEYS_ROOT + "/" + name, or false after a message when that does
// not fit a path buffer.
bool keyDirectory(const std::string& name, std::string& path) {
    path = std::string(DOMAINKEYS_ROOT) + "/" + name;
    if (path.size() >= kPathMax) {
        report("Domain name '%s' is too long to be stored in %s", name.c_str(), DOMAINKEYS_ROOT);
        return false;
    }
    return true;
}

bool keyFile(const std::string& name, std::string& path) {
    path = std::string(DOMAINKEYS_ROOT) + "/" + name + "/" + KEY_FILE;
    if (path.size() >= kPathMax) {
        report("File name '%s' is too long to be stored in %s/%s", KEY_FILE, DOMAINKEYS_ROOT,
               name.c_str());
        return false;
    }
    return true;
}

// The primary group of popuser, who reads the keys; 0 when there is none.
gid_t keyGroup() {
    const struct passwd* entry = getpwnam("popuser");
    return entry != nullptr ? entry->pw_gid : 0;
}

// The domain's key directory, made with its parents, root's and 0755.
bool makeKeyDirectory(const std::string& path) {
    marun::UniqueFd dir(walk_make_dirs(path.c_str(), 0755));
    if (!dir.valid() || fchown(dir.get(), 0, 0) != 0 || fchmod(dir.get(), 0755) != 0) {
        const int error = errno;
        report("Unable to create directory %s: %s", path.c_str(), walk_strerror(error));
        return false;
    }
    return true;
}

// Runs `step` (name, directory path) for each domain of the list, every one
// of them: 0 when all succeeded, else -1. A refused list is -1 at once.
template <class Step>
int forEachKeyDirectory(const char* domains, Step step) {
    std::vector<std::string> names;
    if (!keyDirectoryNames(domains, names)) {
        return -1;
    }
    int result = 0;
    for (const std::string& name : names) {
        std::string dir;
        if (!keyDirectory(name, dir) || !step(name, dir)) {
            result = -1;
        }
    }
    return result;
}

}  // namespace

char* get_domainkeys_file(const char* domain) {
    if (domain == nullptr) {
        return nullptr;
    }
    std::vector<std::string> names;
    std::string path;
    if (!keyDirectoryNames(domain, names) || names.size() != 1 || !keyFile(names[0], path)) {
        return nullptr;
    }
    return strdup(path.c_str());
}

int domainkeys_enabled(const char* domain) {
    char* path = get_domainkeys_file(domain);
    if (path == nullptr) {
        return 0;
    }
    std::string name;
    marun::UniqueFd dir(walk_open_parent(path, &name));
    std::free(path);
    struct stat st;
    return dir.valid() && fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                   S_ISREG(st.st_mode)
               ? 1
               : 0;
}

int set_domain_key(const char* domains, const char* file) {
    // Examined the way the copy will open it: only a regular file reached
    // without following a link that another user could have planted.
    struct stat st;
    marun::UniqueFd source(walk_open_file(file, O_RDONLY, 0, &st));
    if (!source.valid()) {
        const int error = errno;
        report("No source file '%s': %s", file, walk_strerror(error));
        return -1;
    }
    source.reset();
    const gid_t group = keyGroup();
    return forEachKeyDirectory(domains, [&](const std::string& name, const std::string& dir) {
        std::string key;
        if (!makeKeyDirectory(dir) || !keyFile(name, key)) {
            return false;
        }
        copy_file_atomic(file, key.c_str(), 0, group, 0440);
        return true;
    });
}

int clone_domain_key(const char* source, const char* destination) {
    if (domainkeys_enabled(source) == 0) {
        return 0;
    }
    char* key = get_domainkeys_file(source);
    if (key == nullptr) {
        report("Cannot get domainkeys key file for %s", source);
        return -1;
    }
    const int result = set_domain_key(destination, key);
    std::free(key);
    return result;
}

int remove_domain_key(const char* domains) {
    return forEachKeyDirectory(domains, [](const std::string&, const std::string& dir) {
        if (walk_remove_tree(dir.c_str()) != 0) {
            const int error = errno;
            report("Unable to remove %s: %s", dir.c_str(), walk_strerror(error));
            return false;
        }
        return true;
    });
}
