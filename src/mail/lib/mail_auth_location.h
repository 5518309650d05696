// Where the mail authentication database and its password key file live:
// two process-wide paths, set for the qmail or the Postfix layout.
#pragma once

enum MailAuthDBStyle {
    MAIL_AUTH_DB_INVALID_STYLE = -1,
    MAIL_AUTH_DB_QMAIL_STYLE = 0,
    MAIL_AUTH_DB_POSTFIX_STYLE = 1,
};

// The current database and key file paths (the qmail layout until a style is
// selected). They point to strings that live as long as the process and are
// never copied or freed.
extern const char* mailAuthDB;
extern const char* mailAuthKey;

// Points both paths at the layout of `style` (0 or 1); other values change nothing.
void mailAuthDBSelectStyle(int style);

// Set one path; the string is not copied and must outlive its use.
void mailAuthDBSetPath(const char* path);
void mailAuthKeySetPath(const char* path);

// The key file path beside a database: dirname(dbPath) + "/passwd_db_key",
// malloc'ed (the caller frees it); null when memory runs out.
char* mailAuthDBToKeyPath(const char* dbPath);
