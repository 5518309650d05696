// The lock by name and the leftovers under it, the indexed file's checks,
// its modification time after in-place changes, and its replacement.
#include "postfix/table_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib/c_handles.h"
#include "lib/copy_file.h"
#include "lib/tree_walk.h"
#include "postfix/database_helper.h"

namespace marun {
namespace mail {
namespace postfix {

namespace {

// What marks a file beside a table as kvarn's own.
const char* const MARK = ".kvarn.";
// What postmap appends to a hash table's path for its indexed file.
const char* const INDEXED = ".db";

bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

TableFiles::TableFiles(const std::string& table, Failure fail)
    : table_(table),
      fail_(fail),
      path_(DatabaseHelper::tablePath(table)),
      lock_(path_, MKLock::LOCK_BY_NAME, MKLock::BLOCKING) {
    size_t colon = table.find(':');
    if (colon != std::string::npos) {
        type_ = table.substr(0, colon + 1);
    }
    dir_.reset(walk_open_parent(path_.c_str(), &name_));
    if (!dir_.valid()) {
        failed("unable to open the directory of " + path_, errno);
    }
    sweep();
    indexed_.reset(walk_open_file_at(dir_.get(), (name_ + INDEXED).c_str(), O_RDONLY, 0, &status_));
    if (!indexed_.valid() && errno != ENOENT) {
        failed("unable to use " + path_ + INDEXED, errno);
    }
}

TableFiles::~TableFiles() {
    sweep();
}

void TableFiles::sweep() const {
    UniqueFd dup(fcntl(dir_.get(), F_DUPFD_CLOEXEC, 0));
    DirPtr dir(dup.valid() ? fdopendir(dup.get()) : nullptr);
    if (!dir) {
        return;
    }
    dup.release();
    // A duplicate shares the directory offset: start from the beginning.
    rewinddir(dir.get());
    const std::string prefix = name_ + MARK;
    while (const struct dirent* entry = readdir(dir.get())) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
            // Removes the name itself, whatever it is; never follows it.
            unlinkat(dir_.get(), entry->d_name, 0);
        }
    }
}

std::string TableFiles::temporaryName() const {
    return name_ + MARK + std::to_string(getpid());
}

std::string TableFiles::temporarySource() const {
    return path_ + MARK + std::to_string(getpid());
}

std::string TableFiles::temporaryMap() const {
    return type_ + temporarySource();
}

void TableFiles::changedInPlace() {
    struct stat now;
    if (!indexed_.valid() || fstat(indexed_.get(), &now) != 0 ||
        sameTime(now.st_mtim, status_.st_mtim) || now.st_mtim.tv_sec > status_.st_mtim.tv_sec) {
        return;
    }
    const struct timespec times[2] = {{0, UTIME_OMIT}, {status_.st_mtim.tv_sec + 1, 0}};
    if (futimens(indexed_.get(), times) != 0) {
        failed("unable to set the modification time of " + path_ + INDEXED, errno);
    }
}

void TableFiles::copyIndexed(AtomicFile& copy) {
    const std::string indexed = path_ + INDEXED;
    struct stat now;
    if (!indexed_.valid()) {
        failed("unable to copy " + indexed, ENOENT);
    }
    if (fstatat(dir_.get(), (name_ + INDEXED).c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        now.st_dev != status_.st_dev || now.st_ino != status_.st_ino) {
        failed(indexed + " was replaced while it was read", ESTALE);
    }
    const std::string temporary = temporaryName() + INDEXED;
    if (copy.create(dir_.get(), temporary, dir_.get(), name_ + INDEXED, 0600) != 0) {
        failed("unable to create " + temporary, errno);
    }
    if (copy_fd(indexed_.get(), copy.fd()) != 0) {
        failed("unable to copy " + indexed, errno);
    }
    takeOwnerAndMode(copy);
}

void TableFiles::adoptBuilt(AtomicFile& built) {
    const std::string temporary = temporaryName() + INDEXED;
    if (built.adopt(dir_.get(), temporary, name_ + INDEXED) != 0) {
        failed("unable to open the new indexed file " + temporary, errno);
    }
    if (indexed_.valid()) {
        takeOwnerAndMode(built);
    }
}

void TableFiles::takeOwnerAndMode(AtomicFile& file) {
    // postmap run as root gives a table it builds the owner of its source;
    // the table keeps the owner and mode it had instead.
    if (fchown(file.fd(), status_.st_uid, status_.st_gid) != 0 ||
        fchmod(file.fd(), status_.st_mode & 07777) != 0) {
        failed("unable to set the owner and mode of the new " + path_ + INDEXED, errno);
    }
}

void TableFiles::commit(AtomicFile& file) {
    if (file.commit() != 0) {
        failed("unable to put the new " + path_ + INDEXED + " into place", errno);
    }
}

void TableFiles::failed(const std::string& what, int error) const {
    fail_("table " + table_ + ": " + what + ": " + walk_strerror(error));
    // fail_ throws; this only keeps the promise of [[noreturn]].
    std::abort();
}

}  // namespace postfix
}  // namespace mail
}  // namespace marun
