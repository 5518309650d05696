// Safety check for names that become one directory level of the mail tree
// (a domain or a mail name), so that no input reaches outside the mail root.
#pragma once

#include <cstddef>

// Longest name one directory level may carry.
constexpr std::size_t MAIL_TREE_NAME_MAX = 255;

// Why the `length` bytes at `name` cannot be one level of the mail tree
// ("it is empty", "it begins with '.'", "it contains '/'", "it contains
// '..'", "it contains a zero byte", "it contains white space", "it contains
// a control character", "it is too long", "it is not valid UTF-8"), or null
// when it can.
const char* mail_tree_name_error(const char* name, std::size_t length);

// The one way the mail library turns a domain into the ASCII (IDNA) form
// that names its directory: converted, then checked with
// mail_tree_name_error, since IDNA maps some characters that pass as typed
// onto "/", "." and " " ("‥／‥／etc" becomes "../../etc"). The malloc'ed
// form, or null: with *why null when the conversion failed (idn_errno set),
// else with *why saying what is wrong with the ASCII form.
char* mail_tree_domain(const char* domain, const char** why);
