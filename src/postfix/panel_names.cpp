// Panel name lists for the Postfix managers, over the C panel queries. One
// panel connection serves every query of a run; it is opened on first use.
#include "postfix/panel_names.h"

#include "lib/db_connect.h"
#include "lib/string_list.h"
#include "mail/lib/mail_panel_queries.h"

namespace marun {
namespace mail {
namespace postfix {

namespace {

// The run's connection, or null when it cannot be opened (db_connect said
// why); the next query tries again.
MYSQL* panel() {
    static MysqlHandle handle;
    if (!handle) {
        handle.reset(db_connect());
    }
    return handle.get();
}

// Runs one list query on the run's connection and moves the names (none
// when the query fails) onto the end of `names`.
template <class Query>
void append(std::vector<std::string>& names, Query query) {
    MYSQL* my = panel();
    char** list = nullptr;
    if (my != nullptr && query(my, &list) == 0 && list != nullptr) {
        for (char** name = list; *name != nullptr; ++name) {
            names.emplace_back(*name);
        }
    }
    free_array(list);
}

}  // namespace

void append_domainaliases_by_domain(std::vector<std::string>& names, const std::string& domain) {
    append(names, [&](MYSQL* my, char*** list) {
        return get_domaliases_by_domain(my, list, domain.c_str());
    });
}

std::vector<std::string> domainAliases(const std::string& domain) {
    std::vector<std::string> names;
    append_domainaliases_by_domain(names, domain);
    return names;
}

std::vector<std::string> domainMailnames(const std::string& domain) {
    std::vector<std::string> names;
    append(names, [&](MYSQL* my, char*** list) {
        return get_mailnames_by_domain(my, list, domain.c_str());
    });
    return names;
}

std::vector<std::string> mailnameAliases(const std::string& mailname, const std::string& domain) {
    std::vector<std::string> names;
    append(names, [&](MYSQL* my, char*** list) {
        return get_aliases_by_mailname(my, list, mailname.c_str(), domain.c_str());
    });
    return names;
}

}  // namespace postfix
}  // namespace mail
}  // namespace marun
