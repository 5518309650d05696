// UTF-8 well-formedness (the table of well-formed byte sequences of the
// Unicode standard).
#include "lib/utf8.h"

bool utf8_valid(const char* text, std::size_t length) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    const unsigned char* end = p + length;
    while (p < end) {
        unsigned char c = *p++;
        if (c < 0x80) {
            continue;
        }
        int more;
        unsigned char low = 0x80, high = 0xbf;  // range of the second byte
        if (c >= 0xc2 && c <= 0xdf) {
            more = 1;
        } else if (c >= 0xe0 && c <= 0xef) {
            more = 2;
            low = c == 0xe0 ? 0xa0 : 0x80;   // no overlong forms
            high = c == 0xed ? 0x9f : 0xbf;  // no surrogates
        } else if (c >= 0xf0 && c <= 0xf4) {
            more = 3;
            low = c == 0xf0 ? 0x90 : 0x80;
            high = c == 0xf4 ? 0x8f : 0xbf;  // nothing above U+10FFFF
        } else {
            return false;
        }
        if (end - p < more || *p < low || *p > high) {
            return false;
        }
        for (++p, --more; more > 0; --more, ++p) {
            if (*p < 0x80 || *p > 0xbf) {
                return false;
            }
        }
    }
    return true;
}
