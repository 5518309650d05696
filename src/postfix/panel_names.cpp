// Panel name lists for the Postfix managers, over the C panel queries.
#include "postfix/panel_names.h"

#include <memory>

#include "lib/string_list.h"
#include "mail/lib/mail_panel_queries.h"

namespace marun {
namespace mail {
namespace postfix {

namespace {

struct ArrayDeleter {
    void operator()(char** list) const { free_array(list); }
};

// Moves a null-terminated C array (or nothing) onto the end of `names`.
void appendArray(std::vector<std::string>& names, char** raw) {
    std::unique_ptr<char*, ArrayDeleter> list(raw);
    if (!list) {
        return;
    }
    for (char** name = list.get(); *name != nullptr; ++name) {
        names.emplace_back(*name);
    }
}

}  // namespace

void append_domainaliases_by_domain(std::vector<std::string>& names, const std::string& domain) {
    char** list = nullptr;
    if (get_domaliases_by_domain(nullptr, &list, domain.c_str()) < 0) {
        free_array(list);
        return;
    }
    appendArray(names, list);
}

std::vector<std::string> domainAliases(const std::string& domain) {
    std::vector<std::string> names;
    append_domainaliases_by_domain(names, domain);
    return names;
}

std::vector<std::string> domainMailnames(const std::string& domain) {
    std::vector<std::string> names;
    char** list = nullptr;
    if (get_mailnames_by_domain(nullptr, &list, domain.c_str()) < 0) {
        free_array(list);
        return names;
    }
    appendArray(names, list);
    return names;
}

std::vector<std::string> mailnameAliases(const std::string& mailname, const std::string& domain) {
    std::vector<std::string> names;
    char** list = nullptr;
    if (get_aliases_by_mailname(nullptr, &list, mailname.c_str(), domain.c_str()) < 0) {
        free_array(list);
        return names;
    }
    appendArray(names, list);
    return names;
}

}  // namespace postfix
}  // namespace mail
}  // namespace marun
