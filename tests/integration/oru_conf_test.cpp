// The panel configuration file /etc/oru/oru.conf (its syntax is the unit
// tests'): lazy loading until it exists, defaults, lookups by name and index. /etc/oru is private
// to each sandboxed test.
#include "lib/oru_conf.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "harness/sandbox.h"
#include "unit/test_support.h"

namespace {

namespace fs = std::filesystem;

class OruConfTest : public kvarn_test::SandboxTest {
  protected:
    void SetUp() override {
        kvarn_test::SandboxTest::SetUp();
        oruConfResetForTesting();
        std::error_code ignored;
        fs::remove(ORU_CONF_PATH, ignored);
    }
    void TearDown() override {
        oruConfResetForTesting();
        kvarn_test::SandboxTest::TearDown();
    }

    static void writeConf(const std::string& content) {
        fs::create_directories(fs::path(ORU_CONF_PATH).parent_path());
        std::ofstream(ORU_CONF_PATH) << content;
    }
};

TEST_F(OruConfTest, DefaultsUntilTheFileAppearsThenItsValues) {
    kvarn_unit::LogCapture log;
    EXPECT_EQ(oruConfGetByIndex(_PRODUCT_ROOT_D_INDEX), nullptr);
    EXPECT_STREQ(oruConfGetDefault("PRODUCT_ROOT_D"), "/usr/local/oru");
    // Each lookup tries to load the file again and says why it could not.
    ASSERT_EQ(log.messages().size(), 2u) << log.all();
    EXPECT_EQ(log.messages()[1].text,
              "unable to open configuration file /etc/oru/oru.conf: No such file or directory\n");

    // Names are case-sensitive: the lower-case spelling sets nothing.
    writeConf(
        "# oru.conf\n"
        "PRODUCT_ROOT_D    /opt/oru   # moved\n"
        "mysql_bin_d       /opt/mysql/bin\n"
        "EXTRA_SETTING     yes\n");
    EXPECT_STREQ(oruConfGetDefaultByIndex(_PRODUCT_ROOT_D_INDEX), "/opt/oru");
    EXPECT_STREQ(oruConfGet("EXTRA_SETTING"), "yes");  // names outside the table are kept too
    EXPECT_STREQ(oruConfGetDefaultByIndex(_MYSQL_BIN_D_INDEX), "/usr/bin");
}

}  // namespace
