// Declaring and reading the shared options.
#include "commands/shared_options.h"

#include "commands/name_checks.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

void addDomainNameOption(ProgramOptionsHelper& options) {
    options.add_options()("domain-name", po::value<std::string>(), "domain name", true);
}

void addMailnameOption(ProgramOptionsHelper& options, const char* name, const char* text) {
    options.add_options()(name, po::value<std::string>(), text, true);
}

void addQuotaOption(ProgramOptionsHelper& options, bool mandatory) {
    options.add_options()("disk-quota", po::value<long long>(), "disk quota", mandatory);
}

std::string domainNameOption(const ProgramOptionsHelper& options) {
    return asciiDomainName(options.get<std::string>("domain-name"));
}

std::string mailnameOption(const ProgramOptionsHelper& options, const char* name) {
    const std::string& mailname = options.get<std::string>(name);
    mailname_validators::mailValidateExc(mailname, 0);
    checkMailName(mailname);
    return mailname;
}

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
