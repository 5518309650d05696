// Base64, the symmetric cipher, the named cipher registry and the mail
// password binding: formats, key loading, reference counts and bad input.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

std::string take(char* text) {
    std::unique_ptr<char, decltype(&std::free)> owner(text, std::free);
    return text != nullptr ? std::string(text) : std::string("<null>");
}

using KeyDir = kvarn_unit::TempDir;

std::string key32() {
    std::string key;
    for (char c = 'k'; key.size() < 32; ++c) {
        key += c;
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
TEST(Base64Test, EncodesKnownTextsAndRefusesMalformedOnes) {
    EXPECT_EQ("YWI=", take(b64_encode_cstr("ab")));
    EXPECT_EQ("abc", take(b64_decode_cstr("YWJj")));
    for (const char* bad : {"YWJ", "YW=j", "YW*j", "YWJj\n"}) {
        size_t length = 99;
        errno = 0;
        EXPECT_EQ(nullptr, b64_decode(bad, &length)) << bad;
        EXPECT_EQ(EINVAL, errno) << bad;
    }
}

// Round trips show through the mail password binding below.
TEST(SymmetricCipherTest, ChecksKeyAndIvLengthsAndWipesTheKey) {
    symmetric_cipher ctx;
    ASSERT_EQ(1, symmetric_cipher_init(&ctx));
    const std::string key_text = key32();
    const auto* key = reinterpret_cast<const unsigned char*>(key_text.data());
    errno = 0;
    EXPECT_EQ(0, symmetric_cipher_set_key(&ctx, key, 31));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(0, symmetric_cipher_set_iv(&ctx, reinterpret_cast<const unsigned char*>("short"), 5));
    ASSERT_EQ(1, symmetric_cipher_set_key(&ctx, key, 32));
    EXPECT_EQ(0, encrypt_symmetric(&ctx));  // nothing to encrypt yet
    ASSERT_EQ(1, symmetric_cipher_set_plain(&ctx, "secret"));
    ASSERT_EQ(1, encrypt_symmetric(&ctx));

    size_t length = 0;
    EXPECT_EQ(1, symmetric_cipher_cleanup(&ctx));
    EXPECT_EQ(std::string(32, '\0'), std::string(reinterpret_cast<char*>(ctx.key), 32));
    EXPECT_EQ(nullptr, symmetric_cipher_get_encrypted(&ctx, &length));
}

TEST(MailAesTest, RecognisesOnlyTheFullPrefix) {
    for (const char* plain : {"", "$AES-256-CBC:PKCS", "hunter2", "$aes-256-cbc:PKCS$x$y"}) {
        EXPECT_EQ(0, is_encrypted_with_mail_aes(plain)) << plain;
    }
    EXPECT_EQ(0, is_encrypted_with_mail_aes(nullptr));
    EXPECT_EQ(1, is_encrypted_with_mail_aes("$AES-256-CBC:PKCS$anything"));
}

TEST(MailAesTest, GeneratesKeysOnlyIntoRoomyBuffers) {
    unsigned char small[31];
    errno = 0;
    EXPECT_EQ(0, mail_aes_gen_key(small, sizeof small));
    EXPECT_EQ(EINVAL, errno);
    unsigned char a[40] = {}, b[32] = {};
    EXPECT_EQ(32, mail_aes_gen_key(a, sizeof a));
    EXPECT_EQ(32, mail_aes_gen_key(b, sizeof b));
    EXPECT_NE(0, std::memcmp(a, b, 32));
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
    std::string a = take(marun_cipher_crypt("same", ("$AES-256-CBC:PKCS$" + iv_field).c_str()));
    EXPECT_EQ(iv_field, fields(a)[1]);
    EXPECT_EQ("same", take(mail_aes_decrypt(a.c_str())));
    // A short IV is refused, not read past.
    EXPECT_EQ(nullptr, marun_cipher_crypt("same", "$AES-256-CBC:PKCS$AAEC"));
}

TEST_F(MailCipherTest, MalformedTextsFailCleanly) {
    kvarn_unit::LogCapture log;
    std::string good = take(mail_aes_encrypt("password"));
    auto parts = fields(good);
    std::string prefix = "$AES-256-CBC:PKCS$";
    const std::vector<std::string> bad = {
        prefix,                                                    // nothing after the prefix
        prefix + parts[2],                                         // IV field missing
        prefix + parts[1] + "$" + parts[2].substr(0, 20),          // bad Base64 length
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

TEST(MailAesKeyTest, ShortMissingAndUnreadableKeysAreRefused) {
    KeyDir dir;
    kvarn_unit::LogCapture log;
    std::string short_key = dir.write("short", key32().substr(0, 31));
    EXPECT_EQ(0, mail_aes_init(short_key.c_str()));
    EXPECT_TRUE(logged(log, "Failed to read entire encryption key from '" + short_key + "': " +
                                std::strerror(ENODATA) + " (" + std::to_string(ENODATA) + ")"))
        << log.all();
    EXPECT_TRUE(logged(log, "Failed to initialize encryption cipher 'AES-256-CBC:PKCS' with key '" +
                                short_key + "'"));
    // Only a regular file is opened as a key.
    for (const std::string& path : {dir.file("missing"), dir.path()}) {
        EXPECT_EQ(0, mail_aes_init(path.c_str()));
        EXPECT_TRUE(loggedPart(log, "Can't read encryption key from '" + path + "': ")) << path;
    }
    // No failed load left a context behind.
    EXPECT_EQ(nullptr, mail_aes_encrypt("x"));

    // A longer key file gives its first 32 bytes.
    ASSERT_EQ(1, mail_aes_init(dir.write("long", key32() + "12345678").c_str()));
    std::string text = take(mail_aes_encrypt("pw"));
    mail_aes_cleanup();
    ASSERT_EQ(1, mail_aes_init(dir.write("exact", key32()).c_str()));
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
    EXPECT_TRUE(loggedPart(log, "Failed to correctly destroy encryption cipher")) << log.all();
}

// mail_aes asks for one fixed spec: only the bounds of the fields matter here.
TEST(CipherRegistryTest, OverlongSpecsAndKeysAreRefused) {
    KeyDir dir;
    std::string path = dir.write("key", key32());
    kvarn_unit::LogCapture log;
    std::string overlong = "AES-256-CBC:PKCS,PKCS,PKCS,PKCS!";  // 32 characters
    EXPECT_EQ(0, marun_cipher_init(overlong.c_str(), path.c_str()));
    EXPECT_TRUE(logged(log, "Unknown encryption cipher: '" + overlong + "'")) << log.all();
    // A cipher with a longer key than the fields hold is not let write past them.
    EXPECT_EQ(0, marun_cipher_init("AES-256-XTS", dir.write("long", key32() + key32()).c_str()));
    EXPECT_TRUE(loggedPart(log, "Not enough space supplied to read encryption key data from"));
}

}  // namespace
