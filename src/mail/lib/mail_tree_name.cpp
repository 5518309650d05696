// Rules for a single level of the mail tree: not empty, not hidden or a
// parent reference, no separators, nothing that would split a line or a
// list where the name is written, and short enough for the file system.
#include "mail/lib/mail_tree_name.h"

#include <cstdlib>
#include <cstring>
#include <string_view>

#include "lib/idn.h"
#include "lib/utf8.h"

const char* mail_tree_name_error(const char* name, std::size_t length) {
    std::string_view text(name, length);
    if (text.empty()) {
        return "it is empty";
    }
    if (text.find('\0') != std::string_view::npos) {
        return "it contains a zero byte";
    }
    for (char c : text) {
        if (c == ' ' || (c >= '\t' && c <= '\r')) {
            return "it contains white space";
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            return "it contains a control character";
        }
    }
    if (text.front() == '.') {
        return "it begins with '.'";
    }
    if (text.find('/') != std::string_view::npos) {
        return "it contains '/'";
    }
    if (text.find("..") != std::string_view::npos) {
        return "it contains '..'";
    }
    if (text.size() > MAIL_TREE_NAME_MAX) {
        return "it is too long";
    }
    if (!utf8_valid(name, length)) {
        return "it is not valid UTF-8";
    }
    return nullptr;
}

char* mail_tree_domain(const char* domain, const char** why) {
    *why = nullptr;
    char* ascii = idn_toascii(domain);
    if (ascii != nullptr && (*why = mail_tree_name_error(ascii, std::strlen(ascii))) != nullptr) {
        std::free(ascii);
        ascii = nullptr;
    }
    return ascii;
}
