// Self-deleting output file stream.
#include "util/autoclean_ofstream.h"

#include <unistd.h>

#include <cerrno>

namespace marun {

AutocleanOFStream::AutocleanOFStream(const std::string& fileName, std::ios_base::openmode mode)
    : std::ofstream(fileName, mode), fileName_(fileName) {}

AutocleanOFStream::~AutocleanOFStream() {
    int saved = errno;
    if (is_open()) {
        close();
    }
    ::unlink(fileName_.c_str());
    errno = saved;
}

}  // namespace marun
