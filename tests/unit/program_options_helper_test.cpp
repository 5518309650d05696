// Option parsing of the command handlers: mandatory options, --help, Boost
// errors routed to uerr and usage, and mail name validation.
#include "commands/program_options_helper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <vector>

using namespace marun::mail::postfix::kvarn_commands;

namespace {

// Runs parse over an argument list whose first word is the command.
struct Args {
    explicit Args(std::vector<std::string> words) : words_(std::move(words)) {
        for (std::string& w : words_) {
            ptrs_.push_back(w.data());
        }
    }
    int argc() const { return static_cast<int>(ptrs_.size()); }
    char** argv() { return ptrs_.data(); }

  private:
    std::vector<std::string> words_;
    std::vector<char*> ptrs_;
};

void declareAddDomain(ProgramOptionsHelper& helper) {
    helper.add_options()("domain-name", po::value<std::string>(), "domain name", true)(
        "disk-quota", po::value<long long>(), "quota in bytes");
}

TEST(ProgramOptionsHelperTest, ParsesBothValueForms) {
    ProgramOptionsHelper helper("add a domain", "--add-domain --domain-name=<domain>");
    declareAddDomain(helper);
    Args args({"--add-domain", "--domain-name=a.test", "--disk-quota", "-5"});
    helper.parse(args.argc(), args.argv());
    EXPECT_EQ("a.test", helper.get<std::string>("domain-name"));
    EXPECT_EQ(-5, helper.get<long long>("disk-quota"));
    EXPECT_FALSE(helper.has("help"));
}

TEST(ProgramOptionsHelperTest, ReportsTheLastDeclaredMissingMandatoryOption) {
    ProgramOptionsHelper helper("x", "x");
    helper.add_options()("first", po::value<std::string>(), "1", true)(
        "second", po::value<std::string>(), "2", true);
    Args args({"--x"});
    EXPECT_THAT([&] { helper.parse(args.argc(), args.argv()); },
                testing::ThrowsMessage<MissingMandatoryOption>(
                    testing::StrEq("mandatory option \"--second\" is not specified")));
}

TEST(ProgramOptionsHelperTest, RefusesAbbreviationsFreeWordsRepeatsAndBadNumbers) {
    const std::vector<std::vector<std::string>> bad = {
        {"--add-domain", "--domain=a.test"},
        {"--add-domain", "--domain-name=a.test", "free"},
        {"--add-domain", "--domain-name=a", "--domain-name=b"},
        {"--add-domain", "--domain-name=a", "--disk-quota=abc"},
        {"--add-domain", "--domain-name"},
    };
    for (const auto& words : bad) {
        ProgramOptionsHelper helper("add a domain", "s");
        declareAddDomain(helper);
        Args args(words);
        EXPECT_THROW(helper.parse(args.argc(), args.argv()), po::error) << words.back();
    }
}

// --help exits 0 before the mandatory options are checked.
TEST(ProgramOptionsHelperDeathTest, UsageListsCaptionMandatoryMarkAndHelpLast) {
    ProgramOptionsHelper helper("add a domain",
                                "--add-domain --domain-name=<domain> [--disk-quota=quota]");
    declareAddDomain(helper);
    Args args({"--add-domain", "--help"});
    EXPECT_EXIT(
        {
            std::cout.rdbuf(std::cerr.rdbuf());
            helper.parse(args.argc(), args.argv());
        },
        testing::ExitedWithCode(0),
        "^add a domain\nUsage: --add-domain --domain-name=<domain> \\[--disk-quota=quota\\]\n"
        "Allowed options to add a domain:\n"
        "  --domain-name arg +domain name \\(mandatory\\)\n"
        "  --disk-quota arg +quota in bytes\n"
        "  -h \\[ --help \\] +displays this help message\n\n$");
}

TEST(MailValidateTest, RefusesDoubleDotsAndUnknownTypes) {
    EXPECT_EQ(1, mailname_validators::mailValidateExc("first.last", 0));
    EXPECT_THROW(mailname_validators::mailValidateExc("a..b", 0), std::invalid_argument);
    EXPECT_THROW(mailname_validators::mailValidateExc("ab", 1), std::invalid_argument);
}

}  // namespace
