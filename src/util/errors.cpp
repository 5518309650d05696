// Exception types, errno mapping and the top-level reporters.
#include "util/errors.h"

#include <cxxabi.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <typeinfo>

#include "util/uerr.h"

namespace marun {

SystemError::SystemError(const std::string& message, int code)
    : std::runtime_error(message), code_(code == 0 ? errno : code) {}

const char* SystemError::what() const noexcept {
    try {
        if (text_.empty()) {
            const char* message = std::runtime_error::what();
            if (*message != '\0') {
                text_ = message;
                text_ += ": ";
            }
            text_ += std::strerror(code_);
        }
        return text_.c_str();
    } catch (...) {
        return std::runtime_error::what();
    }
}

void throwSystemError(const std::string& message, int code) {
    switch (code) {
        case EPERM:
            throw ExSystemError<EPERM>(message);
        case ENOENT:
            throw ExSystemError<ENOENT>(message);
        case EINTR:
            throw ExSystemError<EINTR>(message);
        case EAGAIN:
            throw ExSystemError<EAGAIN>(message);
        case ECHILD:
            throw ExSystemError<ECHILD>(message);
        default:
            throw SystemError(message, code);
    }
}

std::string demangledTypeName(const std::exception& e) {
    const char* mangled = typeid(e).name();
    if (*mangled == '*') {
        ++mangled;
    }
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    if (status != 0 || !demangled) {
        return mangled;
    }
    return demangled.get();
}

void reportException(const std::exception& e) {
    try {
        uerr << "Fatal error: " << demangledTypeName(e) << "(" << e.what() << ")" << std::endl;
    } catch (...) {
        // A reporter never throws on its own.
    }
}

void reportUntypedException() {
    try {
        uerr << "UNSPECIFIED ERROR OCCURED" << std::endl;
    } catch (...) {
    }
}

}  // namespace marun
