// Integration-test harness: entry point of the integration test binaries.
// Started from outside the sandbox, a binary enters it by re-executing
// itself under scripts/sandbox-run with the same arguments, so that one
// sandbox (and one MariaDB server) serves all its tests; inside, it runs
// GoogleTest.
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/sandbox.h"

#ifndef KVARN_TEST_SANDBOX_RUN
#error "KVARN_TEST_SANDBOX_RUN must name scripts/sandbox-run"
#endif
#ifndef KVARN_TEST_SANDBOX_CACHE
#error "KVARN_TEST_SANDBOX_CACHE must name the sandbox cache directory"
#endif

namespace {

// Listing tests or printing help needs no sandbox.
bool needsSandbox(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--gtest_list_tests" || arg == "--help" || arg == "-h" ||
            arg == "--gtest_help") {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (!kvarn_test::insideSandbox() && needsSandbox(argc, argv)) {
        char self[PATH_MAX];
        ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) {
            std::perror("readlink /proc/self/exe");
            return 125;
        }
        self[n] = '\0';
        std::vector<char*> args{const_cast<char*>(KVARN_TEST_SANDBOX_RUN), self};
        for (int i = 1; i < argc; ++i) {
            args.push_back(argv[i]);
        }
        args.push_back(nullptr);
        ::setenv("KVARN_SANDBOX_CACHE", KVARN_TEST_SANDBOX_CACHE, 0);
        ::execv(args[0], args.data());
        std::fprintf(stderr, "cannot execute %s: %s\n", args[0], strerror(errno));
        return 125;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
