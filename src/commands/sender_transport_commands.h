// Sender transport commands: --add-domain-to-sender-transport,
// --remove-domain-from-sender-transport and --remove-sender-transport.
#pragma once

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

int addDomainToIpTransport(int argc, char** argv);
int removeDomainFromIpTransport(int argc, char** argv);
int removeIPTransport(int argc, char** argv);

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
