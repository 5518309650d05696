// Locked line editing of text files (append, prepend, remove matching lines).
#include "lib/file_str.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "lib/c_handles.h"
#include "lib/lock.h"
#include "lib/log.h"

namespace {

// Line buffer: lines longer than N - 1 bytes are handled in pieces.
constexpr size_t N = 4096;

const char* errorText() {
    return std::strerror(errno);
}

// Removes the temporary file unless it was renamed into place.
class TmpFileGuard {
  public:
    explicit TmpFileGuard(std::string path) : path_(std::move(path)) {}
    ~TmpFileGuard() {
        if (!committed_) {
            int saved = errno;
            unlink(path_.c_str());
            errno = saved;
        }
    }
    void commit() { committed_ = true; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    bool committed_ = false;
};

std::string withNewline(const std::string& s) {
    return !s.empty() && s.back() == '\n' ? s : s + '\n';
}

std::string withoutNewline(const std::string& s) {
    return !s.empty() && s.back() == '\n' ? s.substr(0, s.size() - 1) : s;
}

bool closeFile(FilePtr& file, const char* name) {
    if (std::fclose(file.release()) != 0) {
        marun_log(3, "Unable to close file %s: %s\n", name, errorText());
        return false;
    }
    return true;
}

// Creates "<filename>.tmp" afresh (a stale file or a planted link of that
// name is removed first, and the new one is opened exclusively).
FilePtr createTmpFile(const std::string& tmp) {
    unlink(tmp.c_str());
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return nullptr;
    }
    FilePtr file(fdopen(fd, "w"));
    if (!file) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return file;
}

// Opens `filename` without following a symbolic link at its place: the files
// edited here may lie in directories other users can write (mail homes), and
// a planted link must not make root read or append to the file it points at.
FilePtr openNoFollow(const char* filename, int flags, const char* mode) {
    int fd = open(filename, flags | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        return nullptr;
    }
    FilePtr file(fdopen(fd, mode));
    if (!file) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return file;
}

int appendLines(const char* filename, const std::vector<std::string>& strs) {
    FilePtr file = openNoFollow(filename, O_WRONLY | O_APPEND | O_CREAT, "a");
    if (!file) {
        marun_log(3, "Unable to open file %s: %s\n", filename, errorText());
        return 1;
    }
    for (const std::string& s : strs) {
        if (std::fputs(withNewline(s).c_str(), file.get()) == EOF) {
            marun_log(3, "Unable to fputs to file %s: %s\n", filename, errorText());
            return 1;
        }
    }
    // Appending leaves the owner, group and mode of an existing file as they were.
    return closeFile(file, filename) ? 0 : 1;
}

struct Rewrite {
    std::vector<std::string> head;               // lines written before the old content
    std::function<bool(const char* line)> keep;  // false drops the (newline-less) line
    bool fatal_write_error = false;              // a failed line write ends the process
    const char* rename_message = nullptr;
};

// Copies `filename` through the filter into "<filename>.tmp", gives the copy
// the original's owner, group and mode, and renames it over the original.
int rewriteFile(const char* filename, const struct stat& original, const Rewrite& how) {
    FilePtr in = openNoFollow(filename, O_RDONLY, "r");
    if (!in) {
        marun_log(3, "Unable to open file %s: %s\n", filename, errorText());
        return 1;
    }
    TmpFileGuard tmp(std::string(filename) + ".tmp");
    FilePtr out = createTmpFile(tmp.path());
    if (!out) {
        marun_log(3, "Unable to open file %s: %s\n", tmp.path().c_str(), errorText());
        return 1;
    }
    for (const std::string& line : how.head) {
        if (std::fputs(line.c_str(), out.get()) == EOF) {
            marun_log(3, "Unable to fputs to file %s: %s\n", tmp.path().c_str(), errorText());
            return 1;
        }
    }
    char buf[N];
    while (std::fgets(buf, sizeof(buf), in.get()) != nullptr) {
        if (how.keep) {
            size_t len = std::strlen(buf);
            bool newline = len > 0 && buf[len - 1] == '\n';
            if (newline) {
                buf[len - 1] = '\0';
            }
            bool keep = how.keep(buf);
            if (newline) {
                buf[len - 1] = '\n';
            }
            if (!keep) {
                continue;
            }
        }
        if (std::fputs(buf, out.get()) == EOF) {
            if (how.fatal_write_error) {
                unlink(tmp.path().c_str());
                messlog2(1, 0, "cannot write a line to %s.tmp", filename);
            }
            marun_log(3, "Unable to fputs to file %s: %s\n", tmp.path().c_str(), errorText());
            return 1;
        }
    }
    if (std::ferror(in.get())) {
        marun_log(3, "Unable to read file %s: %s\n", filename, errorText());
        return 1;
    }
    // Owner and mode are set before the rename, so the new file never shows
    // with the temporary file's root-only permissions.
    if (fchown(fileno(out.get()), original.st_uid, original.st_gid) != 0) {
        marun_log(3, "file_str: ERROR: Unable to chown file %s: %s", filename, errorText());
        return 1;
    }
    if (fchmod(fileno(out.get()), original.st_mode & 07777) != 0) {
        marun_log(3, "file_str: ERROR: Unable to chmod file %s: %s", filename, errorText());
        return 1;
    }
    if (!closeFile(out, tmp.path().c_str())) {
        return 1;
    }
    if (std::rename(tmp.path().c_str(), filename) != 0) {
        marun_log(3, how.rename_message, filename, errorText());
        return 1;
    }
    tmp.commit();
    return 0;
}

bool matches(const char* line, const std::string& s, file_pos_t set) {
    size_t line_len = std::strlen(line);
    switch (set) {
        case FILE_BEGIN:
            return std::strncmp(line, s.c_str(), s.size()) == 0;
        case FILE_END:
            return line_len >= s.size() && std::strcmp(line + line_len - s.size(), s.c_str()) == 0;
        case FILE_MID:
            return std::strstr(line, s.c_str()) != nullptr;
    }
    return false;
}

int editLocked(const char* filename, const std::vector<std::string>& strs, file_action_t cmd,
               file_pos_t set) {
    struct stat original {};
    bool exists = lstat(filename, &original) == 0;
    if (!exists) {
        if (errno != ENOENT) {
            marun_log(3, "file_str: Unable to stat file %s: %s\n", filename, errorText());
            return 1;
        }
        // A missing file: appending creates it, every rewrite fails on opening it.
    }
    Rewrite how;
    switch (cmd) {
        case FILE_ADD:
            if (set == FILE_END) {
                return appendLines(filename, strs);
            }
            if (set != FILE_BEGIN) {
                return 0;
            }
            for (const std::string& s : strs) {
                how.head.push_back(withNewline(s));
            }
            how.rename_message = "Unable to rename file %s: %s\n";
            return rewriteFile(filename, original, how);
        case FILE_REMOVE: {
            if (!exists) {
                return 1;
            }
            std::vector<std::string> unwanted;
            for (const std::string& s : strs) {
                unwanted.push_back(withoutNewline(s));
            }
            how.keep = [&unwanted](const char* line) {
                for (const std::string& s : unwanted) {
                    if (s == line) {
                        return false;
                    }
                }
                return true;
            };
            how.fatal_write_error = true;
            how.rename_message = "Error while rename file %s: %s\n";
            return rewriteFile(filename, original, how);
        }
        case FILE_REMSUB:
            how.keep = [&strs, set](const char* line) {
                for (const std::string& s : strs) {
                    if (matches(line, s, set)) {
                        return false;
                    }
                }
                return true;
            };
            how.rename_message = "Error while rename file %s: %s\n";
            return rewriteFile(filename, original, how);
    }
    return 1;
}

}  // namespace

int file_str(const char* filename, const char* str, file_action_t cmd, file_pos_t set) {
    return file_strings(filename, {str}, cmd, set);
}

int file_strings(const char* filename, const std::vector<std::string>& strs, file_action_t cmd,
                 file_pos_t set) {
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
