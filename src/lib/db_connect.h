// Connections to the panel's MySQL database with the panel administrator's
// credentials: the plain functions the mail library opens its handles with,
// and the reader of the administrator's password file.
#pragma once

#include <mysql.h>

#include <cstddef>

constexpr const char* ADMIN_PASSWORD_FILE = "/etc/oru/.oru.shadow";
constexpr const char* PANEL_DB_HOST = "localhost";
constexpr const char* PANEL_DB_USER = "admin";
constexpr const char* PANEL_DB_NAME = "oru";
// Size of the error buffers the wrappers pass to the functions below.
constexpr std::size_t DB_ERRBUF_SIZE = 4097;

// A connected handle, or null with the reason written into `errbuf`
// (`size` bytes). The password is the first line of ADMIN_PASSWORD_FILE.
MYSQL* marun_db_connect_raw_ex(char* errbuf, std::size_t size);

// As marun_db_connect_raw_ex; a handle whose client library reports an
// error afterwards is closed and null returned.
MYSQL* marun_db_connect_raw(char* errbuf, std::size_t size);

// marun_db_connect_raw, then "SET NAMES utf8". A failure of that statement is
// written into `errbuf` and the handle is still returned.
MYSQL* marun_db_connect_ex(char* errbuf, std::size_t size);

// marun_db_connect_ex; a handle with an error pending is closed and null
// returned.
MYSQL* marun_db_connect(char* errbuf, std::size_t size);

// marun_db_connect.
MYSQL* db_connect_nothrow(char* errbuf, std::size_t size);

// db_connect_nothrow with its own buffer; on failure the reason is printed
// through messlog2 (not fatal) and null returned. Close with mysql_close.
MYSQL* db_connect();

// The content of ADMIN_PASSWORD_FILE (at most 4096 bytes, one trailing
// newline removed) in a static buffer. Failing to open or read it ends the
// process with status 1.
const char* get_admin_password();
