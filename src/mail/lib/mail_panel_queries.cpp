// Panel database queries for mail lists and the mail authentication changes
// propagated over domain aliases and mail aliases.
#include "mail/lib/mail_panel_queries.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "lib/c_handles.h"
#include "lib/db_connect.h"
#include "lib/log.h"
#include "lib/string_list.h"

namespace {

const char kDomainAliasesSql[] =
    "SELECT da.name FROM domainaliases da JOIN domains d WHERE da.dom_id=d.id and d.name='%s'";
const char kMailAliasesSql[] =
    "SELECT ma.alias FROM mail_aliases ma JOIN mail m, domains d WHERE ma.mn_id=m.id AND "
    "m.mail_name='%s' AND m.dom_id=d.id AND d.name='%s'";
const char kMailnamesSql[] =
    "SELECT m.mail_name FROM mail m JOIN domains d WHERE m.dom_id=d.id AND d.name='%s'";
const char kDomainOfAliasSql[] =
    "SELECT d.name FROM domains d JOIN domainaliases da WHERE d.id=da.dom_id AND da.name='%s'";

// A string list owned for the duration of a walk.
class StringList {
  public:
    StringList() = default;
    StringList(const StringList&) = delete;
    StringList& operator=(const StringList&) = delete;
    char*** out() { return &raw_; }
    char** get() const { return raw_; }
    ~StringList() { free_array(raw_); }

  private:
    char** raw_ = nullptr;
};

// The query with its %s replaced by the escaped values, or false after
// "Unable to create database query".
bool buildQuery(MYSQL* handle, std::string& query, const char* format, const char* first,
                const char* second = nullptr) {
    MallocPtr<char> a(mysql_real_escape_entity(handle, first));
    MallocPtr<char> b(second != nullptr ? mysql_real_escape_entity(handle, second) : nullptr);
    int needed = std::snprintf(nullptr, 0, format, a.get(), b ? b.get() : "");
    if (needed < 0) {
        marun_log(3, "Unable to create database query");
        return false;
    }
    query.assign(static_cast<size_t>(needed) + 1, '\0');
    std::snprintf(&query[0], query.size(), format, a.get(), b ? b.get() : "");
    query.resize(static_cast<size_t>(needed));
    return true;
}

// The aliases of `domain` into `aliases`; false after `failure` (with the
// domain) when they cannot be read.
bool domainAliases(const char* domain, StringList& aliases, const char* failure) {
    if (get_domaliases_by_domain(nullptr, aliases.out(), domain) != 0) {
        marun_log(3, failure, domain);
        return false;
    }
    return true;
}

// `change` for each name of the list in order: 0 when there is no list, 1
// when every name was changed, -1 at the first failure.
template <class Change>
int walk(const StringList& names, Change change) {
    if (names.get() == nullptr) {
        return 0;
    }
    for (char** name = names.get(); *name != nullptr; ++name) {
        if (!change(*name)) {
            return -1;
        }
    }
    return 1;
}

// Opens the connection if needed, builds and runs one list query.
bool listQuery(MYSQL* my, char*** list, const char* format, const char* first,
               const char* second = nullptr) {
    PanelHandle connection(my);
    if (!connection.open()) {
        return false;
    }
    std::string query;
    return buildQuery(connection.get(), query, format, first, second) &&
           exec_mysql_query(connection.get(), query.c_str(), list) == 0;
}

// One panel connection serves every list of a walk over a domain's mail
// names; when it cannot be opened, each query tries again and says why.
MYSQL* walkConnection(PanelHandle& panel) {
    panel.open();
    return panel.get();
}

}  // namespace

char* mysql_real_escape_entity(MYSQL* my, const char* text) {
    PanelHandle connection(my);
    if (!connection.open()) {
        messlog2(1, 0, "Unable to connect to mysql database for query escape");
    }
    char* escaped = db_escape(connection.get(), text, std::strlen(text));
    if (escaped == nullptr) {
        messlog2(1, 0, "Unable to allocate memory for SQL query escape");
    }
    return escaped;
}

int exec_mysql_query(MYSQL* my, const char* query, char*** list) {
    PanelHandle connection(my);
    if (!connection.open()) {
        marun_log(3, "Unable to connect to mysql database");
        return -1;
    }
    MYSQL* handle = connection.get();
    if (mysql_query(handle, query) != 0) {
        marun_log(3, "Failed to exec query, Error: %s", mysql_error(handle));
        return -1;
    }
    MysqlResult result(mysql_store_result(handle));
    if (!result) {
        if (mysql_errno(handle) != 0) {
            marun_log(3, "Unable to get data from mysql database: %s", mysql_error(handle));
            return -1;
        }
        return 0;
    }
    while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
        // A NULL first column names nothing and is left out.
        if (mysql_num_fields(result.get()) == 0 || row[0] == nullptr) {
            continue;
        }
        if (string_list_append(list, row[0]) != 0) {
            marun_log(3, "Query error: %s", std::strerror(errno));
            return -1;
        }
    }
    return 0;
}

int get_domaliases_by_domain(MYSQL* my, char*** list, const char* domain) {
    if (!listQuery(my, list, kDomainAliasesSql, domain)) {
        marun_log(3, "Unable to get domain aliases from database for: %s", domain);
        return -1;
    }
    return 0;
}

int get_aliases_by_mailname(MYSQL* my, char*** list, const char* mailname, const char* domain) {
    if (!listQuery(my, list, kMailAliasesSql, mailname, domain)) {
        marun_log(3, "Unable to get aliases for mailname: %s@%s", mailname, domain);
        return -1;
    }
    return 0;
}

int get_mailnames_by_domain(MYSQL* my, char*** list, const char* domain) {
    if (!listQuery(my, list, kMailnamesSql, domain)) {
        marun_log(3, "Unable to get mailnames from domain: %s", domain);
        return -1;
    }
    return 0;
}

int get_domain_by_domainalias(MYSQL* my, char** name, const char* alias) {
    StringList domains;
    if (!listQuery(my, domains.out(), kDomainOfAliasSql, alias)) {
        marun_log(3, "Unable to get domain by domainalias: %s", alias);
        return -1;
    }
    if (domains.get() != nullptr) {
        char* first = strdup(domains.get()[0]);
        if (first == nullptr) {
            marun_log(3, "Unable to get domain by domainalias: %s", alias);
            return -1;
        }
        std::free(*name);
        *name = first;
    }
    return 0;
}

int set_passwd_for_domains(const char* mailname, const char* domain, const char* password,
                           MailAuthFlagsT flags) {
    if (set_postbox_passwd(mailname, domain, password, flags) != 0) {
        marun_log(3, "Unable to set password for mailname %s@%s", mailname, domain);
        return -1;
    }
    StringList aliases;
    if (!domainAliases(domain, aliases, "Unable to get domain aliases for domain %s")) {
        return -1;
    }
    return walk(aliases, [&](const char* alias) {
        return set_postbox_passwd(mailname, alias, password, flags) == 0;
    });
}

int set_mass_postbox_passwd(const char* mailname, const char* domain, const char* password,
                            MailAuthFlagsT flags) {
    if (set_passwd_for_domains(mailname, domain, password, flags) < 0) {
        return -1;
    }
    StringList mail_aliases;
    if (get_aliases_by_mailname(nullptr, mail_aliases.out(), mailname, domain) != 0) {
        return -1;
    }
    return walk(mail_aliases, [&](const char* alias) {
        return set_passwd_for_domains(alias, domain, password, flags) >= 0;
    });
}

int rm_mname_from_domains(const char* mailname, const char* domain) {
    auto remove = [mailname](const char* from) {
        if (mailAuthRemove(mailname, from) != 0) {
            marun_log(3, "Unable to remove mailname %s@%s", mailname, from);
            return false;
        }
        return true;
    };
    StringList aliases;
    if (!remove(domain) ||
        !domainAliases(domain, aliases, "Unable to get domain aliases for domain %s")) {
        return -1;
    }
    return walk(aliases, remove);
}

int rm_mails_from_domains(const char* mailname, const char* domain) {
    if (mailAuthRemove(mailname, domain) != 0) {
        marun_log(3, "Unable to remove mailname %s@%s", mailname, domain);
        return -1;
    }
    auto removeEverywhere = [domain](const char* name) {
        if (rm_mname_from_domains(name, domain) < 0) {
            marun_log(3, "Unable to remove mailname from domain aliases");
            return false;
        }
        return true;
    };
    if (!removeEverywhere(mailname)) {
        return -1;
    }
    StringList mail_aliases;
    if (get_aliases_by_mailname(nullptr, mail_aliases.out(), mailname, domain) != 0) {
        marun_log(3, "Unable to get mail aliases for mailname %s%s", mailname, domain);
        return -1;
    }
    return walk(mail_aliases, removeEverywhere);
}

int domain_auth_action(const char* domain, int (*action)(const char* domain),
                       const char* description) {
    if (action(domain) < 0) {
        marun_log(3, "Unable to %s for domain %s", description, domain);
        return -1;
    }
    StringList aliases;
    if (!domainAliases(domain, aliases, "Unable to get aliases for domain %s")) {
        return -1;
    }
    return walk(aliases, [&](const char* alias) {
        if (action(alias) < 0) {
            marun_log(3, "Unable to %s for domain alias %s", description, alias);
            return false;
        }
        return true;
    });
}

int add_domain_auth_alias(const char* domain, const char* alias) {
    PanelHandle panel(nullptr);
    MYSQL* my = walkConnection(panel);
    StringList names;
    if (get_mailnames_by_domain(my, names.out(), domain) != 0) {
        marun_log(3, "Unable to get mailnames from domain %s", domain);
        return -1;
    }
    if (names.get() == nullptr) {
        return 0;
    }
    // Each mail name after its mail aliases, all copied in one transaction.
    StringList copies;
    auto copy = [&copies](const char* name) {
        if (string_list_append(copies.out(), name) != 0) {
            marun_log(3, "Query error: %s", std::strerror(errno));
            return false;
        }
        return true;
    };
    for (char** name = names.get(); *name != nullptr; ++name) {
        StringList mail_aliases;
        if (get_aliases_by_mailname(my, mail_aliases.out(), *name, domain) != 0) {
            marun_log(3, "Unable to get mail aliases for %s@%s", *name, domain);
            return -1;
        }
        if (walk(mail_aliases, copy) < 0 || !copy(*name)) {
            return -1;
        }
    }
    return mailAuthCloneNames(copies.get(), domain, alias) == 0 ? 1 : -1;
}

int rm_domain_auth_alias(const char* alias) {
    if (mailAuthRemoveDomain(alias) != 0) {
        marun_log(3, "Unable to remove domain %s from auth database", alias);
        return -1;
    }
    PanelHandle panel(nullptr);
    MYSQL* my = walkConnection(panel);
    MallocPtr<char> domain;
    char* found = nullptr;
    if (get_domain_by_domainalias(my, &found, alias) != 0) {
        marun_log(3, "Unable to get domain by domain alias %s", alias);
        return -1;
    }
    domain.reset(found);
    if (!domain) {
        return 0;
    }
    StringList names;
    if (get_mailnames_by_domain(my, names.out(), domain.get()) != 0) {
        marun_log(3, "Unable to get mailnames from domain %s", alias);
        return -1;
    }
    for (char** name = names.get(); name != nullptr && *name != nullptr; ++name) {
        StringList mail_aliases;
        if (get_aliases_by_mailname(my, mail_aliases.out(), *name, domain.get()) != 0) {
            marun_log(3, "Unable to get aliases for mailname %s@%s", *name, domain.get());
            return -1;
        }
        for (char** mail_alias = mail_aliases.get();
             mail_alias != nullptr && *mail_alias != nullptr; ++mail_alias) {
            if (mailAuthRemove(*mail_alias, alias) != 0) {
                marun_log(3, "Unable to remove mail alias %s@%s", *mail_alias, alias);
                return -1;
            }
        }
    }
    return 0;
}
