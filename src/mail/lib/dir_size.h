// Size of a file or directory tree, as the mailbox size reports it.
#pragma once

// The size of `path` and, for a directory, of everything below it (the
// directories' own sizes included; symbolic links are counted, not
// followed). With `in_blocks` allocated 512-byte blocks times 512 are counted
// instead of lengths. -1 on failure.
long long get_dir_size(const char* path, int in_blocks);

// The same for the entry `name` of the directory open on `dir`.
long long dir_size_at(int dir, const char* name, int in_blocks);
