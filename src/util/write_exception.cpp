// Child-to-parent exception framing.
#include "util/write_exception.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace marun {
namespace process {

namespace {
void writeAll(int fd, const char* data, size_t size) {
    ssize_t n;
    do {
        n = ::write(fd, data, size);
    } while (n < 0 && errno == EINTR);
}
}  // namespace

void writeException(int fd, const char* type, const char* message) {
    if (fd < 0) {
        return;
    }
    writeAll(fd, "ET: ", 4);
    writeAll(fd, type, std::strlen(type) + 1);
    writeAll(fd, "EM: ", 4);
    writeAll(fd, message, std::strlen(message) + 1);
}

}  // namespace process
}  // namespace marun
