// Handing a file of the mail tree to a system user with a given mode,
// without ever following a link planted in its place.
#pragma once

#include <sys/types.h>

// Gives `path` to `user` and the user's primary group, then sets `mode`.
// Refuses symbolic links and anything but a regular file. 0, or -1 after a
// message ("user %s not found", "ERROR: unable to chown %s: %s",
// "ERROR: unable to chmod %s: %s").
int file_set_user_mode(const char* path, const char* user, mode_t mode);

// The same on an open descriptor of `path` (used for a file before it is
// renamed into place).
int fd_set_user_mode(int fd, const char* path, const char* user, mode_t mode);
