// Service commands: component selection, the listener entries in master.cf,
// and Postfix, Courier-IMAP and milter control.
//
// After a command changed master.cf, a running Postfix is reloaded so that
// the change takes effect; a stopped one is neither started nor reloaded
// (it reads master.cf when it starts).
#include "commands/service_commands.h"

#include <boost/logic/tribool.hpp>
#include <boost/program_options.hpp>
#include <exception>
#include <functional>
#include <iostream>

#include "commands/program_options_helper.h"
#include "mail/restore.h"
#include "postfix/module_manager.h"
#include "postfix/service_manager.h"
#include "util/errors.h"
#include "util/init_script.h"
#include "util/mysql.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

namespace {

const unsigned LISTENER_BITS = COMPONENT_SMTP | COMPONENT_SMTPS | COMPONENT_SUBMISSION;
const unsigned COURIER_BITS = COMPONENT_POP3 | COMPONENT_IMAP | COMPONENT_POP3S | COMPONENT_IMAPS;

const struct {
    const char* word;
    unsigned bits;
} COMPONENT_WORDS[] = {
    {"mta", COMPONENT_MTA},       {"smtp", COMPONENT_SMTP},
    {"smtps", COMPONENT_SMTPS},   {"submission", COMPONENT_SUBMISSION},
    {"pop3", COMPONENT_POP3},     {"imap", COMPONENT_IMAP},
    {"pop3s", COMPONENT_POP3S},   {"imaps", COMPONENT_IMAPS},
    {"milter", COMPONENT_MILTER}, {"all", COMPONENT_ALL},
};

const char* const COMPONENT_SYNOPSIS =
    " [--mail-component={mta|smtp|smtps|submission|pop3|imap|pop3s|imaps|milter|all}] "
    "[--mail-component=...]";

// The selected components of a component command; all when none is given.
unsigned parseComponents(int argc, char** argv, const char* command, const char* description) {
    ProgramOptionsHelper options(description, std::string(command) + COMPONENT_SYNOPSIS);
    options.add_options()("mail-component", po::value<SelectedMailComponents>(),
                          "mail component name "
                          "(mta|smtp|smtps|submission|pop3|imap|pop3s|imaps|milter|all) "
                          "(default all)");
    standardOptionsParse(options, argc, argv);
    if (!options.has("mail-component")) {
        return COMPONENT_ALL;
    }
    return options.get<SelectedMailComponents>("mail-component").bits;
}

// --- Listener entries ---------------------------------------------------------

ModuleManager& loadedModules() {
    ModuleManager& modules = ModuleManager::getInstance();
    modules.loadModules(false);
    return modules;
}

// Enables the entry from either file, or adds the predefined one.
void listenerOn(ModuleManager& modules, const ModuleInfo& listener) {
    if (modules.hasModule(listener.name, listener.type, boost::logic::indeterminate)) {
        modules.enableModule(listener.name, listener.type);
    } else {
        modules.addModule(listener, true);
    }
}

void listenerOff(ModuleManager& modules, const char* name) {
    modules.disableModule(name, MODULE_INET);
}

// The panel's "message_submission" setting.
bool submissionWanted() {
    mysql::Connection connection;
    return restore::getBoolMiscParamSafe("message_submission", connection, false);
}

// Switches the selected listeners on (start, restart) or off (stop) and
// stores; true when master.cf was written. Submission follows the panel:
// on means on only when the panel wants it, off leaves it when it does.
bool switchListeners(unsigned components, bool on) {
    ModuleManager& modules = loadedModules();
    if (components & COMPONENT_SMTP) {
        on ? listenerOn(modules, SmtpdModule()) : listenerOff(modules, "smtp");
    }
    if (components & COMPONENT_SMTPS) {
        on ? listenerOn(modules, SmtpsModule()) : listenerOff(modules, "smtps");
    }
    if (components & COMPONENT_SUBMISSION) {
        const bool wanted = submissionWanted();
        if (on && wanted) {
            listenerOn(modules, SubmissionModule());
        } else if (!wanted) {
            listenerOff(modules, "submission");
        }
    }
    return modules.storeModules(false);
}

// Reloads a running Postfix after master.cf was written; 0 when nothing
// was due, else the reload's code.
int reloadIfDue(bool masterCfWritten) {
    if (!masterCfWritten || ServiceManager::statusServer(0) != 0) {
        return 0;
    }
    return ServiceManager::reloadServer();
}

// Runs one Postfix step; true when it failed (non-zero or thrown, the
// exception reported).
bool postfixStepFailed(const std::function<int()>& step) {
    try {
        return step() != 0;
    } catch (const std::exception& e) {
        reportException(e);
    } catch (...) {
        reportUntypedException();
    }
    return true;
}

bool courierFailed(unsigned components, const char* action) {
    return (components & COURIER_BITS) && restart_daemon(COURIER_SERVICE, action) != 0;
}

// --start-service and --restart-service; `restart` picks the actions.
int startOrRestart(int argc, char** argv, bool restart) {
    const unsigned components =
        restart ? parseComponents(argc, argv, "--restart-service", "restart a service")
                : parseComponents(argc, argv, "--start-service", "start a service");
    bool failed = false;
    const bool written = (components & LISTENER_BITS) && switchListeners(components, true);
    if (components & COMPONENT_MTA) {
        failed |= postfixStepFailed(restart ? ServiceManager::restartServer
                                            : ServiceManager::startServer);
    }
    // A restart read master.cf anew; a start found Postfix running or
    // started it, and a reload covers both.
    if (!(restart && (components & COMPONENT_MTA))) {
        failed |= postfixStepFailed([written] { return reloadIfDue(written); });
    }
    failed |= courierFailed(components, restart ? "restart" : "start");
    if (components & COMPONENT_MILTER) {
        failed |= (restart ? ServiceManager::restartMilter() : ServiceManager::startMilter()) != 0;
    }
    return failed ? 1 : 0;
}

// The smtp and smtps listeners on or off, and the reload when due.
int switchSmtpd(bool on) {
    reloadIfDue(switchListeners(COMPONENT_SMTP | COMPONENT_SMTPS, on));
    return 0;
}

}  // namespace

void validate(boost::any& value, const std::vector<std::string>& words, SelectedMailComponents*,
              int) {
    if (value.empty()) {
        value = SelectedMailComponents();
    }
    SelectedMailComponents& selected = boost::any_cast<SelectedMailComponents&>(value);
    for (const std::string& word : words) {
        bool known = false;
        for (const auto& component : COMPONENT_WORDS) {
            if (word == component.word) {
                selected.bits |= component.bits;
                known = true;
            }
        }
        if (!known) {
            throw po::invalid_option_value("unknown component " + word);
        }
    }
}

int startService(int argc, char** argv) {
    return startOrRestart(argc, argv, false);
}

int restartService(int argc, char** argv) {
    return startOrRestart(argc, argv, true);
}

int stopService(int argc, char** argv) {
    const unsigned components = parseComponents(argc, argv, "--stop-service", "stop a service");
    bool failed = false;
    const bool written = (components & LISTENER_BITS) && switchListeners(components, false);
    if (components & COMPONENT_MTA) {
        failed |= postfixStepFailed(ServiceManager::stopServer);
    } else {
        failed |= postfixStepFailed([written] { return reloadIfDue(written); });
    }
    failed |= courierFailed(components, "stop");
    if (components & COMPONENT_MILTER) {
        failed |= ServiceManager::stopMilter() != 0;
    }
    return failed ? 1 : 0;
}

int reloadService(int argc, char** argv) {
    const unsigned components = parseComponents(argc, argv, "--reload-service", "reload a service");
    bool failed = false;
    if (components & COMPONENT_MTA) {
        failed |= postfixStepFailed(ServiceManager::reloadServer);
    }
    failed |= courierFailed(components, "reload");
    return failed ? 1 : 0;
}

int statusService(int argc, char** argv) {
    const unsigned components =
        parseComponents(argc, argv, "--status-service", "get service status");
    if (components & COMPONENT_MTA) {
        std::cout << "mta ";
        print_status(ServiceManager::statusServer(0));
    }
    if (components & COURIER_BITS) {
        const int courier = restart_daemon(COURIER_SERVICE, "status");
        for (const auto& [bit, word] :
             {std::make_pair(COMPONENT_POP3, "pop3 "), std::make_pair(COMPONENT_POP3S, "pop3s "),
              std::make_pair(COMPONENT_IMAP, "imap "), std::make_pair(COMPONENT_IMAPS, "imaps ")}) {
            if (components & bit) {
                std::cout << word;
                print_status(courier);
            }
        }
    }
    if (components & COMPONENT_MILTER) {
        std::cout << "milter ";
        print_status(ServiceManager::statusMilter());
    }
    return 0;
}

int startSMTPD(int, char**) {
    return switchSmtpd(true);
}

int stopSMTPD(int, char**) {
    return switchSmtpd(false);
}

int statusMTA(int, char**) {
    print_status(ServiceManager::statusServer(0));
    return 0;
}

int startMTA(int, char**) {
    return ServiceManager::startServer();
}

int stopMTA(int, char**) {
    return ServiceManager::stopServer();
}

int startIMAP(int, char**) {
    return restart_daemon(COURIER_SERVICE, "start");
}

int stopIMAP(int, char**) {
    return restart_daemon(COURIER_SERVICE, "stop");
}

int restartIMAP(int, char**) {
    return restart_daemon(COURIER_SERVICE, "restart");
}

int statusIMAP(int, char**) {
    print_status(restart_daemon(COURIER_SERVICE, "status"));
    return 0;
}

int startMilter(int, char**) {
    return ServiceManager::startMilter();
}

int stopMilter(int, char**) {
    return ServiceManager::stopMilter();
}

int restartMilter(int, char**) {
    return ServiceManager::restartMilter();
}

int statusMilter(int, char**) {
    print_status(ServiceManager::statusMilter());
    return 0;
}

// The panel's setting is not read: the command itself says what is wanted.
int enableSubmission(int, char**) {
    ModuleManager& modules = loadedModules();
    listenerOn(modules, SubmissionModule());
    reloadIfDue(modules.storeModules(false));
    return 0;
}

int disableSubmission(int, char**) {
    ModuleManager& modules = loadedModules();
    listenerOff(modules, "submission");
    reloadIfDue(modules.storeModules(false));
    return 0;
}

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
