// Command handlers for mail domains: --add-domain, --remove-domain,
// --turn-on-domain, --turn-off-domain and --set-domain-disk-quota.
#pragma once

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

int addDomain(int argc, char** argv);
int removeDomain(int argc, char** argv);
int enableDomain(int argc, char** argv);
int disableDomain(int argc, char** argv);
int setDomainDiskQuota(int argc, char** argv);

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
