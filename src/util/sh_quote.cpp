// Shell quoting of single words.
#include "util/sh_quote.h"

#include <cstring>

namespace marun {

std::string sh_quote(const std::string& text) {
    static const char special[] = "\t \"#$&'()*;<>?[\\`|~";
    std::string result;
    result.reserve(text.size() + text.size() / 4);
    for (char c : text) {
        if (c == '\n') {
            result += "'\n'";
        } else if (c != '\0' && std::strchr(special, c) != nullptr) {
            result += '\\';
            result += c;
        } else {
            result += c;
        }
    }
    return result;
}

}  // namespace marun
