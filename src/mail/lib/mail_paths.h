// Paths of a mail name's home and ".qmail" file for the mail library, with
// the domain converted to its ASCII (IDNA) form.
#pragma once

#include <cstddef>

// "<mail root>/<domain in ASCII>/<mailname>" into `buffer` of `size` bytes.
// 0 on success; -1 after a message when the names are unusable or the path
// does not fit (the buffer then holds an empty string).
int get_mailhome_path(char* buffer, std::size_t size, const char* mailname, const char* domain);

// As get_mailhome_path, with "/.qmail" appended.
int get_dotqmail_path(char* buffer, std::size_t size, const char* mailname, const char* domain);
