// master.cf modules: loading both files, moving entries between them, and
// writing back what changed.
//
// DISABLED_MASTER_CF lies in kvarn's table directory, which the postfix user
// may write. Both files are therefore opened without following a link at
// their last element and read only when they are regular files owned by
// root: an entry planted there by another user would otherwise reach
// master.cf, whose commands Postfix runs, when it is "enabled". They are
// replaced by a new file created exclusively (O_EXCL, no link followed)
// beside them and renamed over them relative to the opened directory.
#include "postfix/module_manager.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "lib/unique_fd.h"
#include "mail/fs_error.h"
#include "postfix/errors.h"
#include "postfix/main_cf_manager.h"
#include "util/errors.h"
#include "util/mklock.h"

namespace marun {
namespace mail {
namespace postfix {

const char* const DISABLED_MASTER_CF = "/var/spool/postfix/marun/master.cf.disabled";

namespace {

using boost::logic::indeterminate;
using boost::logic::tribool;

std::pair<std::string, std::string> splitPath(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The whole file, or PostfixConfigurationError "unable to open <path>".
std::string readConfigFile(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st;
    if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        throw PostfixConfigurationError("unable to open " + path);
    }
    if (st.st_uid != 0) {
        throw PostfixConfigurationError("unable to open " + path + ": it is not owned by root");
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t done = 0;
    for (;;) {
        if (done == text.size()) {
            text.resize(done + 4096);  // it may have grown since fstat
        }
        const ssize_t n = ::read(fd.get(), &text[done], text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw PostfixConfigurationError("unable to open " + path);
        }
        if (n == 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    text.resize(done);
    return text;
}

std::unique_ptr<MasterCfContent> loadContent(const std::string& path) {
    const std::string text = readConfigFile(path);
    auto content = std::make_unique<MasterCfContent>();
    if (!parseMasterCf(text.data(), text.data() + text.size(), *content)) {
        throw PostfixConfigurationError("unable to parse " + path);
    }
    return content;
}

// --- Whole-file replacement --------------------------------------------------
// Kept here, in one place, until the project's common safe writer takes
// over: lock by name, a new file beside the target, fsync, mode 0644,
// rename, fsync of the directory. The old file stays in place on any
// failure and the new one is removed.

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// Creates `base` followed by six random characters in `dir`; returns the
// descriptor and sets `name`.
int createTemporary(int dir, const std::string& base, std::string& name) {
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned char random[6];
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            throwSystemError("mkstemp() failed", errno);
        }
        name = base;
        for (unsigned char r : random) {
            name += letters[r % (sizeof letters - 1)];
        }
        const int fd =
            ::openat(dir, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd >= 0 || errno != EEXIST) {
            if (fd < 0) {
                throwSystemError("mkstemp() failed", errno);
            }
            return fd;
        }
    }
    throwSystemError("mkstemp() failed", EEXIST);
}

void storeMasterCf(const std::string& path, const MasterCfContent& content) {
    MKLock lock(path);
    const auto [dirPath, base] = splitPath(path);
    UniqueFd dir(::open(dirPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!dir.valid()) {
        throw FSError("open", dirPath, errno);
    }
    std::string tempName;
    UniqueFd temp(createTemporary(dir.get(), base, tempName));
    const std::string tempPath = dirPath + "/" + tempName;
    auto fail = [&](const char* operation, int code, bool bothPaths) {
        ::unlinkat(dir.get(), tempName.c_str(), 0);
        if (bothPaths) {
            throw FSError(operation, path, tempPath, code);
        }
        throw FSError(operation, tempPath, code);
    };
    if (!writeAll(temp.get(), content.text())) {
        fail("write", errno, false);
    }
    if (::fchmod(temp.get(), 0644) != 0) {
        fail("chmod", errno, false);
    }
    if (::fsync(temp.get()) != 0) {
        fail("fsync", errno, false);
    }
    if (temp.close() != 0) {
        fail("close", errno, false);
    }
    if (::renameat(dir.get(), tempName.c_str(), dir.get(), base.c_str()) != 0) {
        fail("rename", errno, true);
    }
    // The rename itself must survive a crash before the change is reported.
    if (::fsync(dir.get()) != 0) {
        throw FSError("fsync", dirPath, errno);
    }
}

}  // namespace

ModuleManager& ModuleManager::getInstance() {
    static ModuleManager instance(MainCfManager::getInstance().configDirectory() + "/master.cf",
                                  DISABLED_MASTER_CF);
    return instance;
}

ModuleManager::ModuleManager(const std::string& masterCfPath, const std::string& disabledPath)
    : masterCfPath_(masterCfPath), disabledPath_(disabledPath) {}

void ModuleManager::loadModules(bool force) {
    if (enabled_ && !force) {
        return;
    }
    auto enabled = loadContent(masterCfPath_);
    struct stat st;
    if (::lstat(disabledPath_.c_str(), &st) == 0) {
        disabled_ = loadContent(disabledPath_);
    }
    enabled_ = std::move(enabled);
    enabledChanged_ = false;
    disabledChanged_ = false;
}

void ModuleManager::checkLoaded() const {
    if (!enabled_) {
        throw std::logic_error("modules configuration isn't loaded yet");
    }
}

MasterCfContent& ModuleManager::disabledContent() {
    if (!disabled_) {
        disabled_ = std::make_unique<MasterCfContent>();
    }
    return *disabled_;
}

const MasterCfContent& ModuleManager::enabledContent() const {
    checkLoaded();
    return *enabled_;
}

bool ModuleManager::hasModule(const std::string& name, ModuleType type, tribool enabled) const {
    checkLoaded();
    const bool inEnabled = enabled_->hasModule(name, type);
    const bool inDisabled = disabled_ && disabled_->hasModule(name, type);
    if (indeterminate(enabled)) {
        return inEnabled || inDisabled;
    }
    return enabled ? inEnabled : inDisabled;
}

std::pair<ModuleInfo, std::string> ModuleManager::getModule(const std::string& name,
                                                            ModuleType type,
                                                            tribool enabled) const {
    checkLoaded();
    if (!indeterminate(enabled) && !enabled) {
        if (!disabled_) {
            throw std::out_of_range("no such module " + name);
        }
        return disabled_->getModule(name, type);
    }
    if (enabled || enabled_->hasModule(name, type) || !disabled_) {
        return enabled_->getModule(name, type);
    }
    return disabled_->getModule(name, type);
}

void ModuleManager::addModule(const ModuleInfo& info, bool enabled) {
    checkLoaded();
    const std::string text = info.entryText();
    if (enabled) {
        enabled_->addModule(info, text);
        enabledChanged_ = true;
        if (disabled_ && disabled_->removeModule(info.name, info.type)) {
            disabledChanged_ = true;
        }
    } else {
        disabledContent().addModule(info, text);
        disabledChanged_ = true;
        if (enabled_->removeModule(info.name, info.type)) {
            enabledChanged_ = true;
        }
    }
}

void ModuleManager::removeModule(const std::string& name, ModuleType type) {
    checkLoaded();
    if (enabled_->removeModule(name, type)) {
        enabledChanged_ = true;
    }
    if (disabled_ && disabled_->removeModule(name, type)) {
        disabledChanged_ = true;
    }
}

bool ModuleManager::disableModule(const std::string& name, ModuleType type) {
    checkLoaded();
    if (!enabled_->hasModule(name, type)) {
        return false;
    }
    const auto entry = enabled_->getModule(name, type);
    disabledContent().addModule(entry.first, entry.second);
    enabledChanged_ = disabledChanged_ = true;
    return enabled_->removeModule(name, type);
}

bool ModuleManager::enableModule(const std::string& name, ModuleType type) {
    checkLoaded();
    if (enabled_->hasModule(name, type)) {
        return true;
    }
    if (!disabled_ || !disabled_->hasModule(name, type)) {
        throw std::out_of_range("no such module " + name);
    }
    const auto entry = disabled_->getModule(name, type);
    enabled_->addModule(entry.first, entry.second);
    disabled_->removeModule(name, type);
    enabledChanged_ = disabledChanged_ = true;
    return true;
}

bool ModuleManager::storeModules(bool force) {
    checkLoaded();
    bool written = false;
    if (enabledChanged_ || force) {
        storeMasterCf(masterCfPath_, *enabled_);
        enabledChanged_ = false;
        written = true;
    }
    if (disabled_ && (disabledChanged_ || force)) {
        storeMasterCf(disabledPath_, *disabled_);
        disabledChanged_ = false;
    }
    return written;
}

}  // namespace postfix
}  // namespace mail
}  // namespace marun
