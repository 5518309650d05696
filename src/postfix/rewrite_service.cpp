// Interrupting trivial-rewrite.
#include "postfix/rewrite_service.h"

#include "lib/killproc.h"

namespace marun {
namespace mail {
namespace postfix {

namespace {

const char* const TRIVIAL_REWRITE = "/usr/lib/postfix/trivial-rewrite";
const char* const DEBIAN_TRIVIAL_REWRITE = "/usr/lib/postfix/sbin/trivial-rewrite";

}  // namespace

void interruptTrivialRewrite() {
    killproc(TRIVIAL_REWRITE);
    killproc(DEBIAN_TRIVIAL_REWRITE);
}

}  // namespace postfix
}  // namespace mail
}  // namespace marun
