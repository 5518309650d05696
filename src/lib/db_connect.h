// Connections to the panel's MySQL database with the panel administrator's
// credentials: the plain functions every layer opens its handles with, the
// owners of handles and result sets, the one escaping of values, and the
// reader of the administrator's password file.
#pragma once

#include <mysql.h>

#include <cstddef>
#include <memory>

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

struct MysqlCloser {
    void operator()(MYSQL* handle) const { mysql_close(handle); }
};
using MysqlHandle = std::unique_ptr<MYSQL, MysqlCloser>;

struct MysqlResultFreer {
    void operator()(MYSQL_RES* result) const { mysql_free_result(result); }
};
using MysqlResult = std::unique_ptr<MYSQL_RES, MysqlResultFreer>;

// The caller's handle when one is given; otherwise one opened with
// db_connect() on open() and closed with this object.
class PanelHandle {
  public:
    explicit PanelHandle(MYSQL* given) : handle_(given) {}
    // False when db_connect() gave no handle (it printed why).
    bool open() {
        if (handle_ == nullptr) {
            owned_.reset(db_connect());
            handle_ = owned_.get();
        }
        return handle_ != nullptr;
    }
    MYSQL* get() const { return handle_; }

  private:
    MysqlHandle owned_;
    MYSQL* handle_;
};

// `length` bytes of `text` escaped for use between quotes in a query on `my`
// (without a handle, by the client library's connection-less escaping): a
// malloc'ed string the caller frees, or null when memory runs out.
char* db_escape(MYSQL* my, const char* text, std::size_t length);
