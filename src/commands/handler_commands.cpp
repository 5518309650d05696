// Mail handler commands: parse the options into one registration record and
// hand it to the handlers database, which opens and closes the database.
#include "commands/handler_commands.h"

#include <cstdlib>
#include <string>

#include "commands/name_checks.h"
#include "commands/program_options_helper.h"
#include "mail/lib/mail_handlers.h"
#include "util/uerr.h"

namespace marun {
namespace mail {
namespace postfix {
namespace kvarn_commands {

namespace {

const char kTypeWords[] = "(global|sender|recipient|sender-domain|recipient-domain)";
const char kHookWords[] = "(before-queue|before-local|before-remote)";

std::string synopsis(const char* command, bool adding) {
    std::string text = std::string(command) +
                       " --handler-name=<name> --handler-type=" + kTypeWords +
                       " [--handler-type-name=<mailname>]";
    if (adding) {
        text += " --executable=<handler> --context=<context>";
    }
    text += std::string(" --hook=") + kHookWords;
    if (adding) {
        text += " --priority=<number>";
    }
    return text;
}

// The options every working handler command takes, and the values they give.
struct HandlerOptions {
    HandlerOptions(const char* command, const char* description, bool adding)
        : helper(description, synopsis(command, adding)) {
        auto add = helper.add_options();
        add("handler-name", po::value<std::string>(), "handler name", true);
        add("handler-type", po::value<std::string>(),
            "handler type (global|sender|recipient|sender-domain|recipient-domain)", true);
        add("handler-type-name", po::value<std::string>(), "handler type name");
        if (adding) {
            add("executable", po::value<std::string>(), "executable", true);
            add("context", po::value<std::string>(), "context", true);
        }
        add("hook", po::value<std::string>(),
            "hook point (before-queue|before-local|before-remote)", true);
        if (adding) {
            add("priority", po::value<std::string>(), "handler priority", true);
        }
    }

    // Parses and fills the record's name, type and hook. The strings stay
    // owned by this object.
    void parse(int argc, char** argv) {
        standardOptionsParse(helper, argc, argv);
        name = helper.get<std::string>("handler-name");
        mh_data_init_ex(&record);
        record.name = const_cast<char*>(name.c_str());
        record.type = mh_get_type(helper.get<std::string>("handler-type").c_str());
        record.queue = mh_get_queue(helper.get<std::string>("hook").c_str());
        if (!isGlobal()) {
            if (!helper.has("handler-type-name")) {
                throw MissingMandatoryOption("handler-type-name");
            }
            // An address or a domain, in the ASCII form the other commands
            // store and remove registrations by; "all" is a word, not a name.
            type_name = helper.get<std::string>("handler-type-name");
            if (type_name != "all") {
                type_name = type_name.find('@') == std::string::npos ? asciiDomainName(type_name)
                                                                     : asciiAddress(type_name);
            }
        }
    }

    bool isGlobal() const { return record.type == MH_TYPE_GLOBAL; }

    ProgramOptionsHelper helper;
    std::string name;
    std::string type_name;  // handler-type-name, for types other than global
    mh_t record;
};

int switchHandler(int argc, char** argv, const char* command, const char* description, int state) {
    HandlerOptions options(command, description, false);
    options.parse(argc, argv);
    int result;
    if (options.isGlobal()) {
        result = state ? mh_db_enable(nullptr, &options.record)
                       : mh_db_disable(nullptr, &options.record);
    } else if (options.type_name == "all") {
        result = mh_db_switch_by_name(nullptr, options.name.c_str(), state);
    } else {
        result = mh_db_switch_by_addr(nullptr, options.type_name.c_str(), state);
    }
    return result == 0 ? 0 : 1;
}

}  // namespace

int addHandler(int argc, char** argv) {
    HandlerOptions options("--add-handler", "add a mail-handler", true);
    options.parse(argc, argv);
    std::string executable = options.helper.get<std::string>("executable");
    std::string context = options.helper.get<std::string>("context");
    mh_t& record = options.record;
    record.executable = const_cast<char*>(executable.c_str());
    record.context = const_cast<char*>(context.c_str());
    // strtol semantics: leading blanks and a sign are taken, digits up to the
    // first other character, and no digits at all give 0.
    record.priority = static_cast<uint32_t>(
        std::strtol(options.helper.get<std::string>("priority").c_str(), nullptr, 10));
    record.enabled = 1;
    if (options.isGlobal()) {
        return mh_db_add(nullptr, &record) < 0 ? 1 : 0;
    }
    record.address = const_cast<char*>(options.type_name.c_str());
    return mh_db_add(nullptr, &record) != 0 ? 1 : 0;
}

int enableHandler(int argc, char** argv) {
    return switchHandler(argc, argv, "--enable-handler", "enable a mail-handler", 1);
}

int disableHandler(int argc, char** argv) {
    return switchHandler(argc, argv, "--disable-handler", "disable a mail-handler", 0);
}

int removeHandler(int argc, char** argv) {
    HandlerOptions options("--remove-handler", "remove a mail-handler", false);
    options.parse(argc, argv);
    // A global handler has no address of its own ("all"). For other types the
    // address "all" also matches every address: the handler's registrations
    // of that name, type and hook are removed, whatever their address.
    if (!options.isGlobal()) {
        options.record.address = const_cast<char*>(options.type_name.c_str());
    }
    return mh_db_remove(nullptr, &options.record) == 0 ? 0 : 1;
}

int updateHandler(int, char**) {
    uerr << "ERROR: this action is deprecated. Please use the mail_handler_control utlitity"
         << std::endl;
    return 1;
}

int checkHandler(int, char**) {
    uerr << "ERROR: This action is deprecated. Please use the mail_handlers_control utility"
         << std::endl;
    return 1;
}

}  // namespace kvarn_commands
}  // namespace postfix
}  // namespace mail
}  // namespace marun
