// Process table scan over /proc/<pid>/exe.
#include "lib/killproc.h"

#include <signal.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include "lib/proc_scan.h"

int find_process_by_exe(const char* path) {
    const pid_t pid = for_each_process([path](pid_t candidate) {
        const std::string link = "/proc/" + std::to_string(candidate) + "/exe";
        char target[PATH_MAX];
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            return false;  // gone, kernel thread, or not ours to read
        }
        target[n] = '\0';
        return std::strcmp(target, path) == 0;
    });
    return pid > 0 ? pid : -1;
}

int killproc(const char* path) {
    int pid = find_process_by_exe(path);
    if (pid <= 0) {
        return -1;
    }
    return kill(pid, SIGINT);
}
