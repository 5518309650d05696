// Reading one named limit of a domain from the panel's Limits table.
#include "lib/dom_limit.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "lib/db_connect.h"
#include "lib/log.h"

namespace {

struct HandleCloser {
    void operator()(MYSQL* handle) const { mysql_close(handle); }
};
struct ResultFreer {
    void operator()(MYSQL_RES* result) const { mysql_free_result(result); }
};

std::string escaped(MYSQL* my, const char* text) {
    std::size_t length = std::strlen(text);
    std::string out(length * 2 + 1, '\0');
    out.resize(mysql_real_escape_string(my, &out[0], text, length));
    return out;
}

}  // namespace

const char* get_dom_Limit(const char* dom_id, const char* limit_name, MYSQL* my) {
    static char value[4096];

    std::unique_ptr<MYSQL, HandleCloser> own;
    if (my == nullptr) {
        own.reset(db_connect());
        if (!own) {
            errno = 0;
            messlog2(0, 0, "Unable to connect to the mysql database\n");
            return nullptr;
        }
        my = own.get();
    }

    // Ids and limit names are plain words; escaping keeps them as they are
    // and keeps anything else from changing the statement.
    std::string query = "select l.value from domains d, Limits l \t\t\t\t where d.id='" +
                        escaped(my, dom_id) + "' and d.limits_id=l.id  and l.limit_name='" +
                        escaped(my, limit_name) + "'";
    if (mysql_real_query(my, query.data(), query.size()) != 0) {
        errno = 0;
        messlog2(0, 0, "Unable to query domain limit %s: %s\n", limit_name, mysql_error(my));
        return nullptr;
    }
    std::unique_ptr<MYSQL_RES, ResultFreer> result(mysql_store_result(my));
    if (!result) {
        errno = 0;
        messlog2(0, 0, "Unable to query domain limit %s: %s\n", limit_name, mysql_error(my));
        return nullptr;
    }
    value[0] = '\0';
    MYSQL_ROW row = mysql_fetch_row(result.get());
    if (row != nullptr && row[0] != nullptr) {
        unsigned long* lengths = mysql_fetch_lengths(result.get());
        std::size_t length = lengths[0] < sizeof value - 1 ? lengths[0] : sizeof value - 1;
        std::memcpy(value, row[0], length);
        value[length] = '\0';
    }
    return value;
}
