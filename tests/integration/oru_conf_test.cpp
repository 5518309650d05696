// The panel configuration file /etc/oru/oru.conf: lazy loading, defaults,
// lookups by name and index. /etc/oru is private to each sandboxed test.
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

TEST_F(OruConfTest, WithoutTheFileEveryVariableHasItsDefault) {
    kvarn_unit::LogCapture log;
    EXPECT_EQ(oruConfGet("PRODUCT_ROOT_D"), nullptr);
    EXPECT_STREQ(oruConfGetDefaultByIndex(_PRODUCT_ROOT_D_INDEX), "/usr/local/oru");
    EXPECT_STREQ(oruConfGetDefault("HTTPD_SERVICE"), "apache2");

    // Each lookup tries to load the file again and says why it could not.
    ASSERT_EQ(log.messages().size(), 3u) << log.all();
    EXPECT_EQ(log.messages()[2].text,
              "unable to open configuration file /etc/oru/oru.conf: No such file or directory\n");
}

TEST_F(OruConfTest, FileValuesOverrideDefaults) {
    writeConf(
        "# oru.conf\n"
        "PRODUCT_ROOT_D    /opt/oru   # moved\n"
        "MARUN_MAILNAMES_D /srv/mailnames\n"
        "mysql_bin_d       /opt/mysql/bin\n"
        "EXTRA_SETTING     yes\n");
    EXPECT_STREQ(oruConfGetDefaultByIndex(_PRODUCT_ROOT_D_INDEX), "/opt/oru");
    EXPECT_STREQ(oruConfGetByIndex(_MARUN_MAILNAMES_D_INDEX), "/srv/mailnames");
    EXPECT_STREQ(oruConfGet("EXTRA_SETTING"), "yes");  // names outside the table are kept too

    // Names are case-sensitive: the lower-case spelling sets nothing.
    EXPECT_EQ(oruConfGetByIndex(_MYSQL_BIN_D_INDEX), nullptr);
    EXPECT_STREQ(oruConfGetDefaultByIndex(_MYSQL_BIN_D_INDEX), "/usr/bin");

    testing::internal::CaptureStdout();
    EXPECT_EQ(oruConfGetDefault("EXTRA_SETTING"), nullptr);
    testing::internal::GetCapturedStdout();
}

TEST_F(OruConfTest, AMissIsLookedUpAgainOnTheNextCall) {
    kvarn_unit::LogCapture quiet;
    EXPECT_EQ(oruConfGetByIndex(_DUMP_D_INDEX), nullptr);
    writeConf("DUMP_D /backup\n");
    EXPECT_STREQ(oruConfGetByIndex(_DUMP_D_INDEX), "/backup");
    EXPECT_STREQ(oruConfGetDefaultByIndex(_DUMP_D_INDEX), "/backup");
}

}  // namespace
