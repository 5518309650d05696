// sh_quote: makes a text safe to paste into a POSIX shell command line as one
// word, by escaping the shell's special characters.
#pragma once

#include <string>

namespace marun {

// Backslash before each of TAB, space, " # $ & ' ( ) * ; < > ? [ \ ` | ~;
// a line feed becomes ' LF '; every other byte is copied. "" gives "".
std::string sh_quote(const std::string& text);

}  // namespace marun
