// The plain-function launchers (no command uses them): collected output and
// error with the exit status, and what cannot be run.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "lib/exec.h"

namespace {

TEST(LibExecTest, CollectsOutputAndErrorOrRefuses) {
    char* out = nullptr;
    char* err = nullptr;
    char* const argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"),
                          const_cast<char*>("head -c 10000 /dev/zero; echo E >&2; exit 4"),
                          nullptr};
    EXPECT_EQ(4, fork_execv_getouterr(&out, &err, "/bin/sh", argv));
    EXPECT_EQ(std::string(10000, '\0'), std::string(out, 10000));
    EXPECT_STREQ("E\n", err);
    std::free(out);
    std::free(err);

    char* output = nullptr;
    char* const missing[] = {const_cast<char*>("x"), nullptr};
    EXPECT_EQ(-1, fork_execv_getoutput(&output, "/nonexistent/program", missing));
    EXPECT_EQ(nullptr, output);
    EXPECT_EQ(-1, util_exec("../sbin/x", nullptr));
}

}  // namespace
