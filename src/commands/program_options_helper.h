// Option parsing shared by every command handler: a thin layer over
// Boost.Program_options that adds a per-command usage text, --help/-h on
// every command, and mandatory options with one uniform error.
#pragma once

#include <boost/program_options.hpp>
#include <forward_list>
#include <ostream>
#include <string>

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

namespace po = boost::program_options;

// Thrown when a mandatory option is absent; the name comes without dashes.
class MissingMandatoryOption : public po::error {
  public:
    explicit MissingMandatoryOption(const std::string& name)
        : po::error("mandatory option \"--" + name + "\" is not specified") {}
};

class ProgramOptionsHelper;

// Declares options one call at a time: appender("name,n", po::value<T>(), "text", mandatory).
class OptionAppender {
  public:
    explicit OptionAppender(ProgramOptionsHelper& owner) : owner_(owner) {}
    OptionAppender& operator()(const char* name, const po::value_semantic* semantic,
                               const char* text, bool mandatory = false);
    // A switch: an option without value.
    OptionAppender& operator()(const char* name, const char* text, bool mandatory = false);

  private:
    ProgramOptionsHelper& owner_;
};

class ProgramOptionsHelper {
  public:
    ProgramOptionsHelper(const std::string& description, const std::string& synopsis);

    OptionAppender add_options() { return OptionAppender(*this); }

    // Parses the handler's arguments (argv[0] is the command word). Returns
    // only with complete, valid options; --help ends the process with 0.
    void parse(int argc, char** argv);

    // Prints the description, the synopsis and the option list, then exits.
    [[noreturn]] void usage(int status, std::ostream& out);

    bool has(const std::string& name) const { return vm.count(name) != 0; }
    template <class T>
    const T& get(const std::string& name) const {
        return vm[name].as<T>();
    }

    po::options_description desc;
    po::variables_map vm;

  private:
    friend class OptionAppender;
    void addMandatory(const char* name);

    std::string description_;
    std::forward_list<std::string> mandatory_;
    std::string synopsis_;
};

// Runs parse(); a Boost option error goes to uerr followed by the usage on
// standard output and exit status 1.
void standardOptionsParse(ProgramOptionsHelper& helper, int argc, char** argv);

namespace mailname_validators {
// Returns mail_validate's non-zero result; throws std::invalid_argument with
// the name as text when the name is refused.
int mailValidateExc(const std::string& name, int type);
}  // namespace mailname_validators

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
