// libFuzzer target for the master.cf grammar. Whatever the bytes, parsing
// must not crash or read out of bounds, and a file it accepts must behave:
// written back it parses to the same entries and the same text, and
// removing every entry leaves a file of comment and blank lines only.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "postfix/master_cf_content.h"

using marun::mail::postfix::MasterCfContent;
using marun::mail::postfix::ModuleKey;

namespace {

bool parse(const std::string& text, MasterCfContent& content) {
    return parseMasterCf(text.data(), text.data() + text.size(), content);
}

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    MasterCfContent content;
    if (!parse(input, content)) {
        return 0;
    }
    const std::string text = content.text();
    check(text.size() <= input.size() + 1 || content.modules().size() > 0);

    MasterCfContent again;
    check(parse(text, again));
    check(again.text() == text);
    check(again.modules().size() == content.modules().size());

    std::vector<ModuleKey> keys;
    for (const auto& entry : again.modules()) {
        check(again.hasModule(entry.first.first, entry.first.second));
        keys.push_back(entry.first);
    }
    for (const ModuleKey& key : keys) {
        check(again.removeModule(key.first, key.second));
    }
    MasterCfContent rest;
    check(parse(again.text(), rest));
    check(rest.modules().empty());
    return 0;
}
