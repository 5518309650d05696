// MD5 through OpenSSL's one-call MD5(). The EVP interface would load
// OpenSSL's configuration file and providers first, which costs most of a
// millisecond in every run that takes a lock by name.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "lib/md5.h"

#include <openssl/md5.h>

#include <cstdio>
#include <cstdlib>
#include <string>

char* get_md5sum(const char* prefix, const char* data) {
    std::string input(prefix);
    input += data;
    unsigned char digest[MD5_DIGEST_LENGTH];
    const unsigned int length = MD5_DIGEST_LENGTH;
    MD5(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
    char* text = static_cast<char*>(std::malloc(2 * length + 1));
    if (text == nullptr) {
        return nullptr;
    }
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
    }
    text[2 * length] = '\0';
    return text;
}
