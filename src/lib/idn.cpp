// IDNA conversion over libidn, with the program's own error texts.
#include "lib/idn.h"

#include <idna.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "lib/log.h"

int idn_errno = 0;

const char* idn_strerror(int code) {
    switch (code) {
        case 0:
            return "Success";
        case 1:
            return "Stringprep error";
        case 2:
            return "Punycode error";
        case 3:
            return "Contains non-LDH characters";
        case 4:
            return "Contains minus";
        case 5:
            return "Invalid length";
        case 6:
            return "ACE prefix not found";
        case 7:
            return "Verify error";
        case 8:
            return "ACE prefix found";
        case 9:
            return "Iconv error";
        case 201:
            return "Cannot allocate buffer";
        default:
            return "Unknown error";
    }
}

int idn_convert(const char* name, int to_unicode, char** result) {
    *result = nullptr;
    int rc = to_unicode ? idna_to_unicode_8z8z(name, result, 0) : idna_to_ascii_8z(name, result, 0);
    if (rc != IDNA_SUCCESS) {
        std::free(*result);
        *result = nullptr;
    }
    return rc;
}

int idn_email_convert(const char* address, char** result) {
    *result = nullptr;
    const char* at = std::strchr(address, '@');
    if (at == nullptr) {
        return IDNA_SUCCESS;
    }
    char* domain = nullptr;
    int rc = idn_convert(at + 1, 0, &domain);
    if (rc != IDNA_SUCCESS) {
        return rc;
    }
    int local_length = static_cast<int>(at - address);
    size_t size = static_cast<size_t>(local_length) + 1 + std::strlen(domain) + 1;
    *result = static_cast<char*>(std::malloc(size));
    if (*result != nullptr) {
        std::snprintf(*result, size, "%.*s@%s", local_length, address, domain);
    }
    std::free(domain);
    return *result != nullptr ? IDNA_SUCCESS : IDNA_MALLOC_ERROR;
}

char* idn_toascii(const char* name) {
    char* result = nullptr;
    int rc = idn_convert(name, 0, &result);
    if (rc == IDNA_MALLOC_ERROR) {
        messlog2(1, 0, "Allocation failed");
    }
    if (rc != IDNA_SUCCESS) {
        idn_errno = rc;
    }
    return result;
}

char* idn_toascii_safe(const char* name) {
    char* result = idn_toascii(name);
    if (result == nullptr) {
        messlog2(1, 0, "%s(%s) failed: %s", "idn_toascii_safe", name, idn_strerror(idn_errno));
    }
    return result;
}

char* idn_email_toascii(const char* address) {
    char* result = nullptr;
    int rc = idn_email_convert(address, &result);
    if (rc == IDNA_MALLOC_ERROR) {
        messlog2(1, 0, "Allocation failed");
    }
    if (rc != IDNA_SUCCESS) {
        idn_errno = rc;
    }
    return result;
}

char* idn_email_toascii_safe(const char* address) {
    char* result = idn_email_toascii(address);
    if (result == nullptr) {
        messlog2(1, 0, "%s(%s) failed: %s", "idn_email_toascii_safe", address,
                 idn_strerror(idn_errno));
    }
    return result;
}
