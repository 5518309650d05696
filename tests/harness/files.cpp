// Integration-test harness: file and host name helpers.
#include "harness/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <utility>

#include "harness/process.h"

namespace kvarn_test {

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path) {
    throw HarnessError(what + " " + path + ": " + strerror(errno));
}

// Owner first: chown clears set-id bits, so the mode is applied after it.
void copyAttributes(const std::string& to, const struct stat& st) {
    if (::lchown(to.c_str(), st.st_uid, st.st_gid) != 0) {
        fail("cannot chown", to);
    }
    if (!S_ISLNK(st.st_mode) && ::chmod(to.c_str(), st.st_mode & 07777) != 0) {
        fail("cannot chmod", to);
    }
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::utimensat(AT_FDCWD, to.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
        fail("cannot set times of", to);
    }
}

void copyEntry(const std::string& from, const std::string& to) {
    struct stat st;
    if (::lstat(from.c_str(), &st) != 0) {
        fail("cannot stat", from);
    }
    if (S_ISDIR(st.st_mode)) {
        if (::mkdir(to.c_str(), 0700) != 0 && errno != EEXIST) {
            fail("cannot create directory", to);
        }
        for (const auto& name : listDir(from)) {
            copyEntry(from + "/" + name, to + "/" + name);
        }
    } else if (S_ISLNK(st.st_mode)) {
        std::filesystem::copy_symlink(from, to);
    } else if (S_ISREG(st.st_mode)) {
        std::filesystem::copy_file(from, to);
    } else {
        throw HarnessError("cannot copy special file " + from);
    }
    copyAttributes(to, st);
}

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fail("cannot open", path);
    }
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content, mode_t mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!(out << content) || !out.flush()) {
            fail("cannot write", path);
        }
    }
    if (::chmod(path.c_str(), mode) != 0) {
        fail("cannot chmod", path);
    }
}

bool pathExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

FileInfo fileInfo(const std::string& path) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        fail("cannot stat", path);
    }
    FileInfo info;
    for (const auto& [bits, letter] : {std::pair<mode_t, char>{S_IFREG, 'f'},
                                       {S_IFDIR, 'd'},
                                       {S_IFLNK, 'l'},
                                       {S_IFSOCK, 's'},
                                       {S_IFIFO, 'p'},
                                       {S_IFCHR, 'c'},
                                       {S_IFBLK, 'b'}}) {
        if ((st.st_mode & S_IFMT) == bits) {
            info.type = letter;
        }
    }
    info.uid = st.st_uid;
    info.gid = st.st_gid;
    info.mode = st.st_mode & 07777;
    info.size = st.st_size;
    const struct passwd* pw = ::getpwuid(st.st_uid);
    info.owner = pw ? pw->pw_name : std::to_string(st.st_uid);
    const struct group* gr = ::getgrgid(st.st_gid);
    info.group = gr ? gr->gr_name : std::to_string(st.st_gid);
    return info;
}

std::string fileOwner(const std::string& path) {
    FileInfo info = fileInfo(path);
    return info.owner + ":" + info.group;
}

mode_t fileMode(const std::string& path) {
    return fileInfo(path).mode;
}

std::vector<std::string> listDir(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) {
        fail("cannot open directory", path);
    }
    std::vector<std::string> names;
    while (const struct dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void copyTreeInto(const std::string& from, const std::string& to) {
    copyEntry(from, to);
}

std::string currentHostname() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        throw HarnessError(std::string("gethostname: ") + strerror(errno));
    }
    return name;
}

void setHostname(const std::string& name) {
    if (::sethostname(name.data(), name.size()) != 0) {
        fail("cannot set host name to", name);
    }
}

uid_t userId(const std::string& name) {
    const struct passwd* pw = ::getpwnam(name.c_str());
    if (!pw) {
        throw HarnessError("no such user: " + name);
    }
    return pw->pw_uid;
}

gid_t groupId(const std::string& name) {
    const struct group* gr = ::getgrnam(name.c_str());
    if (!gr) {
        throw HarnessError("no such group: " + name);
    }
    return gr->gr_gid;
}

}  // namespace kvarn_test
