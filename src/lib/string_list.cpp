// Null-terminated string arrays.
#include "lib/string_list.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

void free_array(char** list) {
    if (list == nullptr) {
        return;
    }
    for (char** item = list; *item != nullptr; ++item) {
        std::free(*item);
    }
    std::free(list);
}

int string_list_append(char*** list, const char* text) {
    size_t count = 0;
    while (*list != nullptr && (*list)[count] != nullptr) {
        ++count;
    }
    char* copy = strdup(text);
    if (copy == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    auto** grown = static_cast<char**>(std::realloc(*list, (count + 2) * sizeof(char*)));
    if (grown == nullptr) {
        std::free(copy);
        errno = ENOMEM;
        return -1;
    }
    grown[count] = copy;
    grown[count + 1] = nullptr;
    *list = grown;
    return 0;
}
