// Locked line editing of text files (append, prepend, remove matching lines).
// The files edited here may lie in directories other users can write (mail
// homes): they are reached through the no-follow walker, a rewrite goes
// through a fresh "<file>.tmp" renamed over the file, and only appending
// writes to the file in place.
#include "lib/file_str.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "lib/atomic_file.h"
#include "lib/c_handles.h"
#include "lib/lock.h"
#include "lib/log.h"
#include "lib/tree_walk.h"
#include "lib/unique_fd.h"

namespace {

// Line buffer: lines longer than N - 1 bytes are handled in pieces.
constexpr size_t N = 4096;
// Output is handed to write() in pieces of about this size.
constexpr size_t OUTPUT_BATCH = 65536;

const char* errorText() {
    return walk_strerror(errno);
}

std::string withNewline(const std::string& s) {
    return !s.empty() && s.back() == '\n' ? s : s + '\n';
}

std::string withoutNewline(const std::string& s) {
    return !s.empty() && s.back() == '\n' ? s.substr(0, s.size() - 1) : s;
}

// The file being edited: its directory and its name there.
struct Target {
    const char* path;
    marun::UniqueFd dir;
    std::string name;
};

int appendLines(const Target& file, const std::vector<std::string>& strs) {
    marun::UniqueFd fd(
        walk_open_file_at(file.dir.get(), file.name.c_str(), O_WRONLY | O_APPEND | O_CREAT));
    if (!fd.valid()) {
        marun_log(3, "Unable to open file %s: %s\n", file.path, errorText());
        return 1;
    }
    std::string lines;
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
    std::vector<std::string> head;               // lines written before the old content
    std::function<bool(const char* line)> keep;  // false drops the (newline-less) line
    bool fatal_write_error = false;              // a failed line write ends the process
    const char* rename_message = nullptr;
};

// Copies the file through the filter into a fresh "<file>.tmp", gives the
// copy the original's owner, group and mode, and renames it over the original.
int rewriteFile(const Target& file, const Rewrite& how) {
    struct stat original;
    marun::UniqueFd in_fd(
        walk_open_file_at(file.dir.get(), file.name.c_str(), O_RDONLY, 0, &original));
    FilePtr in(in_fd.valid() ? fdopen(in_fd.get(), "r") : nullptr);
    if (!in) {
        marun_log(3, "Unable to open file %s: %s\n", file.path, errorText());
        return 1;
    }
    in_fd.release();
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
                changed = true;
                continue;
            }
        }
        out += buf;
        if (!flush(OUTPUT_BATCH)) {
            return 1;
        }
    }
    if (!flush(0)) {
        return 1;
    }
    if (std::ferror(in.get())) {
        marun_log(3, "Unable to read file %s: %s\n", file.path, errorText());
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
            return rewriteFile(file, how);
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
            return rewriteFile(file, how);
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
