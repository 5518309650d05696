// The password hand-over through the environment: which variable wins, what
// the outputs hold, and that no password is left in the environment.
#include "commands/env_password.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using marun::mail::postfix::kvarn_commands::get_env_password;
using marun::mail::postfix::kvarn_commands::take_env_passwords;

class EnvPasswordTest : public ::testing::Test {
  protected:
    void SetUp() override { clear(); }
    void TearDown() override {
        clear();
        std::free(password_);
    }
    static void clear() {
        unsetenv("ORU_PASSWORD");
        unsetenv("ORU_CRYPTED_PASSWORD");
    }

    char* password_ = nullptr;
    int crypted_ = 7;
};

TEST_F(EnvPasswordTest, PlainWinsAndBothVariablesGo) {
    setenv("ORU_PASSWORD", "plain", 1);
    setenv("ORU_CRYPTED_PASSWORD", "$1$crypted", 1);
    const char* kept = std::getenv("ORU_PASSWORD");
    ASSERT_EQ(0, get_env_password(&password_, &crypted_));
    EXPECT_STREQ("plain", password_);
    EXPECT_EQ(0, crypted_);
    EXPECT_EQ(nullptr, std::getenv("ORU_PASSWORD"));
    EXPECT_EQ(nullptr, std::getenv("ORU_CRYPTED_PASSWORD"));
    // The environment's own copy of the value is overwritten too.
    EXPECT_EQ(0u, std::strlen(kept));
}

TEST_F(EnvPasswordTest, EmptyPlainFallsBackToCryptedAndNoneLeavesTheOutputs) {
    setenv("ORU_PASSWORD", "", 1);
    setenv("ORU_CRYPTED_PASSWORD", "$1$crypted", 1);
    ASSERT_EQ(0, get_env_password(&password_, &crypted_));
    EXPECT_STREQ("$1$crypted", password_);
    EXPECT_EQ(1, crypted_);

    setenv("ORU_PASSWORD", "", 1);
    char* before = password_;
    EXPECT_EQ(-1, get_env_password(&password_, &crypted_));
    EXPECT_EQ(before, password_);
    EXPECT_EQ(1, crypted_);
}

TEST_F(EnvPasswordTest, TakenAtStartUpHandedOverOnce) {
    setenv("ORU_CRYPTED_PASSWORD", "$1$early", 1);
    take_env_passwords();
    EXPECT_EQ(nullptr, std::getenv("ORU_CRYPTED_PASSWORD"));
    ASSERT_EQ(0, get_env_password(&password_, &crypted_));
    EXPECT_STREQ("$1$early", password_);
    EXPECT_EQ(1, crypted_);
    char* again = nullptr;
    EXPECT_EQ(-1, get_env_password(&again, &crypted_));
}

}  // namespace
