// Running commands through ExecCmd and reporting their failures.
#include "util/exec_cmd.h"

#include <cerrno>

#include <boost/format.hpp>

#include "util/fork_exec.h"
#include "util/sh_quote.h"

namespace marun {

const ExTag ExecCmd::Failed = {"ExecCmd::ExFailed", 3};

namespace {

// "<name> is\n<text>", with a line feed added when the text lacks one; ""
// for an empty text.
std::string section(const char* name, const std::string& text) {
    if (text.empty()) {
        return std::string();
    }
    bool endsWithNewline = text[text.size() - 1] == '\n';
    return (boost::format("%1% is\n%2%%3%") % name % text % (endsWithNewline ? "" : "\n")).str();
}

}  // namespace

std::string CmdLine::getString() const {
    std::string text;
    for (const std::string& arg : args_) {
        if (!text.empty()) {
            text += ' ';
        }
        text += arg.empty() ? std::string("''") : sh_quote(arg);
    }
    return text;
}

int ExecCmd::execCmdLine() {
    started_ = true;
    output_.clear();
    error_.clear();
    errno = 0;
    result_ = forkExecvGetInOutErrSuidEnv(input_, output_, error_, path_, args_, user_, env_);
    errno_ = errno;
    done_ = true;
    return result_;
}

void ExecCmd::exec() {
    if (execCmdLine() != 0) {
        reportError();
    }
}

int ExecCmd::exec(const std::nothrow_t&) {
    return execCmdLine();
}

void ExecCmd::reportError() const {
    throw Exc<&ExecCmd::Failed>("Execution of %1% failed with return code %2%.\n%3%%4%%5%",
                                "void marun::ExecCmd::reportError() const", "ExecCmd", __LINE__) %
        getString() % result_ % section("Stdin", input_) % section("Stdout", output_) %
        section("Stderr", error_);
}

}  // namespace marun
