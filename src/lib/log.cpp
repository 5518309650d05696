// System-log binding and the messlog2 family.
#include "lib/log.h"

#include <syslog.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

marun_log_fn marun_log = syslog;
marun_logv_fn marun_logv = vsyslog;
int marun_log_level = 6;
int marun_log_enabled = 1;
int marun_log_facility = LOG_MAIL;

int marun_log_init(const char* target, int level, int facility, int options, const char* ident) {
    marun_log_facility = facility;
    if (level < 1) {
        marun_log_level = 0;
        marun_log_enabled = 0;
    } else {
        marun_log_level = level;
        marun_log_enabled = 1;
    }
    if (target == nullptr) {
        closelog();
        openlog(ident, options | LOG_PID, facility);
        marun_log = syslog;
        marun_logv = vsyslog;
    }
    return 0;
}

int messlog2(int exit_status, int reserved, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int result = vmesslog2(exit_status, reserved, format, args);
    va_end(args);
    return result;
}

int vmesslog2(int exit_status, int reserved, const char* format, va_list args) {
    int saved_errno = errno;
    size_t size = 4096;
    char* buf = static_cast<char*>(std::malloc(size));
    if (buf == nullptr) {
        return ex_messlog("Can't allocate memory for error message", exit_status, reserved);
    }
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(buf, size, format, copy);
    va_end(copy);
    if (needed > 0 && static_cast<size_t>(needed) >= size) {
        char* bigger = static_cast<char*>(std::realloc(buf, static_cast<size_t>(needed) + 1));
        if (bigger != nullptr) {
            buf = bigger;
            size = static_cast<size_t>(needed) + 1;
            va_copy(copy, args);
            std::vsnprintf(buf, size, format, copy);
            va_end(copy);
        }
    }
    errno = saved_errno;
    if (saved_errno != 0) {
        const char* error_text = std::strerror(saved_errno);
        size_t used = std::strlen(buf);
        int suffix = std::snprintf(nullptr, 0, "\nSystem error %d: %s", saved_errno, error_text);
        if (suffix > 0 && used + static_cast<size_t>(suffix) + 1 > size) {
            char* bigger =
                static_cast<char*>(std::realloc(buf, used + static_cast<size_t>(suffix) + 1));
            if (bigger != nullptr) {
                buf = bigger;
                size = used + static_cast<size_t>(suffix) + 1;
            }
        }
        std::snprintf(buf + used, size - used, "\nSystem error %d: %s", saved_errno, error_text);
    }
    int result = ex_messlog(buf, exit_status, reserved);
    std::free(buf);
    return result;
}

int ex_messlog(const char* text, int exit_status, int /*reserved*/) {
    size_t len = std::strlen(text);
    bool needs_newline = len == 0 || text[len - 1] != '\n';
    std::fputs(text, stderr);
    if (needs_newline) {
        std::fputc('\n', stderr);
    }
    std::fflush(stderr);
    std::fputs(text, stdout);
    if (needs_newline) {
        std::fputc('\n', stdout);
    }
    std::fflush(stdout);
    if (exit_status != 0) {
        std::exit(exit_status);
    }
    return 0;
}
