// ASCIIToNumeric: strict conversion of a decimal text to an unsigned number,
// for option values that must not wrap ("-1" never becomes 65535).
#pragma once

#include <limits>
#include <string>
#include <type_traits>

namespace marun {
namespace Util {

// Blanks, tabs, line feeds and carriage returns may surround the number; one
// leading "+" (blanks may follow it) is allowed, a "-" is not; the digits
// must not exceed T's range. A text of blanks only is refused; "+" followed
// only by blanks gives 0. False, with `out` untouched, when refused.
template <class T>
bool ASCIIToNumeric(const std::string& text, T& out) {
    static_assert(std::is_unsigned<T>::value, "unsigned types only");
    const char* const blanks = " \t\n\r";
    std::string::size_type at = text.find_first_not_of(blanks);
    if (at == std::string::npos) {
        return false;
    }
    if (text[at] == '+') {
        at = text.find_first_not_of(blanks, at + 1);
        if (at == std::string::npos) {
            out = 0;
            return true;
        }
    }
    T value = 0;
    const std::string::size_type digits = at;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
        const T digit = static_cast<T>(text[at] - '0');
        if (value > (std::numeric_limits<T>::max() - digit) / 10) {
            return false;
        }
        value = static_cast<T>(value * 10 + digit);
    }
    if (at == digits || text.find_first_not_of(blanks, at) != std::string::npos) {
        return false;
    }
    out = value;
    return true;
}

}  // namespace Util
}  // namespace marun
