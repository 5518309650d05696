// Command handlers for what belongs to a whole mail domain besides its
// existence: its DomainKeys key (--set-domain-key, --remove-domain-key), its
// domain aliases (--add-domain-alias, --del-domain-alias,
// --rename-domain-alias) and what happens to mail for mail names it does not
// have (--set-catchall, --set-bounce, --set-reject, --unset-reject).
#pragma once

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

int setDomainKey(int argc, char** argv);
int removeDomainKey(int argc, char** argv);
int addDomainAlias(int argc, char** argv);
int removeDomainAlias(int argc, char** argv);
int renameDomainAlias(int argc, char** argv);
int setCatchAll(int argc, char** argv);
int setBounce(int argc, char** argv);
int setReject(int argc, char** argv);
int removeReject(int argc, char** argv);

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
