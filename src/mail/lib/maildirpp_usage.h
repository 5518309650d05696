// Maildir++ usage and limits: counting the messages of a Maildir, reading
// its "maildirsize" quota file, and the over-quota test.
#pragma once

#include <sys/types.h>

#include <ctime>

typedef long long sizequota_t;        // bytes; a negative quota is unlimited
typedef unsigned long long fcount_t;  // messages

// Counts the Maildir in the current directory: "new" and "cur" of the
// Maildir and of every subfolder (".name", not ".Trash"); "tmp" never counts.
// A message's size is the number after ",S=" in its name, else its length;
// a name claiming more than the Maildir's file system can hold is
// malformed. Totals saturate (lib/size_sum.h), so they are never negative.
// `mtime` receives the newest modification time of the directories read.
// 1 on success, 0 on failure.
int get_maildirpp_messages_usage(sizequota_t* size, fcount_t* count, time_t* mtime);

// Usage and limits of `maildir` from its "maildirsize"; when that file is
// missing or damaged the messages are counted instead, unless `no_recalc`.
// A limit of 0 means no limit; without a usable header both limits are the
// largest values. 1 on success, 0 on failure.
int get_maildirpp_usage_and_limits(const char* maildir, int no_recalc, sizequota_t* size,
                                   fcount_t* count, sizequota_t* size_limit, fcount_t* count_limit);

// get_maildirpp_usage_and_limits with recalculation allowed, limits dropped.
int get_maildirpp_usage(const char* maildir, sizequota_t* size, fcount_t* count);

// 1 when adding `size_diff` bytes and `count_diff` messages to `maildir`
// would exceed one of its limits, else 0 (also when the usage is unknown).
int check_maildirpp_overquota(const char* maildir, sizequota_t size_diff, fcount_t count_diff);

namespace marun {
namespace mail {

// Counting relative to an open Maildir directory; `newest` receives the
// newest modification time of the folders read. False on failure.
bool countMaildirMessages(int maildir_fd, sizequota_t* size, fcount_t* count,
                          struct timespec* newest);

// Size carried in a Maildir file name: the number after ",S=" that ends at
// ":" or at the end of the name and is not above `limit` (a larger claim is
// malformed: a later ",S=" is tried). False when the name carries none.
bool sizeFromMessageName(const char* name, sizequota_t limit, sizequota_t* size);

// The first line of "maildirsize" without its newline: "<bytes>S,<count>C"
// or "<bytes>S". False when it does not parse or the byte limit is negative.
bool parseMaildirsizeHeader(const char* header, sizequota_t* size_limit, fcount_t* count_limit);

// One further line without its newline: "<bytes> <messages>", either may be
// negative. False when it does not parse.
bool parseMaildirsizeLine(const char* line, sizequota_t* bytes, long long* messages);

// True for the names of Maildir++ subfolders that count: ".x" but not "..",
// "." or ".Trash".
bool isCountedSubfolder(const char* name);

}  // namespace mail
}  // namespace marun
