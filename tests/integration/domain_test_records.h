// Lookup-table records for the domain tests: seeding a table and the
// records the domain operations are expected to leave.
#pragma once

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "harness/postfix.h"
#include "postfix/database_helper.h"

namespace kvarn_test {

using Records = std::vector<std::pair<std::string, std::string>>;

// `a` and `b` together, sorted as tableRecords() (or an ordered query) gives
// them.
template <typename List>
List plus(List a, const List& b = {}) {
    a.insert(a.end(), b.begin(), b.end());
    std::sort(a.begin(), a.end());
    return a;
}

inline Records standardRecords(const std::string& domain) {
    Records records;
    for (std::string name :
         {"postmaster", "mailer-daemon", "root", "anonymous", "drweb", "kluser"}) {
        records.emplace_back(name + "@" + domain, name + "@localhost.localdomain");
    }
    return plus(records);
}

inline void seedTable(const std::string& name, const Records& records) {
    const marun::mail::postfix::RecordVector vector(records.begin(), records.end());
    marun::mail::postfix::DatabaseHelper::addRecords(tableSpec(name), vector.cbegin(),
                                                     vector.cend());
}

}  // namespace kvarn_test
