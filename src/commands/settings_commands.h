// Server settings commands: the sender black list, the white list of
// trusted networks, the DNS block lists, the relay and POP-before-SMTP
// parameters, the accounts format, the letter and mailbox size limits, the
// SPF settings and the feature listing.
#pragma once

#include <boost/any.hpp>
#include <string>
#include <vector>

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

// --account-format: "compound" is 0, "both" 1; any other word is invalid.
struct ShortnameFormat {
    int value = 0;
};
void validate(boost::any& value, const std::vector<std::string>& texts, ShortnameFormat*, int);

// --netmask: a prefix length from 0 to 128 (blanks around it allowed, no
// sign but one "+").
struct IPMask {
    unsigned short value = 0;
};
void validate(boost::any& value, const std::vector<std::string>& texts, IPMask*, int);

// Whether Postfix of version `mailVersion` (as "postconf -d -h mail_version"
// prints it) has sender-dependent transports: its pieces between dots
// compared with "2", "7" as strings, the first difference deciding, a
// longer version winning a tie.
bool sddTransportMapsSupported(const std::string& mailVersion);

int addBadMailFrom(int argc, char** argv);
int removeBadMailFrom(int argc, char** argv);
int addWhiteList(int argc, char** argv);
int removeWhiteList(int argc, char** argv);
int setMapsProtection(int argc, char** argv);
int setMailParams(int argc, char** argv);
int setAccountsFormat(int argc, char** argv);
int setMaxLetterSize(int argc, char** argv);
int getMaxLetterSize(int argc, char** argv);
int getMailboxLimit(int argc, char** argv);
int updateSPF(int argc, char** argv);
int printFeatures(int argc, char** argv);

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
