// Base64, the symmetric cipher, the named cipher registry and the mail
// password binding: formats, key loading, reference counts and bad input.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "lib/base64.h"
#include "lib/cipher.h"
#include "lib/symmetric_cipher.h"
#include "log_match.h"
#include "mail/lib/mail_aes.h"

namespace {

using kvarn_unit::logged;
using kvarn_unit::loggedPart;

struct Free {
    void operator()(void* p) const { std::free(p); }
};
using CPtr = std::unique_ptr<char, Free>;

std::string take(char* text) {
    CPtr owner(text);
    return text != nullptr ? std::string(text) : std::string("<null>");
}

using KeyDir = kvarn_unit::TempDir;

std::string key32(char seed = 'k') {
    std::string key;
    for (int i = 0; i < 32; ++i) {
        key += static_cast<char>(seed + i);
    }
    return key;
}

// Splits "$spec$iv$data" at its "$" signs.
std::vector<std::string> fields(const std::string& text) {
    std::vector<std::string> parts;
    size_t start = 1;
    for (size_t pos; (pos = text.find('$', start)) != std::string::npos; start = pos + 1) {
        parts.push_back(text.substr(start, pos - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

std::string unbase64(const std::string& text) {
    size_t length = 0;
    std::unique_ptr<unsigned char, Free> bytes(b64_decode(text.c_str(), &length));
    return bytes ? std::string(reinterpret_cast<char*>(bytes.get()), length) : "<bad>";
}

// Loads the mail cipher for one test and releases it afterwards.
class MailCipherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        key_ = key32();
        ASSERT_EQ(1, mail_aes_init(dir_.write("key", key_).c_str()));
    }
    void TearDown() override { mail_aes_cleanup(); }

    KeyDir dir_;
    std::string key_;
};

// Round trips of any bytes are the cipher text fuzz target's.
TEST(Base64Test, EncodesKnownTexts) {
    EXPECT_EQ("YWJj", take(b64_encode_cstr("abc")));
    EXPECT_EQ("YWI=", take(b64_encode_cstr("ab")));
    EXPECT_EQ("YQ==", take(b64_encode_cstr("a")));
    EXPECT_EQ("", take(b64_encode_cstr("")));
    EXPECT_EQ("abc", take(b64_decode_cstr("YWJj")));
    unsigned char out[3];
    EXPECT_EQ(2u, base64Decode("YWI=", out));
}

TEST(Base64Test, AllocatingDecoderRefusesMalformedText) {
    for (const char* bad : {"YWJ", "YW=j", "Y===", "YW*j", "YWJjY", "====", "YWJj\n"}) {
        size_t length = 99;
        errno = 0;
        EXPECT_EQ(nullptr, b64_decode(bad, &length)) << bad;
        EXPECT_EQ(EINVAL, errno) << bad;
    }
    // The array decoder never fails and never writes past 3 bytes per 4 characters.
    unsigned char out[6] = {};
    EXPECT_LE(base64ArrayDecode("**!!YWJ", 7, out), 6u);
}

TEST(SymmetricCipherTest, ChecksKeyAndIvLengthsAndRoundTrips) {
    symmetric_cipher ctx;
    ASSERT_EQ(1, symmetric_cipher_init(&ctx));
    std::string key = key32();
    errno = 0;
    EXPECT_EQ(
        0, symmetric_cipher_set_key(&ctx, reinterpret_cast<const unsigned char*>(key.data()), 31));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(0, symmetric_cipher_set_iv(&ctx, reinterpret_cast<const unsigned char*>("short"), 5));
    ASSERT_EQ(
        1, symmetric_cipher_set_key(&ctx, reinterpret_cast<const unsigned char*>(key.data()), 32));

    EXPECT_EQ(0, encrypt_symmetric(&ctx));  // nothing to encrypt yet
    EXPECT_EQ(nullptr, symmetric_cipher_get_plain(&ctx));
    ASSERT_EQ(1, symmetric_cipher_set_plain(&ctx, "secret"));
    ASSERT_EQ(1, encrypt_symmetric(&ctx));
    size_t length = 0;
    const unsigned char* data = symmetric_cipher_get_encrypted(&ctx, &length);
    ASSERT_NE(nullptr, data);
    EXPECT_EQ(16u, length);
    std::string cipher_text(reinterpret_cast<const char*>(data), length);

    ctx.plain.reset();
    ASSERT_EQ(1, decrypt_symmetric(&ctx));
    EXPECT_STREQ("secret", symmetric_cipher_get_plain(&ctx));

    // A second encryption draws a new IV on the already initialised context.
    ASSERT_EQ(1, encrypt_symmetric(&ctx));
    data = symmetric_cipher_get_encrypted(&ctx, &length);
    EXPECT_NE(cipher_text, std::string(reinterpret_cast<const char*>(data), length));

    EXPECT_EQ(1, symmetric_cipher_cleanup(&ctx));
    EXPECT_EQ(std::string(32, '\0'), std::string(reinterpret_cast<char*>(ctx.key), 32));
    EXPECT_EQ(nullptr, symmetric_cipher_get_encrypted(&ctx, &length));
    EXPECT_EQ(1, symmetric_cipher_cleanup(nullptr));
}

TEST(MailAesTest, RecognisesOnlyTheFullPrefix) {
    EXPECT_EQ(0, is_encrypted_with_mail_aes(""));
    EXPECT_EQ(0, is_encrypted_with_mail_aes("$AES-256-CBC:PKCS"));
    EXPECT_EQ(0, is_encrypted_with_mail_aes("hunter2"));
    EXPECT_EQ(0, is_encrypted_with_mail_aes("$aes-256-cbc:PKCS$x$y"));
    EXPECT_EQ(0, is_encrypted_with_mail_aes(nullptr));
    EXPECT_EQ(1, is_encrypted_with_mail_aes("$AES-256-CBC:PKCS$"));
    EXPECT_EQ(1, is_encrypted_with_mail_aes("$AES-256-CBC:PKCS$anything"));
}

TEST(MailAesTest, GeneratesKeysOnlyIntoRoomyBuffers) {
    unsigned char small[31];
    errno = 0;
    EXPECT_EQ(0, mail_aes_gen_key(small, sizeof small));
    EXPECT_EQ(EINVAL, errno);
    unsigned char a[40] = {}, b[40] = {};
    EXPECT_EQ(32, mail_aes_gen_key(a, sizeof a));
    EXPECT_EQ(32, mail_aes_gen_key(b, sizeof b));
    EXPECT_NE(0, std::memcmp(a, b, 32));
    EXPECT_EQ(std::string(8, '\0'), std::string(reinterpret_cast<char*>(a) + 32, 8));
}

TEST(MailAesTest, WithoutInitNothingIsEncryptedAndNothingLogged) {
    kvarn_unit::LogCapture log;
    EXPECT_EQ(nullptr, mail_aes_encrypt("x"));
    EXPECT_EQ(nullptr, mail_aes_decrypt(
                           "$AES-256-CBC:PKCS$AAAAAAAAAAAAAAAAAAAAAA==$AAAAAAAAAAAAAAAAAAAAAA=="));
    EXPECT_TRUE(log.messages().empty()) << log.all();
}

TEST_F(MailCipherTest, HeaderWithIvEncryptsDeterministically) {
    std::string iv_field = "AAECAwQFBgcICQoLDA0ODw==";
    std::string header = "$AES-256-CBC:PKCS$" + iv_field;
    std::string a = take(marun_cipher_crypt("same", header.c_str()));
    std::string b = take(marun_cipher_crypt("same", (header + "$").c_str()));
    EXPECT_EQ(a, b);
    EXPECT_EQ(iv_field, fields(a)[1]);
    EXPECT_EQ("same", take(mail_aes_decrypt(a.c_str())));
    // The next plain encryption draws a random IV again.
    EXPECT_NE(iv_field, fields(take(mail_aes_encrypt("same")))[1]);
    // A short or malformed IV is refused, not read past.
    EXPECT_EQ(nullptr, marun_cipher_crypt("same", "$AES-256-CBC:PKCS$AAEC"));
    EXPECT_EQ(nullptr, marun_cipher_crypt("same", "$AES-256-CBC:PKCS$!!!!"));
    EXPECT_EQ(nullptr, marun_cipher_crypt("same", "AES-256-CBC:PKCS"));
    EXPECT_EQ(nullptr, marun_cipher_crypt("same", "$AES-128-CBC:PKCS"));
}

TEST_F(MailCipherTest, MalformedTextsFailCleanly) {
    kvarn_unit::LogCapture log;
    std::string good = take(mail_aes_encrypt("password"));
    auto parts = fields(good);
    std::string prefix = "$AES-256-CBC:PKCS$";
    const std::vector<std::string> bad = {
        "password",                                                // plain
        prefix,                                                    // nothing after the prefix
        prefix + parts[2],                                         // IV field missing
        prefix + "$" + parts[2],                                   // IV field empty
        prefix + parts[1] + "$",                                   // no ciphertext
        prefix + parts[1] + "$" + parts[2].substr(0, 20),          // bad Base64 length
        prefix + parts[1] + "$" + "*" + parts[2].substr(1),        // outside the alphabet
        prefix + parts[1] + "$" + "AAAAAAAAAAAAAAAAAAAAAAAAAA==",  // 19 bytes: no whole block
        prefix + "AAEC$" + parts[2],                               // IV too short
    };
    for (const auto& text : bad) {
        EXPECT_EQ(nullptr, mail_aes_decrypt(text.c_str())) << text;
    }
    // The cipher is still usable afterwards.
    EXPECT_EQ("password", take(mail_aes_decrypt(good.c_str())));
    EXPECT_TRUE(log.messages().empty()) << log.all();
}

TEST(MailAesKeyTest, ShortMissingAndUnreadableKeysAreRefusedWithTheirMessages) {
    KeyDir dir;
    {
        kvarn_unit::LogCapture log;
        std::string short_key = dir.write("short", key32().substr(0, 31));
        EXPECT_EQ(0, mail_aes_init(short_key.c_str()));
        EXPECT_TRUE(logged(log, "Failed to read entire encryption key from '" + short_key + "': " +
                                    std::strerror(ENODATA) + " (" + std::to_string(ENODATA) + ")"))
            << log.all();
        EXPECT_TRUE(logged(log,
                           "Failed to initialize encryption cipher 'AES-256-CBC:PKCS' with "
                           "key '" +
                               short_key + "'"));
    }
    {
        kvarn_unit::LogCapture log;
        std::string missing = dir.path() + "/missing";
        EXPECT_EQ(0, mail_aes_init(missing.c_str()));
        EXPECT_TRUE(logged(log, "Can't read encryption key from '" + missing +
                                    "': " + std::strerror(ENOENT) + " (2)"))
            << log.all();
    }
    {
        kvarn_unit::LogCapture log;
        // Only a regular file is opened as a key.
        EXPECT_EQ(0, mail_aes_init(dir.path().c_str()));
        EXPECT_TRUE(logged(log, "Can't read encryption key from '" + dir.path() + "': " +
                                    std::strerror(EISDIR) + " (" + std::to_string(EISDIR) + ")"))
            << log.all();
    }
    // No failed load left a context behind.
    EXPECT_EQ(nullptr, mail_aes_encrypt("x"));
}

TEST(MailAesKeyTest, LongKeyFileUsesItsFirst32Bytes) {
    KeyDir dir;
    std::string key = key32();
    std::string long_key = dir.write("long", key + "12345678");
    ASSERT_EQ(1, mail_aes_init(long_key.c_str()));
    std::string text = take(mail_aes_encrypt("pw"));
    mail_aes_cleanup();

    ASSERT_EQ(1, mail_aes_init(dir.write("exact", key).c_str()));
    EXPECT_EQ("pw", take(mail_aes_decrypt(text.c_str())));
    mail_aes_cleanup();
}

TEST(MailAesKeyTest, ReferencesCountAndTheKeyIsReadOnce) {
    KeyDir dir;
    std::string path = dir.write("key", key32());
    ASSERT_EQ(1, mail_aes_init(path.c_str()));
    std::string text = take(mail_aes_encrypt("pw"));
    ASSERT_EQ(0, unlink(path.c_str()));
    ASSERT_EQ(1, mail_aes_init(path.c_str()));  // not read again

    mail_aes_cleanup();
    EXPECT_EQ("pw", take(mail_aes_decrypt(text.c_str())));
    mail_aes_cleanup();
    EXPECT_EQ(nullptr, mail_aes_decrypt(text.c_str()));

    kvarn_unit::LogCapture log;
    mail_aes_cleanup();
    EXPECT_TRUE(logged(
        log,
        "Failed to correctly destroy encryption cipher 'AES-256-CBC:PKCS'. A programming error?"));
    EXPECT_EQ(6, log.messages().at(0).priority);
}

TEST(CipherRegistryTest, UnknownOrOverlongSpecsAreRefused) {
    KeyDir dir;
    std::string path = dir.write("key", key32());
    kvarn_unit::LogCapture log;
    EXPECT_EQ(0, marun_cipher_init("NO-SUCH-CIPHER:PKCS", path.c_str()));
    EXPECT_TRUE(logged(log, "Unknown encryption cipher: 'NO-SUCH-CIPHER:PKCS'")) << log.all();
    std::string overlong = "AES-256-CBC:PKCS,PKCS,PKCS,PKCS!";  // 32 characters
    ASSERT_EQ(32u, overlong.size());
    EXPECT_EQ(0, marun_cipher_init(overlong.c_str(), path.c_str()));
    EXPECT_TRUE(logged(log, "Unknown encryption cipher: '" + overlong + "'"));
    // A cipher with a longer key than the fields hold is not let write past them.
    EXPECT_EQ(0, marun_cipher_init("AES-256-XTS", dir.write("long", key32() + key32()).c_str()));
    EXPECT_TRUE(loggedPart(log, "Not enough space supplied to read encryption key data from"));
}

TEST(CipherRegistryTest, SpecWithoutPkcsZeroFillsAndOmitsNothing) {
    KeyDir dir;
    ASSERT_EQ(1, marun_cipher_init("AES-256-CBC", dir.write("key", key32()).c_str()));
    std::string text = take(marun_cipher_encrypt("AES-256-CBC", "abc"));
    auto parts = fields(text);
    ASSERT_EQ(3u, parts.size()) << text;
    EXPECT_EQ(16u, unbase64(parts[2]).size());
    EXPECT_EQ("abc", take(marun_cipher_decrypt(text.c_str())));
    marun_cipher_cleanup("AES-256-CBC");
}

}  // namespace
