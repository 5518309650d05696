// Command handlers for the attachment files of a mailbox's automatic
// answers: --list-attachments, --add-attachment, --remove-attachment.
#pragma once

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

int listAttachments(int argc, char** argv);
int addAttachment(int argc, char** argv);
int removeAttachment(int argc, char** argv);

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
