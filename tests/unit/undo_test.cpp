// The undo list of a multi-step operation: its steps run last first, and
// only when an exception leaves the operation; a failed step is reported and
// the operation's rule decides whether the steps before it still run.
#include "postfix/undo.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using marun::mail::postfix::Undo;

// An operation with three undo steps, the second of which fails; it throws
// after its changes when `fails`. Returns the steps that ran.
std::string operation(Undo::OnFailure rule, bool fails) {
    std::string ran;
    try {
        Undo undo(rule);
        undo.add("first", [&] { ran += "1"; });
        undo.add("second", [&] {
            ran += "2";
            throw std::runtime_error("undo step");
        });
        undo.add("third", [&] { ran += "3"; });
        if (fails) {
            throw std::runtime_error("operation");
        }
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("operation", e.what());  // the undo's own failure stays inside
    }
    return ran;
}

TEST(UndoTest, RunsInReverseOnFailureOnlyAndStopsOrGoesOnByItsRule) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ("", operation(Undo::CONTINUE, false));
    EXPECT_EQ("321", operation(Undo::CONTINUE, true));
    EXPECT_EQ("32", operation(Undo::STOP, true));
    testing::internal::GetCapturedStdout();
    const std::string report = "CRITICAL ERROR: Unable to properly restore second used by Marun.\n";
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, err.find(report)) << err;
    EXPECT_NE(std::string::npos, err.find(report, report.size())) << err;
}

}  // namespace
