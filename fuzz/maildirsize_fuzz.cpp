// Maildir++ usage from what a mailbox owner writes: message names carrying
// ",S=" sizes and the "maildirsize" file. A size from a name is never
// negative nor above the limit given; usage read from the file is the exact
// sum of its lines (or the file is refused); a count over any names stays
// within [0, 2^62] and counts every message.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <set>
#include <string>

#include "fuzz_support.h"
#include "lib/size_sum.h"
#include "mail/lib/maildirpp_usage.h"

namespace {

// The byte total of the lines after the header, read the plain way; false
// when a line is not two whole numbers.
bool lineSum(const std::string& content, __int128* bytes) {
    *bytes = 0;
    for (size_t pos = content.find('\n') + 1; pos < content.size();) {
        size_t end = content.find('\n', pos);
        std::string line = content.substr(pos, end - pos);
        char* rest = nullptr;
        errno = 0;
        long long first = std::strtoll(line.c_str(), &rest, 10);
        if (errno != 0 || rest == line.c_str() || line.find('\0') != std::string::npos) {
            return false;
        }
        *bytes += first;
        pos = end + 1;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string maildir = [] {
        std::string dir = kvarn_fuzz::privateDir() + "/Maildir";
        for (const char* sub : {"", "/cur", "/new", "/tmp"}) {
            mkdir((dir + sub).c_str(), 0700);
        }
        return dir;
    }();
    kvarn_fuzz::quietLogs();
    FuzzedDataProvider input(data, size);

    // Message names: a size claim is whole, not negative, within the limit.
    std::set<std::string> names;
    for (int i = input.ConsumeIntegralInRange(0, 6); i > 0; --i) {
        std::string name = input.ConsumeRandomLengthString(200);
        sizequota_t limit = input.ConsumeIntegral<sizequota_t>();
        sizequota_t claimed = -1;
        if (marun::mail::sizeFromMessageName(name.c_str(), limit, &claimed) &&
            (claimed < 0 || claimed > limit)) {
            std::abort();
        }
        if (name.find('/') == std::string::npos && name.find('\0') == std::string::npos &&
            name != "." && name != ".." && !name.empty()) {
            kvarn_fuzz::writeFile(maildir + "/cur/" + name, "x");
            names.insert(name);
        }
    }
    // The file: usage is the sum of the lines, or it is not trusted.
    std::string content = input.ConsumeRemainingBytesAsString();
    kvarn_fuzz::writeFile(maildir + "/maildirsize", content);
    sizequota_t bytes = -1, size_limit = -1;
    fcount_t messages = 0, count_limit = 0;
    if (get_maildirpp_usage_and_limits(maildir.c_str(), 1, &bytes, &messages, &size_limit,
                                       &count_limit)) {
        __int128 sum;
        if (size_limit < 0 || content.empty() || content.back() != '\n' ||
            !lineSum(content, &sum) || sum != bytes) {
            std::abort();
        }
    }
    // Counting the names.
    unlink((maildir + "/maildirsize").c_str());
    if (!get_maildirpp_usage(maildir.c_str(), &bytes, &messages) || bytes < 0 ||
        bytes > SIZE_CEILING || messages != names.size()) {
        std::abort();
    }
    for (const std::string& name : names) {
        unlink((maildir + "/cur/" + name).c_str());
    }
    return 0;
}
