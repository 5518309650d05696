// The one panel lookup the mail code makes directly: the value of a named
// limit (for example "mbox_quota") of a domain or subscription.
#pragma once

#include <mysql.h>

// The value of limit `limit_name` of the domain whose `id` is `dom_id`, in a
// static buffer of 4096 bytes; an empty string when the domain has no such
// limit (or its value is NULL); null after a message on failure. With a null
// `my` a connection is opened and closed for this one query.
const char* get_dom_Limit(const char* dom_id, const char* limit_name, MYSQL* my);
