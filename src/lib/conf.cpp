// Name/value store and the configuration file reader.
#include "lib/conf.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/c_handles.h"
#include "lib/log.h"

namespace {

// Messages of the configuration reader go to the user facility at warning level.
constexpr int kConfLogPriority = 12;
constexpr uint32_t kConfInitialEntries = 20;

// Logs with errno preserved, so that callers still see the error of the
// operation that failed.
template <class... Args>
void confLog(const char* format, Args... args) {
    int saved = errno;
    marun_log(kConfLogPriority, format, args...);
    errno = saved;
}

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

bool isNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

conf_entry* findLinear(const char* name, const conf_data* conf) {
    for (uint32_t i = 0; i < conf->nmemb; ++i) {
        if (std::strcmp(conf->data[i].key, name) == 0) {
            return &conf->data[i];
        }
    }
    return nullptr;
}

bool keyLess(const conf_entry& a, const conf_entry& b) {
    return std::strcmp(a.key, b.key) < 0;
}

// Parses one line; malformed lines are logged and ignored (result 0). The
// result is -1 only when the pair cannot be stored.
int parseLine(char* line, conf_data* conf) {
    char* p = line;
    while (isSpace(*p)) {
        ++p;
    }
    if (*p == '\0' || *p == '#') {
        return 0;
    }
    char* name = p;
    while (isNameChar(*p)) {
        ++p;
    }
    if (!isSpace(*p)) {
        confLog("Invalid variable definition %s\nExpected a space after variable name\n", name);
        return 0;
    }
    char* name_end = p;
    while (isSpace(*p)) {
        ++p;
    }
    if (*p == '\0' || *p == '#') {
        confLog("Invalid variable definition %s\nExpected a value", name);
        return 0;
    }
    char* value = p;
    char* value_end = std::strchr(value, '#');
    if (value_end == nullptr) {
        value_end = value + std::strlen(value);
    }
    while (value_end > value && isSpace(value_end[-1])) {
        --value_end;
    }
    *name_end = '\0';
    *value_end = '\0';
    return conf_set_r(name, value, conf);
}

// The buffer that getline() allocates and grows.
struct LineBuffer {
    char* text = nullptr;
    size_t capacity = 0;
    ~LineBuffer() { std::free(text); }
};

}  // namespace

int conf_init_r(conf_data* conf) {
    if (conf->data != nullptr && conf->nmemb < conf->size) {
        return 0;
    }
    uint32_t new_size;
    if (conf->data == nullptr) {
        new_size = kConfInitialEntries;
    } else {
        new_size = conf->size * 2;
        if (new_size <= conf->nmemb) {
            new_size = conf->nmemb + kConfInitialEntries;
        }
    }
    void* grown = nullptr;
    if (new_size > conf->nmemb) {
        grown = std::realloc(conf->data, sizeof(conf_entry) * static_cast<size_t>(new_size));
    }
    if (grown == nullptr) {
        errno = ENOMEM;
        confLog("Unable to read configuration: %s", std::strerror(ENOMEM));
        return -1;
    }
    if (conf->data == nullptr) {
        conf->nmemb = 0;
        conf->finalized = 1;
    }
    conf->data = static_cast<conf_entry*>(grown);
    conf->size = new_size;
    return 0;
}

int conf_set_r(const char* name, const char* value, conf_data* conf) {
    conf_entry* existing = findLinear(name, conf);
    if (existing != nullptr) {
        char* copy = strdup(value);
        if (copy == nullptr) {
            errno = ENOMEM;
            confLog("Unable to form configuration: %s", std::strerror(ENOMEM));
            return -1;
        }
        std::free(existing->value);
        existing->value = copy;
        return 0;
    }
    if (conf_init_r(conf) != 0) {
        return -1;
    }
    MallocPtr<char> key(strdup(name));
    MallocPtr<char> val(strdup(value));
    if (!key || !val) {
        errno = ENOMEM;
        confLog("Unable to form configuration: %s", std::strerror(ENOMEM));
        return -1;
    }
    conf->data[conf->nmemb].key = key.release();
    conf->data[conf->nmemb].value = val.release();
    ++conf->nmemb;
    conf->finalized = 0;
    return 0;
}

int conf_finalize_r(conf_data* conf) {
    if (!conf->finalized) {
        std::sort(conf->data, conf->data + conf->nmemb, keyLess);
        conf->finalized = 1;
    }
    return 0;
}

const char* conf_get_r(const char* name, const conf_data* conf) {
    if (conf->nmemb == 0) {
        return nullptr;
    }
    if (!conf->finalized) {
        const conf_entry* entry = findLinear(name, conf);
        return entry != nullptr ? entry->value : nullptr;
    }
    const conf_entry* begin = conf->data;
    const conf_entry* end = begin + conf->nmemb;
    const conf_entry* found = std::lower_bound(
        begin, end, name,
        [](const conf_entry& entry, const char* key) { return std::strcmp(entry.key, key) < 0; });
    if (found != end && std::strcmp(found->key, name) == 0) {
        return found->value;
    }
    return nullptr;
}

int conf_read_file_r(const char* path, conf_data* conf) {
    FilePtr file(std::fopen(path, "re"));
    if (!file) {
        confLog("unable to open configuration file %s: %s\n", path, std::strerror(errno));
        return -1;
    }
    LineBuffer line;
    for (;;) {
        errno = 0;
        if (getline(&line.text, &line.capacity, file.get()) < 0) {
            break;
        }
        if (parseLine(line.text, conf) != 0) {
            return -1;
        }
    }
    if (std::ferror(file.get()) || !std::feof(file.get())) {
        if (errno == 0) {
            errno = EIO;
        }
        confLog("Unable to read configuration file: %s", std::strerror(errno));
        return -1;
    }
    return conf_finalize_r(conf);
}

void conf_free_r(conf_data* conf) {
    if (conf == nullptr) {
        return;
    }
    for (uint32_t i = 0; i < conf->nmemb; ++i) {
        std::free(conf->data[i].key);
        std::free(conf->data[i].value);
    }
    std::free(conf->data);
    std::free(conf);
}
