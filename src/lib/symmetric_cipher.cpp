// Symmetric cipher state over OpenSSL EVP: key and IV handling, buffers, and
// the encryption and decryption steps with PKCS#7 padding or zero fill.
#include "lib/symmetric_cipher.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "lib/log.h"

namespace {

// Largest buffer the cipher accepts: OpenSSL counts lengths in int, and the
// output may grow by one block.
constexpr size_t kMaxData = 2147483646;

int fail(int error) {
    errno = error;
    return 0;
}

// The chosen cipher fits the fixed key and IV fields.
bool cipherFits(const EVP_CIPHER* cipher) {
    return static_cast<size_t>(EVP_CIPHER_get_key_length(cipher)) <= SYMMETRIC_CIPHER_KEY_SIZE &&
           static_cast<size_t>(EVP_CIPHER_get_iv_length(cipher)) <= SYMMETRIC_CIPHER_IV_SIZE;
}

// Initialises `evp` the first time (cipher, key and IV), afterwards only sets
// the current IV, keeping cipher and key. Padding follows the zero-fill flag.
bool prepare(symmetric_cipher* ctx, EvpCipherCtxPtr& evp, bool& initialized, int encrypt) {
    if (!evp) {
        evp.reset(EVP_CIPHER_CTX_new());
        if (!evp) {
            return false;
        }
    }
    int ok = initialized
                 ? EVP_CipherInit_ex(evp.get(), nullptr, nullptr, nullptr, ctx->iv, encrypt)
                 : EVP_CipherInit_ex(evp.get(), ctx->cipher, nullptr, ctx->key, ctx->iv, encrypt);
    if (ok != 1) {
        return false;
    }
    initialized = true;
    return EVP_CIPHER_CTX_set_padding(evp.get(),
                                      (ctx->flags & SYMMETRIC_CIPHER_ZERO_FILL) ? 0 : 1) == 1;
}

}  // namespace

int symmetric_cipher_init(symmetric_cipher* ctx) {
    if (ctx == nullptr) {
        return fail(EINVAL);
    }
    symmetric_cipher_cleanup(ctx);
    ctx->cipher = EVP_aes_256_cbc();
    ctx->flags = SYMMETRIC_CIPHER_RANDOM_IV;
    return 1;
}

int symmetric_cipher_cleanup(symmetric_cipher* ctx) {
    if (ctx == nullptr) {
        return 1;
    }
    int result = 1;
    if (ctx->encrypt_initialized && EVP_CIPHER_CTX_reset(ctx->encrypt_ctx.get()) != 1) {
        result = 0;
    }
    if (ctx->decrypt_initialized && EVP_CIPHER_CTX_reset(ctx->decrypt_ctx.get()) != 1) {
        result = 0;
    }
    ctx->encrypt_ctx.reset();
    ctx->decrypt_ctx.reset();
    ctx->encrypt_initialized = false;
    ctx->decrypt_initialized = false;
    ctx->cipher = nullptr;
    OPENSSL_cleanse(ctx->key, sizeof ctx->key);
    OPENSSL_cleanse(ctx->iv, sizeof ctx->iv);
    ctx->plain.reset();
    ctx->encrypted.reset();
    ctx->flags = 0;
    return result;
}

int symmetric_cipher_set_key(symmetric_cipher* ctx, const unsigned char* key, size_t length) {
    if (ctx == nullptr || ctx->cipher == nullptr || key == nullptr || !cipherFits(ctx->cipher) ||
        length < static_cast<size_t>(EVP_CIPHER_get_key_length(ctx->cipher))) {
        return fail(EINVAL);
    }
    std::memcpy(ctx->key, key, std::min(length, sizeof ctx->key));
    return 1;
}

int symmetric_cipher_set_iv(symmetric_cipher* ctx, const unsigned char* iv, size_t length) {
    if (ctx == nullptr || ctx->cipher == nullptr || iv == nullptr || !cipherFits(ctx->cipher) ||
        length < static_cast<size_t>(EVP_CIPHER_get_iv_length(ctx->cipher))) {
        return fail(EINVAL);
    }
    std::memcpy(ctx->iv, iv, std::min(length, sizeof ctx->iv));
    return 1;
}

const unsigned char* symmetric_cipher_get_iv(symmetric_cipher* ctx, size_t* length) {
    if (ctx == nullptr || ctx->cipher == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (length != nullptr) {
        *length = static_cast<size_t>(EVP_CIPHER_get_iv_length(ctx->cipher));
    }
    return ctx->iv;
}

int symmetric_cipher_set_plain(symmetric_cipher* ctx, const char* string) {
    if (ctx == nullptr || string == nullptr) {
        return fail(EINVAL);
    }
    size_t length = std::strlen(string);
    if (length > kMaxData) {
        marun_log(4,
                  "Attempt to feed into symmetric cipher more %s data (%zu bytes) than it's "
                  "designed to handle.",
                  "plain", length);
        return fail(EINVAL);
    }
    ctx->plain.emplace(string, length);
    return 1;
}

int symmetric_cipher_set_encrypted(symmetric_cipher* ctx, const unsigned char* bytes,
                                   size_t length) {
    if (ctx == nullptr || (bytes == nullptr && length != 0)) {
        return fail(EINVAL);
    }
    if (length > kMaxData) {
        marun_log(4,
                  "Attempt to feed into symmetric cipher more %s data (%zu bytes) than it's "
                  "designed to handle.",
                  "encrypted", length);
        return fail(EINVAL);
    }
    ctx->encrypted.emplace(reinterpret_cast<const char*>(bytes), length);
    return 1;
}

const char* symmetric_cipher_get_plain(symmetric_cipher* ctx) {
    if (ctx == nullptr || !ctx->plain) {
        return nullptr;
    }
    return ctx->plain->c_str();
}

const unsigned char* symmetric_cipher_get_encrypted(symmetric_cipher* ctx, size_t* length) {
    if (ctx == nullptr || !ctx->encrypted) {
        return nullptr;
    }
    if (length != nullptr) {
        *length = ctx->encrypted->size();
    }
    return reinterpret_cast<const unsigned char*>(ctx->encrypted->data());
}

int encrypt_symmetric(symmetric_cipher* ctx) {
    if (ctx == nullptr || ctx->cipher == nullptr || !ctx->plain || !cipherFits(ctx->cipher)) {
        return fail(EINVAL);
    }
    const std::string& in = *ctx->plain;
    size_t block = static_cast<size_t>(EVP_CIPHER_get_block_size(ctx->cipher));
    std::string out(in.size() + block, '\0');
    unsigned char* dst = reinterpret_cast<unsigned char*>(&out[0]);

    if (ctx->flags & SYMMETRIC_CIPHER_RANDOM_IV) {
        int iv_length = EVP_CIPHER_get_iv_length(ctx->cipher);
        if (iv_length > 0 && RAND_bytes(ctx->iv, iv_length) != 1) {
            return fail(EIO);
        }
    }
    if (!prepare(ctx, ctx->encrypt_ctx, ctx->encrypt_initialized, 1)) {
        return fail(EIO);
    }
    EVP_CIPHER_CTX* evp = ctx->encrypt_ctx.get();
    int total = 0;
    int written = 0;
    if (!in.empty()) {
        if (EVP_EncryptUpdate(evp, dst, &written, reinterpret_cast<const unsigned char*>(in.data()),
                              static_cast<int>(in.size())) != 1) {
            return fail(EIO);
        }
        total += written;
    }
    if ((ctx->flags & SYMMETRIC_CIPHER_ZERO_FILL) && block > 1 &&
        (in.empty() || in.size() % block != 0)) {
        const unsigned char zeros[EVP_MAX_BLOCK_LENGTH] = {};
        int fill = static_cast<int>(block - in.size() % block);
        if (EVP_EncryptUpdate(evp, dst + total, &written, zeros, fill) != 1) {
            return fail(EIO);
        }
        total += written;
    }
    if (EVP_EncryptFinal_ex(evp, dst + total, &written) != 1) {
        return fail(EIO);
    }
    total += written;
    out.resize(static_cast<size_t>(total));
    ctx->encrypted = std::move(out);
    return 1;
}

int decrypt_symmetric(symmetric_cipher* ctx) {
    if (ctx == nullptr || ctx->cipher == nullptr || !ctx->encrypted || !cipherFits(ctx->cipher)) {
        return fail(EINVAL);
    }
    const std::string& in = *ctx->encrypted;
    size_t block = static_cast<size_t>(EVP_CIPHER_get_block_size(ctx->cipher));
    std::string out(in.size() + block, '\0');
    unsigned char* dst = reinterpret_cast<unsigned char*>(&out[0]);

    if (!prepare(ctx, ctx->decrypt_ctx, ctx->decrypt_initialized, 0)) {
        return fail(EIO);
    }
    EVP_CIPHER_CTX* evp = ctx->decrypt_ctx.get();
    int total = 0;
    int written = 0;
    if (!in.empty()) {
        if (EVP_DecryptUpdate(evp, dst, &written, reinterpret_cast<const unsigned char*>(in.data()),
                              static_cast<int>(in.size())) != 1) {
            return fail(EBADMSG);
        }
        total += written;
    }
    if (EVP_DecryptFinal_ex(evp, dst + total, &written) != 1) {
        return fail(EBADMSG);
    }
    total += written;
    out.resize(static_cast<size_t>(total));
    ctx->plain = std::move(out);
    return 1;
}
