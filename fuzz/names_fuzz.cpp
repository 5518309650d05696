// Names as the panel may send them: whatever the command checks let through
// in its ASCII form is a single level of the mail tree without a comma, and
// the C layer's path building never yields a path that leaves the mail root
// or holds white space or control characters.
#include <cstdlib>
#include <string>

#include "commands/name_checks.h"
#include "fuzz_support.h"
#include "lib/c_handles.h"
#include "lib/idn.h"
#include "lib/oru_conf.h"
#include "mail/lib/mail_paths.h"
#include "mail/lib/mail_tree_name.h"
#include "util/idn.h"

namespace {

using namespace marun::mail::postfix::kvarn_commands;

void usable(const std::string& name) {
    if (mail_tree_name_error(name.data(), name.size()) != nullptr ||
        name.find(',') != std::string::npos) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kvarn_fuzz::quietLogs();
    const std::string given(reinterpret_cast<const char*>(data), size);
    try {
        usable(asciiDomainName(given));
    } catch (const std::exception&) {
    }
    try {
        std::string address = asciiAddress(given);
        size_t at = address.find('@');
        usable(address.substr(0, at));
        usable(address.substr(at + 1));
    } catch (const std::exception&) {
    }
    // The C layer: names come as C strings there.
    const std::string name = given.substr(0, given.find('\0'));
    char path[4096];
    if (get_dotqmail_path(path, sizeof path, "info", name.c_str()) == 0) {
        const std::string root =
            std::string(oruConfGetDefaultByIndex(_MARUN_MAILNAMES_D_INDEX)) + "/";
        const std::string built = path;
        const std::string tail = "/info/.qmail";
        if (built.compare(0, root.size(), root) != 0 || built.size() < root.size() + tail.size() ||
            built.compare(built.size() - tail.size(), tail.size(), tail) != 0) {
            std::abort();
        }
        const std::string level =
            built.substr(root.size(), built.size() - root.size() - tail.size());
        if (mail_tree_name_error(level.data(), level.size()) != nullptr) {
            std::abort();
        }
    }
    MallocPtr<char>(idn_email_toascii(name.c_str()));
    return 0;
}
