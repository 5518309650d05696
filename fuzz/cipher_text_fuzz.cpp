// Base64 and the stored password texts: decoding any text either refuses it
// or gives bytes that encode and decode back to themselves; any bytes
// survive an encode/decode round trip; decrypting any text (a damaged
// password column) returns null or a string, and every password decrypts
// back to itself.
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "lib/base64.h"
#include "lib/c_handles.h"
#include "lib/cipher.h"
#include "mail/lib/mail_aes.h"

namespace {

void sameBytes(const unsigned char* bytes, size_t length, const std::string& expected) {
    if (length != expected.size() || std::memcmp(bytes, expected.data(), length) != 0) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = [] {
        kvarn_fuzz::quietLogs();
        const std::string key = kvarn_fuzz::privateDir() + "/mail.key";
        kvarn_fuzz::writeFile(key, std::string("0123456789abcdef0123456789ABCDEF"));
        return mail_aes_init(key.c_str()) == 1;
    }();
    if (!ready) {
        std::abort();
    }
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string text = bytes.substr(0, bytes.find('\0'));

    size_t length = 0;
    if (MallocPtr<unsigned char> decoded{b64_decode(text.c_str(), &length)}) {
        std::string once(reinterpret_cast<char*>(decoded.get()), length);
        MallocPtr<char> again(b64_encode(decoded.get(), length));
        MallocPtr<unsigned char> twice(b64_decode(again.get(), &length));
        sameBytes(twice.get(), length, once);
    }
    MallocPtr<char> encoded(b64_encode(data, size));
    MallocPtr<unsigned char> back(b64_decode(encoded.get(), &length));
    sameBytes(back.get(), length, bytes);

    MallocPtr<char>(mail_aes_decrypt(text.c_str()));
    MallocPtr<char>(marun_cipher_decrypt(text.c_str()));
    MallocPtr<char> crypted(mail_aes_encrypt(text.c_str()));
    MallocPtr<char> plain(crypted ? mail_aes_decrypt(crypted.get()) : nullptr);
    if (!plain || text != plain.get()) {
        std::abort();
    }
    return 0;
}
