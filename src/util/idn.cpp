// IDNA conversion for the class layers, over libidn.
#include "util/idn.h"

#include <idna.h>

#include <new>

#include "lib/c_handles.h"
#include "lib/idn.h"

namespace marun {
namespace idn {

namespace {

using Converter = int (*)(const char* input, char** output, int flags);

std::string convert(Converter converter, const std::string& name) {
    char* raw = nullptr;
    int rc = converter(name.c_str(), &raw, 0);
    MallocPtr<char> result(raw);
    if (rc != IDNA_SUCCESS) {
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
    return convert(idna_to_ascii_8z, name);
}

std::string toUtf8(const std::string& name) {
    return convert(idna_to_unicode_8z8z, name);
}

std::string emailToAscii(const std::string& address) {
    std::string::size_type at = address.find('@');
    if (at == std::string::npos) {
        return address;
    }
    return address.substr(0, at + 1) + toAscii(address.substr(at + 1));
}

}  // namespace idn
}  // namespace marun
