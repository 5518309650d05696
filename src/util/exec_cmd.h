// ExecCmd: runs one external command with a given standard input, collects
// its standard output and error, and turns a non-zero result into a
// traceable exception that carries the command line and everything it said.
#pragma once

#include <map>
#include <new>
#include <string>
#include <vector>

#include "util/ex_traceable.h"

namespace marun {

// A program and its argument vector (the program first).
class CmdLine {
  public:
    explicit CmdLine(const std::string& path) : path_(path), args_{path} {}

    const std::string& path() const { return path_; }
    const std::vector<std::string>& args() const { return args_; }
    // The arguments, shell-quoted and joined by single spaces.
    std::string getString() const;

  protected:
    std::string path_;
    std::vector<std::string> args_;
};

class ExecCmd : public CmdLine {
  public:
    static const ExTag Failed;

    explicit ExecCmd(const std::string& path) : CmdLine(path) {}

    ExecCmd& operator<<(const std::string& argument) {
        args_.push_back(argument);
        return *this;
    }
    // Adds or replaces a variable of the child's environment.
    void setEnv(const std::string& name, const std::string& value) { env_[name] = value; }
    void setInput(const std::string& input) { input_ = input; }
    // Runs the command as this user (empty: as the caller).
    void setUser(const std::string& user) { user_ = user; }

    // Runs the command; a non-zero result throws (see reportError).
    void exec();
    // Runs the command and returns its result without throwing for it.
    int exec(const std::nothrow_t&);
    // Runs the command, stores and returns the result: the exit status, or
    // -1 when a signal ended it or it could not be run.
    int execCmdLine();
    // Throws Exc<&Failed> with the command line, the result, and the input,
    // output and error texts.
    [[noreturn]] void reportError() const;

    const std::string& getInput() const { return input_; }
    const std::string& getOutput() const { return output_; }
    const std::string& getError() const { return error_; }
    int getResult() const { return result_; }
    int getErrno() const { return errno_; }
    bool started() const { return started_; }
    bool done() const { return done_; }

  private:
    std::string input_;
    std::string output_;
    std::string error_;
    std::string user_;
    std::map<std::string, std::string> env_;
    int result_ = -1;
    int errno_ = 0;
    bool started_ = false;
    bool done_ = false;
};

}  // namespace marun
