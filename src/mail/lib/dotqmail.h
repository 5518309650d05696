// Editing a mail name's ".qmail" delivery file: reset, delivery into the
// Maildir through deliverquota on or off, forwards added and removed. The
// file always ends owned by "popuser" with mode 0600.
#pragma once

constexpr const char* DOTQMAIL_RESET_LINE = "| true";
constexpr const char* DOTQMAIL_DELIVERY_LINE = "| /usr/bin/deliverquota ./Maildir";
// The older direct Maildir delivery; only ever removed.
constexpr const char* DOTQMAIL_OLD_DELIVERY_LINE = "./Maildir/";

// Each returns 0, or -1 after a message; a failed edit leaves the previous
// file in place.

// Replaces the whole file with "| true".
int dotqmail_reset(const char* path);
// Makes the delivery line present exactly once, at the end; drops the older
// form.
int dotqmail_add_delivery(const char* path);
// Removes the delivery lines; fails when the file does not exist.
int dotqmail_remove_delivery(const char* path);
// Makes "&<address>" (domain part in ASCII form) present once, at the end.
int dotqmail_add_forward(const char* path, const char* address);
// Removes "&<address>"; an absent forward is no error.
int dotqmail_remove_forward(const char* path, const char* address);

// The same by mail name and domain ("<mail root>/<domain>/<mailname>/.qmail").
int add_mailname_delivery(const char* mailname, const char* domain);
int remove_mailname_delivery(const char* mailname, const char* domain);
int add_mn_forward(const char* mailname, const char* domain, const char* address);
int rm_mn_forward(const char* mailname, const char* domain, const char* address);
