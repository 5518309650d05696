// Scoped owners for C resources of every layer: malloc'ed memory, stdio
// streams and directory streams. Descriptors have UniqueFd (lib/unique_fd.h).
#pragma once

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
// Memory from malloc, strdup and the C libraries that return malloc'ed results.
template <class T>
using MallocPtr = std::unique_ptr<T, FreeDeleter>;

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
// Closed without a check; close explicitly where the result matters.
using FilePtr = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};
// A directory stream from opendir or fdopendir (which then owns the descriptor).
using DirPtr = std::unique_ptr<DIR, DirCloser>;
