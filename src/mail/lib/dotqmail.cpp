// ".qmail" edits: line removal and appending through the shared line editor
// under the file lock, the reset as a complete replacement through the safe
// file writer, and the owner and mode the delivery agent needs. The file
// lies in a home popuser can write: everything reaches it through the
// no-follow walker.
#include "mail/lib/dotqmail.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "lib/atomic_file.h"
#include "lib/c_handles.h"
#include "lib/file_str.h"
#include "lib/idn.h"
#include "lib/lock.h"
#include "lib/log.h"
#include "lib/tree_walk.h"
#include "mail/lib/file_user_mode.h"
#include "mail/lib/mail_paths.h"
#include "mail/lib/mail_tree_name.h"

namespace {

constexpr const char* DOTQMAIL_USER = "popuser";
constexpr mode_t DOTQMAIL_MODE = 0600;
constexpr std::size_t DOTQMAIL_PATH_MAX = 4096;

int setOwnerAndMode(const char* path) {
    return file_set_user_mode(path, DOTQMAIL_USER, DOTQMAIL_MODE) == 0 ? 0 : -1;
}

// Prints the message without a "System error" suffix (the texts say what
// failed), leaving `error` in errno for callers that report it.
void report(int error, const char* format, const char* text) {
    errno = 0;
    messlog2(0, 0, format, text);
    errno = error;
}

// The address with its domain part in ASCII form, or null after a message.
// Line breaks, other control characters and white space would add lines or
// elements of their own (program deliveries among them), so they are
// refused; so is an ASCII domain part that IDNA turned into a path ("/",
// ".." or white space from characters that pass as typed).
MallocPtr<char> forwardAddress(const char* address) {
    for (const char* p = address; *p != '\0'; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c <= 0x20 || c == 0x7f) {
            report(EINVAL,
                   c == ' ' ? "Invalid forwarding address '%s': it contains white space"
                            : "Invalid forwarding address '%s': it contains a control character",
                   address);
            return nullptr;
        }
    }
    MallocPtr<char> ascii(idn_email_toascii(address));
    if (!ascii) {
        // Without an "@" the conversion fails before libidn has a say.
        const char* why = std::strchr(address, '@') == nullptr ? "the address has no '@'"
                                                               : idn_strerror(idn_errno);
        errno = 0;
        messlog2(0, 0, "idn_email_toascii(%s) failed: %s", address, why);
        errno = EINVAL;
        return nullptr;
    }
    const char* domain = std::strchr(ascii.get(), '@') + 1;
    if (const char* why = mail_tree_name_error(domain, std::strlen(domain))) {
        errno = 0;
        messlog2(0, 0, "Invalid forwarding address '%s': domain '%s': %s", address, domain, why);
        errno = EINVAL;
        return nullptr;
    }
    return ascii;
}

template <typename Edit>
int byMailname(const char* mailname, const char* domain, Edit edit) {
    char path[DOTQMAIL_PATH_MAX];
    if (get_dotqmail_path(path, sizeof path, mailname, domain) != 0) {
        return -1;
    }
    return edit(path);
}

}  // namespace

int dotqmail_reset(const char* path) {
    // The same lock the line editor takes, so a reset never interleaves
    // with an edit of the same file.
    LockPtr lock(mk_lock(path, 1));
    if (!is_locked(lock.get())) {
        int error = errno;
        errno = 0;
        messlog2(0, 0, "Error occurred while locking the file %s: %s\n", path,
                 std::strerror(error));
        errno = error;
        return -1;
    }
    marun::AtomicFile file;
    std::string line = std::string(DOTQMAIL_RESET_LINE) + "\n";
    // The line editor's temporary name: under the same lock, whichever
    // writes next replaces what a killed run left there.
    if (file.createBeside(path, ".tmp", 0600) != 0) {
        int error = errno;
        errno = 0;
        messlog2(0, 0, "Unable to open %s: %s", path, walk_strerror(error));
        errno = error;
        return -1;
    }
    // Owner and mode go on before the file appears under its name, so the
    // delivery agent never sees it unreadable.
    bool written = file.write(line.data(), line.size());
    if (written && fd_set_user_mode(file.fd(), path, DOTQMAIL_USER, DOTQMAIL_MODE) != 0) {
        return -1;
    }
    if (!written || file.commit() != 0) {
        int error = errno;
        file.discard();
        errno = 0;
        messlog2(0, 0, "Unable to write to %s: %s", path, walk_strerror(error));
        errno = error;
        return -1;
    }
    return 0;
}

int dotqmail_add_delivery(const char* path) {
    file_str(path, DOTQMAIL_OLD_DELIVERY_LINE, FILE_REMOVE, FILE_END);
    // Removing first keeps the line from ever being doubled.
    file_str(path, DOTQMAIL_DELIVERY_LINE, FILE_REMOVE, FILE_END);
    if (file_str(path, DOTQMAIL_DELIVERY_LINE, FILE_ADD, FILE_END) != 0) {
        report(errno, "Unable to add string to %s file.", path);
        return -1;
    }
    return setOwnerAndMode(path);
}

int dotqmail_remove_delivery(const char* path) {
    if (file_str(path, DOTQMAIL_OLD_DELIVERY_LINE, FILE_REMOVE, FILE_END) != 0) {
        report(errno, "Unable to remove string from %s file", path);
        return -1;
    }
    file_str(path, DOTQMAIL_DELIVERY_LINE, FILE_REMOVE, FILE_END);
    return setOwnerAndMode(path);
}

int dotqmail_add_forward(const char* path, const char* address) {
    MallocPtr<char> ascii = forwardAddress(address);
    if (!ascii) {
        return -1;
    }
    std::string line;
    try {
        line = std::string("&") + ascii.get();
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        messlog2(0, 0, "asprintf(\"&%%s\", %s) failed: %s", ascii.get(), std::strerror(ENOMEM));
        return -1;
    }
    // Removing first moves an existing forward to the end instead of
    // doubling it.
    file_str(path, line.c_str(), FILE_REMOVE, FILE_END);
    if (file_str(path, line.c_str(), FILE_ADD, FILE_END) != 0) {
        report(errno, "Unable to add string to %s file.", path);
        return -1;
    }
    return setOwnerAndMode(path);
}

int dotqmail_remove_forward(const char* path, const char* address) {
    MallocPtr<char> ascii = forwardAddress(address);
    if (!ascii) {
        return -1;
    }
    std::string line;
    try {
        line = std::string("&") + ascii.get() + "\n";
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        messlog2(0, 0, "asprintf(\"&%%s\", %s): %s", ascii.get(), std::strerror(ENOMEM));
        return -1;
    }
    if (file_str(path, line.c_str(), FILE_REMOVE, FILE_END) != 0) {
        report(errno, "Unable to remove string from %s file.", path);
        return -1;
    }
    return setOwnerAndMode(path);
}

int add_mailname_delivery(const char* mailname, const char* domain) {
    return byMailname(mailname, domain,
                      [](const char* path) { return dotqmail_add_delivery(path); });
}

int remove_mailname_delivery(const char* mailname, const char* domain) {
    return byMailname(mailname, domain,
                      [](const char* path) { return dotqmail_remove_delivery(path); });
}

int add_mn_forward(const char* mailname, const char* domain, const char* address) {
    return byMailname(mailname, domain,
                      [address](const char* path) { return dotqmail_add_forward(path, address); });
}

int rm_mn_forward(const char* mailname, const char* domain, const char* address) {
    return byMailname(mailname, domain, [address](const char* path) {
        return dotqmail_remove_forward(path, address);
    });
}
