// MD5 digests as lower-case hexadecimal text.
#pragma once

// The MD5 digest of `prefix` followed by `data`, as 32 lower-case hexadecimal
// characters in a malloc'ed string that the caller frees; null on failure.
char* get_md5sum(const char* prefix, const char* data);
