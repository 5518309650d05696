// Writing a Maildir's "maildirsize" quota file: the limits, and the usage
// counted at the time of writing, through a temporary file in "tmp".
#pragma once

#include <sys/types.h>

#include "mail/lib/maildirpp_usage.h"

// Writes "<sq>S,<cq>C" and the counted usage (12-character columns) to
// `maildir`/maildirsize, owned by `owner`:`group`. When a folder changed while
// it was being counted, the file is dated 960 seconds before the count so
// readers that check its age recount. 1 on success, 0 on failure (errno kept).
int write_maildirpp_maildirsize(const char* maildir, uid_t owner, gid_t group, sizequota_t sq,
                                fcount_t cq);

// Writes `maildir`'s quota for a requested byte quota: below 0 (unlimited) is
// written as 0, exactly 0 as 1 (no more mail). Owned by "popuser".
// 1 on success, 0 on failure.
int store_maildirpp_quota_raw(const char* maildir, sizequota_t quota);
