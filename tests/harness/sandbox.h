// Integration-test harness: the per-test fixture. Every test starts on what
// looks like a freshly installed server, with nothing left by earlier tests
// at any path kvarn works on, and a freshly created panel database.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kvarn_test {

// Fixed paths of the server kvarn manages.
extern const char* const kMainCf;       // /etc/postfix/main.cf
extern const char* const kPostfixInit;  // /etc/init.d/postfix
extern const char* const kShadowFile;   // /etc/oru/.oru.shadow
extern const char* const kMailRoot;     // /var/qmail/mailnames
extern const char* const kMarunLibDir;  // /var/lib/marun

// True in a process started by scripts/sandbox-run (directly or through
// the harness's main()).
bool insideSandbox();

// The value of one of the KVARN_SANDBOX_* variables sandbox-run exports;
// throws HarnessError if it is missing.
std::string sandboxEnv(const char* name);

// The panel database password, as the first line of .oru.shadow has it on
// a fresh server.
std::string panelPassword();

// The host name the sandbox starts every test with.
std::string sandboxHostname();

// Paths that get a fresh tmpfs with pristine content before every test, in
// mount order.
std::vector<std::string> freshPaths();

// Base fixture of integration tests.
//
// SetUp: gives /etc, /var, /usr/local, /tmp and /root a copy-on-write layer
// of their own, mounts a fresh tmpfs on every path of freshPaths() and
// copies the pristine content into it (Postfix configuration and init
// script, the six empty lookup tables, queue directories, .oru.shadow,
// popuser's empty mail root...), and recreates the panel tables.
// TearDown: stops any Postfix and every other process the test left,
// restores the host name (sandboxHostname()) and unmounts all of it.
class SandboxTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Paths of freshPaths() this test wants absent instead of fresh (a server
    // on which kvarn was never installed); set before SetUp.
    std::vector<std::string> absentPaths_;

  private:
    std::vector<std::string> mounts_;  // mounted by SetUp, in order
    bool active_ = false;
};

}  // namespace kvarn_test
