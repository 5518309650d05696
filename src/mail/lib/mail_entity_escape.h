// Preparing a domain or mail name for a panel database query.
#pragma once

#include <mysql.h>

// `entity` converted to ASCII (IDNA) and escaped for use inside '...' in a
// query on `my` (without a connection the client library's connection-less
// escaping is used). A malloc'ed string the caller frees, or null after a
// message.
char* mysql_escape_mail_entity(MYSQL* my, const char* entity);
