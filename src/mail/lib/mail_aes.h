// Mail password encryption: the "AES-256-CBC:PKCS" cipher of the registry
// bound to a key file, the test for an encrypted password text, and new keys.
#pragma once

#include <cstddef>

// Loads (or references again) the mail cipher with the key at `key_path`:
// 1 on success, 0 on failure. One mail_aes_cleanup per successful init.
int mail_aes_init(const char* key_path);
void mail_aes_cleanup();

// New encrypted text or plain string (free() it), or null. Without a loaded
// cipher both give null. A text that is not is_encrypted_with_mail_aes gives
// null with errno EINVAL.
char* mail_aes_encrypt(const char* plain);
char* mail_aes_decrypt(const char* text);

// 1 when `text` begins with "$AES-256-CBC:PKCS$", else 0.
int is_encrypted_with_mail_aes(const char* text);

// Fills the first 32 bytes of `buffer` with random key bytes and returns 32;
// 0 on failure (EINVAL when `size` is below 32).
int mail_aes_gen_key(unsigned char* buffer, size_t size);
