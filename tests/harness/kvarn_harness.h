// Integration-test harness: everything an integration test includes.
//
//   #include "harness/kvarn_harness.h"
//   namespace kvarn_test {
//   TEST_F(SandboxTest, Something) { ... runKvarn({...}) ... }
//   }
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness/files.h"
#include "harness/mail_server.h"
#include "harness/panel_db.h"
#include "harness/postfix.h"
#include "harness/process.h"
#include "harness/sandbox.h"
#include "harness/services.h"
#include "harness/sqlite.h"
