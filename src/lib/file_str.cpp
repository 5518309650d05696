// Locked line editing of text files (append, prepend, remove matching lines).
// The files edited here may lie in directories other users can write (mail
// homes): they are reached through the no-follow walker, a rewrite goes
// through a fresh "<file>.tmp" renamed over the file, and only appending
// writes to the file in place. Lines stay lines: each is read whole however
// long it is, a file holding a NUL byte is refused unchanged, and a last
// line without its newline gets one before anything is appended after it.
#include "lib/file_str.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "lib/atomic_file.h"
#include "lib/lock.h"
#include "lib/log.h"
#include "lib/tree_walk.h"
#include "lib/unique_fd.h"

namespace {

// Input is read, and output handed to write(), in pieces of this size.
constexpr size_t BATCH = 65536;

const char* errorText() {
    return walk_strerror(errno);
}

std::string withNewline(const std::string& s) {
    return !s.empty() && s.back() == '\n' ? s : s + '\n';
}

std::string withoutNewline(const std::string& s) {
    return !s.empty() && s.back() == '\n' ? s.substr(0, s.size() - 1) : s;
}

// The lines of an open file, each whole however long it is, with its
// newline (only the last line may lack one). A NUL byte makes the file
// unusable: no line editor can say where such a line ends.
class LineReader {
  public:
    LineReader(int fd, const char* path) : fd_(fd), path_(path) {}

    // The next line into `line`; false at the end of the file or after a
    // failure (reported; failed() tells which).
    bool next(std::string* line) {
        line->clear();
        for (;;) {
            const char* begin = buffer_ + pos_;
            const char* newline = static_cast<const char*>(std::memchr(begin, '\n', end_ - pos_));
            if (newline != nullptr) {
                line->append(begin, newline + 1);
                pos_ = static_cast<size_t>(newline + 1 - buffer_);
                return true;
            }
            line->append(begin, end_ - pos_);
            pos_ = end_ = 0;
            if (!fill()) {
                return !failed_ && !line->empty();
            }
        }
    }

    bool failed() const { return failed_; }
    // Whether the file ended with a newline (or was empty); valid at the end.
    bool endedWithNewline() const { return last_ == '\n' || last_ == '\0'; }

  private:
    bool fill() {
        ssize_t got;
        do {
            got = read(fd_, buffer_, sizeof buffer_);
        } while (got < 0 && errno == EINTR);
        if (got < 0) {
            marun_log(3, "Unable to read file %s: %s\n", path_, errorText());
            failed_ = true;
            return false;
        }
        if (got == 0) {
            return false;
        }
        end_ = static_cast<size_t>(got);
        if (std::memchr(buffer_, '\0', end_) != nullptr) {
            marun_log(3, "Unable to edit file %s: it holds a NUL byte\n", path_);
            errno = EINVAL;
            failed_ = true;
            return false;
        }
        last_ = buffer_[end_ - 1];
        return true;
    }

    int fd_;
    const char* path_;
    char buffer_[BATCH];
    size_t pos_ = 0;
    size_t end_ = 0;
    char last_ = '\0';
    bool failed_ = false;
};

// The file being edited: its directory and its name there.
struct Target {
    const char* path;
    marun::UniqueFd dir;
    std::string name;
};

// Appends in place. The existing content is read first: a file holding a
// NUL byte is refused, and a last line without its newline gets one, so
// the first new line is never joined to it.
int appendLines(const Target& file, const std::vector<std::string>& strs) {
    marun::UniqueFd fd(
        walk_open_file_at(file.dir.get(), file.name.c_str(), O_RDWR | O_APPEND | O_CREAT));
    if (!fd.valid()) {
        marun_log(3, "Unable to open file %s: %s\n", file.path, errorText());
        return 1;
    }
    LineReader reader(fd.get(), file.path);
    std::string line;
    while (reader.next(&line)) {
    }
    if (reader.failed()) {
        return 1;
    }
    std::string lines = reader.endedWithNewline() ? "" : "\n";
    for (const std::string& s : strs) {
        lines += withNewline(s);
    }
    if (!marun::writeAll(fd.get(), lines.data(), lines.size())) {
        marun_log(3, "Unable to fputs to file %s: %s\n", file.path, errorText());
        return 1;
    }
    // Appending leaves the owner, group and mode of an existing file as they were.
    if (fd.close() != 0) {
        marun_log(3, "Unable to close file %s: %s\n", file.path, errorText());
        return 1;
    }
    return 0;
}

struct Rewrite {
    std::vector<std::string> head;  // lines written before the old content
    // False drops the line (given without its newline).
    std::function<bool(const std::string& line)> keep;
    bool fatal_write_error = false;  // a failed line write ends the process
    const char* rename_message = nullptr;
};

// Copies the file through the filter into a fresh "<file>.tmp", gives the
// copy the original's owner, group and mode, and renames it over the
// original. Any failure before the rename leaves the original untouched.
int rewriteFile(const Target& file, const Rewrite& how) {
    struct stat original;
    marun::UniqueFd in(
        walk_open_file_at(file.dir.get(), file.name.c_str(), O_RDONLY, 0, &original));
    if (!in.valid()) {
        marun_log(3, "Unable to open file %s: %s\n", file.path, errorText());
        return 1;
    }
    std::string tmp_path = std::string(file.path) + ".tmp";
    marun::AtomicFile tmp;
    if (tmp.create(file.dir.get(), file.name + ".tmp", file.dir.get(), file.name, 0600) != 0) {
        marun_log(3, "Unable to open file %s: %s\n", tmp_path.c_str(), errorText());
        return 1;
    }
    std::string out;
    for (const std::string& line : how.head) {
        out += line;
    }
    // Hands `out` to the file once it holds `at_least` bytes.
    auto flush = [&](size_t at_least) {
        if (out.size() < at_least || out.empty()) {
            return true;
        }
        if (!tmp.write(out.data(), out.size())) {
            if (how.fatal_write_error) {
                tmp.discard();
                messlog2(1, 0, "cannot write a line to %s.tmp", file.path);
            }
            marun_log(3, "Unable to fputs to file %s: %s\n", tmp_path.c_str(), errorText());
            return false;
        }
        out.clear();
        return true;
    };
    // A rewrite that drops nothing and adds nothing leaves the file as it is:
    // no sync, no rename.
    bool changed = !how.head.empty();
    LineReader reader(in.get(), file.path);
    std::string line;
    while (reader.next(&line)) {
        if (how.keep && !how.keep(withoutNewline(line))) {
            changed = true;
            continue;
        }
        out += line;
        if (!flush(BATCH)) {
            return 1;
        }
    }
    if (reader.failed() || !flush(0)) {
        return 1;
    }
    if (!changed) {
        return 0;
    }
    // Owner and mode are set before the rename, so the new file never shows
    // with the temporary file's root-only permissions.
    if (fchown(tmp.fd(), original.st_uid, original.st_gid) != 0) {
        marun_log(3, "file_str: ERROR: Unable to chown file %s: %s", file.path, errorText());
        return 1;
    }
    if (fchmod(tmp.fd(), original.st_mode & 07777) != 0) {
        marun_log(3, "file_str: ERROR: Unable to chmod file %s: %s", file.path, errorText());
        return 1;
    }
    if (tmp.flush() != 0) {
        marun_log(3, "Unable to close file %s: %s\n", tmp_path.c_str(), errorText());
        return 1;
    }
    if (tmp.commit() != 0) {
        marun_log(3, how.rename_message, file.path, errorText());
        return 1;
    }
    return 0;
}

bool matches(const std::string& line, const std::string& s, file_pos_t set) {
    switch (set) {
        case FILE_BEGIN:
            return line.compare(0, s.size(), s) == 0;
        case FILE_END:
            return line.size() >= s.size() &&
                   line.compare(line.size() - s.size(), s.size(), s) == 0;
        case FILE_MID:
            return line.find(s) != std::string::npos;
    }
    return false;
}

int editLocked(const char* filename, const std::vector<std::string>& strs, file_action_t cmd,
               file_pos_t set) {
    Target file{filename, marun::UniqueFd(), std::string()};
    file.dir.reset(walk_open_parent(filename, &file.name));
    struct stat original {};
    bool exists = file.dir.valid() &&
                  fstatat(file.dir.get(), file.name.c_str(), &original, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) {
        marun_log(3, "file_str: Unable to stat file %s: %s\n", filename, errorText());
        return 1;
    }
    if (!file.dir.valid()) {
        if (cmd == FILE_REMOVE) {
            return 1;
        }
        marun_log(3, "Unable to open file %s: %s\n", filename, errorText());
        return 1;
    }
    // A missing file: appending creates it, every rewrite fails on opening it.
    Rewrite how;
    switch (cmd) {
        case FILE_ADD:
            if (set == FILE_END) {
                return appendLines(file, strs);
            }
            if (set != FILE_BEGIN) {
                return 0;
            }
            for (const std::string& s : strs) {
                how.head.push_back(withNewline(s));
            }
            how.rename_message = "Unable to rename file %s: %s\n";
            return rewriteFile(file, how);
        case FILE_REMOVE: {
            if (!exists) {
                return 1;
            }
            std::vector<std::string> unwanted;
            for (const std::string& s : strs) {
                unwanted.push_back(withoutNewline(s));
            }
            how.keep = [&unwanted](const std::string& line) {
                for (const std::string& s : unwanted) {
                    if (s == line) {
                        return false;
                    }
                }
                return true;
            };
            how.fatal_write_error = true;
            how.rename_message = "Error while rename file %s: %s\n";
            return rewriteFile(file, how);
        }
        case FILE_REMSUB:
            how.keep = [&strs, set](const std::string& line) {
                for (const std::string& s : strs) {
                    if (matches(line, s, set)) {
                        return false;
                    }
                }
                return true;
            };
            how.rename_message = "Error while rename file %s: %s\n";
            return rewriteFile(file, how);
    }
    return 1;
}

// A string added as a line must be one line: a line feed inside it (or a
// NUL byte, which ends it for every reader) would add a line of its own.
bool oneLineEach(const char* filename, const std::vector<std::string>& strs) {
    for (const std::string& s : strs) {
        if (s.find('\0') != std::string::npos ||
            withoutNewline(s).find('\n') != std::string::npos) {
            marun_log(3, "Unable to add to file %s: the text holds a line break or a NUL byte\n",
                      filename);
            errno = EINVAL;
            return false;
        }
    }
    return true;
}

}  // namespace

int file_str(const char* filename, const char* str, file_action_t cmd, file_pos_t set) {
    return file_strings(filename, {str}, cmd, set);
}

int file_strings(const char* filename, const std::vector<std::string>& strs, file_action_t cmd,
                 file_pos_t set) {
    if (cmd == FILE_ADD && !oneLineEach(filename, strs)) {
        return 1;
    }
    lock_struct_t* lock = mk_lock(filename, 1);
    if (!is_locked(lock)) {
        marun_log(3, "Error occurred while locking the file %s: %s\n", filename, errorText());
        rm_lock(lock);
        return 1;
    }
    int result = editLocked(filename, strs, cmd, set);
    if (rm_lock(lock) != 0) {
        marun_log(3, "Error occurred while unlocking the file %s: %s\n", filename, errorText());
        return 1;
    }
    return result;
}
