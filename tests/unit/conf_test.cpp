// The name/value store and the configuration file reader, on temporary files
// (the line rules against a model are the conf file fuzz target's).
#include "lib/conf.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <iterator>
#include <string>
#include <utility>

#include "test_support.h"

namespace {

using kvarn_unit::LogCapture;
using kvarn_unit::TempDir;

struct ConfDeleter {
    void operator()(conf_data* conf) const { conf_free_r(conf); }
};
using ConfPtr = std::unique_ptr<conf_data, ConfDeleter>;

ConfPtr newStore() {
    return ConfPtr(static_cast<conf_data*>(std::calloc(1, sizeof(conf_data))));
}

std::string get(const ConfPtr& conf, const char* name) {
    const char* value = conf_get_r(name, conf.get());
    return value != nullptr ? value : "<null>";
}

TEST(ConfReadFile, ParsesValuesCommentsAndWhiteSpace) {
    TempDir dir;
    std::string path = dir.write("oru.conf",
                                 "# panel paths\n"
                                 "\n"
                                 "   \t\n"
                                 "PRODUCT_ROOT_D      /opt/oru      # installed here\n"
                                 "   MARUN_MAILNAMES_D\t/srv/mail  boxes   \n"
                                 "MYSQL_BIN_D /usr/bin\n"
                                 "MYSQL_BIN_D /usr/local/mysql/bin\n"
                                 "DUMP_D /var/dumps#no space before comment\n"
                                 "  # indented comment\n"
                                 "LAST_LINE /no/newline");
    auto conf = newStore();
    LogCapture log;
    ASSERT_EQ(conf_read_file_r(path.c_str(), conf.get()), 0);
    EXPECT_EQ(log.all(), "");

    EXPECT_EQ(get(conf, "PRODUCT_ROOT_D"), "/opt/oru");
    EXPECT_EQ(get(conf, "MARUN_MAILNAMES_D"), "/srv/mail  boxes");
    EXPECT_EQ(get(conf, "MYSQL_BIN_D"), "/usr/local/mysql/bin");  // the last definition wins
    EXPECT_EQ(get(conf, "DUMP_D"), "/var/dumps");
    EXPECT_EQ(get(conf, "LAST_LINE"), "/no/newline");
    EXPECT_EQ(get(conf, "mysql_bin_d"), "<null>");  // names are case-sensitive
    EXPECT_EQ(conf->nmemb, 5u);
}

TEST(ConfReadFile, SkipsAndReportsMalformedLines) {
    const char* space = "\nExpected a space after variable name\n";
    const char* value = "\nExpected a value";
    const std::pair<const char*, std::string> lines[] = {
        {"NAME_ONLY\n", std::string("NAME_ONLY\n") + value},
        {"JOINED=/value\n", std::string("JOINED=/value\n") + space},
        {"TRAILING_NAME", std::string("TRAILING_NAME") + space},
    };
    std::string text = "GOOD /kept\n";
    for (const auto& line : lines) {
        text += line.first;
    }
    TempDir dir;
    auto conf = newStore();
    LogCapture log;
    ASSERT_EQ(conf_read_file_r(dir.write("oru.conf", text).c_str(), conf.get()), 0);

    EXPECT_EQ(conf->nmemb, 1u);
    EXPECT_EQ(get(conf, "GOOD"), "/kept");
    ASSERT_EQ(log.messages().size(), std::size(lines)) << log.all();
    for (size_t i = 0; i < std::size(lines); ++i) {
        EXPECT_EQ(log.messages()[i].text, "Invalid variable definition " + lines[i].second);
        EXPECT_EQ(log.messages()[i].priority, 12);
    }
}

// Many names, out of order, beyond the store's first capacity; lines of any
// length.
TEST(ConfReadFile, ReadsLongLinesAndManyNames) {
    std::string long_value = "/" + std::string(10000, 'x');
    std::string text = "LONG " + long_value + "\n";
    for (int i = 44; i >= 0; --i) {
        text += "KEY_" + std::to_string(100 + i) + " v" + std::to_string(i) + "\n";
    }
    TempDir dir;
    auto conf = newStore();
    ASSERT_EQ(
        conf_read_file_r(dir.write("oru.conf", text + "KEY_120 replaced\n").c_str(), conf.get()),
        0);
    EXPECT_EQ(conf->nmemb, 46u);
    EXPECT_EQ(get(conf, "LONG"), long_value);
    for (int i = 0; i < 45; ++i) {
        std::string key = "KEY_" + std::to_string(100 + i);
        EXPECT_EQ(get(conf, key.c_str()), i == 20 ? "replaced" : "v" + std::to_string(i));
    }
    EXPECT_EQ(get(conf, "KEY_099"), "<null>");
    EXPECT_EQ(get(conf, "KEY_1"), "<null>");
}

TEST(ConfReadFile, FailuresReportAndKeepErrno) {
    TempDir dir;
    auto conf = newStore();
    LogCapture log;

    std::string missing = dir.file("missing.conf");
    EXPECT_EQ(conf_read_file_r(missing.c_str(), conf.get()), -1);
    EXPECT_EQ(errno, ENOENT);
    // A directory opens but cannot be read.
    EXPECT_EQ(conf_read_file_r(dir.path().c_str(), conf.get()), -1);
    EXPECT_EQ(errno, EISDIR);
    EXPECT_EQ(log.all(),
              "unable to open configuration file " + missing +
                  ": No such file or directory\n\nUnable to read configuration file: Is a "
                  "directory\n");
}

}  // namespace
