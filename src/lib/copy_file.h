// Copying whole files: in place under the destination's lock, or atomically
// through a temporary file renamed over the destination; and the copy of one
// open file's content into another, which both use.
#pragma once

#include <sys/types.h>

// Copies `src` to `dst` ("-" is standard output) while holding the lock by
// name on `dst`; a new `dst` gets `src`'s mode. Copying a path onto itself
// does nothing. 0 on success, 1 on failure (reported through marun_log).
int copy_file(const char* src, const char* dst);

// Copies `src` into a new temporary file beside `dst`, gives it `uid`, `gid`
// and `mode`, and renames it over `dst`, so that `dst` is replaced whole or
// not at all. Returns only on success: every failure ends the process with
// exit status 1 after a message.
void copy_file_atomic(const char* src, const char* dst, uid_t uid, gid_t gid, mode_t mode);

// Copies the whole content of the open file `in` (from its start, whatever
// its offset) to the current offset of `out`, in the kernel where it can
// (copy_file_range), else through a buffer. 0, or -1 with errno set.
int copy_fd(int in, int out);
