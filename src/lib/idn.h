// Conversion of internationalised domain names to their ASCII (IDNA,
// "xn--") form for the plain-function library. Results are malloc'ed and
// freed by the caller.
#pragma once

// The libidn result code of the last failed conversion.
extern int idn_errno;

// The text for a libidn result code ("Unknown error" for codes it does not know).
const char* idn_strerror(int code);

// The ASCII form of `name`, or null with idn_errno set. Running out of memory
// ends the process.
char* idn_toascii(const char* name);
// As idn_toascii; every failure ends the process with a message.
char* idn_toascii_safe(const char* name);

// "<local part>@<ASCII domain>" for an address; null when it has no "@", or
// with idn_errno set when the domain cannot be converted.
char* idn_email_toascii(const char* address);
// As idn_email_toascii; a null result ends the process with a message.
char* idn_email_toascii_safe(const char* address);
