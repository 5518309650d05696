// Attachment files of a mailbox's automatic answers: plain files directly in
// "<mail root>/<domain in ASCII>/<mail name>/@attachments", named by the
// panel, stored with mode 0644. These functions list, store and delete them;
// the directory itself is made with the mail name's home, never here.
//
// The home belongs to the mailbox's user, who may plant links, FIFOs and
// hard links in it: everything is reached through the no-follow walker, so
// a link at the home, at "@attachments" or at an entry is never followed
// (such an entry is not listed either), a new attachment replaces the old
// one whole by rename, and the uploaded file is read only when it is a
// regular file that no link leads to.
//
// Every function first converts the domain to its ASCII form; a failure
// there ends the process with status 1, as does an empty mail name given to
// list_attachments. Other failures print a message on both output streams
// (messlog2) and return -1, having changed nothing.
#pragma once

// One line per entry of the attachment directory that is neither a
// directory nor a link, on standard output in directory order:
// "<name>\t<size>\n", with `fullname` the full path instead of the name,
// with `in_blocks` the allocated 512-byte blocks times 512 instead of the
// byte size. 0 or -1.
int list_attachments(const char* MailName, const char* DomainName, int in_blocks, int fullname);

// list_attachments for every subdirectory of the domain's mail directory
// (results ignored). -1 only when the domain directory cannot be read.
int list_all_attachments(const char* DomainName, int in_blocks, int fullname);

// Copies the uploaded `FileName` to the attachment `AttachmentFileName`,
// replacing one of that name. A name that is empty, ".", or holds "/" or
// ".." is refused. 0 or -1.
int add_attachment(const char* MailName, const char* DomainName, const char* FileName,
                   const char* AttachmentFileName);

// Deletes the attachment; one that is not there counts as deleted. 0 or -1.
int remove_attachment(const char* MailName, const char* DomainName, const char* AttachmentFileName);
