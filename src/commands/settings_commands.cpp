// Server settings commands. Every value is checked before anything changes:
// domain names through the name checks, network addresses by inet_pton,
// block-list zones and SPF values for what would split them, sizes as
// numbers. Every step can be run again and ends where one run would
// (records added if missing, lists rewritten whole, variables set once).
#include "commands/settings_commands.h"

#include <boost/lexical_cast.hpp>
#include <boost/logic/tribool.hpp>
#include <cstdio>
#include <iostream>
#include <stdexcept>

#include "commands/name_checks.h"
#include "commands/program_options_helper.h"
#include "mail/lib/courier_settings.h"
#include "mail/lib/spf.h"
#include "mail/postfix/lib/pop_auth_switch.h"
#include "mail/postfix/lib/poplockdb_clean.h"
#include "postfix/main_cf_manager.h"
#include "postfix/service_manager.h"
#include "postfix/settings_manager.h"
#include "util/ascii_to_numeric.h"
#include "util/errors.h"
#include "util/exec_cmd.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

namespace {

const char* const SHORTNAMES_UNSUPPORTED = "short account-format is not supported for Postfix";

std::string blackDomain(int argc, char** argv, const char* description, const char* synopsis) {
    ProgramOptionsHelper options(description, synopsis);
    options.add_options()("domain-name", po::value<std::string>(), "domain name", true);
    standardOptionsParse(options, argc, argv);
    return asciiDomainName(options.get<std::string>("domain-name"));
}

ProgramOptionsHelper& parseWhiteList(ProgramOptionsHelper& options, int argc, char** argv) {
    options.add_options()("ip-address", po::value<std::string>(), "IPv4 address", true)(
        "netmask", po::value<IPMask>(), "netmask", true);
    standardOptionsParse(options, argc, argv);
    return options;
}

// Reads a limit that main.cf must hold as a plain integer.
int printLimit(const char* name) {
    const long long limit =
        boost::lexical_cast<long long>(MainCfManager::getInstance().getStringValue(name, false));
    std::cout << limit << "\n" << std::flush;
    return 0;
}

void print_feature(const char* feature, const char* value) {
    const bool boolean = std::string(value) == "true" || std::string(value) == "false";
    std::printf(boolean ? "$features['%s'] = %s;\n" : "$features['%s'] = \"%s\";\n", feature,
                value);
}

}  // namespace

void validate(boost::any& value, const std::vector<std::string>& texts, ShortnameFormat*, int) {
    po::validators::check_first_occurrence(value);
    const std::string& text = po::validators::get_single_string(texts);
    if (text == "compound") {
        value = ShortnameFormat{0};
    } else if (text == "both") {
        value = ShortnameFormat{1};
    } else {
        throw po::invalid_option_value(text);
    }
}

void validate(boost::any& value, const std::vector<std::string>& texts, IPMask*, int) {
    po::validators::check_first_occurrence(value);
    const std::string& text = po::validators::get_single_string(texts);
    IPMask mask;
    if (!Util::ASCIIToNumeric(text, mask.value) || mask.value > 128) {
        throw po::invalid_option_value(text);
    }
    value = mask;
}

bool sddTransportMapsSupported(const std::string& mailVersion) {
    static const char* const required[] = {"2", "7"};
    std::string::size_type begin = 0;
    for (const char* piece : required) {
        if (begin > mailVersion.size()) {
            return false;  // the installed version is a prefix of the required one
        }
        std::string::size_type end = mailVersion.find('.', begin);
        end = end == std::string::npos ? mailVersion.size() : end;
        const std::string installed = mailVersion.substr(begin, end - begin);
        if (installed != piece) {
            return piece < installed;
        }
        begin = end + 1;
    }
    return begin <= mailVersion.size();
}

int addBadMailFrom(int argc, char** argv) {
    SettingsManager::addBlackDomain(
        blackDomain(argc, argv, "add a badmailfrom", "--add-badmailfrom --domain-name=<domain>"));
    return 0;
}

int removeBadMailFrom(int argc, char** argv) {
    SettingsManager::removeBlackDomain(blackDomain(argc, argv, "remove a badmailfrom",
                                                   "--remove-badmailfrom --domain-name=<domain>"));
    return 0;
}

int addWhiteList(int argc, char** argv) {
    ProgramOptionsHelper options("add a network to whitelist",
                                 "--add-whitelist --ip-address=<ip_address> --netmask=<netmask>");
    parseWhiteList(options, argc, argv);
    SettingsManager::addWhiteNetwork(options.get<std::string>("ip-address"),
                                     options.get<IPMask>("netmask").value);
    ServiceManager::reloadServer();
    return 0;
}

int removeWhiteList(int argc, char** argv) {
    ProgramOptionsHelper options("remove a network from whitelist",
                                 "--remove-whitelist --ip-address=<ip_address>");
    parseWhiteList(options, argc, argv);
    SettingsManager::removeWhiteNetwork(options.get<std::string>("ip-address"));
    ServiceManager::reloadServer();
    return 0;
}

int setMapsProtection(int argc, char** argv) {
    ProgramOptionsHelper options("set MAPS protection",
                                 "--set-maps-protection [--maps-zones=<zone1,zone2,...,zoneN>]");
    options.add_options()("maps-zones", po::value<std::vector<std::string>>(), "MAPS zones");
    standardOptionsParse(options, argc, argv);
    std::vector<std::string> hosts;
    if (options.has("maps-zones")) {
        for (const std::string& zones : options.get<std::vector<std::string>>("maps-zones")) {
            std::string::size_type begin = 0;
            for (;;) {
                const std::string::size_type comma = zones.find(',', begin);
                hosts.push_back(zones.substr(begin, comma - begin));
                if (comma == std::string::npos) {
                    break;
                }
                begin = comma + 1;
            }
        }
    }
    SettingsManager::setRBLHosts(hosts);
    ServiceManager::reloadServer();
    return 0;
}

int setMailParams(int argc, char** argv) {
    ProgramOptionsHelper options("set mail server parameters",
                                 "--set-mail-params [--relayclient] [--smtpauth] [--popauth] "
                                 "[--poplock-time=<time_in_seconds>] [--shortnames]");
    options.add_options()("relayclient", "whether to enable mail relaying (disabled by default)")(
        "smtpauth", "whether to enable SMTP authorization (disabled by default)")(
        "popauth", "whether to enable POP3 before SMTP authorization (disabled by default)")(
        "poplock-time", po::value<short>()->default_value(-1), "POP3 authorization validity time")(
        "shortnames", "whether to enable short names (legacy, not supported)");
    standardOptionsParse(options, argc, argv);
    if (options.has("shortnames")) {
        throw NotSupportedError(SHORTNAMES_UNSUPPORTED);
    }
    const bool popauth = options.has("popauth");
    const bool relay = options.has("relayclient");
    const bool smtpauth = options.has("smtpauth");
    const short lock = options.get<short>("poplock-time");

    if (set_poplockdb_clean_period(popauth ? lock : 0) != 0 ||
        set_courier_params(relay, popauth, lock, 0) != 0 ||
        (popauth ? enablePopAuth() : disablePopAuth()) != 0) {
        return 1;
    }
    if (relay) {
        SettingsManager::setOpenRelay();
    } else {
        SettingsManager::setAuthRelay(smtpauth, popauth);
    }
    ServiceManager::restartMilter();
    ServiceManager::reloadServer();
    return 0;
}

int setAccountsFormat(int argc, char** argv) {
    ProgramOptionsHelper options("set accounts format",
                                 "--set-accounts-format --account-format=\"compound\"");
    options.add_options()("account-format", po::value<ShortnameFormat>(),
                          "Accounts format (currently only compound supported)", true);
    standardOptionsParse(options, argc, argv);
    if (options.get<ShortnameFormat>("account-format").value != 0) {
        throw NotSupportedError(SHORTNAMES_UNSUPPORTED);
    }
    return set_courier_shortnames_params(0);
}

int setMaxLetterSize(int argc, char** argv) {
    ProgramOptionsHelper options("set maximal letter size",
                                 "--set-max-letter-size --size=<size_in_bytes>");
    options.add_options()("size", po::value<long long>(), "letter size", true);
    standardOptionsParse(options, argc, argv);
    long long size = options.get<long long>("size");
    // Postfix's daemons would refuse to start with a negative limit.
    if (size < 0) {
        throw std::invalid_argument("invalid --size " + std::to_string(size) +
                                    ": a letter size is not negative");
    }
    if (size == 0) {
        size = SettingsManager::getMailboxSizeLimit();
    }
    MainCfManager::getInstance().replaceStringValue("message_size_limit", std::to_string(size));
    ServiceManager::reloadServer();
    return 0;
}

int getMaxLetterSize(int, char**) {
    return printLimit("message_size_limit");
}

int getMailboxLimit(int, char**) {
    return printLimit("mailbox_size_limit");
}

int updateSPF(int argc, char** argv) {
    ProgramOptionsHelper options("update SPF rules",
                                 "--update-spf [--spf-behavior=spf_behavior] "
                                 "[--spf-rules=spf_rules] [--spf-guess=spf_guess] "
                                 "[--spf-exp=<spf_exp>]");
    options.add_options()("spf-behavior", po::value<std::string>(), "SPF behavior")(
        "spf-rules", po::value<std::string>(), "SPF rules")(
        "spf-guess", po::value<std::string>(), "SPF guess")("spf-exp", po::value<std::string>(),
                                                            "SPF exp");
    standardOptionsParse(options, argc, argv);
    const char* values[4] = {nullptr, nullptr, nullptr, nullptr};
    const char* const names[4] = {"spf-behavior", "spf-rules", "spf-guess", "spf-exp"};
    for (int i = 0; i < 4; ++i) {
        if (!options.has(names[i])) {
            continue;
        }
        const std::string& value = options.get<std::string>(names[i]);
        // Each file holds one setting that its reader takes as one line.
        if (value.find_first_of("\n\r") != std::string::npos) {
            throw std::invalid_argument(std::string("invalid --") + names[i] +
                                        ": it holds a line feed or carriage return");
        }
        values[i] = value.c_str();
    }
    return update_spf(values[0], values[1], values[2], values[3]) != 0 ? 1 : 0;
}

int printFeatures(int, char**) {
    static const char* const trueFeatures1[] = {"MailName_SetName",
                                                "MailName_SetDomain",
                                                "MailName_Quota",
                                                "MailName_SetQuota",
                                                "MailName_Size",
                                                "MailName_Password",
                                                "MailName_SetPassword",
                                                "MailName_Postbox",
                                                "MailName_SetPostbox",
                                                "MailName_Forward",
                                                "MailName_MultiForward",
                                                "MailName_SetForward",
                                                "MailName_AutoResponder",
                                                "MailName_SetAutoResponder",
                                                "MailName_Aliases",
                                                "Domain_SetName",
                                                "Domain_Enable",
                                                "Domain_SetEnable",
                                                "Domain_Quota",
                                                "Domain_SetQuota",
                                                "Domain_Bounce",
                                                "Domain_SetBounce",
                                                "Domain_Catch",
                                                "Domain_SetCatch",
                                                "Domain_Reject",
                                                "Common_BadMail",
                                                "Common_MaxLetterSize",
                                                "Common_SetMaxLetterSize",
                                                "Relay",
                                                "Relay_Set",
                                                "Relay_Open",
                                                "Relay_Closed",
                                                "Relay_AuthorizationIsRequired",
                                                "Relay_AuthType_None",
                                                "Relay_AuthType_POP3_SMTP"};
    static const char* const trueFeatures2[] = {"Relay_AuthType_SMTP", "Relay_POP3_LockTime",
                                                "Relay_WhiteList",     "Relay_WhiteList_Mask",
                                                "Relay_BlackList",     "Relay_WhiteList_BlackList",
                                                "MapsProtection",      "SetMapsProtection"};
    for (const char* feature : trueFeatures1) {
        print_feature(feature, "true");
    }
    print_feature("Relay_AuthType_POP3", "false");
    for (const char* feature : trueFeatures2) {
        print_feature(feature, "true");
    }
    print_feature("AccountsFormat_Simple", "false");
    print_feature("AccountsFormat_Compound", "true");
    print_feature("AccountsFormat_Both", "false");
    for (const char* feature :
         {"AccountsFormat_Set", "Mail_Send", "Mail_Attachments", "Mail_Forward"}) {
        print_feature(feature, "true");
    }
    print_feature("SMTP_Server", "Postfix");
    print_feature("IMAP_POP3_Server", "Courier-IMAP");
    print_feature("SMTP_Server_package", "postfix");
    print_feature("IMAP_POP3_Server_package", "courier-imap");
    print_feature("Message_Submission", "true");
    print_feature("Message_Submission_all_IP", "true");
    print_feature("Message_Submission_Dedicated_IP", "false");
    std::fflush(stdout);

    ExecCmd version("/usr/sbin/postconf");
    version << "-d"
            << "-h"
            << "mail_version";
    version.exec();
    print_feature("SDD_Transport_Maps",
                  sddTransportMapsSupported(version.getOutput()) ? "true" : "false");
    std::fflush(stdout);
    return 0;
}

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
