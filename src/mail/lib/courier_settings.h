// Courier-IMAP settings: shell-style variable assignments ("NAME=value") in
// the daemon configuration files "imapd", "imapd-ssl", "pop3d" and
// "pop3d-ssl" under "<COURIER_IMAP_ROOT_D>/etc/courier-imap". A set variable
// stands exactly once, at the place of its first old assignment or at the
// end; a removed one not at all; every other line stays byte for byte (a
// last line without a newline gains one).
//
// Each file is rewritten under the lock by name on its path, through a fresh
// "<file>.tmp" in its directory (left over by a killed run, it is replaced)
// that takes the file's owner and mode and is renamed over it: readers see
// the old file or the new one. A file whose content would not change is not
// rewritten.
#pragma once

enum EnvAction {
    ENV_ADD = 0,  // set the variable
    ENV_DEL = 1,  // remove it
};

// One requested change; a null `var` ends a list.
struct EnvChange {
    const char* var;
    EnvAction action;
    const char* value;  // for ENV_ADD; null is the empty value
};

// Applies the list (up to 31 entries; a longer tail is reported and ignored)
// to the four files in order, then restarts Courier-IMAP. A file that cannot
// be opened is reported and skipped; any later failure stops at once with
// -1, leaving the remaining files untouched and Courier-IMAP not restarted.
// Otherwise the restart's result (0 or -1). Reports through messlog2.
int set_courier_params_list(const EnvChange* env);

// RELAYCLIENT (empty) when `relayClient`, POPAUTH=1 when `popAuth`,
// SHORTNAMES=1 when `shortNames`, each removed otherwise; POPLOCK_TIME set to
// `poplockTime`, removed for 0, untouched when negative.
int set_courier_params(int relayClient, int popAuth, short poplockTime, int shortNames);
// SHORTNAMES=1, or removed.
int set_courier_shortnames_params(int shortNames);
