// Shared by the fuzz targets: a private scratch directory for the readers
// and editors that work on files, and silence for the library's logging.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "lib/log.h"

namespace kvarn_fuzz {

inline void ignoreLog(int, const char*, ...) {}

// The library logs every refusal; a fuzz run would drown in them.
inline void quietLogs() {
    marun_log = ignoreLog;
}

// A directory on a tmpfs of this process alone: the run gets a mount
// namespace of its own and a fresh tmpfs over "/var/lock", where the line
// editor also keeps its lock files. Nothing the target writes reaches the
// host's file systems, and it all goes when the process ends. Needs root.
inline const std::string& privateDir() {
    static const std::string dir = [] {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", "/var/lock", "tmpfs", 0, "mode=0755,size=256m") != 0) {
            std::perror("fuzz target: a private tmpfs needs root (unshare, mount)");
            std::abort();
        }
        mkdir("/var/lock/work", 0755);
        return std::string("/var/lock/work");
    }();
    return dir;
}

// Replaces `path` with `content` (written through stdio, as any editor would).
inline void writeFile(const std::string& path, const std::string& content) {
    FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr || std::fwrite(content.data(), 1, content.size(), f) != content.size() ||
        std::fclose(f) != 0) {
        std::abort();
    }
}

inline std::string readFile(const std::string& path) {
    std::string content;
    if (FILE* f = std::fopen(path.c_str(), "r")) {
        char buffer[65536];
        for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
            content.append(buffer, got);
        }
        std::fclose(f);
    }
    return content;
}

}  // namespace kvarn_fuzz
