// How a forked child tells its parent, over the control pipe, which exception
// stopped it before exec: "ET: " type NUL "EM: " message NUL.
#pragma once

namespace marun {
namespace process {

// Async-signal-safe: raw write(2) only, retried on EINTR; does nothing for a
// negative descriptor; other write failures are ignored.
void writeException(int fd, const char* type, const char* message);

}  // namespace process
}  // namespace marun
