// MD5 through OpenSSL's EVP digest interface.
#include "lib/md5.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <string>

char* get_md5sum(const char* prefix, const char* data) {
    std::string input(prefix);
    input += data;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(input.data(), input.size(), digest, &length, EVP_md5(), nullptr) != 1) {
        return nullptr;
    }
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
