// One symmetric encryption/decryption state over OpenSSL's EVP interface:
// key, IV, the plain and encrypted buffers and the two OpenSSL contexts.
// Results are 1 on success and 0 on failure with errno set, unless stated.
#pragma once

#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

// Draw a new random IV before every encryption and write it into the text.
constexpr unsigned SYMMETRIC_CIPHER_RANDOM_IV = 1;
// No OpenSSL padding; plain text is filled with zero bytes up to a block.
constexpr unsigned SYMMETRIC_CIPHER_ZERO_FILL = 4;

// The key and IV fields have the sizes of AES-256-CBC; a cipher whose key or
// IV is longer is refused by the setters rather than let write past them.
constexpr size_t SYMMETRIC_CIPHER_KEY_SIZE = 32;
constexpr size_t SYMMETRIC_CIPHER_IV_SIZE = 16;

struct EvpCipherCtxFree {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using EvpCipherCtxPtr = std::unique_ptr<EVP_CIPHER_CTX, EvpCipherCtxFree>;

struct symmetric_cipher {
    EvpCipherCtxPtr encrypt_ctx;
    EvpCipherCtxPtr decrypt_ctx;
    bool encrypt_initialized = false;
    bool decrypt_initialized = false;
    const EVP_CIPHER* cipher = nullptr;
    unsigned char key[SYMMETRIC_CIPHER_KEY_SIZE] = {};
    unsigned char iv[SYMMETRIC_CIPHER_IV_SIZE] = {};
    // Unset until fed or produced; std::string keeps a NUL past the data.
    std::optional<std::string> plain;
    std::optional<std::string> encrypted;
    unsigned flags = 0;
};

// Resets the context, selects AES-256-CBC and flags SYMMETRIC_CIPHER_RANDOM_IV.
int symmetric_cipher_init(symmetric_cipher* ctx);
// Releases the OpenSSL contexts and buffers and zeroes key and IV. A null
// context is accepted. 0 when an OpenSSL clean-up failed.
int symmetric_cipher_cleanup(symmetric_cipher* ctx);

// Copy the cipher's key or IV length out of `length` given bytes; fewer bytes
// than the cipher needs is EINVAL.
int symmetric_cipher_set_key(symmetric_cipher* ctx, const unsigned char* key, size_t length);
int symmetric_cipher_set_iv(symmetric_cipher* ctx, const unsigned char* iv, size_t length);
// The IV and, in *length, the cipher's IV length.
const unsigned char* symmetric_cipher_get_iv(symmetric_cipher* ctx, size_t* length);

// Replace a buffer with a copy; more than 2147483646 bytes is EINVAL.
int symmetric_cipher_set_plain(symmetric_cipher* ctx, const char* string);
int symmetric_cipher_set_encrypted(symmetric_cipher* ctx, const unsigned char* bytes,
                                   size_t length);
// The buffers, null while unset.
const char* symmetric_cipher_get_plain(symmetric_cipher* ctx);
const unsigned char* symmetric_cipher_get_encrypted(symmetric_cipher* ctx, size_t* length);

// plain -> encrypted and back. Need a cipher and the input buffer (EINVAL).
int encrypt_symmetric(symmetric_cipher* ctx);
int decrypt_symmetric(symmetric_cipher* ctx);
