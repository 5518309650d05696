// Service commands: the five component commands (--start-service,
// --stop-service, --restart-service, --reload-service, --status-service)
// and the legacy ones for Postfix, its smtp, smtps and submission
// listeners, Courier-IMAP and the milter.
#pragma once

#include <boost/any.hpp>
#include <string>
#include <vector>

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

// Bits of the --mail-component option.
enum MailComponent {
    COMPONENT_MTA = 1,
    COMPONENT_SMTP = 2,
    COMPONENT_SMTPS = 4,
    COMPONENT_SUBMISSION = 8,
    COMPONENT_POP3 = 16,
    COMPONENT_IMAP = 32,
    COMPONENT_POP3S = 64,
    COMPONENT_IMAPS = 128,
    COMPONENT_MILTER = 256,
    COMPONENT_ALL = 65535,
};

// The value of --mail-component: the bits of every given word (the option
// may be repeated); 0 until a word is given.
struct SelectedMailComponents {
    unsigned bits = 0;
};

// Adds the words' bits; an unknown word throws invalid_option_value with
// "unknown component <word>".
void validate(boost::any& value, const std::vector<std::string>& words, SelectedMailComponents*,
              int);

int startService(int argc, char** argv);
int stopService(int argc, char** argv);
int restartService(int argc, char** argv);
int reloadService(int argc, char** argv);
int statusService(int argc, char** argv);

int startSMTPD(int argc, char** argv);  // also bound to --restart-smtpd
int stopSMTPD(int argc, char** argv);
int statusMTA(int argc, char** argv);
int startMTA(int argc, char** argv);
int stopMTA(int argc, char** argv);
int startIMAP(int argc, char** argv);
int stopIMAP(int argc, char** argv);
int restartIMAP(int argc, char** argv);
int statusIMAP(int argc, char** argv);
int startMilter(int argc, char** argv);
int stopMilter(int argc, char** argv);
int restartMilter(int argc, char** argv);
int statusMilter(int argc, char** argv);
int enableSubmission(int argc, char** argv);
int disableSubmission(int argc, char** argv);

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
