// The panel's names seen from the Postfix managers: domain aliases, mail
// names and mail aliases as vectors of strings. A failed panel query yields
// no names, so an operation then goes on with the domain alone.
#pragma once

#include <string>
#include <vector>

namespace marun {
namespace mail {
namespace postfix {

// Appends the aliases of `domain` (panel order) to `names`.
void append_domainaliases_by_domain(std::vector<std::string>& names, const std::string& domain);

std::vector<std::string> domainAliases(const std::string& domain);
std::vector<std::string> domainMailnames(const std::string& domain);
std::vector<std::string> mailnameAliases(const std::string& mailname, const std::string& domain);

}  // namespace postfix
}  // namespace mail
}  // namespace marun
