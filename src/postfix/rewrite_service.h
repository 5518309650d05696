// Postfix's address rewriting service, trivial-rewrite, keeps the lookup
// tables open and goes on answering from its old view of which domains are
// served (the "virtual_domains" records and the alias-domain records of
// "virtual") for half a minute or more after they changed. Interrupted, it
// is replaced by a fresh one that reads the tables as they are.
#pragma once

namespace marun {
namespace mail {
namespace postfix {

// Interrupts trivial-rewrite at its classic place and at Debian's; nothing
// happens when it does not run (its next start reads the tables anyway).
void interruptTrivialRewrite();

// Declared before the first table change of a command that changes which
// domains Postfix serves: interrupts trivial-rewrite when the command's
// scope ends, whether it returns (with any status) or an exception leaves,
// so that no part of the change stays unseen.
class ServedDomainsChange {
  public:
    ServedDomainsChange() = default;
    ServedDomainsChange(const ServedDomainsChange&) = delete;
    ServedDomainsChange& operator=(const ServedDomainsChange&) = delete;
    ~ServedDomainsChange() { interruptTrivialRewrite(); }
};

}  // namespace postfix
}  // namespace mail
}  // namespace marun
