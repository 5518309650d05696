// The in-memory master.cf: lines in file order and the key index.
#include "postfix/master_cf_content.h"

#include <stdexcept>

namespace marun {
namespace mail {
namespace postfix {

bool MasterCfContent::hasModule(const std::string& name, ModuleType type) const {
    return modules_.count(ModuleKey(name, type)) != 0;
}

std::pair<ModuleInfo, std::string> MasterCfContent::getModule(const std::string& name,
                                                              ModuleType type) const {
    const ModuleKey key(name, type);
    auto found = modules_.find(key);
    if (found == modules_.end()) {
        throw std::out_of_range("no such module " + name);
    }
    return std::make_pair(found->second, *positions_.at(key));
}

void MasterCfContent::addModule(const ModuleInfo& info, const std::string& text) {
    ModuleKey key = info.key();
    auto position = positions_.find(key);
    if (position != positions_.end()) {
        *position->second = text;
    } else {
        positions_.emplace(key, lines_.insert(lines_.end(), text));
    }
    modules_.insert_or_assign(std::move(key), info);
}

bool MasterCfContent::removeModule(const std::string& name, ModuleType type) {
    auto position = positions_.find(ModuleKey(name, type));
    if (position == positions_.end()) {
        return false;
    }
    lines_.erase(position->second);
    modules_.erase(position->first);
    positions_.erase(position);
    return true;
}

std::string MasterCfContent::text() const {
    size_t size = 0;
    for (const std::string& line : lines_) {
        size += line.size() + 1;
    }
    std::string result;
    result.reserve(size);
    for (const std::string& line : lines_) {
        result += line;
        result += '\n';
    }
    return result;
}

}  // namespace postfix
}  // namespace mail
}  // namespace marun
