// Writing the SPF settings files.
#include "mail/lib/spf.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/atomic_file.h"
#include "lib/log.h"
#include "lib/tree_walk.h"
#include "lib/unique_fd.h"

namespace {

// Reports with the reading of `error` only, not an appended system error.
void report(const char* format, const char* path, int error) {
    errno = 0;
    messlog2(0, 0, format, path, walk_strerror(error));
}

bool writeSetting(const char* path, const char* value) {
    marun::UniqueFd file(walk_open_file(path, O_WRONLY | O_CREAT | O_TRUNC, 0644));
    if (!file.valid()) {
        report("Unable to open file %s for writing: %s", path, errno);
        return false;
    }
    const bool written = marun::writeAll(file.get(), value, std::strlen(value));
    const int error = errno;
    if (file.close() != 0 || !written) {
        report("Unable to close file %s: %s", path, written ? errno : error);
        return false;
    }
    return true;
}

}  // namespace

int update_spf(const char* behavior, const char* rules, const char* guess, const char* exp) {
    const struct {
        const char* value;
        const char* path;
        const char* name;
    } settings[] = {
        {behavior, "/etc/oru-spf/spfbehavior", "spf_behavior"},
        {rules, "/etc/oru-spf/spfrules", "spf_rules"},
        {guess, "/etc/oru-spf/spfguess", "spf_guess"},
        {exp, "/etc/oru-spf/spfexp", "spf_exp"},
    };
    for (const auto& setting : settings) {
        if (setting.value != nullptr && !writeSetting(setting.path, setting.value)) {
            errno = 0;
            messlog2(0, 0, "Unable to update '%s' parameter", setting.name);
            return -1;
        }
    }
    return 0;
}
