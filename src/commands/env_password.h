// The password hand-over from the panel: a password never travels on the
// command line but in the environment variable ORU_PASSWORD (plain) or
// ORU_CRYPTED_PASSWORD (already crypted), and is taken out of the
// environment as soon as it is read.
#pragma once

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

// Takes the password from ORU_PASSWORD when it is set and not empty
// (*crypted = 0), else from ORU_CRYPTED_PASSWORD (*crypted = 1), and returns
// 0 with *password a malloc'ed copy that the caller frees. Both variables
// are then removed from the environment and the bytes of their values
// overwritten, so that no child started later, nor this process's
// /proc/PID/environ, shows a password. When neither variable holds a
// password the result is -1 and nothing changes, outputs included. Throws
// std::bad_alloc when the copy cannot be made.
int get_env_password(char** password, int* crypted);

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
