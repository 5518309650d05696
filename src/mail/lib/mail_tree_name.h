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
// when it can. Callers that convert a domain check its ASCII form with it:
// IDNA maps some characters that pass as typed onto "/", "." and " ".
const char* mail_tree_name_error(const char* name, std::size_t length);
