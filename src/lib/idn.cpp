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

char* idn_toascii(const char* name) {
    char* result = nullptr;
    int rc = idna_to_ascii_8z(name, &result, 0);
    if (rc == IDNA_MALLOC_ERROR) {
        messlog2(1, 0, "Allocation failed");
    }
    if (rc != IDNA_SUCCESS) {
        std::free(result);
        idn_errno = rc;
        return nullptr;
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
    const char* at = std::strchr(address, '@');
    if (at == nullptr) {
        return nullptr;
    }
    char* domain = idn_toascii(at + 1);
    if (domain == nullptr) {
        return nullptr;
    }
    int local_length = static_cast<int>(at - address);
    size_t size = static_cast<size_t>(local_length) + 1 + std::strlen(domain) + 1;
    char* result = static_cast<char*>(std::malloc(size));
    if (result != nullptr) {
        std::snprintf(result, size, "%.*s@%s", local_length, address, domain);
    }
    std::free(domain);
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
