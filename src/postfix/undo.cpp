// Running the compensating steps of a failed operation.
#include "postfix/undo.h"

#include <exception>
#include <ostream>
#include <utility>

#include "util/uerr.h"

namespace marun {
namespace mail {
namespace postfix {

const char* const doubleErrorHead = "CRITICAL ERROR: Unable to properly restore ";
const char* const doubleErrorTail =
    " used by Marun.\nMail system may be not usable at the moment and it cannot be repaired "
    "automatically.\nConstact Quorvel support to resolve this issue.";

Undo::Undo(OnFailure onFailure) : onFailure_(onFailure), exceptions_(std::uncaught_exceptions()) {}

Undo::~Undo() {
    if (std::uncaught_exceptions() <= exceptions_) {
        return;
    }
    for (auto step = steps_.rbegin(); step != steps_.rend(); ++step) {
        try {
            step->run();
        } catch (...) {
            try {
                uerr << doubleErrorHead << step->what << doubleErrorTail << std::endl;
            } catch (...) {
            }
            if (onFailure_ == STOP) {
                return;
            }
        }
    }
}

void Undo::add(const std::string& what, std::function<void()> step) {
    steps_.push_back(Step{what, std::move(step)});
}

}  // namespace postfix
}  // namespace mail
}  // namespace marun
