// The size of a mailbox as the panel shows it: its "@attachments" directory
// plus its Maildir++ usage.
#pragma once

// Bytes used by the mailbox (the attachments in allocated 512-byte blocks
// when `in_blocks` is 1). Failures end the process with status 1.
long long get_mbox_size(const char* MailName, const char* DomainName, int in_blocks);
