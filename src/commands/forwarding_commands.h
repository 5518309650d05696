// Command handlers for where a mail name's mail goes besides its mailbox:
// redirects (--add-redirect, --remove-redirect), mail aliases (--add-alias,
// --remove-alias) and the autoresponder hook (--set-autoresponder,
// --reset-autoresponder).
#pragma once

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

int addRedirect(int argc, char** argv);
int removeRedirect(int argc, char** argv);
int addAlias(int argc, char** argv);
int removeAlias(int argc, char** argv);
int addAutoresponder(int argc, char** argv);
int removeAutoresponder(int argc, char** argv);

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
