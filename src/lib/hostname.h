// The host's fully qualified name, as the domain manager needs it to keep
// the host's own alias-domain records apart from hosted domains.
#pragma once

#include <cstddef>

// 0 with the name in `buffer` (NUL-terminated), -1 on failure (logged).
int get_hostname_fqdn(char* buffer, size_t size);
