// The one message a failed undo writes: the table it could not restore, and
// that the mail system may be unusable until someone repairs it by hand.
#pragma once

#include <string>

namespace marun {
namespace mail {
namespace postfix {

extern const char* const doubleErrorHead;
extern const char* const doubleErrorTail;

// Writes doubleErrorHead, `table`, doubleErrorTail and a line end to uerr.
// Never throws: it runs while another exception is leaving an operation.
void reportUndoFailure(const std::string& table) noexcept;

}  // namespace postfix
}  // namespace mail
}  // namespace marun
