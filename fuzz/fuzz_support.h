// Shared by the fuzz targets: a private scratch directory for the readers
// and editors that work on files, and silence for the library's logging.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
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

inline void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

inline std::string readFile(const std::string& path) {
    std::ostringstream content;
    content << std::ifstream(path, std::ios::binary).rdbuf();
    return content.str();
}

}  // namespace kvarn_fuzz
