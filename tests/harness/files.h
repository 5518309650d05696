// Integration-test harness: reading, writing and inspecting files inside the
// sandbox, and the host name of its UTS namespace.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace kvarn_test {

// Whole content of a file; throws HarnessError if it cannot be read.
std::string readFile(const std::string& path);

// Replaces the file's content (creating it with mode if it is new) and sets
// mode; the parent directory must exist.
void writeFile(const std::string& path, const std::string& content, mode_t mode = 0644);

// True if something (even a dangling symbolic link) exists at path.
bool pathExists(const std::string& path);

// Owner, group and permission bits of a path (symbolic links not followed).
struct FileInfo {
    char type = '?';  // 'f' file, 'd' directory, 'l' symbolic link, 's' socket, 'p' fifo...
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;    // permission bits, including set-id and sticky bits
    std::string owner;  // user name, or the number if it has none
    std::string group;  // group name, or the number if it has none
    off_t size = 0;
};
FileInfo fileInfo(const std::string& path);

// "user:group" of a path, e.g. "popuser:popuser".
std::string fileOwner(const std::string& path);

// Permission bits of a path, e.g. 0751.
mode_t fileMode(const std::string& path);

// Names in a directory, sorted, without "." and "..".
std::vector<std::string> listDir(const std::string& path);

// Copies the tree under from into the existing directory to, keeping
// owners, modes and times (a file's time matters to Postfix, which waits
// for recently changed configuration to settle); to itself takes from's
// owner, mode and times.
void copyTreeInto(const std::string& from, const std::string& to);

// The host name seen by programs in the sandbox.
std::string currentHostname();

// Sets the host name of the sandbox's UTS namespace (the host's is never
// affected). The fixture restores the original name after each test.
void setHostname(const std::string& name);

// Numeric id of a user or group; throws HarnessError if there is none.
uid_t userId(const std::string& name);
gid_t groupId(const std::string& name);

}  // namespace kvarn_test
