// Self-deleting output file stream over a freshly created file.
#include "util/autoclean_ofstream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "lib/tree_walk.h"

namespace marun {

namespace {
constexpr mode_t SOURCE_MODE = 0644;
}  // namespace

AutocleanOFStream::AutocleanOFStream(const std::string& fileName)
    : std::ostream(nullptr), fileName_(fileName) {
    dir_.reset(walk_open_parent(fileName.c_str(), &name_));
    int fd =
        dir_.valid() ? walk_create_fresh_at(dir_.get(), name_.c_str(), O_WRONLY, SOURCE_MODE) : -1;
    if (fd < 0) {
        setstate(std::ios_base::badbit);
        return;
    }
    buffer_ = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios_base::out);
    rdbuf(buffer_.get());
}

void AutocleanOFStream::close() {
    if (buffer_ && buffer_->close() == nullptr) {
        setstate(std::ios_base::badbit);
    }
}

AutocleanOFStream::~AutocleanOFStream() {
    int saved = errno;
    close();
    if (buffer_) {
        unlinkat(dir_.get(), name_.c_str(), 0);
    }
    errno = saved;
}

}  // namespace marun
