// AtomicFile: the one way a file is replaced whole. A fresh temporary file
// is created through the no-follow walker beside the target (or in a given
// directory), the caller sets its owner and mode on the descriptor and fills
// it, then commit() syncs it, renames it over the target and syncs the
// directory: readers see the old file or the new one, never a part. Nothing
// is renamed into place but by an explicit commit(); the destructor only
// removes a temporary file that was not committed. errno is kept across the
// clean-up. Never throws; failures return -1 (or false) with errno set.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "lib/unique_fd.h"

namespace marun {

// Writes all `size` bytes to `fd`, retrying after interruptions and partial
// writes. False with errno set on failure.
bool writeAll(int fd, const void* data, std::size_t size);

class AtomicFile {
  public:
    AtomicFile() = default;
    ~AtomicFile() { discard(); }
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    // Creates the temporary file `temp` in the directory `temp_dir`, to be
    // renamed to `target` in `target_dir` (both descriptors are duplicated).
    // A `temp` ending in "XXXXXX" gets those six characters replaced at
    // random, again while the name is taken; any other name is freed first
    // (whatever stood there is removed). The file is created with `mode`
    // (less the umask), write-only, O_EXCL | O_NOFOLLOW.
    int create(int temp_dir, const std::string& temp, int target_dir, const std::string& target,
               mode_t mode);
    // The same in the directory of `target_path`, the temporary name being
    // the target's name followed by `suffix` (".tmp", ".XXXXXX").
    int createBeside(const char* target_path, const char* suffix, mode_t mode);
    // Takes on the regular file `temp` that another program (postmap) built
    // in `dir`, opened read-only through the walker (never a link), to be
    // renamed to `target` in the same directory.
    int adopt(int dir, const std::string& temp, const std::string& target);

    int fd() const { return fd_.get(); }
    const std::string& tempName() const { return temp_; }

    bool write(const void* data, std::size_t size) { return writeAll(fd_.get(), data, size); }
    // fsync and close the temporary file.
    int flush();
    // Flushes when still open, then renames the file over the target and
    // syncs the directory. A target that is a regular file with more than
    // one link in a directory others can write is refused (EMLINK): renaming
    // over it would still change the other file's link count.
    int commit();
    // Removes the temporary file now, unless it was committed.
    void discard();

  private:
    // Forgets what was pending and takes the directories and names.
    int prepare(int temp_dir, const std::string& temp, int target_dir, const std::string& target);

    UniqueFd temp_dir_;
    UniqueFd target_dir_;
    UniqueFd fd_;
    std::string temp_;
    std::string target_;
    bool pending_ = false;
};

}  // namespace marun
