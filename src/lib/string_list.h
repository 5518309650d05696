// String lists of the plain-function library: null-terminated arrays of
// malloc'ed strings, as the panel queries return them.
#pragma once

// Frees every string and the array; a null list is accepted.
void free_array(char** list);

// Appends a copy of `text` to *list (creating the list when it is null):
// 0, or -1 with errno ENOMEM, the list unchanged.
int string_list_append(char*** list, const char* text);
