// ModuleManager: adds, removes, disables and re-enables master.cf service
// entries, keeping every other byte of the file. A disabled entry is moved
// with its exact text into DISABLED_MASTER_CF, a file of the same format,
// from which enabling moves it back to the end of master.cf.
//
// Callers load, change, store, then reload or restart Postfix; nothing is
// written without storeModules. Each file is replaced whole, under the lock
// by name on its path, through a temporary file renamed over it.
#pragma once

#include <boost/logic/tribool.hpp>
#include <memory>
#include <string>
#include <utility>

#include "postfix/master_cf_content.h"
#include "postfix/module_info.h"

namespace marun {
namespace mail {
namespace postfix {

extern const char* const DISABLED_MASTER_CF;  // /var/spool/postfix/marun/master.cf.disabled

class ModuleManager {
  public:
    // master.cf in the directory that config_directory names.
    static ModuleManager& getInstance();

    ModuleManager(const std::string& masterCfPath, const std::string& disabledPath);
    ModuleManager(const ModuleManager&) = delete;
    ModuleManager& operator=(const ModuleManager&) = delete;

    // Reads master.cf and, when it exists, the disabled file; nothing when
    // already loaded and not `force`. PostfixConfigurationError "unable to
    // open <path>" or "unable to parse <path>".
    void loadModules(bool force);

    // Every operation below throws std::logic_error "modules configuration
    // isn't loaded yet" before loadModules.

    // `enabled` true: in master.cf; false: in the disabled file;
    // indeterminate: in either (master.cf first).
    bool hasModule(const std::string& name, ModuleType type, boost::logic::tribool enabled) const;
    std::pair<ModuleInfo, std::string> getModule(const std::string& name, ModuleType type,
                                                 boost::logic::tribool enabled) const;
    // Writes the entry built from `info` into one file (in place when the
    // key is there) and removes the key from the other.
    void addModule(const ModuleInfo& info, bool enabled);
    void removeModule(const std::string& name, ModuleType type);
    // Moves the entry's text to the disabled file; false when it is not in
    // master.cf.
    bool disableModule(const std::string& name, ModuleType type);
    // Moves the entry's text to the end of master.cf; true at once when it
    // is there already; std::out_of_range "no such module <name>" when it is
    // in neither file.
    bool enableModule(const std::string& name, ModuleType type);
    // Writes what changed (everything with `force`); true when master.cf
    // was written.
    bool storeModules(bool force);

    const MasterCfContent& enabledContent() const;
    const std::string& masterCfPath() const { return masterCfPath_; }

  private:
    void checkLoaded() const;
    MasterCfContent& disabledContent();

    std::string masterCfPath_;
    std::string disabledPath_;
    std::unique_ptr<MasterCfContent> enabled_;
    std::unique_ptr<MasterCfContent> disabled_;
    bool enabledChanged_ = false;
    bool disabledChanged_ = false;
};

}  // namespace postfix
}  // namespace mail
}  // namespace marun
