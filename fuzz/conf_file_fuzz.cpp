// The panel configuration reader against a model of its line rules: every
// name stored holds the value of the last valid line defining it, and no
// other name is stored.
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "fuzz_support.h"
#include "lib/conf.h"

namespace {

bool space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// name -> value as the rules read `text`: "name <white space> value", "#"
// starting a comment, trailing white space dropped; a NUL ends its line.
std::map<std::string, std::string> model(const std::string& text) {
    std::map<std::string, std::string> pairs;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        end = end == std::string::npos ? text.size() : end + 1;
        std::string line = text.substr(pos, end - pos);
        pos = end;
        line = line.substr(0, line.find('\0'));
        size_t p = 0;
        while (p < line.size() && space(line[p])) {
            ++p;
        }
        size_t name = p;
        while (p < line.size() &&
               (std::isalnum(static_cast<unsigned char>(line[p])) || line[p] == '_')) {
            ++p;
        }
        if (name == line.size() || line[name] == '#' || p == line.size() || !space(line[p])) {
            continue;
        }
        size_t value = p;
        while (value < line.size() && space(line[value])) {
            ++value;
        }
        size_t stop = std::min(line.find('#', value), line.size());
        while (stop > value && space(line[stop - 1])) {
            --stop;
        }
        if (stop > value) {
            pairs[line.substr(name, p - name)] = line.substr(value, stop - value);
        }
    }
    return pairs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string path = kvarn_fuzz::privateDir() + "/oru.conf";
    kvarn_fuzz::quietLogs();
    std::string text(reinterpret_cast<const char*>(data), size);
    kvarn_fuzz::writeFile(path, text);
    conf_data* conf = static_cast<conf_data*>(std::calloc(1, sizeof(conf_data)));
    if (conf_read_file_r(path.c_str(), conf) != 0) {
        std::abort();
    }
    std::map<std::string, std::string> expected = model(text);
    if (conf->nmemb != expected.size()) {
        std::abort();
    }
    for (const auto& [name, value] : expected) {
        const char* got = conf_get_r(name.c_str(), conf);
        if (got == nullptr || value != got) {
            std::abort();
        }
    }
    conf_free_r(conf);
    return 0;
}
