// Process table scan over /proc/<pid>/exe.
#include "lib/killproc.h"

#include <dirent.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "lib/c_handles.h"

int find_process_by_exe(const char* path) {
    DirPtr proc(opendir("/proc"));
    if (!proc) {
        return -1;
    }
    while (dirent* entry = readdir(proc.get())) {
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0]))) {
            continue;
        }
        std::string link = std::string("/proc/") + entry->d_name + "/exe";
        char target[PATH_MAX];
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            continue;  // gone, kernel thread, or not ours to read
        }
        target[n] = '\0';
        if (std::strcmp(target, path) == 0) {
            return std::atoi(entry->d_name);
        }
    }
    return -1;
}

int killproc(const char* path) {
    int pid = find_process_by_exe(path);
    if (pid <= 0) {
        return -1;
    }
    return kill(pid, SIGINT);
}
