// Base64 encoding and decoding.
#include "lib/base64.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Value of a Base64 character, -1 for anything outside the alphabet.
int sextet(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '+') {
        return 62;
    }
    if (c == '/') {
        return 63;
    }
    return -1;
}

bool wellFormed(const char* text, size_t length) {
    if (length % 4 != 0) {
        return false;
    }
    size_t padding = 0;
    while (padding < 2 && padding < length && text[length - 1 - padding] == '=') {
        ++padding;
    }
    for (size_t i = 0; i < length - padding; ++i) {
        if (sextet(text[i]) < 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

size_t base64Encode(const unsigned char* data, size_t length, char* out) {
    size_t o = 0;
    size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        unsigned long group = (static_cast<unsigned long>(data[i]) << 16) |
                              (static_cast<unsigned long>(data[i + 1]) << 8) | data[i + 2];
        out[o++] = kAlphabet[(group >> 18) & 0x3f];
        out[o++] = kAlphabet[(group >> 12) & 0x3f];
        out[o++] = kAlphabet[(group >> 6) & 0x3f];
        out[o++] = kAlphabet[group & 0x3f];
    }
    size_t rest = length - i;
    if (rest > 0) {
        unsigned long group = static_cast<unsigned long>(data[i]) << 16;
        if (rest == 2) {
            group |= static_cast<unsigned long>(data[i + 1]) << 8;
        }
        out[o++] = kAlphabet[(group >> 18) & 0x3f];
        out[o++] = kAlphabet[(group >> 12) & 0x3f];
        out[o++] = rest == 2 ? kAlphabet[(group >> 6) & 0x3f] : '=';
        out[o++] = '=';
    }
    out[o] = '\0';
    return o;
}

size_t base64ArrayDecode(const char* text, size_t length, unsigned char* out) {
    size_t o = 0;
    unsigned long bits = 0;
    int held = 0;
    for (size_t i = 0; i < length && text[i] != '='; ++i) {
        int value = sextet(text[i]);
        bits = ((bits << 6) | static_cast<unsigned long>(value < 0 ? 0 : value)) & 0xffffff;
        held += 6;
        if (held >= 8) {
            held -= 8;
            out[o++] = static_cast<unsigned char>((bits >> held) & 0xff);
        }
    }
    return o;
}

size_t base64Decode(const char* text, unsigned char* out) {
    return base64ArrayDecode(text, std::strlen(text), out);
}

char* b64_encode(const unsigned char* data, size_t length) {
    char* out = static_cast<char*>(std::malloc((length + 2) / 3 * 4 + 1));
    if (out == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    base64Encode(data, length, out);
    return out;
}

char* b64_encode_cstr(const char* string) {
    return b64_encode(reinterpret_cast<const unsigned char*>(string), std::strlen(string));
}

unsigned char* b64_decode(const char* text, size_t* length) {
    size_t text_length = std::strlen(text);
    if (!wellFormed(text, text_length)) {
        errno = EINVAL;
        return nullptr;
    }
    unsigned char* out = static_cast<unsigned char*>(std::malloc(text_length / 4 * 3 + 1));
    if (out == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    size_t written = base64ArrayDecode(text, text_length, out);
    out[written] = '\0';
    if (length != nullptr) {
        *length = written;
    }
    return out;
}

char* b64_decode_cstr(const char* text) {
    return reinterpret_cast<char*>(b64_decode(text, nullptr));
}
