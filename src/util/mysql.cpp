// Query building, sending and row fetching over the panel database.
#include "util/mysql.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "lib/c_handles.h"

namespace marun {
namespace mysql {

Result::Result(MYSQL_RES* result) : result_(result) {
    unsigned int count = mysql_num_fields(result);
    MYSQL_FIELD* fields = mysql_fetch_fields(result);
    names_.reserve(count);
    for (unsigned int i = 0; i < count; ++i) {
        names_.emplace_back(fields[i].name, fields[i].name_length);
    }
}

bool Result::fetch(row_t* row) {
    MYSQL_ROW values = mysql_fetch_row(result_.get());
    if (values == nullptr) {
        return false;
    }
    unsigned long* lengths = mysql_fetch_lengths(result_.get());
    row->clear();
    for (std::size_t i = 0; i < names_.size(); ++i) {
        Field field =
            values[i] == nullptr ? Field() : Field(std::string(values[i], lengths[i]), false);
        if (!row->emplace(names_[i], std::move(field)).second) {
            throw mError("duplicated field " + names_[i] + " in query");
        }
    }
    return true;
}

Connection::Connection(bool openNow) {
    if (openNow) {
        open();
    }
}

Connection::Connection(MYSQL* handle, bool owns)
    : owned_(owns ? handle : nullptr), handle_(handle) {}

void Connection::open() {
    if (handle_ == nullptr) {
        owned_.reset(db_connect());
        handle_ = owned_.get();
        if (handle_ == nullptr) {
            throw mError("connection failed");
        }
    }
}

std::string Connection::escape(const char* text, unsigned long length) {
    open();
    if (length == 0) {
        length = std::strlen(text);
    }
    MallocPtr<char> escaped(db_escape(handle_, text, length));
    if (!escaped) {
        throw std::bad_alloc();
    }
    return escaped.get();
}

std::string Connection::escape_name(const char* text, unsigned long length) {
    if (length == 0) {
        length = std::strlen(text);
    }
    std::string out;
    out.reserve(length + 2);
    for (unsigned long i = 0; i < length; ++i) {
        out += text[i];
        if (text[i] == '`') {
            out += '`';
        }
    }
    return out;
}

Connection& Connection::insert(const char* text, std::size_t length) {
    Query::insert_t mode = mode_;
    mode_ = Query::RAW;
    if (text == nullptr) {
        query_.setstate(std::ios::failbit);
        return *this;
    }
    switch (mode) {
        case Query::VALUE:
            // An empty value has nothing to escape (and escape() reads a
            // length of 0 as "measure the text").
            if (length > 0) {
                query_ << escape(text, length);
            }
            break;
        case Query::NAME:
            if (length > 0) {
                query_ << escape_name(text, length);
            }
            break;
        case Query::RAW:
            query_.write(text, static_cast<std::streamsize>(length));
            break;
    }
    return *this;
}

Connection& Connection::operator<<(const char* text) {
    return insert(text, text == nullptr ? 0 : std::strlen(text));
}

Connection& Connection::operator<<(const std::string& text) {
    return insert(text.data(), text.size());
}

Connection& Connection::operator<<(double number) {
    char text[512];
    std::snprintf(text, sizeof text, "%f", number);
    return *this << text;
}

Connection& Connection::operator<<(int number) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", number);
    return *this << text;
}

Connection& Connection::operator<<(unsigned long long number) {
    return *this << std::to_string(number);
}

Connection& Connection::operator<<(Query::insert_t mode) {
    mode_ = mode;
    return *this;
}

void Connection::send() {
    std::string text = query_.str();
    bool incomplete = query_.fail();
    query_.str(std::string());
    query_.clear();
    mode_ = Query::RAW;
    if (incomplete) {
        // A part of the statement was missing; sending the rest could mean
        // something else than the caller wrote.
        throw mError("incomplete query text: " + text);
    }
    open();
    if (mysql_real_query(handle_, text.data(), text.size()) != 0) {
        throw mError(handle_, " executing query: " + text);
    }
    last_ = std::move(text);
}

Result Connection::operator<<(Query::fetch_t) {
    send();
    MYSQL_RES* result = mysql_store_result(handle_);
    if (result == nullptr) {
        throw mError(handle_, " fetching result of query: " + last_);
    }
    return Result(result);
}

unsigned long long Connection::operator<<(Query::exec_t) {
    send();
    // A statement that happens to return rows must have them read before
    // the handle takes the next query.
    if (mysql_field_count(handle_) != 0) {
        MysqlResult discarded(mysql_store_result(handle_));
    }
    // For multi-row statements the server reports "Records: N ..." or
    // "Rows matched: N ..."; its first number is the count.
    const char* info = mysql_info(handle_);
    if (info != nullptr) {
        const char* digit = info;
        while (*digit != '\0' && !std::isdigit(static_cast<unsigned char>(*digit))) {
            ++digit;
        }
        if (*digit != '\0') {
            unsigned long long count = std::strtoull(digit, nullptr, 10);
            if (count != 0) {
                return count;
            }
        }
    }
    return mysql_affected_rows(handle_);
}

}  // namespace mysql
}  // namespace marun
