// Base64 codec (standard alphabet, "=" padding, no line breaks) used by the
// password cipher to turn IVs and ciphertexts into storable text.
#pragma once

#include <cstddef>

// Writes the encoding of `length` bytes and a NUL into `out`, which must hold
// 4 characters per started group of 3 bytes plus 1. Returns the characters
// written, NUL excluded.
size_t base64Encode(const unsigned char* data, size_t length, char* out);

// Decodes `length` characters into `out` (room for 3 bytes per 4 characters)
// and returns the number of bytes written. Meant for well-formed text; an
// unknown character counts as zero bits and decoding stops at the first "=".
size_t base64ArrayDecode(const char* text, size_t length, unsigned char* out);
size_t base64Decode(const char* text, unsigned char* out);

// New NUL-terminated encoding (free() it), or null when memory runs out.
char* b64_encode(const unsigned char* data, size_t length);
char* b64_encode_cstr(const char* string);

// New buffer with the decoded bytes and a NUL after them (free() it), their
// count in *length. Null with errno EINVAL for text that is not well-formed
// Base64 (length not a multiple of 4, a character outside the alphabet, "="
// other than one or two at the end), with ENOMEM when memory runs out.
unsigned char* b64_decode(const char* text, size_t* length);
char* b64_decode_cstr(const char* text);
