// Class layer over the panel database: a Connection that builds a query by
// streaming text into it (with escaping of values and names on request) and
// returns rows as maps from column name to Field.
#pragma once

#include <mysql.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "lib/db_connect.h"
#include "util/mysql_error.h"

namespace marun {
namespace mysql {

// One column of one row: the full value (embedded zero bytes survive) and
// whether it was SQL NULL (the value is then empty). A default Field is NULL.
class Field {
  public:
    Field() = default;
    Field(std::string value, bool isNull) : value_(std::move(value)), null_(isNull) {}
    const std::string& value() const { return value_; }
    bool isNull() const { return null_; }

  private:
    std::string value_;
    bool null_ = true;
};

class Result {
  public:
    using row_t = std::map<std::string, Field>;

    // Takes ownership of a stored result set.
    explicit Result(MYSQL_RES* result);

    // False when no row remains; otherwise replaces *row with the next row.
    // Two columns of the same name throw mError.
    bool fetch(row_t* row);

  private:
    MysqlResult result_;
    std::vector<std::string> names_;
};

// Stream tokens for a Connection:
//   conn << "SELECT a FROM t WHERE b='" << Query::VALUE << text << "'" << Query::fetch
// VALUE escapes the next string as an SQL value, NAME as a `quoted` name;
// every insertion returns to RAW.
struct Query {
    enum insert_t { VALUE = 0, NAME = 1, RAW = 2 };
    enum fetch_t { fetch };
    enum exec_t { exec };
};

class Connection {
  public:
    // No handle yet; owning. With openNow the connection is opened at once.
    explicit Connection(bool openNow = true);
    // Wraps an existing handle; closes it on destruction only when `owns`.
    Connection(MYSQL* handle, bool owns);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Connects with db_connect() unless a handle is present; throws
    // mError("connection failed") when that gives none.
    void open();

    // `text` escaped by the client library for use inside '...'; a length of
    // 0 means strlen(text). Opens the connection when needed.
    std::string escape(const char* text, unsigned long length = 0);
    // `text` with every backquote doubled, for use inside `...`.
    static std::string escape_name(const char* text, unsigned long length = 0);

    // Appends according to the insertion mode, then returns to raw. A null
    // text sets the stream's fail state and appends nothing; such a query is
    // refused when sent.
    Connection& operator<<(const char* text);
    Connection& operator<<(const std::string& text);
    Connection& operator<<(double number);
    Connection& operator<<(int number);
    Connection& operator<<(unsigned long long number);
    Connection& operator<<(Query::insert_t mode);

    // Sends the text built so far (which is then cleared) and returns its
    // result set; a failing query or one without a result set throws mError.
    Result operator<<(Query::fetch_t);
    // Sends the text built so far (then cleared) and returns the number of
    // rows it touched.
    unsigned long long operator<<(Query::exec_t);

  private:
    Connection& insert(const char* text, std::size_t length);
    // Sends and clears the query; throws mError on failure.
    void send();

    MysqlHandle owned_;  // the handle when this object closes it
    MYSQL* handle_ = nullptr;
    std::ostringstream query_;
    std::string last_;  // the query last sent, for error texts
    Query::insert_t mode_ = Query::RAW;
};

}  // namespace mysql
}  // namespace marun
