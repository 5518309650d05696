// Error types, messlog2 and the traceable exceptions.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "lib/log.h"
#include "util/errors.h"
#include "util/ex_traceable.h"
#include "util/uerr.h"

namespace {

TEST(SystemErrorTest, MapsErrnoToTypesAndTexts) {
    EXPECT_THAT([] { marun::throwSystemError("open", ENOENT); },
                testing::ThrowsMessage<marun::ExSystemError<ENOENT>>(
                    testing::StrEq(std::string("open: ") + std::strerror(ENOENT))));
    // An errno without a type of its own is still a SystemError with its code.
    try {
        marun::throwSystemError("x", EACCES);
    } catch (const marun::SystemError& e) {
        EXPECT_EQ(EACCES, e.code());
    }
}

TEST(MesslogTest, PrintsOnBothStreamsWithOneNewlineAndWholeLongTexts) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    errno = 0;
    EXPECT_EQ(0, messlog2(0, 0, "Unable to open file %s: %s", "a", "b"));
    std::string long_text(5000, 'y');
    errno = 0;
    messlog2(0, 0, "%s\n", long_text.c_str());
    errno = ENOENT;
    messlog2(0, 0, "gone");
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    std::string expected = "Unable to open file a: b\n" + long_text +
                           "\ngone\nSystem error 2: " + std::strerror(ENOENT) + "\n";
    EXPECT_EQ(expected, out);
    EXPECT_EQ(expected, err);
}

TEST(MesslogTest, NonZeroStatusEndsTheProcess) {
    EXPECT_EXIT(messlog2(3, 0, "bye"), testing::ExitedWithCode(3), "bye");
}

const marun::ExTag kTestFailure = {"Test::ExFailed", 3};

TEST(ExTraceableTest, FormatsArgumentsAndCopies) {
    marun::Exc<&kTestFailure> e("run %1% gave %2%", "fn", "File", 7);
    e % "prog" % 3;
    EXPECT_STREQ("run prog gave 3", e.what());
    std::unique_ptr<marun::Exc<&kTestFailure>> copy(e.clone());
    EXPECT_STREQ("run prog gave 3", copy->what());
}

}  // namespace
