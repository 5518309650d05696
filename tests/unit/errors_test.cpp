// Error types, messlog2 and the traceable exceptions.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <sstream>

#include "lib/log.h"
#include "util/errors.h"
#include "util/ex_traceable.h"
#include "util/uerr.h"

namespace {

// Swaps std::cout and std::cerr for string streams for the life of the object.
class CapturedStreams {
  public:
    CapturedStreams()
        : old_out_(std::cout.rdbuf(out.rdbuf())), old_err_(std::cerr.rdbuf(err.rdbuf())) {}
    ~CapturedStreams() {
        std::cout.rdbuf(old_out_);
        std::cerr.rdbuf(old_err_);
    }
    std::ostringstream out, err;

  private:
    std::streambuf* old_out_;
    std::streambuf* old_err_;
};

TEST(SystemErrorTest, MapsErrnoToTypesAndTexts) {
    try {
        marun::throwSystemError("open", ENOENT);
        FAIL() << "no throw";
    } catch (const marun::ExSystemError<ENOENT>& e) {
        EXPECT_EQ(std::string("open: ") + std::strerror(ENOENT), e.what());
        EXPECT_EQ(ENOENT, e.code());
    }
    EXPECT_THROW(marun::throwSystemError("x", EAGAIN), marun::ExSystemError<EAGAIN>);
    EXPECT_THROW(marun::throwSystemError("x", ECHILD), marun::ExSystemError<ECHILD>);
    try {
        marun::throwSystemError("x", EACCES);
    } catch (const marun::SystemError& e) {
        EXPECT_EQ(nullptr, dynamic_cast<const marun::ExSystemError<EPERM>*>(&e));
        EXPECT_EQ(EACCES, e.code());
    }
    errno = EEXIST;
    EXPECT_EQ(EEXIST, marun::SystemError("m", 0).code());
    EXPECT_STREQ(std::strerror(EBADF), marun::SystemError("", EBADF).what());
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

struct RecordingVisitor : marun::ExInfoVisitor {
    std::string trace;
    void place(const std::string& f, const std::string& file, int line) override {
        trace += "place " + f + " " + file + " " + std::to_string(line) + ";";
    }
    void tag(const std::string& t) override { trace += "tag " + t + ";"; }
    void identifier(const std::string& id) override {
        trace += id.size() == 36 ? "id;" : "bad id;";
    }
    void kind(int k) override { trace += "kind " + std::to_string(k) + ";"; }
    void text(const std::string& t) override { trace += "text " + t + ";"; }
    void beginIncluded() override { trace += "included;"; }
};

TEST(ExTraceableTest, FormatsArgumentsAndVisitsCauseChain) {
    marun::ExTraceable cause("Cause", "inner", 1);
    marun::Exc<&kTestFailure> e("run %1% gave %2%", "fn", "File", 7, &cause);
    e % "prog" % 3;
    EXPECT_STREQ("run prog gave 3", e.what());
    std::unique_ptr<marun::Exc<&kTestFailure>> copy(e.clone());
    EXPECT_STREQ("run prog gave 3", copy->what());
    EXPECT_EQ(e.identifier(), copy->identifier());
    RecordingVisitor visitor;
    copy->accept(visitor);
    EXPECT_EQ(
        "place fn File 7;tag Test::ExFailed;id;kind 3;text run prog gave 3;included;tag Cause;id;"
        "kind 1;text inner;",
        visitor.trace);
}

}  // namespace
