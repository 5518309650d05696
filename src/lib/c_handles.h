// Scoped owners for C resources used inside the plain-function library:
// malloc'ed memory and stdio streams.
#pragma once

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
