// UTF-8 validity, as Postfix checks its input when SMTPUTF8 is on: postmap
// skips a line that is not valid UTF-8, with a mere warning.
#pragma once

#include <cstddef>
#include <string>

// True when the `length` bytes at `text` are well-formed UTF-8: no stray
// continuation bytes, no overlong forms, no surrogates, nothing above
// U+10FFFF.
bool utf8_valid(const char* text, std::size_t length);

inline bool utf8_valid(const std::string& text) {
    return utf8_valid(text.data(), text.size());
}
