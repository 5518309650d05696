// The mail handler commands run as the panel runs them, against the real
// handlers database file of the server.

#include <string>
#include <vector>

#include "integration/panel_server.h"

namespace kvarn_test {
namespace {

using ::testing::HasSubstr;

class HandlerCommandsTest : public PanelServerTest {
  protected:
    // name|type|address|queue|priority|enabled|executable|context, ordered.
    Rows rows(const std::string& where = "1") {
        return sqliteQuery(MH_DB_PATH,
                           "SELECT name, type, address, queue, priority, enabled, executable, "
                           "context FROM handlers WHERE " +
                               where + " ORDER BY name, address, type, queue");
    }

    RunResult add(const std::string& name, const std::string& type, const std::string& address,
                  const std::string& hook, const std::string& priority = "10") {
        std::vector<std::string> args = {"--add-handler",          "--handler-name=" + name,
                                         "--handler-type=" + type, "--executable=/usr/bin/h",
                                         "--context=ctx",          "--hook=" + hook,
                                         "--priority=" + priority};
        if (!address.empty()) {
            args.push_back("--handler-type-name=" + address);
        }
        return runKvarn(args);
    }
    RunResult change(const char* command, const std::string& name, const std::string& type,
                     const std::string& address, const std::string& hook) {
        std::vector<std::string> args = {command, "--handler-name=" + name,
                                         "--handler-type=" + type, "--hook=" + hook};
        if (!address.empty()) {
            args.push_back("--handler-type-name=" + address);
        }
        return runKvarn(args);
    }
};

TEST_F(HandlerCommandsTest, GlobalAddressesPrioritiesAndUnknownWords) {
    // The address option is ignored for global handlers: always "all".
    ASSERT_TRUE(add("g", "global", "all-recipients", "before-local", "5").succeeded());
    // strtol: no digits give 0; a sign and leading blanks are taken.
    ASSERT_TRUE(add("p0", "sender", "a@x.test", "before-remote", "abc").succeeded());
    ASSERT_TRUE(add("p7", "sender", "a@x.test", "before-remote", " +7xyz").succeeded());
    ASSERT_TRUE(add("odd", "Recipient", "a@x.test", "before-lunch").succeeded());
    EXPECT_EQ((Rows{{"g", "4", "all", "2", "5", "1", "/usr/bin/h", "ctx"},
                    {"odd", "5", "a@x.test", "4", "10", "1", "/usr/bin/h", "ctx"},
                    {"p0", "0", "a@x.test", "3", "0", "1", "/usr/bin/h", "ctx"},
                    {"p7", "0", "a@x.test", "3", "7", "1", "/usr/bin/h", "ctx"}}),
              rows());
}

TEST_F(HandlerCommandsTest, SwitchingAnAddressSwitchesItsWholeDomain) {
    ASSERT_TRUE(add("h1", "recipient", "a@x.test", "before-queue").succeeded());
    ASSERT_TRUE(add("h2", "sender", "b@x.test", "before-local").succeeded());
    ASSERT_TRUE(add("h1", "recipient", "c@y.test", "before-queue").succeeded());
    ASSERT_TRUE(add("g", "global", "", "before-queue").succeeded());

    RunResult off = change("--disable-handler", "h1", "recipient", "a@x.test", "before-queue");
    ASSERT_TRUE(off.succeeded()) << off;
    EXPECT_EQ((Rows{{"a@x.test", "0"}, {"b@x.test", "0"}}),
              sqliteQuery(MH_DB_PATH,
                          "SELECT address, enabled FROM handlers WHERE enabled=0 "
                          "ORDER BY name"));

    // "all" switches every registration bearing the name, whatever its address.
    ASSERT_TRUE(change("--disable-handler", "h1", "sender", "all", "before-remote").succeeded());
    EXPECT_EQ((Rows{{"h1", "0"}, {"h1", "0"}}),
              sqliteQuery(MH_DB_PATH, "SELECT name, enabled FROM handlers WHERE name='h1'"));
    ASSERT_TRUE(change("--enable-handler", "h1", "recipient", "all", "before-queue").succeeded());
    EXPECT_EQ((Rows{{"h1", "1"}, {"h1", "1"}}),
              sqliteQuery(MH_DB_PATH, "SELECT name, enabled FROM handlers WHERE name='h1'"));

    ASSERT_TRUE(change("--disable-handler", "g", "global", "", "before-queue").succeeded());
    EXPECT_EQ((Rows{{"0"}}),
              sqliteQuery(MH_DB_PATH, "SELECT enabled FROM handlers WHERE name='g'"));
}

TEST_F(HandlerCommandsTest, RemovingOneAllOrNothing) {
    ASSERT_TRUE(add("h", "recipient", "a@x.test", "before-queue").succeeded());
    ASSERT_TRUE(add("h", "recipient", "b@y.test", "before-queue").succeeded());
    ASSERT_TRUE(add("h", "recipient", "c@y.test", "before-local").succeeded());
    ASSERT_TRUE(add("h", "sender", "a@x.test", "before-queue").succeeded());
    ASSERT_TRUE(add("g", "global", "", "before-queue").succeeded());

    // No such registration: nothing deleted is no error.
    EXPECT_TRUE(
        change("--remove-handler", "h", "sender", "nobody@x.test", "before-queue").succeeded());
    EXPECT_EQ(5u, rows().size());

    ASSERT_TRUE(change("--remove-handler", "h", "sender", "a@x.test", "before-queue").succeeded());
    // "all" with another type: every address of that name, type and hook.
    ASSERT_TRUE(change("--remove-handler", "h", "recipient", "all", "before-queue").succeeded());
    EXPECT_EQ((Rows{{"c@y.test", "2"}, {"all", "1"}}),
              sqliteQuery(MH_DB_PATH, "SELECT address, queue FROM handlers ORDER BY name DESC"));
    ASSERT_TRUE(change("--remove-handler", "g", "global", "ignored", "before-queue").succeeded());
    EXPECT_EQ(1u, rows().size());
}

TEST_F(HandlerCommandsTest, DeprecatedCommandsRefuseWithTheirLines) {
    RunResult update = runKvarnExpecting({"--update-handler", "--handler-name=h"}, 1);
    EXPECT_EQ("ERROR: this action is deprecated. Please use the mail_handler_control utlitity\n",
              update.err);
    EXPECT_EQ(update.err, update.out);
    EXPECT_EQ("ERROR: This action is deprecated. Please use the mail_handlers_control utility\n",
              runKvarnExpecting({"--check-handler"}, 1).err);
}

TEST_F(HandlerCommandsTest, MissingOptionsAndDatabaseFailures) {
    RunResult no_address = change("--enable-handler", "h", "recipient", "", "before-queue");
    EXPECT_TRUE(no_address.exited(1)) << no_address;
    EXPECT_THAT(no_address.err, HasSubstr("mandatory option \"--handler-type-name\""));

    EXPECT_THAT(
        runKvarnExpecting({"--remove-handler", "--handler-name=h", "--handler-type=global"}, 1).err,
        HasSubstr("mandatory option \"--hook\" is not specified"));

    sqliteQuery(MH_DB_PATH, "DROP TABLE handlers");
    RunResult broken = add("h", "recipient", "a@x.test", "before-queue");
    EXPECT_TRUE(broken.exited(1)) << broken;
    EXPECT_THAT(broken.err, HasSubstr("no such table: handlers"));
}

}  // namespace
}  // namespace kvarn_test
