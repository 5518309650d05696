// Temporary file, fsync, rename, directory fsync; one clean-up path.
#include "lib/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "lib/tree_walk.h"

namespace marun {

namespace {

constexpr const char RANDOM_MARK[] = "XXXXXX";
constexpr std::size_t RANDOM_LENGTH = sizeof RANDOM_MARK - 1;
constexpr int RANDOM_ATTEMPTS = 100;

bool endsWithRandomMark(const std::string& name) {
    return name.size() >= RANDOM_LENGTH &&
           name.compare(name.size() - RANDOM_LENGTH, RANDOM_LENGTH, RANDOM_MARK) == 0;
}

void fillRandom(std::string* name) {
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    unsigned char bytes[RANDOM_LENGTH];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes)) {
        // Only the name's uniqueness depends on it; O_EXCL keeps it safe.
        static unsigned counter = static_cast<unsigned>(getpid());
        for (unsigned char& byte : bytes) {
            byte = static_cast<unsigned char>(counter++ * 131u);
        }
    }
    for (std::size_t i = 0; i < RANDOM_LENGTH; ++i) {
        (*name)[name->size() - RANDOM_LENGTH + i] = letters[bytes[i] % (sizeof letters - 1)];
    }
}

}  // namespace

int AtomicFile::prepare(int temp_dir, const std::string& temp, int target_dir,
                        const std::string& target) {
    discard();
    temp_dir_.reset(fcntl(temp_dir, F_DUPFD_CLOEXEC, 0));
    target_dir_.reset(fcntl(target_dir, F_DUPFD_CLOEXEC, 0));
    if (!temp_dir_.valid() || !target_dir_.valid()) {
        return -1;
    }
    temp_ = temp;
    target_ = target;
    return 0;
}

int AtomicFile::create(int temp_dir, const std::string& temp, int target_dir,
                       const std::string& target, mode_t mode) {
    if (prepare(temp_dir, temp, target_dir, target) != 0) {
        return -1;
    }
    if (endsWithRandomMark(temp_)) {
        for (int attempt = 0; attempt < RANDOM_ATTEMPTS && !fd_.valid(); ++attempt) {
            fillRandom(&temp_);
            fd_.reset(openat(temp_dir_.get(), temp_.c_str(),
                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
            if (!fd_.valid() && errno != EEXIST) {
                break;
            }
        }
    } else {
        fd_.reset(walk_create_fresh_at(temp_dir_.get(), temp_.c_str(), O_WRONLY, mode));
    }
    pending_ = fd_.valid();
    return pending_ ? 0 : -1;
}

int AtomicFile::adopt(int dir, const std::string& temp, const std::string& target) {
    if (prepare(dir, temp, dir, target) != 0) {
        return -1;
    }
    fd_.reset(walk_open_file_at(temp_dir_.get(), temp_.c_str(), O_RDONLY));
    pending_ = fd_.valid();
    return pending_ ? 0 : -1;
}

int AtomicFile::createBeside(const char* target_path, const char* suffix, mode_t mode) {
    std::string name;
    UniqueFd dir(walk_open_parent(target_path, &name));
    if (!dir.valid()) {
        return -1;
    }
    return create(dir.get(), name + suffix, dir.get(), name, mode);
}

bool writeAll(int fd, const void* data, std::size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t written = ::write(fd, bytes, size);
        if (written <= 0) {
            if (written < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            }
            if (written == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

int AtomicFile::flush() {
    if (!fd_.valid()) {
        return pending_ ? 0 : -1;
    }
    if (fsync(fd_.get()) != 0) {
        return -1;
    }
    return fd_.close();
}

int AtomicFile::commit() {
    if (!pending_) {
        errno = EBADF;
        return -1;
    }
    if (flush() != 0) {
        return -1;
    }
    struct stat st;
    if (fstatat(target_dir_.get(), target_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_nlink > 1) {
        struct stat dir;
        if (fstat(target_dir_.get(), &dir) != 0 || !walk_dir_closed(dir)) {
            errno = EMLINK;
            return -1;
        }
    }
    if (renameat(temp_dir_.get(), temp_.c_str(), target_dir_.get(), target_.c_str()) != 0) {
        return -1;
    }
    pending_ = false;
    // The new name is on disk once the directory is; a failure here leaves
    // the file in place, so it is not reported.
    fsync(target_dir_.get());
    return 0;
}

void AtomicFile::discard() {
    if (!pending_) {
        return;
    }
    int saved = errno;
    fd_.reset();
    unlinkat(temp_dir_.get(), temp_.c_str(), 0);
    pending_ = false;
    errno = saved;
}

}  // namespace marun
