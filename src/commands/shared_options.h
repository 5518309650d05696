// The options several commands share, declared and read one way: the domain
// name (checked as given and in its ASCII form), mail names (validated and
// checked) and the disk quota (a signed 64-bit byte count).
#pragma once

#include <string>

#include "commands/program_options_helper.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

// Declares the mandatory "domain-name".
void addDomainNameOption(ProgramOptionsHelper& options);
// Declares a mandatory mail name option, e.g. ("old-mailname", "old mailname").
void addMailnameOption(ProgramOptionsHelper& options, const char* name = "mailname",
                       const char* text = "mailname");
// Declares "disk-quota".
void addQuotaOption(ProgramOptionsHelper& options, bool mandatory);

// The domain name in ASCII form. The name as given is checked too, so that
// "a..b" is reported as such rather than as the IDNA conversion's "Invalid
// length"; the ASCII form is what reaches the tables and the mail tree.
// Throws std::invalid_argument for a malformed name, IdnaError for one that
// cannot be converted.
std::string domainNameOption(const ProgramOptionsHelper& options);
// The mail name of option `name`, refused (std::invalid_argument) when
// mail_validate or the name checks refuse it.
std::string mailnameOption(const ProgramOptionsHelper& options, const char* name = "mailname");

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
