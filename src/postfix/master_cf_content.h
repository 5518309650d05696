// MasterCfContent: one parsed master.cf-format file as its logical lines in
// file order, with an index from each service key to its entry. Comment and
// blank lines are one line each; a service entry is one line holding its
// exact text, continuation lines and embedded line feeds included, so that
// writing the lines back reproduces every byte that was not changed.
#pragma once

#include <list>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>

#include "postfix/module_info.h"

namespace marun {
namespace mail {
namespace postfix {

class MasterCfContent {
  public:
    using Lines = std::list<std::string>;

    MasterCfContent() = default;
    // The positions point into this object's own lines.
    MasterCfContent(const MasterCfContent&) = delete;
    MasterCfContent& operator=(const MasterCfContent&) = delete;

    bool hasModule(const std::string& name, ModuleType type) const;
    // The entry's ModuleInfo and text; std::out_of_range "no such module
    // <name>" when absent.
    std::pair<ModuleInfo, std::string> getModule(const std::string& name, ModuleType type) const;
    // A present key keeps its place in the file and gets the new text; an
    // absent one is appended as the last line.
    void addModule(const ModuleInfo& info, const std::string& text);
    // Removes the entry's line; false when the key was absent.
    bool removeModule(const std::string& name, ModuleType type);
    // Appends a comment or blank line.
    void addLine(const std::string& line) { lines_.push_back(line); }

    const Lines& lines() const { return lines_; }
    const std::map<ModuleKey, ModuleInfo>& modules() const { return modules_; }
    // The file text: every line followed by a line feed.
    std::string text() const;

  private:
    struct KeyHash {
        size_t operator()(const ModuleKey& key) const {
            return std::hash<std::string>()(key.first) * 31 + key.second;
        }
    };

    Lines lines_;
    std::map<ModuleKey, ModuleInfo> modules_;
    // Where each entry's text is; hashed, as every change looks it up.
    std::unordered_map<ModuleKey, Lines::iterator, KeyHash> positions_;
};

// Parses master.cf-format text into `content` (which must be empty). False
// when the grammar does not accept the whole text; `content` is then
// unspecified.
bool parseMasterCf(const char* first, const char* last, MasterCfContent& content);

}  // namespace postfix
}  // namespace mail
}  // namespace marun
