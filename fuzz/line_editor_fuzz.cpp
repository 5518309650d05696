// The line editor against a line-by-line model: every edit of a file of any
// content either leaves it byte for byte as it was (refused: a NUL byte in
// the file, a text to add that is more than one line, a missing file for a
// rewrite) or gives exactly the model's lines, none joined, none split, and
// leaves no temporary file behind.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "fuzz_support.h"
#include "lib/file_str.h"

namespace {

std::string withNewline(const std::string& s) {
    return !s.empty() && s.back() == '\n' ? s : s + '\n';
}

std::string withoutNewline(const std::string& s) {
    return !s.empty() && s.back() == '\n' ? s.substr(0, s.size() - 1) : s;
}

bool dropped(const std::string& line, const std::string& s, file_action_t cmd, file_pos_t set) {
    if (cmd == FILE_REMOVE) {
        return line == withoutNewline(s);
    }
    size_t at = line.find(s);
    return set == FILE_BEGIN ? at == 0
           : set == FILE_END ? line.size() >= s.size() && line.rfind(s) == line.size() - s.size()
                             : at != std::string::npos;
}

// What the file must hold afterwards, or false when the edit must fail.
bool model(bool exists, const std::string& content, const std::string& s, file_action_t cmd,
           file_pos_t set, std::string* after) {
    bool oneLine =
        s.find('\0') == std::string::npos && withoutNewline(s).find('\n') == std::string::npos;
    if ((cmd == FILE_ADD && !oneLine) || (exists && content.find('\0') != std::string::npos)) {
        return false;
    }
    if (cmd == FILE_ADD && set == FILE_END) {
        bool joined = !content.empty() && content.back() != '\n';
        *after = content + (joined ? "\n" : "") + withNewline(s);
        return true;
    }
    if (!exists) {
        return false;
    }
    if (cmd == FILE_ADD) {
        *after = withNewline(s) + content;
        return true;
    }
    after->clear();
    for (size_t pos = 0; pos < content.size();) {
        size_t end = content.find('\n', pos);
        end = end == std::string::npos ? content.size() : end + 1;
        std::string line = content.substr(pos, end - pos);
        if (!dropped(withoutNewline(line), s, cmd, set)) {
            *after += line;
        }
        pos = end;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = kvarn_fuzz::privateDir() + "/.qmail";
    kvarn_fuzz::quietLogs();
    static const struct {
        file_action_t cmd;
        file_pos_t set;
    } edits[] = {{FILE_ADD, FILE_END},      {FILE_ADD, FILE_BEGIN},  {FILE_REMOVE, FILE_END},
                 {FILE_REMSUB, FILE_BEGIN}, {FILE_REMSUB, FILE_END}, {FILE_REMSUB, FILE_MID}};
    FuzzedDataProvider input(data, size);
    const auto& edit = edits[input.ConsumeIntegralInRange<size_t>(0, 5)];
    std::string s = input.ConsumeRandomLengthString(256);
    bool exists = input.ConsumeBool();
    std::string content = input.ConsumeRemainingBytesAsString();

    unlink(path.c_str());
    if (exists) {
        kvarn_fuzz::writeFile(path, content);
    } else {
        content.clear();
    }
    std::string expected;
    bool succeeds = model(exists, content, s, edit.cmd, edit.set, &expected);
    int rc = file_strings(path.c_str(), {s}, edit.cmd, edit.set);
    if (rc != (succeeds ? 0 : 1)) {
        std::abort();
    }
    bool present = access(path.c_str(), F_OK) == 0;
    std::string after = kvarn_fuzz::readFile(path);
    bool asModelled =
        succeeds ? present && after == expected : present == exists && after == content;
    if (!asModelled || access((path + ".tmp").c_str(), F_OK) == 0) {
        std::abort();
    }
    return 0;
}
