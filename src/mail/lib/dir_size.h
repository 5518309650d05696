// Size of a file or directory tree, as the mailbox size reports it.
#pragma once

// The size of `path` and, for a directory, of everything below it (the
// directories' own sizes included; symbolic links are counted, not
// followed). With `in_blocks` allocated 512-byte blocks times 512 are counted
// instead of lengths. -1 on failure.
long long get_dir_size(const char* path, int in_blocks);
