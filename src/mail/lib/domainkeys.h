// DomainKeys signing keys on disk, where the signing component reads them:
// one directory per domain under DOMAINKEYS_ROOT, named by the domain in
// lower case (root, 0755), holding the key file "default" (root, popuser's
// group, 0440), a byte-for-byte copy of the key the panel uploaded. A domain
// has DomainKeys exactly when that file exists and is a regular file.
//
// Domain lists are one string of names separated by commas; empty items
// (doubled or trailing commas) are skipped. A list holding an item that
// could name something other than a key directory ("/" in it, "." or "..")
// is refused whole before any key changes.
//
// The uploaded key is opened through the no-follow walker: a link, a
// directory or a FIFO given as the key is refused, not installed. A key is
// installed through the safe file writer; a failed copy ends the process
// (copy_file_atomic), so a key is there whole or not at all.
//
// Results: 0 on success, -1 on failure after a message through messlog2
// (standard error and standard output; the process goes on).
#pragma once

constexpr const char* DOMAINKEYS_ROOT = "/etc/domainkeys";

// The path of the domain's key file (malloc'ed, the caller frees it), or
// null for a null domain or a path of 4096 bytes or more.
char* get_domainkeys_file(const char* domain);

// 1 when the domain's key file exists and is a regular file, else 0.
int domainkeys_enabled(const char* domain);

// Installs `file` as the key of every domain of the list (names in any
// case). An item that fails does not stop the others.
int set_domain_key(const char* domains, const char* file);

// Gives every domain of the list `destination` the key of `source`; 0
// without doing anything when `source` has no key.
int clone_domain_key(const char* source, const char* destination);

// Removes the key directory of every domain of the list; a domain without
// one is no failure. Every item is tried.
int remove_domain_key(const char* domains);
