// main.cf through postconf: reads with "-h" (and "-d"), writes with "-e",
// list editing on top.
#include "postfix/main_cf_manager.h"

#include <sys/wait.h>

#include "postfix/database_helper.h"
#include "postfix/errors.h"
#include "util/process.h"

namespace marun {
namespace mail {
namespace postfix {

namespace {

const char* const POSTCONF = "/usr/sbin/postconf";
const char* const WHITE_SPACE = " \t\n\v\f\r";

[[noreturn]] void postconfFailure(const std::string& errors) {
    throw PostfixConfigurationError(errors.empty() ? "unknown error" : errors);
}

bool succeeded(int status) {
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs postconf with the arguments; its standard output goes to `output`
// (when given), its standard error to `errors`. Returns the wait status.
int runPostconf(const process::Parameters& parameters, std::string* output, std::string& errors) {
    process::Pipe pipe(parameters);
    pipe.stdinChannel = process::InputChannel(process::STREAM_DEVNULL, process::InputCallback());
    if (output != nullptr) {
        pipe.stdoutChannel =
            process::OutputChannel(process::STREAM_PIPE, process::makeStringReceiver(*output));
    }
    pipe.stderrChannel =
        process::OutputChannel(process::STREAM_PIPE, process::makeStringReceiver(errors));
    return pipe.run();
}

// A parameter name: what postconf accepts left of "=" without turning the
// argument into something else.
void checkName(const std::string& name) {
    if (name.empty() ||
        name.find_first_not_of("abcdefghijklmnopqrstuvwxyz"
                               "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") != std::string::npos) {
        throw PostfixConfigurationError("invalid main.cf parameter name \"" + name +
                                        "\": only letters, digits and \"_\" are allowed");
    }
}

// postconf would write a line feed into main.cf as is: the rest of the value
// would become parameters of its own.
void checkValue(const std::string& name, const std::string& value) {
    if (value.find_first_of("\n\r") != std::string::npos) {
        throw PostfixConfigurationError("invalid value for main.cf parameter " + name +
                                        ": it holds a line feed or carriage return");
    }
}

std::string joined(const MainCfManager::List& list) {
    std::string text;
    for (const std::string& element : list) {
        if (!text.empty()) {
            text += ", ";
        }
        text += element;
    }
    return text;
}

// Splits at every space, tab or comma without merging separators.
MainCfManager::List splitList(const std::string& value) {
    MainCfManager::List list;
    size_t start = 0;
    for (;;) {
        const size_t end = value.find_first_of(" \t,", start);
        list.push_back(value.substr(start, end - start));
        if (end == std::string::npos) {
            return list;
        }
        start = end + 1;
    }
}

}  // namespace

MainCfManager& MainCfManager::getInstance() {
    static MainCfManager instance;
    return instance;
}

const std::string& MainCfManager::configDirectory() const {
    if (configDirectory_.empty()) {
        std::string directory;
        try {
            directory = getStringValue("config_directory", false);
        } catch (const PostfixConfigurationError&) {
            directory = getStringValue("config_directory", true);
        }
        if (directory.empty()) {
            throw PostfixConfigurationError(
                "unable to determine Postfix config_directory parameter");
        }
        configDirectory_ = directory;
        path_ = directory + "/main.cf";
    }
    return configDirectory_;
}

const std::string& MainCfManager::path() const {
    configDirectory();
    return path_;
}

std::string MainCfManager::getStringValue(const std::string& name, bool useDefault) const {
    checkName(name);
    std::string value;
    std::string errors;
    const int status = runPostconf(useDefault ? process::Parameters(POSTCONF, "-h", "-d", name)
                                              : process::Parameters(POSTCONF, "-h", name),
                                   &value, errors);
    if (!succeeded(status)) {
        postconfFailure(errors);
    }
    if (value.empty() && !checkOutput(errors, false)) {
        postconfFailure(errors);
    }
    value.erase(value.find_last_not_of(WHITE_SPACE) + 1);
    value.erase(0, value.find_first_not_of(WHITE_SPACE));
    return value;
}

void MainCfManager::replaceStringValue(const std::string& name, const std::string& value) const {
    checkName(name);
    checkValue(name, value);
    Lock held = lock();
    replaceStringValue(name, value, held);
}

void MainCfManager::replaceStringValue(const std::string& name, const std::string& value,
                                       const Lock&) const {
    checkName(name);
    checkValue(name, value);
    std::string errors;
    if (!succeeded(runPostconf(process::Parameters(POSTCONF, "-e", name + "=" + value), nullptr,
                               errors))) {
        postconfFailure(errors);
    }
}

void MainCfManager::getList(const std::string& name, List& out) const {
    const List list = splitList(getStringValue(name, false));
    out.insert(out.end(), list.begin(), list.end());
}

void MainCfManager::setList(const std::string& name, const List& list) const {
    replaceStringValue(name, joined(list));
}

void MainCfManager::setList(const std::string& name, const List& list, const Lock& held) const {
    replaceStringValue(name, joined(list), held);
}

void MainCfManager::appendStringValue(const std::string& name, const std::string& element) const {
    checkValue(name, element);
    Lock held = lock();
    const std::string current = getStringValue(name, false);
    for (const std::string& present : splitList(current)) {
        if (present == element) {
            // An effective value that Postfix computes becomes explicit.
            if (name == "mynetworks") {
                replaceStringValue(name, current, held);
            }
            return;
        }
    }
    replaceStringValue(name, current.empty() ? element : current + ", " + element, held);
}

void MainCfManager::removeListElement(const std::string& name, const std::string& element) const {
    Lock held = lock();
    List list;
    getList(name, list);
    List kept;
    bool dropped = false;
    for (const std::string& present : list) {
        if (present == element) {
            dropped = true;
        } else if (!present.empty()) {
            kept.push_back(present);
        }
    }
    if (dropped) {
        setList(name, kept, held);
    }
}

MainCfManager::List MainCfManager::commaElements(const std::string& value) {
    List elements;
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find(',', start);
        if (end == std::string::npos) {
            end = value.size();
        }
        std::string piece = value.substr(start, end - start);
        piece.erase(piece.find_last_not_of(WHITE_SPACE) + 1);
        piece.erase(0, piece.find_first_not_of(WHITE_SPACE));
        if (!piece.empty()) {
            elements.push_back(piece);
        }
        start = end + 1;
    }
    return elements;
}

}  // namespace postfix
}  // namespace mail
}  // namespace marun
