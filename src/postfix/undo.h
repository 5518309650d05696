// Undo: the compensating steps of one multi-step operation (a rename over
// several tables). Each step is added just before the change it undoes
// starts, since a failed change may be half done. Only when an exception is
// leaving the operation does the destructor run the steps, last added
// first. A step that fails is reported on uerr as "CRITICAL ERROR: Unable to
// properly restore <what> used by Marun. ..." and, by the operation's rule,
// ends the undo there or lets the next step run. The exception that started
// the undo goes on either way.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace marun {
namespace mail {
namespace postfix {

extern const char* const doubleErrorHead;
extern const char* const doubleErrorTail;

class Undo {
  public:
    enum OnFailure { STOP, CONTINUE };

    explicit Undo(OnFailure onFailure);
    Undo(const Undo&) = delete;
    Undo& operator=(const Undo&) = delete;
    ~Undo();

    // `what` names what the step restores (a table's description).
    void add(const std::string& what, std::function<void()> step);

  private:
    struct Step {
        std::string what;
        std::function<void()> run;
    };
    std::vector<Step> steps_;
    const OnFailure onFailure_;
    const int exceptions_;
};

}  // namespace postfix
}  // namespace mail
}  // namespace marun
