// Registry of named symmetric ciphers, each loaded once from a key file and
// reference counted, turning plain strings into self-describing encrypted
// texts "$<spec>$<Base64 IV>$<Base64 ciphertext>" and back.
#pragma once

// Loads the cipher named by `spec` ("<OpenSSL cipher name>[:<options>]", at
// most 31 characters; the option "PKCS" selects PKCS#7 padding, otherwise
// zero fill) with the key read from `key_path`. A spec already loaded only
// gains a reference; its key file is not read again. 1 on success, 0 on failure.
int marun_cipher_init(const char* spec, const char* key_path);

// Releases one reference; the last one destroys the context and its key.
void marun_cipher_cleanup(const char* spec);

// New encrypted text (free() it), or null.
char* marun_cipher_encrypt(const char* spec, const char* plain);

// New plain string (free() it), or null; the cipher name (its "$<spec>"
// header) is read from the text itself.
char* marun_cipher_decrypt(const char* text);

// Worker of marun_cipher_encrypt: `header` is "$<spec>", optionally followed
// by "$<Base64 IV>" to use instead of a random IV.
char* marun_cipher_crypt(const char* plain, const char* header);
