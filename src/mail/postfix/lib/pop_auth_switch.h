// The POP-before-SMTP switch of the panel's milter: the line
// "pc_milter_pop_before_smtp=1" in "/etc/sysconfig/oru-pc-remote", edited
// under the lock by name on the file (lib/file_str.h).
#pragma once

extern const char* const POP_AUTH_SWITCH_FILE;  // /etc/sysconfig/oru-pc-remote

// Appends the line (creating the file when missing), without looking for
// one already there. 0 on success, non-zero on failure.
int enablePopAuth();
// Removes every line beginning with "pc_milter_pop_before_smtp"; the file
// keeps its owner and mode. A missing file is a failure (non-zero).
int disablePopAuth();
