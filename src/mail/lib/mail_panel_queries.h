// Mail lists read from the panel's MySQL database (domain aliases of a
// domain, mail aliases of a mail name, mail names of a domain), and the
// mail authentication changes repeated over them, so that every address
// that can log in has its entry.
#pragma once

#include <mysql.h>

#include "mail/lib/mail_auth.h"

// Query helpers. A null `my` opens a connection for the one call. Lists are
// null-terminated arrays of malloc'ed strings (free_array, lib/string_list.h)
// holding the first column of each row in server order; no rows give no
// list (null). 0 or -1.
int get_domaliases_by_domain(MYSQL* my, char*** list, const char* domain);
int get_aliases_by_mailname(MYSQL* my, char*** list, const char* mailname, const char* domain);
int get_mailnames_by_domain(MYSQL* my, char*** list, const char* domain);
// The domain of a domain alias into *name (malloc'ed); unchanged when none.
int get_domain_by_domainalias(MYSQL* my, char** name, const char* alias);
// Runs `query` and appends the first column of its rows to *list.
int exec_mysql_query(MYSQL* my, const char* query, char*** list);
// `text` escaped for use inside '...' (malloc'ed). Ends the process with
// status 1 when it cannot connect or allocate.
char* mysql_real_escape_entity(MYSQL* my, const char* text);

// Propagating changes: the change for the given name first, then for each
// name of the list read. -1 on failure (earlier changes stay), 0 when there
// was no list, 1 when a list was walked.
//
// set_postbox_passwd in the domain and in every alias of the domain.
int set_passwd_for_domains(const char* mailname, const char* domain, const char* password,
                           MailAuthFlagsT flags);
// set_passwd_for_domains for the mail name and for each of its mail aliases.
int set_mass_postbox_passwd(const char* mailname, const char* domain, const char* password,
                            MailAuthFlagsT flags);
// mailAuthRemove in the domain and in every alias of the domain.
int rm_mname_from_domains(const char* mailname, const char* domain);
// Removes the mail name and each of its mail aliases from the domain and
// from every alias of the domain.
int rm_mails_from_domains(const char* mailname, const char* domain);
// `action` on the domain and on every alias of it; `description` names the
// action in messages ("disable auth records", ...).
int domain_auth_action(const char* domain, int (*action)(const char* domain),
                       const char* description);
// Copies every mail name of the domain, and each of its mail aliases, into
// the alias domain.
int add_domain_auth_alias(const char* domain, const char* alias);
// Removes the alias domain and the mail aliases of the real domain's mail
// names under it. 0 or -1.
int rm_domain_auth_alias(const char* alias);
