// Measuring a Maildir: message sizes from names (",S=") so that a large
// Maildir costs one directory read rather than a stat per message, the
// "maildirsize" reader with its fall-back to counting, and the quota test.
// Everything is reached through the no-follow walker, relative to the
// Maildir's descriptor: a folder replaced by a link counts as missing, and
// a "maildirsize" that is not a regular file as one that cannot be opened.
#include "mail/lib/maildirpp_usage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <string>

#include "lib/log.h"
#include "lib/size_sum.h"
#include "lib/tree_walk.h"
#include "lib/unique_fd.h"

namespace marun {
namespace mail {

namespace {

constexpr std::size_t MAILDIRSIZE_BUFFER = 5120;

bool later(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// Digits at `p` (at least one) into `value`; false on overflow.
bool parseDigits(const char*& p, unsigned long long limit, unsigned long long* value) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) {
        return false;
    }
    unsigned long long result = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        unsigned digit = static_cast<unsigned>(*p - '0');
        if (result > (limit - digit) / 10) {
            return false;
        }
        result = result * 10 + digit;
    }
    *value = result;
    return true;
}

void skipSpace(const char*& p) {
    while (*p != '\0' && std::isspace(static_cast<unsigned char>(*p))) {
        ++p;
    }
}

// Optional white space, optional sign, digits.
bool parseSigned(const char*& p, long long* value) {
    skipSpace(p);
    bool negative = false;
    if (*p == '-' || *p == '+') {
        negative = *p == '-';
        ++p;
    }
    unsigned long long magnitude;
    unsigned long long limit =
        negative ? static_cast<unsigned long long>(LLONG_MAX) + 1 : LLONG_MAX;
    if (!parseDigits(p, limit, &magnitude)) {
        return false;
    }
    *value =
        negative ? static_cast<long long>(0ULL - magnitude) : static_cast<long long>(magnitude);
    return true;
}

bool parseUnsigned(const char*& p, unsigned long long* value) {
    skipSpace(p);
    if (*p == '+') {
        ++p;
    }
    return parseDigits(p, ULLONG_MAX, value);
}

bool isDirectoryEntry(int dir_fd, const struct dirent& entry) {
    if (entry.d_type == DT_DIR) {
        return true;
    }
    if (entry.d_type != DT_UNKNOWN) {
        return false;
    }
    // Some file systems do not report entry types.
    struct stat st;
    return fstatat(dir_fd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

struct Totals {
    // The largest size a message name may claim: what the Maildir's file
    // system can hold at all. A larger claim is a malformed name.
    sizequota_t message_max = SIZE_CEILING;
    sizequota_t bytes = 0;
    fcount_t messages = 0;
    struct timespec newest = {0, 0};
};

// Adds the messages of folder `name` (relative to `base`). A folder that is
// missing or cannot be opened counts as empty.
bool countFolder(int base, const char* name, Totals* totals) {
    UniqueFd fd(walk_open_dir_at(base, name));
    if (!fd.valid()) {
        return true;
    }
    struct stat st;
    if (fstat(fd.get(), &st) == 0 && later(st.st_mtim, totals->newest)) {
        totals->newest = st.st_mtim;
    }
    return walk_each_entry(fd.release(), [totals](int dir_fd, const struct dirent& entry) {
               sizequota_t size;
               if (!sizeFromMessageName(entry.d_name, totals->message_max, &size)) {
                   struct stat message;
                   if (fstatat(dir_fd, entry.d_name, &message, AT_SYMLINK_NOFOLLOW) != 0) {
                       return errno == ENOENT || errno == ENOTDIR;  // delivered away meanwhile
                   }
                   size = message.st_size;
               }
               totals->bytes = size_add(totals->bytes, size);
               totals->messages = count_add(totals->messages, 1);
               return true;
           }) == 0;
}

bool countFolderPair(int base, const char* folder, Totals* totals) {
    std::string prefix = folder == nullptr ? "" : std::string(folder) + "/";
    return countFolder(base, (prefix + "new").c_str(), totals) &&
           countFolder(base, (prefix + "cur").c_str(), totals);
}

// Reads "maildirsize" whole. False when it cannot be opened or read, or
// when it does not end within the buffer.
bool readMaildirsize(int maildir_fd, std::string* content) {
    UniqueFd fd(walk_open_file_at(maildir_fd, "maildirsize", O_RDONLY));
    if (!fd.valid()) {
        return false;
    }
    char buffer[MAILDIRSIZE_BUFFER];
    std::size_t total = 0;
    while (total < sizeof buffer) {
        ssize_t got = read(fd.get(), buffer + total, sizeof buffer - total);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (got == 0) {
            content->assign(buffer, total);
            return true;
        }
        total += static_cast<std::size_t>(got);
    }
    return false;
}

enum class ReadOutcome { USAGE, HEADER_ONLY, NOTHING };

// Limits from the header, usage from the sum of the further lines.
ReadOutcome parseMaildirsize(const std::string& content, Totals* totals, sizequota_t* size_limit,
                             fcount_t* count_limit) {
    std::size_t newline = content.find('\n');
    if (newline == std::string::npos ||
        !parseMaildirsizeHeader(content.substr(0, newline).c_str(), size_limit, count_limit)) {
        marun_log(3,
                  "maildirsize quota header is corrupted. Please run mail_restore utility to "
                  "fix.");
        *size_limit = LLONG_MAX;
        *count_limit = ULLONG_MAX;
        return ReadOutcome::NOTHING;
    }
    sizequota_t bytes = 0;
    long long messages = 0;
    for (std::size_t pos = newline + 1; pos < content.size();) {
        std::size_t end = content.find('\n', pos);
        if (end == std::string::npos) {
            return ReadOutcome::HEADER_ONLY;  // a line still being written
        }
        std::string line = content.substr(pos, end - pos);
        sizequota_t line_bytes;
        long long line_messages;
        if (line.find('\0') != std::string::npos ||
            !parseMaildirsizeLine(line.c_str(), &line_bytes, &line_messages) ||
            __builtin_add_overflow(bytes, line_bytes, &bytes) ||
            __builtin_add_overflow(messages, line_messages, &messages)) {
            return ReadOutcome::HEADER_ONLY;
        }
        pos = end + 1;
    }
    totals->bytes = bytes;
    // A negative message total only comes from a damaged file; treating it as
    // a huge unsigned count would refuse every delivery.
    totals->messages = messages < 0 ? 0 : static_cast<fcount_t>(messages);
    return ReadOutcome::USAGE;
}

}  // namespace

bool sizeFromMessageName(const char* name, sizequota_t limit, sizequota_t* size) {
    for (const char* p = std::strstr(name, ",S="); p != nullptr; p = std::strstr(p, ",S=")) {
        p += 3;
        const char* digits = p;
        unsigned long long value;
        if (parseDigits(digits, LLONG_MAX, &value) && (*digits == ':' || *digits == '\0') &&
            static_cast<long long>(value) <= limit) {
            *size = static_cast<sizequota_t>(value);
            return true;
        }
    }
    return false;
}

bool parseMaildirsizeHeader(const char* header, sizequota_t* size_limit, fcount_t* count_limit) {
    const char* p = header;
    long long bytes;
    if (!parseSigned(p, &bytes) || bytes < 0) {
        return false;
    }
    char letter = *p;
    if (!std::isalpha(static_cast<unsigned char>(letter))) {
        return false;
    }
    ++p;
    if (letter == 'S' && *p == '\0') {
        *size_limit = bytes;
        *count_limit = 0;
        return true;
    }
    unsigned long long count;
    if (*p != ',' || !parseUnsigned(++p, &count) || *p != 'C' || *(p + 1) != '\0') {
        return false;
    }
    *size_limit = bytes;
    *count_limit = count;
    return true;
}

bool parseMaildirsizeLine(const char* line, sizequota_t* bytes, long long* messages) {
    const char* p = line;
    long long first, second;
    if (!parseSigned(p, &first) || !std::isspace(static_cast<unsigned char>(*p)) ||
        !parseSigned(p, &second) || *p != '\0') {
        return false;
    }
    *bytes = first;
    *messages = second;
    return true;
}

bool isCountedSubfolder(const char* name) {
    return name[0] == '.' && name[1] != '\0' && name[1] != '.' && std::strcmp(name, ".Trash") != 0;
}

bool countMaildirMessages(int maildir_fd, sizequota_t* size, fcount_t* count,
                          struct timespec* newest) {
    Totals totals;
    UniqueFd top(openat(maildir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!top.valid()) {
        return false;
    }
    struct statvfs fs;
    if (fstatvfs(top.get(), &fs) == 0 && fs.f_frsize != 0 && fs.f_blocks != 0 &&
        fs.f_blocks < static_cast<unsigned long long>(SIZE_CEILING) / fs.f_frsize) {
        totals.message_max = static_cast<sizequota_t>(fs.f_blocks * fs.f_frsize);
    }
    if (!countFolderPair(maildir_fd, nullptr, &totals)) {
        return false;
    }
    if (walk_each_entry(top.release(), [&totals](int dir_fd, const struct dirent& entry) {
            return !isCountedSubfolder(entry.d_name) || !isDirectoryEntry(dir_fd, entry) ||
                   countFolderPair(dir_fd, entry.d_name, &totals);
        }) != 0) {
        return false;
    }
    *size = totals.bytes;
    *count = totals.messages;
    *newest = totals.newest;
    return true;
}

}  // namespace mail
}  // namespace marun

using namespace marun::mail;

int get_maildirpp_messages_usage(sizequota_t* size, fcount_t* count, time_t* mtime) {
    struct timespec newest;
    if (!countMaildirMessages(AT_FDCWD, size, count, &newest)) {
        return 0;
    }
    *mtime = newest.tv_sec;
    return 1;
}

int get_maildirpp_usage_and_limits(const char* maildir, int no_recalc, sizequota_t* size,
                                   fcount_t* count, sizequota_t* size_limit,
                                   fcount_t* count_limit) {
    marun::UniqueFd fd(walk_open_dir(maildir));
    if (!fd.valid()) {
        return 0;
    }
    *size_limit = LLONG_MAX;
    *count_limit = ULLONG_MAX;
    std::string content;
    if (readMaildirsize(fd.get(), &content)) {
        Totals totals;
        if (parseMaildirsize(content, &totals, size_limit, count_limit) == ReadOutcome::USAGE) {
            *size = totals.bytes;
            *count = totals.messages;
            return 1;
        }
    }
    if (no_recalc) {
        return 0;
    }
    struct timespec newest;
    return countMaildirMessages(fd.get(), size, count, &newest) ? 1 : 0;
}

int get_maildirpp_usage(const char* maildir, sizequota_t* size, fcount_t* count) {
    sizequota_t size_limit;
    fcount_t count_limit;
    return get_maildirpp_usage_and_limits(maildir, 0, size, count, &size_limit, &count_limit);
}

int check_maildirpp_overquota(const char* maildir, sizequota_t size_diff, fcount_t count_diff) {
    sizequota_t size = 0, size_limit = 0;
    fcount_t count = 0, count_limit = 0;
    if (!get_maildirpp_usage_and_limits(maildir, 1, &size, &count, &size_limit, &count_limit)) {
        return 0;
    }
    // Wide arithmetic: a limit near the top of the range plus a difference
    // must not wrap.
    __int128 bytes = size < 0 ? 0 : size;
    __int128 byte_limit = size_limit == 0 ? LLONG_MAX : size_limit;
    if (bytes + size_diff > byte_limit) {
        return 1;
    }
    unsigned __int128 messages = count;
    unsigned __int128 message_limit = count_limit == 0 ? ULLONG_MAX : count_limit;
    return messages + count_diff > message_limit ? 1 : 0;
}
