// One master.cf service entry ("module"): its key (name and type), its
// columns, and the entry text built from them. The predefined listeners
// kvarn switches on and off are ModuleInfo values with fixed columns.
#pragma once

#include <boost/logic/tribool.hpp>
#include <string>
#include <utility>
#include <vector>

namespace marun {
namespace mail {
namespace postfix {

// Service types. The last two are Postfix's own types for its logging
// service and for passing connections between daemons; a stock Debian
// master.cf declares "postlog unix-dgram".
enum ModuleType {
    MODULE_INET = 0,
    MODULE_UNIX = 1,
    MODULE_FIFO = 2,
    MODULE_UNIX_DGRAM = 3,
    MODULE_PASS = 4,
};

// The word of a type as master.cf writes it; unknown values are "fifo".
const char* moduleTypeText(ModuleType type);

// A service's identity in master.cf: its name and type.
using ModuleKey = std::pair<std::string, ModuleType>;

struct ModuleInfo {
    std::string name;
    ModuleType type = MODULE_INET;
    boost::logic::tribool isPrivate = boost::logic::indeterminate;
    boost::logic::tribool unprivileged = boost::logic::indeterminate;
    boost::logic::tribool chroot = false;
    int wakeupTime = -1;  // -1: "-"
    bool wakeupIfUsed = false;
    int maxProcesses = -1;  // -1: "-"
    // The command and its arguments; one element may hold blanks
    // ("-o name=value").
    std::vector<std::string> commandWords;

    ModuleKey key() const { return ModuleKey(name, type); }
    // The one-line entry: the columns separated by single spaces, then the
    // command words, without a trailing blank.
    std::string entryText() const;
};

// "smtp inet n - n - - smtpd"
struct SmtpdModule : ModuleInfo {
    explicit SmtpdModule(const std::string& serviceName = "smtp");
};

// The smtp listener with TLS from the first byte, on the "smtps" port.
struct SmtpsModule : SmtpdModule {
    SmtpsModule();
};

// The message submission listener: TLS and authentication required.
struct SubmissionModule : ModuleInfo {
    SubmissionModule();
};

}  // namespace postfix
}  // namespace mail
}  // namespace marun
