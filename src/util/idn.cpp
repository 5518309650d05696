// IDNA conversion for the class layers, over the plain conversions of lib/idn.
#include "util/idn.h"

#include <new>

#include "lib/c_handles.h"
#include "lib/idn.h"

namespace marun {
namespace idn {

namespace {

// Takes the result of a lib conversion: its text, IdnaError for a failure,
// std::bad_alloc for a success without a result.
std::string take(int rc, char* raw) {
    MallocPtr<char> result(raw);
    if (rc != 0) {
        throw IdnaError(rc);
    }
    if (!result) {
        throw std::bad_alloc();
    }
    return std::string(result.get());
}

}  // namespace

const char* IdnaError::what() const noexcept {
    return idn_strerror(code_);
}

std::string toAscii(const std::string& name) {
    char* result = nullptr;
    int rc = idn_convert(name.c_str(), 0, &result);
    return take(rc, result);
}

std::string toUtf8(const std::string& name) {
    char* result = nullptr;
    int rc = idn_convert(name.c_str(), 1, &result);
    return take(rc, result);
}

std::string emailToAscii(const std::string& address) {
    char* result = nullptr;
    int rc = idn_email_convert(address.c_str(), &result);
    if (rc == 0 && result == nullptr) {
        return address;  // no "@": nothing to convert
    }
    return take(rc, result);
}

}  // namespace idn
}  // namespace marun
