// Opening the panel database: credentials from the administrator's password
// file, connection, character set, and the error texts callers show.
#include "lib/db_connect.h"

#include <string.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "lib/c_handles.h"
#include "lib/log.h"

namespace {

// A password buffer that is wiped when it goes out of scope, so the secret
// does not linger in freed stack memory.
template <std::size_t N>
struct SecretBuffer {
    char data[N] = {};
    ~SecretBuffer() { explicit_bzero(data, sizeof data); }
};

void writeError(char* errbuf, std::size_t size, const char* format, const char* text) {
    if (errbuf != nullptr && size > 0) {
        std::snprintf(errbuf, size, format, text);
    }
}

// A handle whose client library reports an error is closed: null.
MYSQL* closeOnError(MYSQL* handle) {
    if (handle != nullptr && mysql_errno(handle) != 0) {
        mysql_close(handle);
        return nullptr;
    }
    return handle;
}

void stripNewline(char* text) {
    std::size_t length = std::strlen(text);
    if (length > 0 && text[length - 1] == '\n') {
        text[length - 1] = '\0';
    }
}

}  // namespace

MYSQL* marun_db_connect_raw_ex(char* errbuf, std::size_t size) {
    FilePtr file(std::fopen(ADMIN_PASSWORD_FILE, "r"));
    if (!file) {
        writeError(errbuf, size, "Unable to open admin password file: %s", std::strerror(errno));
        return nullptr;
    }
    // The first line, at most 99 characters.
    SecretBuffer<100> password;
    errno = 0;
    if (std::fgets(password.data, sizeof password.data, file.get()) == nullptr) {
        writeError(errbuf, size, "Unable to read admin password file: %s", std::strerror(errno));
        return nullptr;
    }
    file.reset();
    stripNewline(password.data);

    MYSQL* handle = mysql_init(nullptr);
    if (handle == nullptr) {
        errno = ENOMEM;
        writeError(errbuf, size, "Unable to initialize MySQL connection structure: %s",
                   std::strerror(ENOMEM));
        return nullptr;
    }
    if (mysql_real_connect(handle, PANEL_DB_HOST, PANEL_DB_USER, password.data, PANEL_DB_NAME, 0,
                           nullptr, 0) == nullptr) {
        writeError(errbuf, size, "Unable to connect to Marun Database: %s", mysql_error(handle));
        mysql_close(handle);
        return nullptr;
    }
    return handle;
}

MYSQL* marun_db_connect_raw(char* errbuf, std::size_t size) {
    MYSQL* handle = marun_db_connect_raw_ex(errbuf, size);
    if (handle != nullptr && mysql_errno(handle) != 0) {
        writeError(errbuf, size, "Unable to connect to Marun Database: %s", mysql_error(handle));
    }
    return closeOnError(handle);
}

MYSQL* marun_db_connect_ex(char* errbuf, std::size_t size) {
    MYSQL* handle = marun_db_connect_raw(errbuf, size);
    if (handle == nullptr) {
        return nullptr;
    }
    if (mysql_query(handle, "SET NAMES utf8") != 0 && errbuf != nullptr && size > 0) {
        unsigned int number = mysql_errno(handle);
        if (number != 0) {
            std::snprintf(errbuf, size, "DB error (%s) %u: %s", "set names query", number,
                          mysql_error(handle));
        } else {
            std::snprintf(errbuf, size, "DB error (%s): unknown error", "set names query");
        }
    }
    return handle;
}

MYSQL* marun_db_connect(char* errbuf, std::size_t size) {
    return closeOnError(marun_db_connect_ex(errbuf, size));
}

MYSQL* db_connect_nothrow(char* errbuf, std::size_t size) {
    return marun_db_connect(errbuf, size);
}

MYSQL* db_connect() {
    char errbuf[DB_ERRBUF_SIZE] = {};
    MYSQL* handle = db_connect_nothrow(errbuf, sizeof errbuf);
    if (handle == nullptr) {
        // The reason, not the errno of whatever ran last, is the message.
        errno = 0;
        messlog2(0, 0, "%s", errbuf);
    }
    return handle;
}

const char* get_admin_password() {
    static char password[4097];
    FilePtr file(std::fopen(ADMIN_PASSWORD_FILE, "r"));
    if (!file) {
        messlog2(1, 0, "Unable to open admin password file");
        return nullptr;
    }
    std::size_t length = std::fread(password, 1, sizeof password - 1, file.get());
    if (std::ferror(file.get())) {
        explicit_bzero(password, sizeof password);
        messlog2(1, 0, "Unable to read admin password file");
        return nullptr;
    }
    password[length] = '\0';
    stripNewline(password);
    return password;
}

char* db_escape(MYSQL* my, const char* text, std::size_t length) {
    char* escaped = static_cast<char*>(std::malloc(length * 2 + 1));
    if (escaped == nullptr) {
        return nullptr;
    }
    if (my != nullptr) {
        mysql_real_escape_string(my, escaped, text, length);
    } else {
        mysql_escape_string(escaped, text, length);
    }
    return escaped;
}
