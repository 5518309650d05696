// The password hand-over from the panel: a password never travels on the
// command line but in the environment variable ORU_PASSWORD (plain) or
// ORU_CRYPTED_PASSWORD (already crypted). Both are taken out of the
// environment at start-up, before any child process can inherit them, and
// kept in this process until a command asks for the password.
#pragma once

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

// Reads both variables, keeps their values for get_env_password, removes
// them from the environment and overwrites the bytes of their values there,
// so that no child started later, nor this process's /proc/PID/environ,
// shows a password. do_main calls it first, for every command; calling it
// again takes only what has been set since. Throws std::bad_alloc when a
// copy cannot be made.
void take_env_passwords();

// take_env_passwords, then hands over the password: the plain one when it
// is not empty (*crypted = 0), else the crypted one (*crypted = 1). The
// result is 0 with *password a malloc'ed copy that the caller frees, and
// both kept values are dropped. When neither holds a password the result is
// -1 and the outputs keep their values. Throws std::bad_alloc when the copy
// cannot be made.
int get_env_password(char** password, int* crypted);

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
