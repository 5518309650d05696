// Conversion of internationalised domain names to their ASCII (IDNA,
// "xn--") form, for the plain-function library and, through idn_convert and
// idn_email_convert, for the class layer's wrappers (util/idn.h). Results
// are malloc'ed and freed by the caller.
#pragma once

// The libidn result code of the last failed conversion.
extern int idn_errno;

// The text for a libidn result code ("Unknown error" for codes it does not know).
const char* idn_strerror(int code);

// libidn's conversion (flags 0) of `name` into *result: its ASCII form, or
// with `to_unicode` its Unicode (UTF-8) form. Returns libidn's result code:
// 0, or a failure with *result null.
int idn_convert(const char* name, int to_unicode, char** result);
// `address` with the part after its first "@" in ASCII form into *result;
// the local part is kept as it is. An address without "@" gives 0 and a
// null result. Returns libidn's result code (201 when memory runs out).
int idn_email_convert(const char* address, char** result);

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
