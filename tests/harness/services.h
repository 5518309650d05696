// Integration-test harness: the recording stand-ins for the init scripts of
// services the sandbox does not run (/etc/init.d/courier-imap and
// /etc/init.d/pc-remote) — what kvarn asked of them, and how they answer.
#pragma once

#include <string>
#include <vector>

namespace kvarn_test {

// One invocation of a stand-in init script.
struct ServiceCall {
    std::string service;            // script name, e.g. "courier-imap"
    std::vector<std::string> args;  // e.g. {"restart"}
};

// Calls made to the stand-ins during this test, oldest first; only those
// of one service if service is not empty.
std::vector<ServiceCall> serviceCalls(const std::string& service = "");

// The arguments of each call, joined by spaces, e.g. {"stop", "start"}:
// a compact form for assertions.
std::vector<std::string> serviceActions(const std::string& service);

// What "status" reports from now on: running (exit 0) or stopped (exit 3).
// "start"/"restart" and "stop" also change it. Services start as running.
void setServiceRunning(const std::string& service, bool running);

// Makes every action but "status" fail with exitStatus (0: succeed again).
void setServiceFailure(const std::string& service, int exitStatus);

}  // namespace kvarn_test
