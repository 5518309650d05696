// MKLock over the plain-function lock.
#include "util/mklock.h"

#include <cerrno>
#include <new>
#include <stdexcept>

#include "util/errors.h"

namespace marun {

MKLock::MKLock(const std::string& name, FilenameFlag filename, BlockFlag block) {
    int by_name = filename == LOCK_BY_NAME ? 1 : 0;
    lock_ = block == BLOCKING ? mk_lock(name.c_str(), by_name)
                              : mk_nonblock_lock(name.c_str(), by_name);
    if (lock_ == nullptr) {
        throw std::bad_alloc();
    }
    if (lock_->fd < 0) {
        int code = errno;
        rm_lock(lock_);
        throwSystemError("lock() failed", code);
    }
    if (lock_->fd == 0) {
        rm_lock(lock_);
        throw std::runtime_error("lock(" + name + ") failed: file is already locked");
    }
}

MKLock::~MKLock() {
    rm_lock(lock_);
}

}  // namespace marun
