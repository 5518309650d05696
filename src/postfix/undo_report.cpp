// Failed-undo report.
#include "postfix/undo_report.h"

#include <ostream>

#include "util/uerr.h"

namespace marun {
namespace mail {
namespace postfix {

const char* const doubleErrorHead = "CRITICAL ERROR: Unable to properly restore ";
const char* const doubleErrorTail =
    " used by Marun.\nMail system may be not usable at the moment and it cannot be repaired "
    "automatically.\nConstact Quorvel support to resolve this issue.";

void reportUndoFailure(const std::string& table) noexcept {
    try {
        uerr << doubleErrorHead << table << doubleErrorTail << std::endl;
    } catch (...) {
    }
}

}  // namespace postfix
}  // namespace mail
}  // namespace marun
