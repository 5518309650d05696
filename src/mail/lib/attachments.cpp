// Attachment files below the mail root, reached only through the no-follow
// walker; a new attachment is written beside the directory and renamed in.
#include "mail/lib/attachments.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "lib/atomic_file.h"
#include "lib/c_handles.h"
#include "lib/idn.h"
#include "lib/lock.h"
#include "lib/log.h"
#include "lib/oru_conf.h"
#include "lib/tree_walk.h"
#include "lib/unique_fd.h"
#include "mail/lib/mail_tree_name.h"

namespace {

using marun::UniqueFd;

constexpr const char* ATTACHMENTS_DIR = "@attachments";
constexpr mode_t ATTACHMENT_MODE = 0644;
// A new attachment is written here, in the home, then renamed into the
// attachment directory: no listing ever shows a half-copied file, and the
// next addition to the mailbox removes what a killed run left. Additions to
// one mailbox take turns under the lock by name on this path.
constexpr const char* ATTACHMENT_TEMP = ".attachment.tmp";
constexpr size_t COPY_BLOCK = 65536;

// A message on both output streams. The messages name their reason, so
// messlog2's "System error" suffix is left off.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    errno = 0;
    vmesslog2(0, 0, format, args);
    va_end(args);
}

// The ASCII form of `domain`; a failure ends the process.
std::string asciiDomain(const char* domain) {
    MallocPtr<char> ascii(idn_toascii(domain));
    if (!ascii) {
        errno = 0;
        messlog2(1, 0, "idn_toascii() failed: %s", idn_strerror(idn_errno));
    }
    return ascii.get();
}

// False, after a message, when `name` cannot be one level of the mail tree.
bool treeName(const char* what, std::string_view name) {
    if (const char* why = mail_tree_name_error(name.data(), name.size())) {
        say("Invalid %s '%.*s': %s", what, static_cast<int>(name.size()), name.data(), why);
        return false;
    }
    return true;
}

// "<mail root>/<domain>", or empty after a message when the domain cannot
// be a directory of the mail tree.
std::string domainPath(const std::string& domain) {
    if (!treeName("domain name", domain)) {
        return std::string();
    }
    return std::string(oruConfGetDefaultByIndex(_MARUN_MAILNAMES_D_INDEX)) + "/" + domain;
}

// The mail name's home, or empty after a message.
std::string homePath(const std::string& domain, const char* mailname) {
    std::string path = domainPath(domain);
    if (path.empty() || !treeName("mail name", mailname)) {
        return std::string();
    }
    return path + "/" + mailname;
}

// An attachment is one file directly in the attachment directory.
bool attachmentName(std::string_view name) {
    const char* why = name.empty()                   ? "it is empty"
                      : name == "."                  ? "it is \".\""
                      : name.find('/') != name.npos  ? "it contains '/'"
                      : name.find("..") != name.npos ? "it contains '..'"
                                                     : nullptr;
    if (why != nullptr) {
        say("Invalid attachment file name '%.*s': %s", static_cast<int>(name.size()), name.data(),
            why);
        return false;
    }
    return true;
}

// Calls `visit(name)` for each entry of the directory stream `dir` (at
// `path`) until it returns false, then closes the stream. 0, or -1 after a
// message when reading or closing fails or a visit returned false.
template <class Visit>
int readEntries(DIR* dir, const std::string& path, Visit visit) {
    int result = 0;
    for (;;) {
        errno = 0;
        struct dirent* entry = readdir(dir);
        if (entry == nullptr) {
            if (errno != 0) {
                say("Unable to read dir %s: %s\n", path.c_str(), std::strerror(errno));
                result = -1;
            }
            break;
        }
        if (!visit(entry->d_name)) {
            result = -1;
            break;
        }
    }
    if (closedir(dir) != 0 && result == 0) {
        say("Unable to close dir: %s\n", std::strerror(errno));
        result = -1;
    }
    return result;
}

// The directory open on `fd` (taken over) at `path` as a stream, or null
// after a message.
DIR* openStream(int fd, const std::string& path) {
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (dir == nullptr) {
        say("Unable to open dir %s: %s\n", path.c_str(), walk_strerror(errno));
        if (fd >= 0) {
            close(fd);
        }
    }
    return dir;
}

// Prints the listing of the attachment directory open on `fd` (taken over)
// at `path`.
int listDirectory(int fd, const std::string& path, int in_blocks, int fullname) {
    DIR* dir = openStream(fd, path);
    if (dir == nullptr) {
        return -1;
    }
    return readEntries(dir, path, [&](const char* name) {
        // Not followed: a link is the mailbox user's, not an attachment.
        struct stat st;
        if (fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            say("stat %s/%s failed: %s", path.c_str(), name, std::strerror(errno));
            return false;
        }
        if (!S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode)) {
            long long size = in_blocks ? static_cast<long long>(st.st_blocks) * 512
                                       : static_cast<long long>(st.st_size);
            std::printf("%s%s%s\t%lld\n", fullname ? path.c_str() : "", fullname ? "/" : "", name,
                        size);
        }
        return true;
    });
}

}  // namespace

int list_attachments(const char* MailName, const char* DomainName, int in_blocks, int fullname) {
    const std::string domain = asciiDomain(DomainName);
    if (MailName == nullptr || *MailName == '\0') {
        errno = 0;
        messlog2(1, 0, "MailName empty for domain '%s'", DomainName);
    }
    const std::string home = homePath(domain, MailName);
    if (home.empty()) {
        return -1;
    }
    const std::string path = home + "/" + ATTACHMENTS_DIR;
    return listDirectory(walk_open_dir(path.c_str()), path, in_blocks, fullname);
}

int list_all_attachments(const char* DomainName, int in_blocks, int fullname) {
    const std::string root = domainPath(asciiDomain(DomainName));
    if (root.empty()) {
        return -1;
    }
    DIR* dir = openStream(walk_open_dir(root.c_str()), root);
    if (dir == nullptr) {
        return -1;
    }
    return readEntries(dir, root, [&](const char* name) {
        struct stat st;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
            fstatat(dirfd(dir), name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode)) {
            return true;
        }
        const std::string relative = std::string(name) + "/" + ATTACHMENTS_DIR;
        listDirectory(walk_open_dir_at(dirfd(dir), relative.c_str()), root + "/" + relative,
                      in_blocks, fullname);
        return true;
    });
}

int add_attachment(const char* MailName, const char* DomainName, const char* FileName,
                   const char* AttachmentFileName) {
    const std::string home = homePath(asciiDomain(DomainName), MailName);
    if (home.empty() || !attachmentName(AttachmentFileName)) {
        return -1;
    }
    const std::string target = home + "/" + ATTACHMENTS_DIR + "/" + AttachmentFileName;
    auto failed = [&](int error) {
        say("Unable to copy the attachment file %s to %s\n%s", FileName, target.c_str(),
            walk_strerror(error));
        return -1;
    };

    // A regular file of its own: no link, no FIFO, no hard link in a
    // directory others can write (it could be another user's file).
    UniqueFd in(walk_open_file(FileName, O_RDONLY));
    if (!in.valid()) {
        return failed(errno);
    }
    UniqueFd homeDir(walk_open_dir(home.c_str()));
    if (!homeDir.valid()) {
        return failed(errno);
    }
    UniqueFd dir(walk_open_dir_at(homeDir.get(), ATTACHMENTS_DIR));
    if (!dir.valid()) {
        return failed(errno);
    }
    LockPtr lock(mk_lock((home + "/" + ATTACHMENT_TEMP).c_str(), 1));
    if (!is_locked(lock.get())) {
        return failed(errno);
    }
    marun::AtomicFile out;
    if (out.create(homeDir.get(), ATTACHMENT_TEMP, dir.get(), AttachmentFileName,
                   ATTACHMENT_MODE) != 0) {
        return failed(errno);
    }
    static char buffer[COPY_BLOCK];
    for (;;) {
        ssize_t n = read(in.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || (n > 0 && !out.write(buffer, static_cast<size_t>(n)))) {
            return failed(errno);
        }
        if (n == 0) {
            break;
        }
    }
    // Readable by the autoresponder whatever the umask.
    if (fchmod(out.fd(), ATTACHMENT_MODE) != 0 || out.commit() != 0) {
        return failed(errno);
    }
    return 0;
}

int remove_attachment(const char* MailName, const char* DomainName,
                      const char* AttachmentFileName) {
    const std::string home = homePath(asciiDomain(DomainName), MailName);
    if (home.empty() || !attachmentName(AttachmentFileName)) {
        return -1;
    }
    const std::string dirPath = home + "/" + ATTACHMENTS_DIR;
    UniqueFd dir(walk_open_dir(dirPath.c_str()));
    // Without the directory (or the home) there is nothing to delete.
    if ((dir.valid() && unlinkat(dir.get(), AttachmentFileName, 0) == 0) || errno == ENOENT) {
        return 0;
    }
    say("Unable to delete the attachment file %s/%s: %s\n", dirPath.c_str(), AttachmentFileName,
        walk_strerror(errno));
    return -1;
}
