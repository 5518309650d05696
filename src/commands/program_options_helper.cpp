// Command option parsing and mail name validation for the handlers.
#include "commands/program_options_helper.h"

#include <boost/make_shared.hpp>
#include <cstdlib>
#include <iostream>
#include <stdexcept>

#include "mail/lib/mail_validate.h"
#include "util/uerr.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

namespace cls = po::command_line_style;

OptionAppender& OptionAppender::operator()(const char* name, const po::value_semantic* semantic,
                                           const char* text, bool mandatory) {
    std::string help = text;
    if (mandatory) {
        owner_.addMandatory(name);
        help += " (mandatory)";
    }
    owner_.desc.add(boost::make_shared<po::option_description>(name, semantic, help.c_str()));
    return *this;
}

OptionAppender& OptionAppender::operator()(const char* name, const char* text, bool mandatory) {
    return (*this)(name, new po::untyped_value(true), text, mandatory);
}

ProgramOptionsHelper::ProgramOptionsHelper(const std::string& description,
                                           const std::string& synopsis)
    : desc("Allowed options to " + description, po::options_description::m_default_line_length,
           po::options_description::m_default_line_length / 2),
      description_(description),
      synopsis_(synopsis) {}

void ProgramOptionsHelper::addMandatory(const char* name) {
    std::string long_name = name;
    long_name = long_name.substr(0, long_name.find(','));
    mandatory_.push_front(long_name);
}

void ProgramOptionsHelper::parse(int argc, char** argv) {
    add_options()("help,h", "displays this help message");
    const int style = cls::allow_long | cls::allow_short | cls::allow_dash_for_short |
                      cls::long_allow_adjacent | cls::long_allow_next | cls::short_allow_adjacent |
                      cls::short_allow_next | cls::allow_sticky;
    // No positional arguments are declared, so any free word is an error.
    const po::positional_options_description no_positionals;
    po::store(po::command_line_parser(argc, argv)
                  .options(desc)
                  .positional(no_positionals)
                  .style(style)
                  .run(),
              vm);
    po::notify(vm);
    if (vm.count("help")) {
        usage(0, std::cout);
    }
    for (const std::string& name : mandatory_) {
        if (!vm.count(name)) {
            throw MissingMandatoryOption(name);
        }
    }
}

void ProgramOptionsHelper::usage(int status, std::ostream& out) {
    out << description_ << std::endl;
    out << "Usage: " << synopsis_ << std::endl;
    out << desc << std::endl;
    std::exit(status);
}

void standardOptionsParse(ProgramOptionsHelper& helper, int argc, char** argv) {
    try {
        helper.parse(argc, argv);
    } catch (const po::error& e) {
        uerr << e.what() << std::endl;
        helper.usage(1, std::cout);
    }
}

namespace mailname_validators {
int mailValidateExc(const std::string& name, int type) {
    int result = mail_validate(name.c_str(), type);
    if (result == 0) {
        throw std::invalid_argument(name);
    }
    return result;
}
}  // namespace mailname_validators

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
