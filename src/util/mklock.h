// MKLock: a scoped exclusive file lock, taken at construction and released
// by the destructor.
#pragma once

#include <string>

#include "lib/lock.h"

namespace marun {

class [[nodiscard]] MKLock {
  public:
    enum FilenameFlag {
        LOCK_BY_NAME = 0,     // lock file under /var/lock/files named by the path's MD5
        LOCK_FILE_AS_IS = 1,  // the given name is the lock file itself
    };
    enum BlockFlag {
        BLOCKING = 0,      // wait for the lock
        NON_BLOCKING = 1,  // throw at once when another holder has it
    };

    // Throws a SystemError ("lock() failed: ...") when the lock file cannot be
    // opened or locked, std::runtime_error "lock(<name>) failed: file is
    // already locked" when a non-blocking attempt finds it busy, and
    // std::bad_alloc when memory runs out.
    explicit MKLock(const std::string& name, FilenameFlag filename = LOCK_BY_NAME,
                    BlockFlag block = BLOCKING);
    ~MKLock();

    MKLock(const MKLock&) = delete;
    MKLock& operator=(const MKLock&) = delete;

  private:
    lock_struct_t* lock_;
};

}  // namespace marun
