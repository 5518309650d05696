// Command handlers for mail names and their mailboxes: --add-mailname,
// --remove-mailname, --rename-mailname, --add-mailbox, --remove-mailbox,
// --get-mailbox-size, --set-password and --set-mailbox-disk-quota.
#pragma once

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

int addMailname(int argc, char** argv);
int removeMailname(int argc, char** argv);
int renameMailname(int argc, char** argv);
int addMailbox(int argc, char** argv);
int removeMailbox(int argc, char** argv);
int getMailboxSize(int argc, char** argv);
int setPassword(int argc, char** argv);
int setMailboxDiskQuota(int argc, char** argv);

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
