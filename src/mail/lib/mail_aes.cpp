// The mail password cipher over the named cipher registry.
#include "mail/lib/mail_aes.h"

#include <openssl/rand.h>

#include <cerrno>
#include <cstring>

#include "lib/cipher.h"

namespace {

const char kMailCipherSpec[] = "AES-256-CBC:PKCS";
const char kMailCipherPrefix[] = "$AES-256-CBC:PKCS$";
constexpr int kMailKeyLength = 32;

}  // namespace

int mail_aes_init(const char* key_path) {
    return marun_cipher_init(kMailCipherSpec, key_path);
}

void mail_aes_cleanup() {
    marun_cipher_cleanup(kMailCipherSpec);
}

char* mail_aes_encrypt(const char* plain) {
    return marun_cipher_encrypt(kMailCipherSpec, plain);
}

char* mail_aes_decrypt(const char* text) {
    if (text == nullptr || !is_encrypted_with_mail_aes(text)) {
        errno = EINVAL;
        return nullptr;
    }
    return marun_cipher_decrypt(text);
}

int is_encrypted_with_mail_aes(const char* text) {
    if (text == nullptr) {
        return 0;
    }
    return std::strncmp(text, kMailCipherPrefix, sizeof kMailCipherPrefix - 1) == 0 ? 1 : 0;
}

int mail_aes_gen_key(unsigned char* buffer, size_t size) {
    if (buffer == nullptr || size < static_cast<size_t>(kMailKeyLength)) {
        errno = EINVAL;
        return 0;
    }
    // RAND_bytes only ever hands out cryptographically strong bytes.
    if (RAND_bytes(buffer, kMailKeyLength) != 1) {
        return 0;
    }
    return kMailKeyLength;
}
