// The mail authentication database: mail domains and users with their
// passwords (stored encrypted with the mail password cipher), in a SQLite
// file at mailAuthDB with its key file at mailAuthKey (mail_auth_location.h).
// Every operation opens its own connection and closes it again. Results are
// 0 on success and -1 on failure after logging through marun_log, unless
// stated. Names are used exactly as given.
#pragma once

#include <sys/types.h>

#include <cstdint>

typedef uint8_t MailAuthFlagsT;

enum MailAuthFlagsValues {
    // The password is in crypted (one-way) form, kept as given in cmusaslsecretPLAIN.
    MAIL_AUTH_CRYPTED = 1,
    // The user is disabled.
    MAIL_AUTH_DISABLED = 2,
    // The domain is disabled; when writing, the status of a domain row that
    // has to be created.
    MAIL_DOMAIN_AUTH_DISABLED = 4,
    // Look the domain up but never create it.
    MAIL_AUTH_DO_NOT_CHANGE = 8,
};

// One user as read back: the stored password text (not decrypted).
struct passwd_type_t {
    char* name;
    char* passwd;
    MailAuthFlagsT flags;
};

// Called with a mail address, its password in plain (or crypted) form, its
// flags and the caller's data. A result above 0 goes on; 0 or below stops a
// walk and becomes its result.
typedef int (*MailAuthVisitor)(const char* mailAddress, const char* password, MailAuthFlagsT flags,
                               void* data);

enum MailPasswdSymmetricCipherOp {
    MAIL_PASSWD_DECRYPT = 0,
    MAIL_PASSWD_ENCRYPT = 1,
};

// The schema script that mailAuthDBInit runs.
extern const char* const mailAuthDBSchema;

// Selects the style (0 or 1), re-creates the database and a new key and sets
// their owners and modes: style 1 for Postfix (user "postfix"), style 0 root.
int mailAuthDBInitStyle(int style);
// Re-creates an empty database at mailAuthDB (missing directories included).
int mailAuthDBInit();
// Writes a new random key to mailAuthKey, readable by its owner only.
int mailAuthKeyInit();
// Owner and mode of the database directory, then of the database file.
int mailAuthDBSetAccess(uid_t uid, gid_t gid, mode_t dbMode, uid_t dirUid, gid_t dirGid,
                        mode_t dirMode);
int mailAuthKeySetAccess(uid_t uid, gid_t gid, mode_t keyMode);
// Asks "<PRODUCT_ROOT_D>/admin/sbin/kvarn --features" which mail server is
// installed: 1 Postfix, 0 qmail, -1 unknown.
int mailAuthDBDetectStyle();

// A non-empty password is stored (mailAuthSet); a null or empty one removes
// the user (mailAuthRemove).
int set_postbox_passwd(const char* mailName, const char* mailDomain, const char* password,
                       MailAuthFlagsT flags);
// Stores the user, registering its domain when needed. Without
// MAIL_AUTH_CRYPTED the password is encrypted first.
int mailAuthSet(const char* mailName, const char* mailDomain, const char* password,
                MailAuthFlagsT flags);
// Copies a user's row (password text as stored) to a new name and domain;
// a missing source is success.
int mailAuthClone(const char* oldName, const char* oldDomain, const char* newName,
                  const char* newDomain);
// Copies the users `names` (a null-terminated list) of `oldDomain` to the
// same names in `newDomain` on one connection and in one transaction: every
// copy is made or none. Missing sources are skipped.
int mailAuthCloneNames(const char* const* names, const char* oldDomain, const char* newDomain);
// Deletes the user; an unknown domain is success.
int mailAuthRemove(const char* mailName, const char* mailDomain);
// Renames the user within the domain; fails for an unknown domain and when
// the new name is taken.
int mailAuthRename(const char* oldMailName, const char* newMailName, const char* mailDomain);

int mailAuthDisableDomain(const char* domain);
int mailAuthEnableDomain(const char* domain);
int mailAuthRenameDomain(const char* oldDomain, const char* newDomain);
// Deletes the domain and, by trigger, its users.
int mailAuthRemoveDomain(const char* domain);

// Looks one address up and calls the visitor once: its result, 1 for an
// unknown user, -1 on failure.
int mailAuthCheck(const char* mailAddress, MailAuthVisitor visitor, void* data);
// Calls the visitor for every user of that mail name in any domain.
int mailAuthCheckShort(const char* mailname, MailAuthVisitor visitor, void* data);
// Calls the visitor for every user, ordered by domain name then mail name.
int mailAuthIterateAll(MailAuthVisitor visitor, void* data);

// Loads the password cipher with the key file for the duration of several
// operations (each operation also loads it for itself). 0 or -1.
int mailPasswdCipherInit();
void mailPasswdCipherCleanup();
// Encrypts or decrypts one password with the key at mailAuthKey: a new
// string (free() it) or null. mailDomain may be null.
char* mailPasswdCipherOp(const char* password, MailPasswdSymmetricCipherOp op, const char* mailName,
                         const char* mailDomain);
