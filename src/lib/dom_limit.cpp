// Reading one named limit of a domain from the panel's Limits table.
#include "lib/dom_limit.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "lib/c_handles.h"
#include "lib/db_connect.h"
#include "lib/log.h"

const char* get_dom_Limit(const char* dom_id, const char* limit_name, MYSQL* my) {
    static char value[4096];

    PanelHandle handle(my);
    if (!handle.open()) {
        errno = 0;
        messlog2(0, 0, "Unable to connect to the mysql database\n");
        return nullptr;
    }
    my = handle.get();

    // Ids and limit names are plain words; escaping keeps them as they are
    // and keeps anything else from changing the statement.
    MallocPtr<char> id(db_escape(my, dom_id, std::strlen(dom_id)));
    MallocPtr<char> name(db_escape(my, limit_name, std::strlen(limit_name)));
    if (!id || !name) {
        errno = ENOMEM;
        messlog2(0, 0, "Unable to query domain limit %s", limit_name);
        return nullptr;
    }
    std::string query =
        std::string("select l.value from domains d, Limits l \t\t\t\t where d.id='") + id.get() +
        "' and d.limits_id=l.id  and l.limit_name='" + name.get() + "'";
    if (mysql_real_query(my, query.data(), query.size()) != 0) {
        errno = 0;
        messlog2(0, 0, "Unable to query domain limit %s: %s\n", limit_name, mysql_error(my));
        return nullptr;
    }
    MysqlResult result(mysql_store_result(my));
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
