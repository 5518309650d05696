// master.cf modules: loading both files, moving entries between them, and
// writing back what changed.
//
// DISABLED_MASTER_CF lies in kvarn's table directory, which the postfix user
// may write. Both files are therefore opened without following a link at
// their last element and read only when they are regular files owned by
// root: an entry planted there by another user would otherwise reach
// master.cf, whose commands Postfix runs, when it is "enabled". They are
// replaced whole through the safe writer (a fresh file beside them, renamed
// over them).
#include "postfix/module_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "lib/atomic_file.h"
#include "lib/tree_walk.h"
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

// The whole file, or PostfixConfigurationError "unable to open <path>".
std::string readConfigFile(const std::string& path) {
    struct stat st;
    UniqueFd fd(walk_open_file(path.c_str(), O_RDONLY, 0, &st));
    if (!fd.valid()) {
        throw PostfixConfigurationError("unable to open " + path + ": " + walk_strerror(errno));
    }
    if (st.st_uid != 0) {
        throw PostfixConfigurationError("unable to open " + path + ": it is not owned by root");
    }
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            throw PostfixConfigurationError("unable to open " + path);
        }
        if (n == 0) {
            return text;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
}

std::unique_ptr<MasterCfContent> loadContent(const std::string& path) {
    const std::string text = readConfigFile(path);
    auto content = std::make_unique<MasterCfContent>();
    if (!parseMasterCf(text.data(), text.data() + text.size(), *content)) {
        throw PostfixConfigurationError("unable to parse " + path);
    }
    return content;
}

// Replaces the file whole under its lock by name: a new file beside it,
// mode 0644, synced and renamed over it. The old file stays on any failure.
void storeMasterCf(const std::string& path, const MasterCfContent& content) {
    MKLock lock(path);
    AtomicFile file;
    if (file.createBeside(path.c_str(), ".XXXXXX", 0600) != 0) {
        throw FSError("open", path + ".XXXXXX", errno);
    }
    const std::string& text = content.text();
    if (!file.write(text.data(), text.size()) || ::fchmod(file.fd(), 0644) != 0) {
        throw FSError("write", file.tempName(), errno);
    }
    if (file.commit() != 0) {
        throw FSError("rename", file.tempName(), path, errno);
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
