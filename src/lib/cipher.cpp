// The named cipher registry: a process-wide list of loaded cipher contexts,
// key loading, and encryption and decryption into the "$spec$iv$data" text.
#include "lib/cipher.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "lib/base64.h"
#include "lib/c_handles.h"
#include "lib/log.h"
#include "lib/symmetric_cipher.h"
#include "lib/tree_walk.h"
#include "lib/unique_fd.h"

namespace {

constexpr size_t kSpecSize = 32;       // spec text, NUL included
constexpr size_t kKeyBufferSize = 48;  // local buffer a key file is read into

struct cipher_ctx_node {
    char spec[kSpecSize] = {};
    symmetric_cipher ctx;
    unsigned refs = 0;
    cipher_ctx_node* next = nullptr;
};

// Newest node first. The nodes are plain heap objects owned by this list, not
// by a static object with a destructor: the exit handler must clean them up
// before OpenSSL's own exit clean-up, which a static destructor could not
// guarantee.
cipher_ctx_node* gen_ciphers_list = nullptr;
bool is_openssl_ciphers_initialized = false;

cipher_ctx_node* findNode(const std::string& spec) {
    for (cipher_ctx_node* node = gen_ciphers_list; node != nullptr; node = node->next) {
        if (spec == node->spec) {
            return node;
        }
    }
    return nullptr;
}

// Takes `node` out of the list; false when it is not there.
bool unlinkNode(cipher_ctx_node* node) {
    for (cipher_ctx_node** link = &gen_ciphers_list; *link != nullptr; link = &(*link)->next) {
        if (*link == node) {
            *link = node->next;
            return true;
        }
    }
    return false;
}

// Runs at process exit (registered after OpenSSL's initialisation, hence
// before OpenSSL's own exit handler, which then frees its cipher tables).
void cleanupCiphersAtExit() {
    for (cipher_ctx_node* node = gen_ciphers_list; node != nullptr; node = node->next) {
        symmetric_cipher_cleanup(&node->ctx);
    }
}

// Key material on the stack, wiped on every way out of scope.
struct KeyBuffer {
    unsigned char bytes[kKeyBufferSize] = {};
    ~KeyBuffer() { OPENSSL_cleanse(bytes, sizeof bytes); }
};

char* dupString(const char* text) {
    size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (copy == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    std::memcpy(copy, text, size);
    return copy;
}

// Drops the plain text a finished operation left in the context.
void dropPlain(symmetric_cipher& ctx) {
    if (ctx.plain) {
        OPENSSL_cleanse(&(*ctx.plain)[0], ctx.plain->size());
        ctx.plain.reset();
    }
}

// Decodes a Base64 IV field into the context.
bool setIvFromField(symmetric_cipher& ctx, const std::string& field) {
    size_t length = 0;
    MallocPtr<unsigned char> iv(b64_decode(field.c_str(), &length));
    return iv && symmetric_cipher_set_iv(&ctx, iv.get(), length) == 1;
}

int loadCipher(const char* spec, const char* key_path, unsigned flags, const EVP_CIPHER* cipher) {
    if (!is_openssl_ciphers_initialized) {
        OpenSSL_add_all_ciphers();
        std::atexit(cleanupCiphersAtExit);
        is_openssl_ciphers_initialized = true;
    }
    size_t key_length = static_cast<size_t>(EVP_CIPHER_get_key_length(cipher));
    if (key_length > kKeyBufferSize) {
        marun_log(2, "Not enough space supplied to read encryption key data from '%s'", key_path);
        return 0;
    }
    KeyBuffer key;
    {
        // The mail key lies in a directory the postfix user may write: a link
        // planted there is not followed, and a FIFO is refused, not waited on.
        marun::UniqueFd file(walk_open_file(key_path, O_RDONLY));
        if (!file.valid()) {
            int error = errno;
            marun_log(3, "Can't read encryption key from '%s': %s (%d)", key_path,
                      walk_strerror(error), error);
            return 0;
        }
        ssize_t got = read(file.get(), key.bytes, key_length);
        if (got < 0 || static_cast<size_t>(got) != key_length) {
            // A file shorter than the key reports "no data" rather than success.
            int error = got < 0 ? errno : ENODATA;
            marun_log(3, "Failed to read entire encryption key from '%s': %s (%d)", key_path,
                      std::strerror(error), error);
            return 0;
        }
    }

    auto* node = new (std::nothrow) cipher_ctx_node;
    if (node == nullptr) {
        errno = ENOMEM;
        return 0;
    }
    node->next = gen_ciphers_list;
    gen_ciphers_list = node;
    symmetric_cipher_init(&node->ctx);
    node->ctx.flags = flags;
    node->ctx.cipher = cipher;
    if (symmetric_cipher_set_key(&node->ctx, key.bytes, key_length) != 1) {
        marun_log(3, "Failed to create encryption cipher '%s'. Invalid key or IV length?", spec);
        bool unlinked = unlinkNode(node);
        if (symmetric_cipher_cleanup(&node->ctx) != 1 || !unlinked) {
            marun_log(6, "Failed to clean up cipher context after unsuccessfull construction");
        }
        delete node;
        return 0;
    }
    node->refs = 1;
    std::strncpy(node->spec, spec, kSpecSize - 1);
    return 1;
}

}  // namespace

int marun_cipher_init(const char* spec, const char* key_path) {
    if (spec == nullptr || key_path == nullptr) {
        errno = EINVAL;
        return 0;
    }
    if (cipher_ctx_node* node = findNode(spec)) {
        ++node->refs;
        return 1;
    }
    const char* colon = std::strchr(spec, ':');
    unsigned flags = SYMMETRIC_CIPHER_RANDOM_IV;
    if (colon == nullptr || std::strstr(colon + 1, "PKCS") == nullptr) {
        flags |= SYMMETRIC_CIPHER_ZERO_FILL;
    }
    const EVP_CIPHER* cipher = nullptr;
    if (std::strlen(spec) < kSpecSize) {
        std::string name(spec,
                         colon != nullptr ? static_cast<size_t>(colon - spec) : std::strlen(spec));
        cipher = EVP_get_cipherbyname(name.c_str());
    }
    int result = 0;
    if (cipher == nullptr) {
        marun_log(3, "Unknown encryption cipher: '%s'", spec);
    } else {
        result = loadCipher(spec, key_path, flags, cipher);
    }
    if (result != 1) {
        marun_log(3, "Failed to initialize encryption cipher '%s' with key '%s'", spec, key_path);
    }
    return result;
}

void marun_cipher_cleanup(const char* spec) {
    cipher_ctx_node* node = spec != nullptr ? findNode(spec) : nullptr;
    if (node == nullptr) {
        marun_log(6, "Failed to correctly destroy encryption cipher '%s'. A programming error?",
                  spec != nullptr ? spec : "(null)");
        return;
    }
    if (node->refs > 1) {
        --node->refs;
        return;
    }
    unlinkNode(node);
    symmetric_cipher_cleanup(&node->ctx);
    delete node;
}

char* marun_cipher_encrypt(const char* spec, const char* plain) {
    if (spec == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    return marun_cipher_crypt(plain, (std::string("$") + spec).c_str());
}

char* marun_cipher_crypt(const char* plain, const char* header) {
    if (plain == nullptr || header == nullptr || header[0] != '$') {
        errno = EINVAL;
        return nullptr;
    }
    std::string rest(header + 1);
    size_t separator = rest.find('$');
    std::string spec = rest.substr(0, separator);
    std::string iv_field;
    if (separator != std::string::npos) {
        iv_field = rest.substr(separator + 1);
        size_t last = iv_field.rfind('$');
        if (last != std::string::npos) {
            iv_field.erase(last);
        }
    }
    cipher_ctx_node* node = findNode(spec);
    if (node == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    symmetric_cipher& ctx = node->ctx;
    if (symmetric_cipher_set_plain(&ctx, plain) != 1) {
        return nullptr;
    }
    bool random_iv = (ctx.flags & SYMMETRIC_CIPHER_RANDOM_IV) != 0;
    int encrypted = 0;
    if (random_iv && !iv_field.empty()) {
        if (setIvFromField(ctx, iv_field)) {
            ctx.flags &= ~SYMMETRIC_CIPHER_RANDOM_IV;
            encrypted = encrypt_symmetric(&ctx);
            ctx.flags |= SYMMETRIC_CIPHER_RANDOM_IV;
        }
    } else {
        encrypted = encrypt_symmetric(&ctx);
    }
    dropPlain(ctx);
    if (encrypted != 1) {
        return nullptr;
    }
    size_t length = 0;
    const unsigned char* data = symmetric_cipher_get_encrypted(&ctx, &length);
    MallocPtr<char> data_text(b64_encode(data, length));
    if (!data_text) {
        return nullptr;
    }
    if (!random_iv) {
        return dupString(("$" + spec + "$" + data_text.get()).c_str());
    }
    if (iv_field.empty()) {
        size_t iv_length = 0;
        const unsigned char* iv = symmetric_cipher_get_iv(&ctx, &iv_length);
        MallocPtr<char> iv_text(b64_encode(iv, iv_length));
        if (!iv_text) {
            return nullptr;
        }
        iv_field = iv_text.get();
    }
    return dupString(("$" + spec + "$" + iv_field + "$" + data_text.get()).c_str());
}

char* marun_cipher_decrypt(const char* text) {
    if (text == nullptr || text[0] != '$') {
        errno = EINVAL;
        return nullptr;
    }
    std::string rest(text + 1);
    size_t first = rest.find('$');
    if (first == std::string::npos) {
        errno = EINVAL;
        return nullptr;
    }
    size_t last = rest.rfind('$');
    std::string spec = rest.substr(0, first);
    std::string iv_field = last > first ? rest.substr(first + 1, last - first - 1) : "";
    std::string data_text = rest.substr(last + 1);

    cipher_ctx_node* node = findNode(spec);
    if (node == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    symmetric_cipher& ctx = node->ctx;
    // Every text written with a random IV carries it; without one the
    // context's stale IV would garble the first block instead of failing.
    if (ctx.flags & SYMMETRIC_CIPHER_RANDOM_IV) {
        if (iv_field.empty() || !setIvFromField(ctx, iv_field)) {
            errno = EINVAL;
            return nullptr;
        }
    }
    size_t length = 0;
    MallocPtr<unsigned char> data(b64_decode(data_text.c_str(), &length));
    if (!data || symmetric_cipher_set_encrypted(&ctx, data.get(), length) != 1 ||
        decrypt_symmetric(&ctx) != 1) {
        dropPlain(ctx);
        return nullptr;
    }
    char* plain = dupString(symmetric_cipher_get_plain(&ctx));
    dropPlain(ctx);
    return plain;
}
