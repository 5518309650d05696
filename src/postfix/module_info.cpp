// Entry texts of master.cf services and the predefined listeners.
#include "postfix/module_info.h"

namespace marun {
namespace mail {
namespace postfix {

namespace {

const char* flagText(boost::logic::tribool flag) {
    if (flag) {
        return "y";
    }
    if (!flag) {
        return "n";
    }
    return "-";
}

std::string limitText(int value) {
    return value == -1 ? std::string("-") : std::to_string(value);
}

}  // namespace

const char* moduleTypeText(ModuleType type) {
    switch (type) {
        case MODULE_INET:
            return "inet";
        case MODULE_UNIX:
            return "unix";
        case MODULE_UNIX_DGRAM:
            return "unix-dgram";
        case MODULE_PASS:
            return "pass";
        default:
            return "fifo";
    }
}

std::string ModuleInfo::entryText() const {
    std::string text = name;
    text += ' ';
    text += moduleTypeText(type);
    text += ' ';
    text += flagText(isPrivate);
    text += ' ';
    text += flagText(unprivileged);
    text += ' ';
    text += flagText(chroot);
    text += ' ';
    text += limitText(wakeupTime);
    if (wakeupIfUsed && wakeupTime != -1) {
        text += '?';
    }
    text += ' ';
    text += limitText(maxProcesses);
    for (const std::string& word : commandWords) {
        text += ' ';
        text += word;
    }
    return text;
}

SmtpdModule::SmtpdModule(const std::string& serviceName) {
    name = serviceName;
    type = MODULE_INET;
    isPrivate = false;
    commandWords = {"smtpd"};
}

SmtpsModule::SmtpsModule() : SmtpdModule("smtps") {
    commandWords.push_back("-o smtpd_tls_wrappermode=yes");
}

SubmissionModule::SubmissionModule() {
    name = "submission";
    type = MODULE_INET;
    isPrivate = false;
    commandWords = {"smtpd",
                    "-o smtpd_enforce_tls=yes",
                    "-o smtpd_tls_security_level=encrypt",
                    "-o smtpd_sasl_auth_enable=yes",
                    "-o smtpd_client_restrictions=permit_sasl_authenticated,reject",
                    "-o smtpd_sender_restrictions="};
}

}  // namespace postfix
}  // namespace mail
}  // namespace marun
