// Password encryption for the mail authentication database: the mail cipher
// loaded with the key file at mailAuthKey around each operation.
#include <cstring>

#include "lib/log.h"
#include "mail/lib/mail_aes.h"
#include "mail/lib/mail_auth.h"
#include "mail/lib/mail_auth_location.h"

int mailPasswdCipherInit() {
    if (mail_aes_init(mailAuthKey) != 1) {
        marun_log(3, "Failed to initialize password cipher context");
        return -1;
    }
    return 0;
}

void mailPasswdCipherCleanup() {
    mail_aes_cleanup();
}

char* mailPasswdCipherOp(const char* password, MailPasswdSymmetricCipherOp op, const char* mailName,
                         const char* mailDomain) {
    const char* name = mailName != nullptr ? mailName : "";
    const char* at = mailDomain != nullptr ? "@" : "";
    const char* domain = mailDomain != nullptr ? mailDomain : "";
    if (mail_aes_init(mailAuthKey) != 1) {
        marun_log(3, "Failed to initialize password cipher context (for mail address '%s%s%s')",
                  name, at, domain);
        return nullptr;
    }
    bool encrypt = op == MAIL_PASSWD_ENCRYPT;
    char* result = encrypt ? mail_aes_encrypt(password) : mail_aes_decrypt(password);
    mail_aes_cleanup();
    if (result == nullptr) {
        marun_log(3, "Failed to %s password for mail address '%s%s%s'",
                  encrypt ? "encrypt" : "decrypt", name, at, domain);
    }
    return result;
}
